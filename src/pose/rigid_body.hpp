// Rigid bodies: square markers with fixed transforms into one reference
// frame, and the pose of that frame from the markers detected in one image
// (iterative PnP for one known marker, RANSAC PnP for several).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "pose/ransac_pnp.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

using MarkerCorners3 = std::array<Point3, 4>;
using MarkerCorners2 = std::array<Point2, 4>;

// Corners of a marker of side `tag_size` in its own frame, h = tag_size/2:
// (−h, h, 0), (h, h, 0), (h, −h, 0), (−h, −h, 0). Detected corner k pairs
// with corner k.
MarkerCorners3 marker_corner_layout(double tag_size) noexcept;

// Immutable after construction: every member function is const and nothing
// is cached, so one instance can be read by many threads at once.
class RigidBody {
 public:
  // Checks in order (ids in decimal):
  //   "tag_size_m must be finite and greater than zero"
  //   "rigid body must contain at least one marker"
  //   "marker_ids, rotations_marker_to_reference and translations_marker_to_reference must have the same length"
  //   then per marker in order:
  //   "duplicate marker id <id>"
  //   "marker <id> transform must contain only finite values"
  //   "marker <id> rotation must be an orthonormal matrix with determinant +1"   (tolerance 0.001)
  // Rotations are kept as given, not re-orthonormalised.
  static Result<RigidBody> create(double tag_size_m, std::span<const std::int32_t> marker_ids,
                                  std::span<const Matrix3> rotations_marker_to_reference,
                                  std::span<const Vector3> translations_marker_to_reference);

  double tag_size_m() const noexcept { return tag_size_m_; }
  std::span<const std::int32_t> marker_ids() const noexcept { return marker_ids_; }
  // The transforms as given at construction, in marker order.
  std::span<const Matrix3> rotations() const noexcept { return rotations_; }
  std::span<const Vector3> translations() const noexcept { return translations_; }
  // Position of `id` in marker_ids(), if the body has it.
  std::optional<std::size_t> marker_index(std::int32_t id) const;
  // Reference-frame corners of the marker at `index` (< marker_ids().size()).
  const MarkerCorners3& marker_corners(std::size_t index) const noexcept { return corners_[index]; }

 private:
  RigidBody() = default;

  double tag_size_m_ = 0.0;
  Vec<std::int32_t> marker_ids_;
  std::unordered_map<std::int32_t, std::size_t, std::hash<std::int32_t>, std::equal_to<std::int32_t>,
                     Allocator<std::pair<const std::int32_t, std::size_t>>>
      index_;
  Vec<Matrix3> rotations_;
  Vec<Vector3> translations_;
  Vec<MarkerCorners3> corners_;
};

// The known markers of one detection, paired corner by corner: known-marker
// corner j = 4·m + k is corner k of used_marker_ids[m].
struct RigidBodyObservations {
  Vec<std::int32_t> used_marker_ids;  // in detection order
  Vec<Point3> object_points;          // reference-frame corners
  Vec<Point2> image_points;           // detected corners

  bool empty() const noexcept { return used_marker_ids.empty(); }
};

// Walks the detected markers in order. Errors:
//   "marker_corners and marker_ids must have the same length"
//   "duplicate detected marker id <id>"              (unknown ids too)
//   "marker <id> corners must contain only finite values"   (known ids only)
// Unknown ids are skipped without looking at their corners. An empty result
// means no known marker: the caller answers "no pose" before looking at the
// camera model.
Result<RigidBodyObservations> collect_rigid_body_observations(const RigidBody& body,
                                                              std::span<const MarkerCorners2> marker_corners,
                                                              std::span<const std::int32_t> marker_ids);

struct RigidBodyPose {
  Vector3 rvec{};                       // reference frame → camera
  Vector3 tvec{};
  Vec<std::size_t> inlier_indices;      // into the known-marker corners
  Vec<std::int32_t> inlier_marker_ids;  // used markers with at least 3 inlier corners
  Vec<std::int32_t> used_marker_ids;
  double reprojection_rmse = 0.0;
};

// One known marker: PnP (limit 20) on its 4 corners, all 4 counted as
// inliers. Several: RANSAC PnP with `settings`. No pose when the solver finds
// none or there are no observations. Settings are expected to have passed
// validate_ransac_settings.
std::optional<RigidBodyPose> estimate_rigid_body_pose(const RigidBodyObservations& observations,
                                                      const CameraModel& camera, const RansacPnpSettings& settings);

}  // namespace morvelin
