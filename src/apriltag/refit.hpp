// Full-resolution refit of decoded markers: the marker's outline is found
// again with the AprilTag quad fitter in a small crop of the full image around
// its current corners, restricted to a band around the marker's border, and
// the fitted corners replace the current ones when they agree within a
// fraction of a cell.
#pragma once

#include <cstdint>
#include <span>

#include "apriltag/quad_fit.hpp"
#include "geometry/quad.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

struct RefitSettings {
  std::uint32_t marker_size = 6;           // data cells per side of the dictionary's markers
  std::int32_t border_cells = 1;           // width of the black border in cells (negative counts as 0)
  std::int32_t min_white_black_diff = 5;   // least tile contrast that is thresholded, grey levels
  bool deglitch = false;                   // 3x3 close of the ternary image
  std::int32_t min_cluster_pixels = 5;     // fewest boundary points of the outline (never below 24)
  QuadFitSettings fit;
};

// Refits one marker's corners in place, at full resolution (no decimation or
// blur). On any failure (non-finite or degenerate corners, empty crop, no
// outline found, rejected fit, a move beyond tolerance) the corners are left
// exactly as they were.
void refit_marker_full_resolution(GrayView image, const RefitSettings& settings, Quad& corners);

}  // namespace morvelin
