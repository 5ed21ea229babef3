#include "pose/board_pose.hpp"

#include <cmath>
#include <string>

#include "pose/pnp.hpp"

namespace morvelin {

namespace {

constexpr double kDirectionThreshold = 1e-9;  // board units
constexpr double kLineDistance = 1e-6;        // board units

}  // namespace

bool board_points_collinear(std::span<const Point3> points) noexcept {
  if (points.empty()) return true;
  const Point3& p0 = points[0];
  double dx = 0.0;
  double dy = 0.0;
  bool has_direction = false;
  for (std::size_t i = 1; i < points.size() && !has_direction; ++i) {
    dx = points[i][0] - p0[0];
    dy = points[i][1] - p0[1];
    has_direction = std::fabs(dx) > kDirectionThreshold || std::fabs(dy) > kDirectionThreshold;
  }
  if (!has_direction) return true;
  const double length = std::sqrt(dx * dx + dy * dy);
  for (const Point3& p : points) {
    const double distance = std::fabs((p[0] - p0[0]) * dy - (p[1] - p0[1]) * dx) / length;
    if (distance >= kLineDistance) return false;
  }
  return true;
}

Result<Vec<Point3>> select_board_points(std::span<const std::int64_t> charuco_ids,
                                        std::span<const BoardPoint> board_points) {
  Vec<Point3> points;
  points.reserve(charuco_ids.size());
  for (const std::int64_t id : charuco_ids) {
    if (id < 0 || static_cast<std::uint64_t>(id) >= board_points.size()) {
      return value_error("charuco id " + std::to_string(id) + " out of range");
    }
    const BoardPoint& b = board_points[static_cast<std::size_t>(id)];
    points.push_back({static_cast<double>(b[0]), static_cast<double>(b[1]), static_cast<double>(b[2])});
  }
  return points;
}

Result<std::optional<Pose>> estimate_charuco_board_pose(std::span<const Point2> charuco_corners,
                                                        std::span<const std::int64_t> charuco_ids,
                                                        std::span<const BoardPoint> board_points,
                                                        std::span<const Vec<double>> camera_matrix,
                                                        std::optional<std::span<const double>> dist_coeffs) {
  if (charuco_corners.size() != charuco_ids.size()) {
    return value_error("charuco_corners and charuco_ids must have the same length");
  }
  if (charuco_corners.size() < kMinPnpPoints) return std::optional<Pose>();
  Result<CameraModel> camera = parse_camera_model(camera_matrix, dist_coeffs);
  if (!camera) return camera.error();
  Result<Vec<Point3>> object_points = select_board_points(charuco_ids, board_points);
  if (!object_points) return object_points.error();
  if (board_points_collinear(*object_points)) return std::optional<Pose>();
  return solve_pnp(*object_points, charuco_corners, *camera, std::nullopt, kSolvePnpIterations);
}

}  // namespace morvelin
