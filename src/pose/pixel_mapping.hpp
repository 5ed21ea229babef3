// The pinhole-with-distortion mapping of camera-frame points to pixels, with
// its derivative, shared by every projecting loop. The mapping is written
// once over a number type T: double for one point, Double2 (a vector of two
// doubles) for two points at once. Every operation is element-wise, so a
// point's pixels are bit-identical whichever form computes them.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

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

// The lens distortion of one (or two) normalised points (x′, y′), with the
// intermediate terms its derivatives reuse.
template <class T>
struct Distortion {
  T x{}, y{};              // undistorted normalised coordinates x′, y′
  T r2{}, r4{}, r6{};      // powers of r² = x′² + y′²
  T num{}, den{}, f{};     // radial factor f = num / den
  T xd{}, yd{};            // distorted normalised coordinates x″, y″
};

// `Camera` is a CameraModel, or a record with the same fields in another
// floating-point type (which sets the precision of the constants).
template <class T, class Camera = CameraModel>
inline Distortion<T> distort(T x, T y, const Camera& cam) noexcept {
  using Scalar = std::remove_cvref_t<decltype(cam.dist[0])>;
  constexpr Scalar one = 1;
  constexpr Scalar two = 2;
  const auto& k = cam.dist;
  Distortion<T> d;
  d.x = x;
  d.y = y;
  d.r2 = x * x + y * y;
  d.r4 = d.r2 * d.r2;
  d.r6 = d.r2 * d.r4;
  d.num = one + k[kK1] * d.r2 + k[kK2] * d.r4 + k[kK3] * d.r6;
  d.den = one + k[kK4] * d.r2 + k[kK5] * d.r4 + k[kK6] * d.r6;
  d.f = d.num / d.den;
  d.xd = x * d.f + two * k[kP1] * x * y + k[kP2] * (d.r2 + two * x * x) + k[kS1] * d.r2 + k[kS2] * d.r4;
  d.yd = y * d.f + k[kP1] * (d.r2 + two * y * y) + two * k[kP2] * x * y + k[kS3] * d.r2 + k[kS4] * d.r4;
  return d;
}

// ∂(x″, y″)/∂(x′, y′) of a distortion.
template <class T>
struct DistortionJacobian {
  T dxd_dx{}, dxd_dy{}, dyd_dx{}, dyd_dy{};
};

template <class T>
inline DistortionJacobian<T> distortion_jacobian(const Distortion<T>& d, const CameraModel& cam) noexcept {
  const auto& k = cam.dist;
  const T x = d.x;
  const T y = d.y;
  const T dnum = k[kK1] + 2.0 * k[kK2] * d.r2 + 3.0 * k[kK3] * d.r4;
  const T dden = k[kK4] + 2.0 * k[kK5] * d.r2 + 3.0 * k[kK6] * d.r4;
  const T df_dr2 = (dnum * d.den - d.num * dden) / (d.den * d.den);
  // ∂r²/∂x′ = 2x′ and ∂r²/∂y′ = 2y′.
  DistortionJacobian<T> j;
  j.dxd_dx = d.f + x * df_dr2 * 2.0 * x + 2.0 * k[kP1] * y + 6.0 * k[kP2] * x + 2.0 * k[kS1] * x +
             4.0 * k[kS2] * d.r2 * x;
  j.dxd_dy = x * df_dr2 * 2.0 * y + 2.0 * k[kP1] * x + 2.0 * k[kP2] * y + 2.0 * k[kS1] * y + 4.0 * k[kS2] * d.r2 * y;
  j.dyd_dx = y * df_dr2 * 2.0 * x + 2.0 * k[kP1] * x + 2.0 * k[kP2] * y + 2.0 * k[kS3] * x + 4.0 * k[kS4] * d.r2 * x;
  j.dyd_dy = d.f + y * df_dr2 * 2.0 * y + 6.0 * k[kP1] * y + 2.0 * k[kP2] * x + 2.0 * k[kS3] * y +
             4.0 * k[kS4] * d.r2 * y;
  return j;
}

// ∂x″/∂dist[j] and ∂y″/∂dist[j] for the twelve coefficients k1..s4, in the
// order of CameraModel::dist.
template <class T>
struct CoefficientDerivatives {
  T dxd[12] = {};
  T dyd[12] = {};
};

template <class T>
inline CoefficientDerivatives<T> coefficient_derivatives(const Distortion<T>& d) noexcept {
  CoefficientDerivatives<T> c;
  const T inv_den = 1.0 / d.den;
  const T radial[6] = {d.r2 * inv_den, d.r4 * inv_den, d.r6 * inv_den,
                       -d.f * d.r2 * inv_den, -d.f * d.r4 * inv_den, -d.f * d.r6 * inv_den};
  const DistortionTerm slots[6] = {kK1, kK2, kK3, kK4, kK5, kK6};
  for (std::size_t i = 0; i < 6; ++i) {
    c.dxd[slots[i]] = d.x * radial[i];
    c.dyd[slots[i]] = d.y * radial[i];
  }
  const T xy2 = 2.0 * d.x * d.y;
  c.dxd[kP1] = xy2;
  c.dyd[kP1] = d.r2 + 2.0 * d.y * d.y;
  c.dxd[kP2] = d.r2 + 2.0 * d.x * d.x;
  c.dyd[kP2] = xy2;
  c.dxd[kS1] = d.r2;
  c.dxd[kS2] = d.r4;
  c.dyd[kS3] = d.r2;
  c.dyd[kS4] = d.r4;
  return c;
}

// Pixels of a distortion at inverse depth w (the depth's share of the
// derivative).
template <bool kWithDerivatives, class T, class Camera = CameraModel>
inline PixelMapping<T> pixel_mapping(const Distortion<T>& d, T w, const Camera& cam) noexcept {
  PixelMapping<T> out;
  out.u = cam.fx * d.xd + cam.cx;
  out.v = cam.fy * d.yd + cam.cy;
  if constexpr (kWithDerivatives) {
    const DistortionJacobian<T> j = distortion_jacobian(d, cam);
    const T x = d.x;
    const T y = d.y;
    // ∂(x′, y′)/∂(xc, yc, zc) = w·[[1, 0, −x′], [0, 1, −y′]], w treated as
    // above (1 at zero depth).
    out.du[0] = cam.fx * (j.dxd_dx * w);
    out.du[1] = cam.fx * (j.dxd_dy * w);
    out.du[2] = cam.fx * (j.dxd_dx * (-x * w) + j.dxd_dy * (-y * w));
    out.dv[0] = cam.fy * (j.dyd_dx * w);
    out.dv[1] = cam.fy * (j.dyd_dy * w);
    out.dv[2] = cam.fy * (j.dyd_dx * (-x * w) + j.dyd_dy * (-y * w));
  }
  return out;
}

template <bool kWithDerivatives, class T>
inline PixelMapping<T> map_to_pixel(T xc, T yc, T zc, const CameraModel& cam) noexcept {
  const T w = inverse_depth(zc);
  return pixel_mapping<kWithDerivatives>(distort(xc * w, yc * w, cam), w, cam);
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
