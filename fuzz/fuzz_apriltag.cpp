// The AprilTag quad search and the full-resolution refit on random small
// images: candidates from find_apriltag_candidates, detection with
// CORNER_REFINE_APRILTAG (with and without the refit), and the refit of
// random marker outlines, degenerate and non-finite ones included.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "apriltag/quad_detector.hpp"
#include "apriltag/refit.hpp"
#include "detector/detect.hpp"
#include "detector/stage_settings.hpp"
#include "dictionary/dictionary.hpp"
#include "fuzz_input.hpp"

using namespace morvelin;

namespace {

float any_coordinate(FuzzedDataProvider& in, std::uint32_t side) {
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return static_cast<float>(fuzz::any_double(in, -1e6, 1e6));
  return in.ConsumeFloatingPointInRange<float>(-4.0f, static_cast<float>(side) + 4.0f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  DetectorParameters params;
  fuzz::draw_apriltag_parameters(in, params);
  params.corner_refinement_method = kCornerRefineAprilTag;
  params.error_correction_rate = fuzz::any_double(in, 0.0, 1.0);
  params.detect_inverted_marker = in.ConsumeBool();
  const auto name = kPredefinedDictionaryNames[in.ConsumeIntegralInRange<std::size_t>(0, 21)];
  const Dictionary dictionary = *lookup_dictionary(name);
  DetectedMarker extra;
  for (Point2f& c : extra.corners) c = {any_coordinate(in, 96), any_coordinate(in, 96)};
  const GrayImage image = fuzz::small_image(in, 96);

  const auto candidates = find_apriltag_candidates(image, apriltag_search_settings(params));
  if (!candidates.ok()) std::abort();  // small images are always segmentable
  for (const MarkerCandidate& c : *candidates) {
    for (const Point2f& p : c.corners) {
      if (!std::isfinite(p.x) || !std::isfinite(p.y)) std::abort();
    }
  }

  const auto markers = detect_markers(image, dictionary, params);
  if (!markers.ok()) std::abort();

  if (fuzz::verbose()) {
    std::fprintf(stderr, "%ux%u image: %zu candidates, %zu markers\n", image.width, image.height, candidates->size(),
                 markers->size());
  }
  const DetectedMarker before = extra;
  refit_marker_full_resolution(image, refit_settings(params, dictionary.marker_size), extra.corners);
  if (extra.id != before.id) std::abort();
  return 0;
}
