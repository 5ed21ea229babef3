// Perspective transform from four point correspondences: the 3 x 3 matrix H
// with H(2, 2) = 1 that maps each source point to its destination, from the
// 8 x 8 linear system of the correspondences solved by LU decomposition with
// partial pivoting.
#pragma once

#include <Eigen/Core>
#include <span>

#include "geometry/point.hpp"
#include "runtime/status.hpp"

namespace morvelin {

using Homography = Eigen::Matrix3d;

// Fails with "perspective solve failed" when the decomposition meets a zero
// pivot (three collinear points, repeated points).
Result<Homography> solve_perspective(std::span<const Point2f, 4> source, std::span<const Point2f, 4> destination);

// H * (x, y, 1) divided by its third component, in double precision.
struct ProjectedPoint {
  double x;
  double y;
};

inline ProjectedPoint apply_homography(const Homography& h, double x, double y) {
  const double px = h(0, 0) * x + h(0, 1) * y + h(0, 2);
  const double py = h(1, 0) * x + h(1, 1) * y + h(1, 2);
  const double pz = h(2, 0) * x + h(2, 1) * y + h(2, 2);
  return {px / pz, py / pz};
}

}  // namespace morvelin
