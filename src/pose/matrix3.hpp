// Small fixed-size arithmetic on row-major 3x3 matrices and 3-vectors. Sums
// run in index order so results do not depend on vectorisation.
#pragma once

#include <cmath>

#include "pose/pose.hpp"

namespace morvelin {

constexpr Matrix3 kIdentity3 = {{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};

inline double dot3(const Vector3& a, const Vector3& b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline Vector3 cross3(const Vector3& a, const Vector3& b) noexcept {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline Vector3 multiply(const Matrix3& m, const Vector3& v) noexcept {
  return {dot3(m[0], v), dot3(m[1], v), dot3(m[2], v)};
}

inline Matrix3 multiply(const Matrix3& a, const Matrix3& b) noexcept {
  Matrix3 c{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) c[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  }
  return c;
}

inline double determinant(const Matrix3& m) noexcept { return dot3(m[0], cross3(m[1], m[2])); }

// Frobenius norm, elements summed row by row.
inline double frobenius_norm(const Matrix3& m) noexcept {
  double sum = 0.0;
  for (const auto& row : m) {
    for (double v : row) sum += v * v;
  }
  return std::sqrt(sum);
}

}  // namespace morvelin
