// Refinement of square-marker corners beyond the polygon vertices: the
// contour line fit (CORNER_REFINE_CONTOUR), run on every kept candidate, and
// the sub-pixel refinement of decoded markers (CORNER_REFINE_SUBPIX).
#pragma once

#include <cstdint>
#include <span>

#include "detector/detector_parameters.hpp"
#include "detector/marker.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

// Fits one line per side to the contour points near that side and returns the
// line intersections, or `quad` unchanged when any check fails.
Quad refine_quad_with_contour(const Quad& quad, std::span<const Point2f> contour);

// Refines the four corners of a decoded marker with corner_sub_pix, the window
// taken from the shortest side; `cells` = marker_size + 2 * border_cells.
void refine_marker_corners_subpix(const GrayImage& image, Quad& corners, std::uint32_t cells,
                                  const DetectorParameters& params);

}  // namespace morvelin
