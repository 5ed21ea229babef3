// Pose of a ChArUco board from its interpolated chessboard corners: each id
// selects a board corner, collinear selections are refused, and the rest go
// to the iterative PnP solver.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

using BoardPoint = std::array<float, 3>;  // a board's chessboard corner (x, y, z), board units

// True when the (x, y) of all points lie within 1e-6 of one line, or all
// coincide within 1e-9 (z is ignored). The line runs through the first point
// along the first later point that differs from it by more than 1e-9 in x or y.
bool board_points_collinear(std::span<const Point3> points) noexcept;

// The ids' board points widened to double, in id order. Error
// "charuco id <id> out of range" for the first id that is negative or not
// below board_points.size().
Result<Vec<Point3>> select_board_points(std::span<const std::int64_t> charuco_ids,
                                        std::span<const BoardPoint> board_points);

// `estimate_pose_charuco_board` in order:
//   "charuco_corners and charuco_ids must have the same length"
//   fewer than 4 corners: no pose (the camera is not examined)
//   the camera-model messages of parse_camera_model
//   "charuco id <id> out of range"
//   collinear or coincident board points: no pose
//   PnP with no starting pose, limit 20; no pose when it finds none.
Result<std::optional<Pose>> estimate_charuco_board_pose(std::span<const Point2> charuco_corners,
                                                        std::span<const std::int64_t> charuco_ids,
                                                        std::span<const BoardPoint> board_points,
                                                        std::span<const Vec<double>> camera_matrix,
                                                        std::optional<std::span<const double>> dist_coeffs);

}  // namespace morvelin
