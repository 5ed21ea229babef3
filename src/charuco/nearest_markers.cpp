#include "charuco/nearest_markers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>

#include "charuco/board_layout.hpp"
#include "runtime/owned_array.hpp"

namespace morvelin {
namespace {

using board_layout::PlanePoint;
using board_layout::squared_distance;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// t = (0.01 L)^2 in single precision, widened.
double distance_tolerance(float square_length) {
  const float tolerance = 0.01f * square_length;
  return static_cast<double>(tolerance * tolerance);
}

// The list under construction for one corner and its reference distance.
class NearestChain {
 public:
  NearestChain(Vec<std::uint64_t>& list, double tolerance) : list_(list), tolerance_(tolerance) { list_.clear(); }

  void offer(std::uint64_t marker, double distance) {
    if (list_.empty()) {
      start(marker, distance);
    } else if (std::fabs(distance - reference_) < tolerance_) {
      list_.push_back(marker);
      reference_ = distance;
    } else if (distance < reference_) {
      start(marker, distance);
    }
  }

 private:
  void start(std::uint64_t marker, double distance) {
    list_.clear();
    list_.push_back(marker);
    reference_ = distance;
  }

  Vec<std::uint64_t>& list_;
  double tolerance_;
  double reference_ = 0.0;
};

double centre_distance(const BoardPoint& p, const MarkerCorners& marker) {
  const PlanePoint centre = board_layout::marker_centre(marker);
  return squared_distance(p[0], p[1], centre.x, centre.y);
}

// Corner of `marker` closest to `p`; the lowest index wins ties.
std::uint64_t closest_corner(const BoardPoint& p, const MarkerCorners& marker) {
  std::uint64_t best = 0;
  double best_distance = squared_distance(p[0], p[1], marker[0][0], marker[0][1]);
  for (std::uint64_t k = 1; k < 4; ++k) {
    const double d = squared_distance(p[0], p[1], marker[k][0], marker[k][1]);
    if (d < best_distance) {
      best = k;
      best_distance = d;
    }
  }
  return best;
}

// Appends one corner's list; refuses growth beyond the machine's memory.
void append_list(NearestMarkerLists& lists, std::span<const std::uint64_t> list, const BoardPoint& p,
                 std::span<const MarkerCorners> markers) {
  const std::size_t needed = lists.markers.size() + list.size();
  if (needed > lists.markers.capacity()) {
    auto fits = [](std::size_t entries) {
      return entries <= std::numeric_limits<std::size_t>::max() / 32 &&
             fits_in_physical_memory(entries * 2 * sizeof(std::uint64_t));
    };
    std::size_t grown = std::max(needed, 2 * lists.markers.capacity());
    if (!fits(grown)) grown = needed;
    if (!fits(grown)) throw std::bad_alloc();
    lists.markers.reserve(grown);
    lists.marker_corners.reserve(grown);
  }
  for (const std::uint64_t l : list) {
    lists.markers.push_back(l);
    lists.marker_corners.push_back(closest_corner(p, markers[l]));
  }
  lists.offsets.push_back(lists.markers.size());
}

void scan_all_markers(const BoardPoint& p, std::span<const MarkerCorners> markers, double tolerance,
                      Vec<std::uint64_t>& list) {
  NearestChain chain(list, tolerance);
  for (std::size_t l = 0; l < markers.size(); ++l) chain.offer(l, centre_distance(p, markers[l]));
}

// Column and row centres of the board's marker squares are non-decreasing in
// the column and row index when L > 0 and every value involved is finite,
// since each rounding step is monotonic. This checks those conditions on the
// extreme squares and corner.
bool centres_are_monotonic(const BoardGrid& g) {
  const float inset = (g.square_length - g.marker_length) * 0.5f;
  if (!(g.square_length > 0.0f) || !std::isfinite(g.square_length) || !std::isfinite(g.marker_length) ||
      !std::isfinite(inset)) {
    return false;
  }
  const auto first = board_layout::marker_centre(
      board_layout::marker_corners_in_square(0, 0, g.square_length, g.marker_length));
  const auto last = board_layout::marker_centre(
      board_layout::marker_corners_in_square(g.squares_y - 1, g.squares_x - 1, g.square_length, g.marker_length));
  const BoardPoint far_corner = board_layout::chessboard_corner(g.squares_x - 1, g.squares_y - 1, g.square_length);
  return std::isfinite(first.x) && std::isfinite(first.y) && std::isfinite(last.x) && std::isfinite(last.y) &&
         std::isfinite(far_corner[0]) && std::isfinite(far_corner[1]);
}

// Lower bound of the squared centre distance of every marker outside columns
// [c - 1, c] (when `columns`) or rows [r - 1, r], from the nearest outside
// column or row on each side. With monotonic centres, the signed difference
// to the corner shrinks toward the neighbourhood, so each side's nearest
// outside line bounds all lines beyond it, provided that difference has the
// sign of its side. Nothing when it has not.
std::optional<double> outside_bound(const BoardGrid& g, std::uint64_t index, std::uint64_t count, float position,
                                    bool columns) {
  auto centre = [&](std::uint64_t k) {
    const auto corners = columns ? board_layout::marker_corners_in_square(0, k, g.square_length, g.marker_length)
                                 : board_layout::marker_corners_in_square(k, 0, g.square_length, g.marker_length);
    const PlanePoint c = board_layout::marker_centre(corners);
    return columns ? c.x : c.y;
  };
  double bound = kInfinity;
  if (index >= 2) {
    const float d = position - centre(index - 2);
    if (!(d >= 0.0f)) return std::nullopt;
    bound = std::min(bound, static_cast<double>(d) * static_cast<double>(d));
  }
  if (index + 1 < count) {
    const float d = position - centre(index + 1);
    if (!(d <= 0.0f)) return std::nullopt;
    bound = std::min(bound, static_cast<double>(d) * static_cast<double>(d));
  }
  return bound;
}

// The list of corner (c, r) from the markers of the four squares round it.
// False when the markers outside are not provably irrelevant.
bool search_neighbourhood(const BoardGrid& g, std::uint64_t c, std::uint64_t r, const BoardPoint& p, double tolerance,
                          Vec<std::uint64_t>& list) {
  const auto column_bound = outside_bound(g, c, g.squares_x, p[0], true);
  const auto row_bound = outside_bound(g, r, g.squares_y, p[1], false);
  if (!column_bound || !row_bound) return false;
  const double outside = std::min(*column_bound, *row_bound);

  NearestChain chain(list, tolerance);
  double farthest_inside = -kInfinity;
  bool any = false;
  for (std::uint64_t i = r - 1; i <= r; ++i) {
    for (std::uint64_t j = c - 1; j <= c; ++j) {
      if (!board_layout::holds_marker(i, j, g.parity)) continue;
      const std::uint64_t l = board_layout::marker_index(i, j, g.squares_x, g.parity);
      const double d = centre_distance(p, g.markers[l]);
      if (std::isnan(d)) return false;
      farthest_inside = std::max(farthest_inside, d);
      chain.offer(l, d);
      any = true;
    }
  }
  // Every outside distance D >= outside >= farthest_inside + tolerance: D can
  // never be within the tolerance of the reference once a neighbourhood
  // marker set it, nor below it; and the first neighbourhood marker always
  // restarts a list begun outside.
  return any && outside > farthest_inside && outside - farthest_inside >= tolerance;
}

NearestMarkerLists start_lists(std::size_t corner_count) {
  if (corner_count > std::numeric_limits<std::size_t>::max() / 64 ||
      !fits_in_physical_memory((corner_count + 1) * 5 * sizeof(std::uint64_t))) {
    throw std::bad_alloc();
  }
  NearestMarkerLists lists;
  lists.offsets.reserve(corner_count + 1);
  lists.offsets.push_back(0);
  lists.markers.reserve(2 * corner_count);
  lists.marker_corners.reserve(2 * corner_count);
  return lists;
}

}  // namespace

NearestMarkerLists find_nearest_markers(const BoardGrid& g) {
  NearestMarkerLists lists = start_lists(g.corners.size());
  if (g.corners.empty()) return lists;
  const double tolerance = distance_tolerance(g.square_length);
  const bool regular = !g.markers.empty() && centres_are_monotonic(g);
  Vec<std::uint64_t> list;
  std::size_t index = 0;
  for (std::uint64_t r = 1; r < g.squares_y; ++r) {
    for (std::uint64_t c = 1; c < g.squares_x; ++c, ++index) {
      const BoardPoint& p = g.corners[index];
      if (!regular || !search_neighbourhood(g, c, r, p, tolerance, list)) {
        scan_all_markers(p, g.markers, tolerance, list);
      }
      append_list(lists, list, p, g.markers);
    }
  }
  return lists;
}

}  // namespace morvelin
