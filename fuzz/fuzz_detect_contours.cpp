// The contour detection path on random small images: adaptive threshold,
// border following, polygon approximation, candidate filtering and
// identification, with random small parameter sets and any dictionary.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "contours/border_following.hpp"
#include "detector/detect.hpp"
#include "dictionary/dictionary.hpp"
#include "fuzz_input.hpp"
#include "imgproc/adaptive_threshold.hpp"
#include "imgproc/polygon_approximation.hpp"

using namespace morvelin;

namespace {

// Every traced border lies inside the image and steps to an 8-neighbour.
void check_borders(const GrayImage& image, std::int64_t window, double constant, float epsilon_rate) {
  BinaryImage binary = adaptive_threshold(image, window, constant, ThresholdThreads::kCallingThread);
  Vec<Point2f> points;
  trace_all_borders(binary, [&](std::span<const ContourPoint> contour) {
    if (contour.empty()) std::abort();
    points.clear();
    for (std::size_t i = 0; i < contour.size(); ++i) {
      const ContourPoint p = contour[i];
      if (p.x < 0 || p.y < 0 || p.x >= static_cast<std::int64_t>(image.width) ||
          p.y >= static_cast<std::int64_t>(image.height))
        std::abort();
      const ContourPoint q = contour[(i + 1) % contour.size()];
      if (contour.size() > 1 && (std::abs(p.x - q.x) > 1 || std::abs(p.y - q.y) > 1)) std::abort();
      points.push_back({static_cast<float>(p.x), static_cast<float>(p.y)});
    }
    const Vec<Point2f> polygon =
        approximate_closed_polygon(points, epsilon_rate * static_cast<float>(contour.size()));
    if (polygon.size() > points.size() || (!points.empty() && polygon.empty())) std::abort();
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  DetectorParameters params;
  fuzz::draw_contour_parameters(in, params);
  fuzz::draw_refinement_parameters(in, params, false);
  const auto name = kPredefinedDictionaryNames[in.ConsumeIntegralInRange<std::size_t>(0, 21)];
  const auto epsilon_rate = static_cast<float>(fuzz::any_double(in, 0.0, 0.2));
  const GrayImage image = fuzz::small_image(in, 96);
  const Dictionary dictionary = *lookup_dictionary(name);

  check_borders(image, params.adaptive_thresh_win_size_min, params.adaptive_thresh_constant, epsilon_rate);

  const auto markers = detect_markers(image, dictionary, params);
  if (!markers.ok()) {
    // The only failure of the contour path is a zero window step.
    if (params.adaptive_thresh_win_size_step != 0) std::abort();
    return 0;
  }
  if (fuzz::verbose()) std::fprintf(stderr, "%ux%u image: %zu markers\n", image.width, image.height, markers->size());
  for (const DetectedMarker& m : *markers) {
    if (m.id < 0 || static_cast<std::size_t>(m.id) >= dictionary.size()) std::abort();
  }
  return 0;
}
