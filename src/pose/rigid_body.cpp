#include "pose/rigid_body.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_set>

#include "pose/matrix3.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"

namespace morvelin {

namespace {

constexpr double kOrthonormalTolerance = 0.001;

bool finite_transform(const Matrix3& r, const Vector3& t) noexcept {
  const auto finite = [](double v) { return std::isfinite(v); };
  return std::all_of(r.begin(), r.end(), [&](const Vector3& row) { return std::all_of(row.begin(), row.end(), finite); }) &&
         std::all_of(t.begin(), t.end(), finite);
}

bool orthonormal(const Matrix3& r) noexcept {
  const double deviations[] = {
      std::fabs(dot3(r[0], r[0]) - 1.0), std::fabs(dot3(r[1], r[1]) - 1.0), std::fabs(dot3(r[2], r[2]) - 1.0),
      std::fabs(dot3(r[0], r[1])),       std::fabs(dot3(r[0], r[2])),       std::fabs(dot3(r[1], r[2])),
      std::fabs(determinant(r) - 1.0),
  };
  return std::all_of(std::begin(deviations), std::end(deviations), [](double d) { return d <= kOrthonormalTolerance; });
}

bool finite_corners(const MarkerCorners2& corners) noexcept {
  return std::all_of(corners.begin(), corners.end(),
                     [](const Point2& p) { return std::isfinite(p[0]) && std::isfinite(p[1]); });
}

std::string marker_message(std::int32_t id, const char* rest) { return "marker " + std::to_string(id) + rest; }

Vec<std::int32_t> markers_with_inliers(std::span<const std::int32_t> used, std::span<const std::size_t> inliers) {
  Vec<std::size_t> counts(used.size(), 0);
  for (std::size_t j : inliers) {
    if (j / 4 < counts.size()) ++counts[j / 4];
  }
  Vec<std::int32_t> ids;
  for (std::size_t m = 0; m < used.size(); ++m) {
    if (counts[m] > 2) ids.push_back(used[m]);
  }
  return ids;
}

std::optional<RigidBodyPose> single_marker_pose(const RigidBodyObservations& obs, const CameraModel& camera) {
  const std::optional<Pose> pose = solve_pnp(obs.object_points, obs.image_points, camera, std::nullopt, kSolvePnpIterations);
  if (!pose) return std::nullopt;
  const Vec<Point2> projected = project_points(obs.object_points, *pose, camera);
  double sum = 0.0;
  for (std::size_t i = 0; i < projected.size(); ++i) {
    const double du = projected[i][0] - obs.image_points[i][0];
    const double dv = projected[i][1] - obs.image_points[i][1];
    sum += du * du + dv * dv;
  }
  RigidBodyPose out;
  out.rvec = pose->rvec;
  out.tvec = pose->tvec;
  out.inlier_indices = {0, 1, 2, 3};
  out.reprojection_rmse = std::sqrt(sum / 4.0);
  return out;
}

}  // namespace

MarkerCorners3 marker_corner_layout(double tag_size) noexcept {
  const double h = tag_size / 2.0;
  return {{{-h, h, 0.0}, {h, h, 0.0}, {h, -h, 0.0}, {-h, -h, 0.0}}};
}

Result<RigidBody> RigidBody::create(double tag_size_m, std::span<const std::int32_t> marker_ids,
                                    std::span<const Matrix3> rotations_marker_to_reference,
                                    std::span<const Vector3> translations_marker_to_reference) {
  if (!std::isfinite(tag_size_m) || tag_size_m <= 0.0) {
    return value_error("tag_size_m must be finite and greater than zero");
  }
  if (marker_ids.empty()) return value_error("rigid body must contain at least one marker");
  if (marker_ids.size() != rotations_marker_to_reference.size() ||
      marker_ids.size() != translations_marker_to_reference.size()) {
    return value_error(
        "marker_ids, rotations_marker_to_reference and translations_marker_to_reference must have the same length");
  }
  RigidBody body;
  body.tag_size_m_ = tag_size_m;
  const MarkerCorners3 layout = marker_corner_layout(tag_size_m);
  for (std::size_t i = 0; i < marker_ids.size(); ++i) {
    const std::int32_t id = marker_ids[i];
    const Matrix3& r = rotations_marker_to_reference[i];
    const Vector3& t = translations_marker_to_reference[i];
    if (body.index_.contains(id)) return value_error("duplicate marker id " + std::to_string(id));
    if (!finite_transform(r, t)) return value_error(marker_message(id, " transform must contain only finite values"));
    if (!orthonormal(r)) {
      return value_error(marker_message(id, " rotation must be an orthonormal matrix with determinant +1"));
    }
    body.index_.emplace(id, i);
    body.marker_ids_.push_back(id);
    body.rotations_.push_back(r);
    body.translations_.push_back(t);
    MarkerCorners3 corners{};
    for (std::size_t k = 0; k < 4; ++k) {
      const Vector3 rc = multiply(r, layout[k]);
      corners[k] = {rc[0] + t[0], rc[1] + t[1], rc[2] + t[2]};
    }
    body.corners_.push_back(corners);
  }
  return body;
}

std::optional<std::size_t> RigidBody::marker_index(std::int32_t id) const {
  const auto it = index_.find(id);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

Result<RigidBodyObservations> collect_rigid_body_observations(const RigidBody& body,
                                                              std::span<const MarkerCorners2> marker_corners,
                                                              std::span<const std::int32_t> marker_ids) {
  if (marker_corners.size() != marker_ids.size()) {
    return value_error("marker_corners and marker_ids must have the same length");
  }
  RigidBodyObservations obs;
  std::unordered_set<std::int32_t, std::hash<std::int32_t>, std::equal_to<std::int32_t>, Allocator<std::int32_t>> seen;
  for (std::size_t i = 0; i < marker_ids.size(); ++i) {
    const std::int32_t id = marker_ids[i];
    if (!seen.insert(id).second) return value_error("duplicate detected marker id " + std::to_string(id));
    const std::optional<std::size_t> index = body.marker_index(id);
    if (!index) continue;
    if (!finite_corners(marker_corners[i])) return value_error(marker_message(id, " corners must contain only finite values"));
    obs.used_marker_ids.push_back(id);
    const MarkerCorners3& reference = body.marker_corners(*index);
    obs.object_points.insert(obs.object_points.end(), reference.begin(), reference.end());
    obs.image_points.insert(obs.image_points.end(), marker_corners[i].begin(), marker_corners[i].end());
  }
  return obs;
}

std::optional<RigidBodyPose> estimate_rigid_body_pose(const RigidBodyObservations& observations,
                                                      const CameraModel& camera, const RansacPnpSettings& settings) {
  std::optional<RigidBodyPose> pose;
  if (observations.used_marker_ids.size() == 1) {
    pose = single_marker_pose(observations, camera);
  } else if (observations.used_marker_ids.size() > 1) {
    std::optional<RansacPnpResult> result =
        solve_pnp_ransac(observations.object_points, observations.image_points, camera, settings);
    if (result) {
      pose.emplace();
      pose->rvec = result->pose.rvec;
      pose->tvec = result->pose.tvec;
      pose->inlier_indices = std::move(result->inliers);
      pose->reprojection_rmse = result->reprojection_rmse;
    }
  }
  if (!pose) return std::nullopt;
  pose->used_marker_ids = observations.used_marker_ids;
  pose->inlier_marker_ids = markers_with_inliers(observations.used_marker_ids, pose->inlier_indices);
  return pose;
}

}  // namespace morvelin
