#include "pose/pnp.hpp"

#include <algorithm>
#include <cmath>

namespace morvelin {

namespace {

bool finite_pose(const Pose& pose) noexcept {
  const auto finite = [](double v) { return std::isfinite(v); };
  return std::all_of(pose.rvec.begin(), pose.rvec.end(), finite) && std::all_of(pose.tvec.begin(), pose.tvec.end(), finite);
}

}  // namespace

std::optional<Pose> solve_pnp(std::span<const Point3> object_points, std::span<const Point2> image_points,
                              const CameraModel& camera, const std::optional<Pose>& start, unsigned iteration_limit) {
  if (object_points.size() < kMinPnpPoints || object_points.size() != image_points.size()) return std::nullopt;
  const std::optional<Pose> initial = start ? start : initial_pnp_pose(object_points, image_points, camera);
  if (!initial) return std::nullopt;
  return refine_pnp_pose(object_points, image_points, camera, *initial, iteration_limit);
}

std::optional<Pose> refine_pnp_pose(std::span<const Point3> object_points, std::span<const Point2> image_points,
                                    const CameraModel& camera, const Pose& start, unsigned iteration_limit) {
  return solved_pose(refine_pose_lm(object_points, image_points, camera, start, iteration_limit));
}

std::optional<Pose> solved_pose(const LmOutcome& refined) noexcept {
  // A non-finite cost means non-finite input: no step could be judged, and
  // handing back the untouched starting pose would pass it off as a solution.
  if (!finite_pose(refined.pose) || !std::isfinite(refined.cost)) return std::nullopt;
  return refined.pose;
}

Result<std::optional<Pose>> solve_pnp_checked(std::span<const Point3> object_points,
                                              std::span<const Point2> image_points,
                                              std::span<const Vec<double>> camera_matrix,
                                              std::optional<std::span<const double>> dist_coeffs,
                                              const std::optional<Vector3>& rvec, const std::optional<Vector3>& tvec) {
  if (object_points.size() != image_points.size()) {
    return value_error("object_points and image_points must have the same length");
  }
  if (object_points.size() < kMinPnpPoints) return value_error("need at least 4 point correspondences");
  Result<CameraModel> camera = parse_camera_model(camera_matrix, dist_coeffs);
  if (!camera) return camera.error();
  if (rvec.has_value() != tvec.has_value()) return value_error("rvec and tvec must be supplied together");
  const std::optional<Pose> start = rvec ? std::optional<Pose>(Pose{*rvec, *tvec}) : std::nullopt;
  return solve_pnp(object_points, image_points, *camera, start, kSolvePnpIterations);
}

}  // namespace morvelin
