// Refinement of square-marker corners beyond the polygon vertices: the
// contour line fit (CORNER_REFINE_CONTOUR), run on every kept candidate, and
// the sub-pixel refinement of decoded markers (CORNER_REFINE_SUBPIX).
#pragma once

#include <cstdint>
#include <span>

#include "geometry/quad.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

// Fits one line per side to the contour points near that side and returns the
// line intersections, or `quad` unchanged when any check fails.
Quad refine_quad_with_contour(const Quad& quad, std::span<const Point2f> contour);

// Sub-pixel refinement of a decoded marker's corners.
struct SubpixCornerSettings {
  std::uint32_t cells = 6;              // cells across the marker: data cells + 2 * border width
  double relative_win_size = 0.3;       // window half-size per cell size (cell = shortest side / cells)
  std::int32_t max_win_size = 5;        // largest window half-size, pixels (values below 1 count as 1)
  std::int32_t max_iterations = 30;     // refinement steps per corner
  double min_accuracy = 0.1;            // a step shorter than this ends a corner's refinement, pixels
};

// Refines the four corners of a decoded marker with corner_sub_pix, one
// window for all four, taken from the shortest side.
void refine_marker_corners_subpix(GrayView image, Quad& corners, const SubpixCornerSettings& settings);

}  // namespace morvelin
