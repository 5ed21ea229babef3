// Quad fitting of one boundary cluster. The cluster's points are ordered by
// angle around their centre; the places where the outline bends most are the
// peaks of a smoothed line-fit error curve; every choice of four peaks is
// tried as the ends of four line segments, each fitted by weighted least
// squares in constant time from cumulative moments; the best choice's lines
// are intersected and the quad is kept only when it is convex, large enough
// and not too sharply angled.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "apriltag/segmentation.hpp"
#include "geometry/quad.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

struct QuadFitSettings {
  std::int32_t max_nmaxima = 10;     // bends tried, >= 4
  double critical_rad = 0.17453292519943295;  // smallest corner angle and largest fold between lines, radians
  double max_line_fit_mse = 10.0;    // largest mean squared line residual, pixels^2
};

// Fits a quad to the boundary points of one cluster (doubled coordinates)
// found in `image`, the working image whose gradients weight the points. Only
// outlines that are dark inside and light outside are fitted. The corners are
// in pixel coordinates of `image` with pixel centres at integer coordinates,
// consecutive around the outline in increasing angle (clockwise on screen).
std::optional<Quad> fit_quad(std::span<const BoundaryPoint> cluster, GrayView image,
                             const QuadFitSettings& settings);

// fit_quad of every cluster, in parallel; result i belongs to cluster i.
Vec<std::optional<Quad>> fit_quads(const BoundaryClusters& clusters, GrayView image,
                                   const QuadFitSettings& settings);

}  // namespace morvelin
