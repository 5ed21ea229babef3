// The pinhole-with-distortion mapping of camera-frame points to pixels, with
// its derivative, shared by every projecting loop. The mapping is written
// once over a number type T: double for one point, Double2 (a vector of two
// doubles) for two points at once. Every operation is element-wise, so a
// point's pixels are bit-identical whichever form computes them.
#pragma once

#include <array>
#include <cstddef>

#include "pose/camera_model.hpp"
#include "pose/matrix3.hpp"
#include "pose/pose.hpp"
#include "pose/rotation_vector.hpp"

namespace morvelin {

// Two doubles, one per point (a compiler vector extension).
typedef double Double2 __attribute__((vector_size(16)));

// 1/z, or 1 where z is exactly 0 (that point is not divided); NaN stays NaN.
inline double inverse_depth(double z) noexcept { return z != 0.0 ? 1.0 / z : 1.0; }
inline Double2 inverse_depth(Double2 z) noexcept {
  const Double2 one = {1.0, 1.0};
  return (z != 0.0) ? one / z : one;
}

// Pixel coordinates of one (or two) camera-frame points, with the 2x3
// derivative of the pixel coordinates with respect to the point.
template <class T>
struct PixelMapping {
  T u{};
  T v{};
  T du[3] = {};
  T dv[3] = {};
};

template <bool kWithDerivatives, class T>
inline PixelMapping<T> map_to_pixel(T xc, T yc, T zc, const CameraModel& cam) noexcept {
  const auto& k = cam.dist;
  const T w = inverse_depth(zc);
  const T x = xc * w;
  const T y = yc * w;
  const T r2 = x * x + y * y;
  const T r4 = r2 * r2;
  const T r6 = r2 * r4;
  const T num = 1.0 + k[kK1] * r2 + k[kK2] * r4 + k[kK3] * r6;
  const T den = 1.0 + k[kK4] * r2 + k[kK5] * r4 + k[kK6] * r6;
  const T f = num / den;
  const T xd = x * f + 2.0 * k[kP1] * x * y + k[kP2] * (r2 + 2.0 * x * x) + k[kS1] * r2 + k[kS2] * r4;
  const T yd = y * f + k[kP1] * (r2 + 2.0 * y * y) + 2.0 * k[kP2] * x * y + k[kS3] * r2 + k[kS4] * r4;

  PixelMapping<T> out;
  out.u = cam.fx * xd + cam.cx;
  out.v = cam.fy * yd + cam.cy;
  if constexpr (kWithDerivatives) {
    const T dnum = k[kK1] + 2.0 * k[kK2] * r2 + 3.0 * k[kK3] * r4;
    const T dden = k[kK4] + 2.0 * k[kK5] * r2 + 3.0 * k[kK6] * r4;
    const T df_dr2 = (dnum * den - num * dden) / (den * den);
    // ∂(x″, y″)/∂(x′, y′), with ∂r²/∂x′ = 2x′ and ∂r²/∂y′ = 2y′.
    const T dxd_dx = f + x * df_dr2 * 2.0 * x + 2.0 * k[kP1] * y + 6.0 * k[kP2] * x + 2.0 * k[kS1] * x +
                     4.0 * k[kS2] * r2 * x;
    const T dxd_dy = x * df_dr2 * 2.0 * y + 2.0 * k[kP1] * x + 2.0 * k[kP2] * y + 2.0 * k[kS1] * y + 4.0 * k[kS2] * r2 * y;
    const T dyd_dx = y * df_dr2 * 2.0 * x + 2.0 * k[kP1] * x + 2.0 * k[kP2] * y + 2.0 * k[kS3] * x + 4.0 * k[kS4] * r2 * x;
    const T dyd_dy = f + y * df_dr2 * 2.0 * y + 6.0 * k[kP1] * y + 2.0 * k[kP2] * x + 2.0 * k[kS3] * y +
                     4.0 * k[kS4] * r2 * y;
    // ∂(x′, y′)/∂(xc, yc, zc) = w·[[1, 0, −x′], [0, 1, −y′]], w treated as
    // above (1 at zero depth).
    out.du[0] = cam.fx * (dxd_dx * w);
    out.du[1] = cam.fx * (dxd_dy * w);
    out.du[2] = cam.fx * (dxd_dx * (-x * w) + dxd_dy * (-y * w));
    out.dv[0] = cam.fy * (dyd_dx * w);
    out.dv[1] = cam.fy * (dyd_dy * w);
    out.dv[2] = cam.fy * (dyd_dx * (-x * w) + dyd_dy * (-y * w));
  }
  return out;
}

// One (or two) object points, coordinate by coordinate.
template <class T>
struct ObjectPoint {
  T x, y, z;
};

inline ObjectPoint<double> object_point(const Point3& p) noexcept { return {p[0], p[1], p[2]}; }
inline ObjectPoint<Double2> object_point(const Point3& p, const Point3& q) noexcept {
  return {Double2{p[0], q[0]}, Double2{p[1], q[1]}, Double2{p[2], q[2]}};
}

// Row `i` of m times the point, summed in index order. M is a Matrix3, or a
// 3 x 3 array of lane pairs holding two matrices.
template <class M, class T>
inline T row_times(const M& m, std::size_t i, const ObjectPoint<T>& p) noexcept {
  return m[i][0] * p.x + m[i][1] * p.y + m[i][2] * p.z;
}

// Pixels of object point(s) p under rotation r and translation t: R·X + t,
// each row summed in index order, then map_to_pixel.
template <bool kWithDerivatives, class T>
inline PixelMapping<T> project_object_point(const Matrix3& r, const Vector3& t, const ObjectPoint<T>& p,
                                            const CameraModel& cam) noexcept {
  return map_to_pixel<kWithDerivatives, T>(row_times(r, 0, p) + t[0], row_times(r, 1, p) + t[1],
                                           row_times(r, 2, p) + t[2], cam);
}

// The rotation-vector columns of the pixel derivative: ∂u/∂rvec[j] and
// ∂v/∂rvec[j] = (∂pixel/∂(R·X))·(∂R/∂rvec[j])·X, each a sum in index order.
// Rotation is RotationDerivatives, or any record whose d[j] are the three
// derivative matrices in a form row_times takes.
template <class Rotation, class T>
inline void rotation_derivatives_of_pixel(const Rotation& rot, const ObjectPoint<T>& p,
                                          const PixelMapping<T>& m, T (&du_dr)[3], T (&dv_dr)[3]) noexcept {
  for (std::size_t j = 0; j < 3; ++j) {
    const T d0 = row_times(rot.d[j], 0, p);
    const T d1 = row_times(rot.d[j], 1, p);
    const T d2 = row_times(rot.d[j], 2, p);
    du_dr[j] = m.du[0] * d0 + m.du[1] * d1 + m.du[2] * d2;
    dv_dr[j] = m.dv[0] * d0 + m.dv[1] * d1 + m.dv[2] * d2;
  }
}

}  // namespace morvelin
