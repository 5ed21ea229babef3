// Sub-pixel edge refinement of a fitted quad. The quad fitter places each side
// on the boundary between thresholded pixels, which is only as fine as the
// pixel grid of its working image (coarser still after decimation) and leans
// towards the lighter or darker side with the threshold. Here every side is
// moved onto the intensity edge it traces in the full-resolution image: the
// image is sampled across the side at points along it, the centroid of the
// rise from dark (inside) to light (outside) gives the edge position at each
// point, a line is fitted through those positions weighted by their contrast,
// and the corners become the intersections of the refined sides.
#pragma once

#include "geometry/quad.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

// The quad with its sides moved onto the image edges within `search_radius`
// pixels of them, corners in the same order. Pixel centres are at integer
// coordinates. The quad comes back unchanged when it is degenerate, a side
// finds no rising edge, or the refined quad is not convex or moves a corner
// further than the search could justify.
Quad refine_quad_edges(GrayView image, const Quad& quad, double search_radius);

// The search radius for quads fitted on a working image decimated by
// `decimate` (1 for full resolution).
double edge_search_radius(double decimate);

}  // namespace morvelin
