#include "calibration/marker_pose.hpp"

#include <cmath>

#include "calibration/undistortion.hpp"
#include "pose/matrix3.hpp"
#include "pose/pnp.hpp"
#include "pose/rotation_vector.hpp"
#include "pose/small_lu.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

namespace {

constexpr std::size_t kParallelMarkers = 8;

// The translation that best places `object` (under rotation r) on the rays
// of `normalised`: Σ |(x_i·z − x, y_i·z − y)|² over the camera points, a
// linear least-squares problem in t.
std::optional<Vector3> translation_for(const Matrix3& r, std::span<const Point3> object,
                                       std::span<const Point2> normalised) noexcept {
  SquareMatrix<3> m{};
  std::array<double, 3> rhs{};
  for (std::size_t i = 0; i < object.size(); ++i) {
    const Vector3 rx = multiply(r, object[i]);
    const double rows[2][3] = {{1.0, 0.0, -normalised[i][0]}, {0.0, 1.0, -normalised[i][1]}};
    for (const auto& row : rows) {
      const double projected = row[0] * rx[0] + row[1] * rx[1] + row[2] * rx[2];
      for (std::size_t a = 0; a < 3; ++a) {
        rhs[a] -= row[a] * projected;
        for (std::size_t b = 0; b < 3; ++b) m[a][b] += row[a] * row[b];
      }
    }
  }
  std::array<double, 3> t{};
  if (!lu_solve_in_place<3>(m, rhs, t)) return std::nullopt;
  return t;
}

std::optional<Pose> marker_pose(const MarkerCorners3& object, const MarkerCorners2& pixels,
                                std::span<const Point2> normalised, const PlaneHomography& plane,
                                const CameraModel& camera) {
  const auto candidates = plane_pose_candidates(plane.h);
  if (!candidates) return std::nullopt;
  std::optional<Pose> best;
  double best_cost = HUGE_VAL;
  for (const Matrix3& r_plane : candidates->rotations) {
    const Matrix3 r = multiply(r_plane, plane.plane_rotation);
    const auto t = translation_for(r, object, normalised);
    if (!t) continue;
    const Pose pose{rotation_vector(r), *t};
    const double cost = reprojection_cost(object, pixels, pose, camera);
    if (cost < best_cost) {  // a NaN cost never wins
      best = pose;
      best_cost = cost;
    }
  }
  return best;
}

bool finite_corners(const MarkerCorners2& corners) noexcept {
  for (const Point2& p : corners) {
    if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return false;
  }
  return true;
}

}  // namespace

std::optional<PlanePoseCandidates> plane_pose_candidates(const Matrix3& h) noexcept {
  // Image v of the origin and the Jacobian J of the image point with respect
  // to the plane coordinates there.
  const double vx = h[0][2] / h[2][2];
  const double vy = h[1][2] / h[2][2];
  const double v[2] = {vx, vy};
  double j[2][2];
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) j[r][c] = (h[r][c] - v[r] * h[2][c]) / h[2][2];
  }
  // Rv turns the optical axis onto the ray of v. With P = [I | −v], which
  // annihilates that ray, J = P·R[:, 0:2]/depth = B·Q/depth where
  // B = P·Rv[:, 0:2] and Q is the upper-left 2 x 2 block of Rvᵀ·R.
  const double norm_v = std::sqrt(vx * vx + vy * vy);
  const double angle = std::atan2(norm_v, 1.0);
  const Matrix3 rv = norm_v > 0.0 ? rotation_matrix(Vector3{-vy / norm_v * angle, vx / norm_v * angle, 0.0}) : kIdentity3;
  double b[2][2];
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) b[r][c] = rv[r][c] - v[r] * rv[2][c];
  }
  const double det_b = b[0][0] * b[1][1] - b[0][1] * b[1][0];
  const double a[2][2] = {{(b[1][1] * j[0][0] - b[0][1] * j[1][0]) / det_b, (b[1][1] * j[0][1] - b[0][1] * j[1][1]) / det_b},
                          {(b[0][0] * j[1][0] - b[1][0] * j[0][0]) / det_b, (b[0][0] * j[1][1] - b[1][0] * j[0][1]) / det_b}};
  // The largest singular value of A = Q/depth is 1/depth: a 2 x 2 block of a
  // rotation has singular values 1 and |q33|.
  const double f = a[0][0] * a[0][0] + a[0][1] * a[0][1] + a[1][0] * a[1][0] + a[1][1] * a[1][1];
  const double det_a = a[0][0] * a[1][1] - a[0][1] * a[1][0];
  const double gamma = std::sqrt(0.5 * (f + std::sqrt(std::max(f * f - 4.0 * det_a * det_a, 0.0))));
  if (!(gamma > 0.0) || !std::isfinite(gamma)) return std::nullopt;
  const double q11 = a[0][0] / gamma, q12 = a[0][1] / gamma, q21 = a[1][0] / gamma, q22 = a[1][1] / gamma;
  // The third row completes the first two columns to unit length, with
  // q31·q32 = −(q11·q12 + q21·q22) for orthogonality, up to a common sign:
  // the two poses.
  const double q31 = std::sqrt(std::max(1.0 - q11 * q11 - q21 * q21, 0.0));
  double q32 = std::sqrt(std::max(1.0 - q12 * q12 - q22 * q22, 0.0));
  if (q11 * q12 + q21 * q22 > 0.0) q32 = -q32;
  PlanePoseCandidates out;
  out.depth = 1.0 / gamma;
  for (int k = 0; k < 2; ++k) {
    const double sign = k == 0 ? 1.0 : -1.0;
    const Vector3 c1 = {q11, q21, sign * q31};
    const Vector3 c2 = {q12, q22, sign * q32};
    const Vector3 c3 = cross3(c1, c2);
    const Matrix3 q = {{{c1[0], c2[0], c3[0]}, {c1[1], c2[1], c3[1]}, {c1[2], c2[2], c3[2]}}};
    out.rotations[k] = multiply(rv, q);
  }
  for (const Matrix3& r : out.rotations) {
    for (const auto& row : r) {
      for (double e : row) {
        if (!std::isfinite(e)) return std::nullopt;
      }
    }
  }
  return out;
}

Vec<std::optional<Pose>> estimate_marker_poses(std::span<const MarkerCorners2> corners, double marker_length,
                                               const CameraModel& camera) {
  const std::size_t count = corners.size();
  const MarkerCorners3 object = marker_corner_layout(marker_length);
  Vec<MarkerCorners2> normalised(count);
  Vec<std::span<const Point3>> objects(count, std::span<const Point3>(object));
  Vec<std::span<const Point2>> images(count);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t k = 0; k < 4; ++k) normalised[i][k] = undistort_point(corners[i][k], camera);
    images[i] = normalised[i];
  }
  Vec<std::optional<PlaneHomography>> planes(count);
  plane_homographies(objects, images, planes);
  Vec<std::optional<Pose>> poses(count);
  const auto solve = [&](std::size_t i) {
    if (planes[i] && finite_corners(corners[i])) {
      poses[i] = marker_pose(object, corners[i], normalised[i], *planes[i], camera);
    }
  };
  if (count >= kParallelMarkers) {
    parallel_for(count, solve);
  } else {
    for (std::size_t i = 0; i < count; ++i) solve(i);
  }
  return poses;
}

}  // namespace morvelin
