#include "calibration/charuco_calibration.hpp"

#include <string>

namespace morvelin {

Result<CharucoViews> charuco_calibration_views(std::span<const Vec<Point2>> charuco_corners,
                                               std::span<const Vec<std::int64_t>> charuco_ids,
                                               std::span<const BoardPoint> board_points) {
  if (charuco_corners.size() != charuco_ids.size()) {
    return value_error("charuco_corners and charuco_ids must hold the same number of views");
  }
  CharucoViews out;
  for (std::size_t i = 0; i < charuco_corners.size(); ++i) {
    if (charuco_corners[i].size() != charuco_ids[i].size()) {
      return value_error("view " + std::to_string(i) + ": charuco_corners and charuco_ids must have the same length");
    }
    Result<Vec<Point3>> points = select_board_points(charuco_ids[i], board_points);
    if (!points) return points.error();
    if (points->size() < kMinCharucoViewCorners || board_points_collinear(*points)) continue;
    out.object_points.push_back(std::move(points).value());
    out.view_indices.push_back(i);
  }
  if (out.view_indices.empty()) return value_error("no view has at least 6 corners that are not collinear");
  return out;
}

}  // namespace morvelin
