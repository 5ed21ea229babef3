// The pinhole-with-distortion mapping of one camera-frame point to pixels,
// with its derivative, shared by every projecting loop so that all of them
// compute bit-identical pixels.
#pragma once

#include "pose/camera_model.hpp"
#include "pose/matrix3.hpp"
#include "pose/pose.hpp"

namespace morvelin {

// Pinhole-with-distortion mapping of one camera-frame point, with the 2x3
// derivative of the pixel coordinates with respect to that point.
struct PixelMapping {
  Point2 pixel{};
  double du[3] = {};
  double dv[3] = {};
};

template <bool kWithDerivatives>
inline PixelMapping map_to_pixel(const Vector3& pc, const CameraModel& cam) noexcept {
  const auto& k = cam.dist;
  // Depth exactly 0 keeps the point undivided; NaN depth gives NaN.
  const double w = pc[2] != 0.0 ? 1.0 / pc[2] : 1.0;
  const double x = pc[0] * w;
  const double y = pc[1] * w;
  const double r2 = x * x + y * y;
  const double r4 = r2 * r2;
  const double r6 = r2 * r4;
  const double num = 1.0 + k[kK1] * r2 + k[kK2] * r4 + k[kK3] * r6;
  const double den = 1.0 + k[kK4] * r2 + k[kK5] * r4 + k[kK6] * r6;
  const double f = num / den;
  const double xd = x * f + 2.0 * k[kP1] * x * y + k[kP2] * (r2 + 2.0 * x * x) + k[kS1] * r2 + k[kS2] * r4;
  const double yd = y * f + k[kP1] * (r2 + 2.0 * y * y) + 2.0 * k[kP2] * x * y + k[kS3] * r2 + k[kS4] * r4;

  PixelMapping out;
  out.pixel = {cam.fx * xd + cam.cx, cam.fy * yd + cam.cy};
  if constexpr (kWithDerivatives) {
    const double dnum = k[kK1] + 2.0 * k[kK2] * r2 + 3.0 * k[kK3] * r4;
    const double dden = k[kK4] + 2.0 * k[kK5] * r2 + 3.0 * k[kK6] * r4;
    const double df_dr2 = (dnum * den - num * dden) / (den * den);
    // ∂(x″, y″)/∂(x′, y′), with ∂r²/∂x′ = 2x′ and ∂r²/∂y′ = 2y′.
    const double dxd_dx = f + x * df_dr2 * 2.0 * x + 2.0 * k[kP1] * y + 6.0 * k[kP2] * x + 2.0 * k[kS1] * x +
                          4.0 * k[kS2] * r2 * x;
    const double dxd_dy =
        x * df_dr2 * 2.0 * y + 2.0 * k[kP1] * x + 2.0 * k[kP2] * y + 2.0 * k[kS1] * y + 4.0 * k[kS2] * r2 * y;
    const double dyd_dx =
        y * df_dr2 * 2.0 * x + 2.0 * k[kP1] * x + 2.0 * k[kP2] * y + 2.0 * k[kS3] * x + 4.0 * k[kS4] * r2 * x;
    const double dyd_dy = f + y * df_dr2 * 2.0 * y + 6.0 * k[kP1] * y + 2.0 * k[kP2] * x + 2.0 * k[kS3] * y +
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

// R·X + t, each row summed in index order.
inline Vector3 to_camera_frame(const Matrix3& r, const Vector3& t, const Point3& p) noexcept {
  return {dot3(r[0], p) + t[0], dot3(r[1], p) + t[1], dot3(r[2], p) + t[2]};
}

}  // namespace morvelin
