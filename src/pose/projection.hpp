// Projection of object points through a pose and a CameraModel, optionally
// with the exact first derivatives of the pixel coordinates with respect to
// the rotation vector and the translation.
#pragma once

#include <cstddef>
#include <span>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// Pixel coordinates of each object point, in input order. A point at depth
// exactly 0 is not divided (inverse depth 1); points behind the camera are
// projected like any other; non-finite input propagates.
Vec<Point2> project_points(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera);

// Points and derivatives. Both blocks have 2N rows of 3 columns, row-major:
// row 2i holds the derivatives of pixel x of point i, row 2i+1 those of
// pixel y; `d_rvec` with respect to rvec[0..2], `d_tvec` to tvec[0..2].
struct ProjectionWithDerivatives {
  Vec<Point2> points;
  Vec<double> d_rvec;
  Vec<double> d_tvec;
};
ProjectionWithDerivatives project_points_with_derivatives(std::span<const Point3> object_points, const Pose& pose,
                                                          const CameraModel& camera);

// Allocation-free forms for solvers that project repeatedly. `image_points`
// must hold N entries; `jacobian`, when given, 2N rows of 6 columns
// (∂/∂rvec[0..2] then ∂/∂tvec[0..2]). Shorter outputs project only the
// points that fit.
void project_points_into(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera,
                         std::span<Point2> image_points);
void project_points_into(std::span<const Point3> object_points, const Pose& pose, const CameraModel& camera,
                         std::span<Point2> image_points, std::span<double> jacobian);

}  // namespace morvelin
