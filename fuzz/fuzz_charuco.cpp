// ChArUco detection on random small images with random small boards and
// detection settings.
#include <cstdint>
#include <cstdlib>

#include "charuco/board.hpp"
#include "charuco/charuco_detection.hpp"
#include "dictionary/dictionary.hpp"
#include "fuzz_input.hpp"

using namespace morvelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto squares_x = in.ConsumeIntegralInRange<std::uint64_t>(1, 7);
  const auto squares_y = in.ConsumeIntegralInRange<std::uint64_t>(1, 7);
  const double square_length = fuzz::any_double(in, 0.0, 2.0);
  const double marker_length = fuzz::any_double(in, 0.0, 2.0);
  const auto name = kPredefinedDictionaryNames[in.ConsumeIntegralInRange<std::size_t>(0, 21)];
  const bool legacy = in.ConsumeBool();
  const auto min_markers = in.ConsumeIntegralInRange<std::int32_t>(-1, 3);
  const bool check_markers = in.ConsumeBool();
  DetectorParameters params;
  fuzz::draw_contour_parameters(in, params);
  fuzz::draw_refinement_parameters(in, params, true);
  if (params.corner_refinement_method == kCornerRefineAprilTag) fuzz::draw_apriltag_parameters(in, params);
  const GrayImage image = fuzz::small_image(in, 96);

  // Sometimes the marker ids are given: repeated, beyond the dictionary, huge.
  // Drawn last, so that inputs written before this existed keep their meaning.
  Vec<std::uint64_t> marker_ids;
  if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
    marker_ids.resize(in.ConsumeBool() ? squares_x * squares_y / 2 : in.ConsumeIntegralInRange<std::size_t>(0, 30));
    for (auto& id : marker_ids) {
      id = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 60) : in.ConsumeIntegral<std::uint64_t>();
    }
  }
  std::optional<std::span<const std::uint64_t>> given_ids;
  if (!marker_ids.empty() || in.ConsumeBool()) given_ids = std::span<const std::uint64_t>(marker_ids);
  auto board = CharucoBoard::create(squares_x, squares_y, square_length, marker_length, name, given_ids, legacy);
  if (!board.ok()) return 0;
  const auto detection = detect_charuco_board(image, *board, params, min_markers, check_markers);
  if (!detection.ok()) return 0;
  const auto& ids = detection->charuco_ids;
  if (fuzz::verbose()) std::fprintf(stderr, "%ux%u image: %zu markers, %zu corners\n", image.width, image.height,
                                    detection->markers.size(), ids.size());
  if (ids.size() != detection->charuco_corners.size()) std::abort();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] >= board->corner_count() || (i > 0 && ids[i - 1] >= ids[i])) std::abort();
  }
  return 0;
}
