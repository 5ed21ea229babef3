// Starting focal lengths of a calibration from the homographies of views of
// a plane. With the principal point known and no skew, the images of the
// plane's two orthonormal axes must be orthogonal and of equal length under
// K⁻¹: two equations per view, linear in 1/fx² and 1/fy².
#pragma once

#include <array>
#include <optional>
#include <span>

#include "pose/pose.hpp"

namespace morvelin {

// (fx, fy) from homographies that map plane coordinates to pixels, for the
// principal point (cx, cy). `scale` (about the image size) only conditions
// the equations. With `aspect`, fx = aspect·fy and fy is the one unknown;
// without it, when the views do not separate fx from fy (or separating them
// gives no positive solution), fx = fy is assumed. None when even that finds
// no positive finite solution: the views are all parallel to the image
// plane, or degenerate.
std::optional<std::array<double, 2>> focal_lengths_from_homographies(std::span<const Matrix3> homographies,
                                                                     double cx, double cy, double scale,
                                                                     std::optional<double> aspect);

}  // namespace morvelin
