// Recognition of a complete columns x rows grid in the corner graph, and its
// canonical row-major order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "chessboard/corner_candidates.hpp"
#include "geometry/point.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// Grid size in interior corners. `count` and `edges` are the corner and
// edge counts of the complete grid; they exist only when they fit 64 bits.
struct GridShape {
  std::uint64_t columns = 0;
  std::uint64_t rows = 0;
  std::uint64_t count = 0;  // columns * rows
  std::uint64_t edges = 0;  // rows (columns - 1) + (rows - 1) columns

  static std::optional<GridShape> of(std::uint64_t columns, std::uint64_t rows);
};

// Key that picks one of the orderings of a grid: the first row runs towards
// increasing x, the second row lies to its right-hand side on screen, then the
// first corner with the smallest y, then x (both in 1/1024 pixel, truncated).
struct GridOrientationKey {
  int x_flag = 0;
  int hand_flag = 0;
  std::int32_t y = 0;
  std::int32_t x = 0;

  auto operator<=>(const GridOrientationKey&) const = default;
};

// Key of a row-major ordering, from its corners in slots 0, columns - 1 and
// columns.
GridOrientationKey grid_orientation_key(Point2f first, Point2f row_end, Point2f second_row);

// Examines the connected components of `graph` in order of their lowest
// candidate number. A component with the grid's corner and edge counts and
// exactly four corners of two neighbours is placed from every ordered pair of
// those outer corners that lie columns - 1 hops apart; the first component
// with a complete placement gives the result, in the ordering of smallest
// key. Nothing when no component qualifies.
std::optional<Vec<Point2f>> order_chessboard_grid(const CornerGraph& graph, const GridShape& shape);

}  // namespace morvelin
