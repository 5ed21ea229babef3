// Poses of single square markers in closed form. A square's homography
// admits two poses that explain it about equally well (a plane seen from two
// mirrored tilts); infinitesimal plane-based pose estimation reads both from
// the homography's first derivative at the marker centre. Each rotation gets
// the translation that best places the corners on their rays, and the pose
// with the smaller pixel reprojection error stands.
#pragma once

#include <optional>
#include <span>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "pose/rigid_body.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// The two rotations (plane frame -> camera) of a plane whose homography H
// maps plane coordinates to normalised image points, read at the plane
// origin, and the depth of that origin. None when H is degenerate there.
struct PlanePoseCandidates {
  Matrix3 rotations[2];
  double depth = 0.0;
};
std::optional<PlanePoseCandidates> plane_pose_candidates(const Matrix3& h) noexcept;

// One pose per marker (marker frame: corners (−L/2, L/2, 0), (L/2, L/2, 0),
// (L/2, −L/2, 0), (−L/2, −L/2, 0), z out of the marker), or none where the
// corners are not finite or admit no pose. `marker_length` must be finite
// and positive. Markers in parallel.
Vec<std::optional<Pose>> estimate_marker_poses(std::span<const MarkerCorners2> corners, double marker_length,
                                               const CameraModel& camera);

}  // namespace morvelin
