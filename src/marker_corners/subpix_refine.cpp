// Sub-pixel refinement of decoded marker corners: the search window scales
// with the marker's cell size, bounded by the configured window size.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "marker_corners/marker_corners.hpp"
#include "subpixel/corner_sub_pix.hpp"
#include "numeric/conversions.hpp"

namespace morvelin {
namespace {

// Half-size of the search window for a marker with these corners.
std::uint64_t marker_window(const Quad& c, const SubpixCornerSettings& settings) {
  // fmin skips NaN lengths; the cap keeps an infinite side from making the
  // window infinite.
  float shortest = std::fmin(distance(c[0], c[1]), kFloatMax);
  shortest = std::fmin(shortest, distance(c[1], c[2]));
  shortest = std::fmin(shortest, distance(c[2], c[3]));
  shortest = std::fmin(shortest, distance(c[3], c[0]));
  const float cell_size = shortest / static_cast<float>(settings.cells);
  const auto w = round_saturate<std::int32_t>(static_cast<double>(cell_size) * settings.relative_win_size);
  if (w <= 0) return 1;
  return static_cast<std::uint64_t>(std::min(w, std::max(settings.max_win_size, 1)));
}

}  // namespace

void refine_marker_corners_subpix(GrayView image, Quad& corners, const SubpixCornerSettings& settings) {
  const std::uint64_t win = marker_window(corners, settings);
  // One window for all four corners, refined in order 0 to 3.
  corner_sub_pix(image, std::span<Point2f>(corners), win, settings.max_iterations, settings.min_accuracy);
}

}  // namespace morvelin
