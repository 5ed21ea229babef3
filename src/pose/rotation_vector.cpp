#include "pose/rotation_vector.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/conversions.hpp"
#include "pose/jacobi_svd.hpp"
#include "pose/matrix3.hpp"

namespace morvelin {

namespace {

constexpr double kSmallSine = 1e-5;

Matrix3 cross_matrix(const Vector3& k) noexcept { return {{{0.0, -k[2], k[1]}, {k[2], 0.0, -k[0]}, {-k[1], k[0], 0.0}}}; }

double norm3(const Vector3& v) noexcept { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// c·I + (1 − c)·k·kᵀ + s·[k]× for a unit axis k.
Matrix3 axis_angle_matrix(const Vector3& k, double c, double s) noexcept {
  const double c1 = 1.0 - c;
  Matrix3 r{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) r[i][j] = c1 * (k[i] * k[j]);
    r[i][i] += c;
  }
  r[0][1] -= s * k[2];
  r[0][2] += s * k[1];
  r[1][0] += s * k[2];
  r[1][2] -= s * k[0];
  r[2][0] -= s * k[1];
  r[2][1] += s * k[0];
  return r;
}

Vector3 near_pi_vector(const Matrix3& r, double theta) noexcept {
  const double ax = std::sqrt(std::max((r[0][0] + 1.0) * 0.5, 0.0));
  double ay = std::sqrt(std::max((r[1][1] + 1.0) * 0.5, 0.0));
  double az = std::sqrt(std::max((r[2][2] + 1.0) * 0.5, 0.0));
  if (r[0][1] < 0.0) ay = -ay;
  if (r[0][2] < 0.0) az = -az;
  if (std::fabs(ax) < std::fabs(ay) && std::fabs(ax) < std::fabs(az) && ((ay * az > 0.0) != (r[1][2] > 0.0))) az = -az;
  const double scale = theta / norm3({ax, ay, az});
  return {ax * scale, ay * scale, az * scale};
}

}  // namespace

AxisAngle axis_angle(const Vector3& rvec) noexcept {
  AxisAngle out;
  out.theta = norm3(rvec);
  if (out.theta < kDoubleEpsilon) return out;
  out.turns = true;
  out.axis = {rvec[0] / out.theta, rvec[1] / out.theta, rvec[2] / out.theta};
  out.c = std::cos(out.theta);
  out.s = std::sin(out.theta);
  return out;
}

Matrix3 rotation_matrix(const Vector3& rvec) noexcept { return rotation_matrix(axis_angle(rvec)); }

Matrix3 rotation_matrix(const AxisAngle& a) noexcept {
  if (!a.turns) return kIdentity3;
  return axis_angle_matrix(a.axis, a.c, a.s);
}

RotationDerivatives rotation_matrix_with_derivatives(const Vector3& rvec) noexcept {
  return rotation_matrix_with_derivatives(axis_angle(rvec));
}

RotationDerivatives rotation_matrix_with_derivatives(const AxisAngle& a) noexcept {
  RotationDerivatives out;
  if (!a.turns) {
    out.r = kIdentity3;
    for (int j = 0; j < 3; ++j) {
      Vector3 e{};
      e[static_cast<std::size_t>(j)] = 1.0;
      out.d[static_cast<std::size_t>(j)] = cross_matrix(e);
    }
    return out;
  }
  const Vector3& k = a.axis;
  const double theta = a.theta;
  const double c = a.c;
  const double s = a.s;
  const double c1 = 1.0 - c;
  out.r = axis_angle_matrix(k, c, s);
  // With ∂θ/∂r_j = k_j and ∂k/∂r_j = (e_j − k·k_j)/θ:
  // ∂R/∂r_j = k_j·(−s·I + s·k·kᵀ + c·[k]×) + (1 − c)·(∂k·kᵀ + k·∂kᵀ) + s·[∂k]×.
  const Matrix3 kx = cross_matrix(k);
#pragma GCC unroll 3
  for (std::size_t j = 0; j < 3; ++j) {
    Vector3 dk{};
#pragma GCC unroll 3
    for (std::size_t i = 0; i < 3; ++i) dk[i] = ((i == j ? 1.0 : 0.0) - k[i] * k[j]) / theta;
    const Matrix3 dkx = cross_matrix(dk);
    Matrix3& d = out.d[j];
#pragma GCC unroll 3
    for (std::size_t a = 0; a < 3; ++a) {
#pragma GCC unroll 3
      for (std::size_t b = 0; b < 3; ++b) {
        const double along_angle = (a == b ? -s : 0.0) + s * (k[a] * k[b]) + c * kx[a][b];
        d[a][b] = k[j] * along_angle + c1 * (dk[a] * k[b] + k[a] * dk[b]) + s * dkx[a][b];
      }
    }
  }
  return out;
}

namespace {

Matrix3 u_times_v_transpose(const Svd<3>& svd) noexcept {
  const Matrix3& u = svd.u;
  const Matrix3& v = svd.v;
  Matrix3 r{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) r[i][j] = u[i][0] * v[j][0] + u[i][1] * v[j][1] + u[i][2] * v[j][2];
  }
  return r;
}

// The rotation vector of an orthonormal matrix.
Vector3 vector_of_orthonormal(const Matrix3& r) noexcept {
  const double c = std::clamp((r[0][0] + r[1][1] + r[2][2] - 1.0) * 0.5, -1.0, 1.0);
  const double theta = std::acos(c);
  const Vector3 d = {r[2][1] - r[1][2], r[0][2] - r[2][0], r[1][0] - r[0][1]};
  const double s = std::sqrt((d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) * 0.25);
  if (s >= kSmallSine) {
    const double scale = theta / (2.0 * s);
    return {d[0] * scale, d[1] * scale, d[2] * scale};
  }
  if (c > 0.0) return {0.0, 0.0, 0.0};
  return near_pi_vector(r, theta);
}

}  // namespace

Vector3 rotation_vector_of_orthonormal(const std::optional<Matrix3>& orthonormal) noexcept {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  if (!orthonormal) return {kNaN, kNaN, kNaN};
  return vector_of_orthonormal(*orthonormal);
}

std::optional<Matrix3> nearest_orthonormal(const Matrix3& m) {
  const std::optional<Svd<3>> svd = jacobi_svd<3>(m, kLeftVectors | kRightVectors);
  if (!svd) return std::nullopt;
  return u_times_v_transpose(*svd);
}

void nearest_orthonormals(std::span<const Matrix3* const> m, std::span<std::optional<Matrix3>> out) {
  Vec<std::optional<Svd<3>>> svds(m.size());
  jacobi_svd_batch<3>(m, svds, kLeftVectors | kRightVectors);
  for (std::size_t i = 0; i < m.size() && i < out.size(); ++i) {
    if (svds[i]) {
      out[i] = u_times_v_transpose(*svds[i]);
    } else {
      out[i].reset();
    }
  }
}

Vector3 rotation_vector(const Matrix3& m) noexcept { return rotation_vector_of_orthonormal(nearest_orthonormal(m)); }

void rotation_vectors(std::span<const Matrix3* const> m, std::span<Vector3> out) {
  Vec<std::optional<Matrix3>> orthonormal(m.size());
  nearest_orthonormals(m, orthonormal);
  for (std::size_t i = 0; i < m.size() && i < out.size(); ++i) out[i] = rotation_vector_of_orthonormal(orthonormal[i]);
}

Result<RodriguesResult> rodrigues(std::span<const Vec<double>> src) {
  const auto shape_error = [] {
    return value_error("src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)");
  };
  RodriguesResult out;
  if (src.size() == 1 && src[0].size() == 3) {
    out.is_matrix = true;
    out.matrix = rotation_matrix({src[0][0], src[0][1], src[0][2]});
    return out;
  }
  if (src.size() != 3) return shape_error();
  const std::size_t width = src[0].size();
  if (width != 1 && width != 3) return shape_error();
  if (src[1].size() < width || src[2].size() < width) return shape_error();
  if (width == 1) {
    out.is_matrix = true;
    out.matrix = rotation_matrix({src[0][0], src[1][0], src[2][0]});
    return out;
  }
  Matrix3 m{};
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) m[i][j] = src[i][j];
  }
  out.vector = rotation_vector(m);
  return out;
}

}  // namespace morvelin
