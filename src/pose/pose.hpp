// Value types shared by the pose solvers: points, rotation vectors, 3x3
// matrices and the camera pose. A pose maps object coordinates X to camera
// coordinates R(rvec)·X + tvec.
#pragma once

#include <array>

namespace morvelin {

using Point2 = std::array<double, 2>;                 // pixel (x, y) or normalised image point
using Point3 = std::array<double, 3>;                 // object point (X, Y, Z)
using Vector3 = std::array<double, 3>;                // rotation vector or translation
using Matrix3 = std::array<std::array<double, 3>, 3>;  // row-major: m[row][column]

struct Pose {
  Vector3 rvec{};  // axis times angle, radians
  Vector3 tvec{};  // in the unit of the object points

  bool operator==(const Pose&) const = default;
};

}  // namespace morvelin
