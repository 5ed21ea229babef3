// Conversion between rotation vectors (axis times angle, radians) and 3x3
// rotation matrices. Matrix to vector first replaces the input by the nearest
// orthonormal matrix U·Vᵀ from its singular value decomposition, so
// approximate rotations from linear solves convert cleanly.
#pragma once

#include <array>
#include <optional>
#include <span>

#include "pose/pose.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// A rotation vector as angle θ = |rvec|, unit axis k = rvec/θ and cos θ,
// sin θ; no turn (the identity) when θ is below the double epsilon.
// Computed once, it serves both forms below.
struct AxisAngle {
  AxisAngle() = default;  // not an aggregate: {x, y, z} always means a rotation vector
  double theta = 0.0;
  bool turns = false;
  Vector3 axis{};
  double c = 1.0;
  double s = 0.0;
};
AxisAngle axis_angle(const Vector3& rvec) noexcept;

// R = cos θ·I + (1 − cos θ)·k·kᵀ + sin θ·[k]×, k = rvec/θ; the identity when
// θ is below the double epsilon.
Matrix3 rotation_matrix(const Vector3& rvec) noexcept;
Matrix3 rotation_matrix(const AxisAngle& a) noexcept;

// R together with ∂R/∂rvec[j] for j = 0, 1, 2. Below the double epsilon the
// derivatives are the cross-product matrices [e_j]×.
struct RotationDerivatives {
  Matrix3 r{};
  std::array<Matrix3, 3> d{};
};
RotationDerivatives rotation_matrix_with_derivatives(const Vector3& rvec) noexcept;
RotationDerivatives rotation_matrix_with_derivatives(const AxisAngle& a) noexcept;

// U·Vᵀ from the singular value decomposition M = U·Σ·Vᵀ: the orthonormal
// matrix nearest to `m` (a reflection when det M < 0). None when the
// decomposition fails, which only non-finite input causes.
std::optional<Matrix3> nearest_orthonormal(const Matrix3& m);

// nearest_orthonormal of several matrices, decomposed together (faster than
// one by one, same bits): out[i] for *m[i]; `out` as long as `m`.
void nearest_orthonormals(std::span<const Matrix3* const> m, std::span<std::optional<Matrix3>> out);

// Rotation vector of the orthonormal matrix nearest to `m`. Angles near π
// (sin θ < 1e-5, cos θ ≤ 0) take the axis from the diagonal. A reflection
// is not refused: the formulas apply to it unchanged. Non-finite input gives
// NaN.
Vector3 rotation_vector(const Matrix3& m) noexcept;

// The second half of rotation_vector: the vector of r = nearest_orthonormal(m)
// (NaN when r is none).
Vector3 rotation_vector_of_orthonormal(const std::optional<Matrix3>& orthonormal) noexcept;

// rotation_vector of several matrices, decomposed together: out[i] for *m[i].
void rotation_vectors(std::span<const Matrix3* const> m, std::span<Vector3> out);

// The `rodrigues` conversion on a matrix given row by row with possibly
// ragged rows: one row of 3 values (1x3) or 3 rows of which the first holds
// 1 value (3x1) is a rotation vector and gives its matrix; 3 rows of which
// the first holds 3 values is a matrix and gives its vector. Later rows may
// be longer than the first but not shorter. Otherwise the error
// "src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)".
struct RodriguesResult {
  bool is_matrix = false;  // true: `matrix` holds the result; false: `vector`
  Matrix3 matrix{};
  Vector3 vector{};
};
Result<RodriguesResult> rodrigues(std::span<const Vec<double>> src);

}  // namespace morvelin
