// Recovery of a grid that the corner graph cannot show: the dark squares of a
// board are laid out on the board's own lattice from the corners they share,
// and the grid is read off that lattice. It tolerates what blur, noise and
// uneven light do to a binarised board: corners of neighbouring squares a
// little too far apart to merge, or a stray corner close enough to spoil a
// pair in the corner graph. Like the corner graph, it needs two quads at
// every corner of the grid, so a board with a square missing is not found.
#pragma once

#include <optional>
#include <span>

#include "chessboard/chessboard_quads.hpp"
#include "chessboard/grid_recognition.hpp"
#include "geometry/point.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// Two quad corners pair up when each is the other's nearest corner of another
// quad within this fraction of its own quad's shortest side, and the two
// quads lie on opposite sides of the point between them.
inline constexpr float kCornerPairingReach = 0.6f;

// Along every row and column of a recovered grid, the step from one corner
// to the next may change by at most this fraction of the longer step.
inline constexpr float kGridRegularityTolerance = 0.5f;

// Lays the quads out on a lattice of squares, starting from the lowest
// numbered quad of each group linked by corner pairs: a quad paired with
// another across one of its corners sits diagonally next to it. A group whose
// layout contradicts itself is dropped. The grid is the box of lattice
// corners where two quads meet; it must have the size of `shape` either way
// round, and two quads must meet at every corner inside it. The corners (the
// midpoints of the paired quad corners) must be evenly spaced within
// kGridRegularityTolerance. Returns the grid of the first group that
// qualifies, in the row-major ordering of smallest orientation key, or
// nothing.
std::optional<Vec<Point2f>> recover_chessboard_grid(std::span<const ChessboardQuad> quads, const GridShape& shape);

}  // namespace morvelin
