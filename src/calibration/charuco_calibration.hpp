// Calibration views from ChArUco detections: each corner id selects its
// board point; views with too few or collinear corners are left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "calibration/calibrate_camera.hpp"
#include "pose/board_pose.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

inline constexpr std::size_t kMinCharucoViewCorners = 6;

struct CharucoViews {
  Vec<Vec<Point3>> object_points;  // one list per view used
  Vec<std::size_t> view_indices;   // the input index of each view used
};

// Checks, in order:
//   "charuco_corners and charuco_ids must hold the same number of views"
//   per view i: "view <i>: charuco_corners and charuco_ids must have the same length",
//               "charuco id <id> out of range"
//   "no view has at least 6 corners that are not collinear"
// A view with fewer than 6 corners, or whose board points lie on one line,
// is left out.
Result<CharucoViews> charuco_calibration_views(std::span<const Vec<Point2>> charuco_corners,
                                               std::span<const Vec<std::int64_t>> charuco_ids,
                                               std::span<const BoardPoint> board_points);

}  // namespace morvelin
