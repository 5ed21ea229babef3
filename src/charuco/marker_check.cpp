#include "charuco/marker_check.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "numeric/conversions.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {
namespace {

// Single-precision differences, double square root, stored as float.
float double_rooted_distance(Point2f a, Point2f b) {
  const float dx = a.x - b.x;
  const float dy = a.y - b.y;
  return static_cast<float>(std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy));
}

Point2f midpoint(Point2f a, Point2f b) { return {(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f}; }

Point2f centre(const Quad& q) {
  float x = 0.0f;
  float y = 0.0f;
  for (const Point2f& p : q) {
    x += p.x;
    y += p.y;
  }
  return {x * 0.25f, y * 0.25f};
}

// Checks corner `corner` at `p` against every detected board marker.
bool corner_agrees(const CharucoBoard& board, std::span<const DetectedMarker> markers,
                   std::span<const std::uint8_t> on_board, Point2f p, std::size_t corner) {
  const auto nearest = board.nearest_markers(corner);
  const auto nearest_corners = board.nearest_marker_corners(corner);
  if (nearest.empty()) return true;  // no marker touches it: nothing to compare
  const std::uint64_t a = board.ids()[nearest[0]];
  const std::uint64_t b = nearest.size() > 1 ? board.ids()[nearest[1]] : a;
  float farthest_own = 0.0f;
  float nearest_other = kFloatMax;
  for (std::size_t m = 0; m < markers.size(); ++m) {
    if (!on_board[m]) continue;
    const Quad& q = markers[m].corners;
    const auto id = static_cast<std::uint64_t>(markers[m].id);
    std::optional<std::uint64_t> k;
    if (id == a) {
      k = nearest_corners[0];
    } else if (id == b) {
      k = nearest_corners[1];
    }
    if (!k) {
      nearest_other = std::min(nearest_other, double_rooted_distance(p, centre(q)));
      continue;
    }
    const float e = double_rooted_distance(p, q[*k]);
    farthest_own = std::max(farthest_own, e);
    const float s1 = double_rooted_distance(p, midpoint(q[*k], q[(*k + 1) % 4]));
    const float s2 = double_rooted_distance(p, midpoint(q[*k], q[(*k + 3) % 4]));
    if (e > std::min(s1, s2)) return false;
  }
  return !(farthest_own > 0.0f && nearest_other < kFloatMax && farthest_own > nearest_other);
}

}  // namespace

bool corners_agree_with_markers(const CharucoBoard& board, std::span<const DetectedMarker> markers,
                                std::span<const Point2f> corners, std::span<const std::uint64_t> corner_ids) {
  Vec<std::uint8_t> on_board(markers.size());
  for (std::size_t m = 0; m < markers.size(); ++m) {
    on_board[m] =
        markers[m].id >= 0 && board.first_marker_with_id(static_cast<std::uint64_t>(markers[m].id)).has_value();
  }
  for (std::size_t i = 0; i < corners.size(); ++i) {
    if (!corner_agrees(board, markers, on_board, corners[i], corner_ids[i])) return false;
  }
  return true;
}

}  // namespace morvelin
