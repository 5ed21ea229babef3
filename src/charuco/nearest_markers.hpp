// Which markers touch each interior corner of a ChArUco board, and which of
// their corners lies on it.
//
// The rule scans the markers in marker order against a running reference
// distance r between the corner and a marker centre: a marker within the
// tolerance t = (0.01 L)^2 of r joins the list (and becomes the reference), a
// clearly nearer one restarts the list, a farther one is skipped. On a
// regular board this keeps the two markers diagonally adjacent to the corner.
//
// Scanning every marker for every corner costs markers x corners. The
// neighbourhood search gets the same lists from the (at most four) squares
// round the corner: it bounds the distance of every other marker from below
// through the nearest outside column and row, and when that bound lies a full
// tolerance beyond the neighbourhood's distances those markers can neither
// join nor restart the list, so they are left out. Corners where the bound
// does not settle it (degenerate lengths, non-finite values) are scanned.
#pragma once

#include <cstdint>
#include <span>

#include "charuco/board.hpp"

namespace morvelin {

struct BoardGrid {
  std::uint64_t squares_x = 0;
  std::uint64_t squares_y = 0;
  std::uint64_t parity = 1;  // squares (i, j) with (i + j) % 2 == parity hold markers
  float square_length = 0.0f;
  float marker_length = 0.0f;
  std::span<const MarkerCorners> markers;   // in marker order
  std::span<const BoardPoint> corners;      // interior corners, row-major
};

// Nearest-marker lists of every corner. Throws std::bad_alloc when the lists
// cannot be held in memory.
NearestMarkerLists find_nearest_markers(const BoardGrid& grid);

}  // namespace morvelin
