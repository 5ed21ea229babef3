#include "charuco/corner_prediction.hpp"

#include <Eigen/LU>
#include <algorithm>
#include <array>
#include <cmath>

#include "charuco/detected_marker_index.hpp"
#include "numeric/conversions.hpp"

namespace morvelin {
namespace {

constexpr double kMinDeterminant = 1e-6;
constexpr double kMinProjectiveScale = 0x1p-23;
constexpr std::int32_t kLargestWindow = 10;

std::array<Point2f, 4> plane_corners(const MarkerCorners& corners) {
  std::array<Point2f, 4> plane;
  for (std::size_t i = 0; i < 4; ++i) plane[i] = {corners[i][0], corners[i][1]};
  return plane;
}

// The prediction of one corner from the homographies of the detected
// markers touching it: one projection as it is, two or more averaged over
// the first two.
Point2f predict_corner(const CharucoBoard& board, std::size_t corner, const DetectedMarkerIndex& detected,
                       std::span<const std::optional<Homography>> homographies) {
  const BoardPoint& p = board.chessboard_corners()[corner];
  std::array<Point2f, 2> projections;
  std::size_t count = 0;
  for (const std::uint64_t l : board.nearest_markers(corner)) {
    const auto k = detected.find(board.ids()[l]);
    if (!k || !homographies[*k]) continue;
    projections[count++] = project_board_point(*homographies[*k], p[0], p[1]);
    if (count == 2) break;
  }
  if (count == 0) return kUnpredictedCorner;
  if (count == 1) return projections[0];
  return {(projections[0].x + projections[1].x) * 0.5f, (projections[0].y + projections[1].y) * 0.5f};
}

// Window of a predicted corner from the nearest corner, among the detected
// markers touching it, that lies on it.
std::int32_t corner_window(const CharucoBoard& board, std::size_t corner, Point2f prediction,
                           std::span<const DetectedMarker> markers, const DetectedMarkerIndex& detected) {
  const auto nearest = board.nearest_markers(corner);
  const auto nearest_corners = board.nearest_marker_corners(corner);
  bool found = false;
  double shortest = 0.0;
  for (std::size_t q = 0; q < nearest.size(); ++q) {
    const auto k = detected.find(board.ids()[nearest[q]]);
    if (!k) continue;
    const Point2f m = markers[*k].corners[nearest_corners[q]];
    const float dx = prediction.x - m.x;
    const float dy = prediction.y - m.y;
    const double d = std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy);
    if (!found || d < shortest) shortest = d;
    found = true;
  }
  return found ? window_for_distance(shortest) : kNoOwnWindow;
}

}  // namespace

Vec<std::optional<Homography>> marker_homographies(const CharucoBoard& board, std::span<const DetectedMarker> markers) {
  Vec<std::optional<Homography>> homographies(markers.size());
  for (std::size_t k = 0; k < markers.size(); ++k) {
    if (markers[k].id < 0) continue;
    const auto j = board.first_marker_with_id(static_cast<std::uint64_t>(markers[k].id));
    if (!j) continue;
    const auto source = plane_corners(board.marker_corners()[*j]);
    const auto h = solve_perspective(source, markers[k].corners);
    if (h && std::fabs(h.value().determinant()) > kMinDeterminant) homographies[k] = h.value();
  }
  return homographies;
}

Point2f project_board_point(const Homography& h, float x, float y) {
  const double bx = x;
  const double by = y;
  const double w = h(2, 0) * bx + h(2, 1) * by + h(2, 2);
  if (!(std::fabs(w) > kMinProjectiveScale)) return {0.0f, 0.0f};
  return {static_cast<float>((h(0, 0) * bx + h(0, 1) * by + h(0, 2)) / w),
          static_cast<float>((h(1, 0) * bx + h(1, 1) * by + h(1, 2)) / w)};
}

std::int32_t window_for_distance(double distance) {
  const auto window = saturating_cast<std::int32_t>(distance - 2.0);
  return std::min(std::max(window, std::int32_t{1}), kLargestWindow);
}

CharucoPrediction predict_corners(const CharucoBoard& board, std::span<const DetectedMarker> markers) {
  const auto homographies = marker_homographies(board, markers);
  const DetectedMarkerIndex detected(markers);
  CharucoPrediction prediction;
  prediction.corners.assign(board.corner_count(), kUnpredictedCorner);
  prediction.windows.assign(board.corner_count(), kNoOwnWindow);
  if (markers.empty()) return prediction;
  for (std::size_t c = 0; c < board.corner_count(); ++c) {
    const Point2f p = predict_corner(board, c, detected, homographies);
    prediction.corners[c] = p;
    if (p.x != kUnpredictedCorner.x || p.y != kUnpredictedCorner.y) {
      prediction.windows[c] = corner_window(board, c, p, markers, detected);
    }
  }
  return prediction;
}

}  // namespace morvelin
