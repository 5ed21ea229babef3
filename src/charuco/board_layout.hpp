// The arithmetic of a ChArUco board's layout: which squares hold markers,
// the index of the marker in a square, marker corners and centres, and the
// squared distances used to match markers to chessboard corners. Shared by
// the board construction and the nearest-marker search so that both compute
// every value the same way, bit for bit.
#pragma once

#include <cstdint>
#include <optional>

#include "charuco/board.hpp"

namespace morvelin::board_layout {

// Squares (i, j) with (i + j) % 2 == parity hold markers. Boards with an even
// number of rows drawn in the legacy pattern put marker 0 in square (0, 0).
inline std::uint64_t marker_parity(std::uint64_t squares_y, bool legacy_pattern) noexcept {
  return (legacy_pattern && squares_y % 2 == 0) ? 0 : 1;
}

inline bool holds_marker(std::uint64_t i, std::uint64_t j, std::uint64_t parity) noexcept {
  return (i + j) % 2 == parity;
}

// Marker squares among the first `rows` rows of `columns` squares each: half
// the squares, the odd one out going to parity 0 (square (0, 0)).
inline std::uint64_t markers_in_rows(std::uint64_t rows, std::uint64_t columns, std::uint64_t parity) noexcept {
  const std::uint64_t squares = rows * columns;  // callers keep this within range
  return parity == 1 ? squares / 2 : squares - squares / 2;
}

// Number of markers of a board, or nothing when squares_x * squares_y does
// not fit in 64 bits.
inline std::optional<std::uint64_t> marker_count(std::uint64_t squares_x, std::uint64_t squares_y,
                                                 std::uint64_t parity) noexcept {
  std::uint64_t squares = 0;
  if (__builtin_mul_overflow(squares_x, squares_y, &squares)) return std::nullopt;
  return parity == 1 ? squares / 2 : squares - squares / 2;
}

// Index, in marker order (row-major), of the marker in square (i, j), which
// must be a marker square of the board.
inline std::uint64_t marker_index(std::uint64_t i, std::uint64_t j, std::uint64_t squares_x,
                                  std::uint64_t parity) noexcept {
  const std::uint64_t before_row = markers_in_rows(i, squares_x, parity);
  // Marker columns of row i share the parity of (parity + i).
  const std::uint64_t first_column = (parity + i) % 2;
  const std::uint64_t in_row = first_column == 0 ? (j + 1) / 2 : j / 2;
  return before_row + in_row;
}

// Corners of the marker in square (i, j): inset o = (L - m) / 2 from the
// square's corner, smallest (x, y) first, then clockwise with y down.
inline MarkerCorners marker_corners_in_square(std::uint64_t i, std::uint64_t j, float square_length,
                                              float marker_length) noexcept {
  const float inset = (square_length - marker_length) * 0.5f;
  const float x0 = static_cast<float>(j) * square_length + inset;
  const float y0 = static_cast<float>(i) * square_length + inset;
  return {{{x0, y0, 0.0f},
           {x0 + marker_length, y0, 0.0f},
           {x0 + marker_length, y0 + marker_length, 0.0f},
           {x0, y0 + marker_length, 0.0f}}};
}

// Interior chessboard corner (column c, row r), 1 <= c < squares_x,
// 1 <= r < squares_y.
inline BoardPoint chessboard_corner(std::uint64_t c, std::uint64_t r, float square_length) noexcept {
  return {static_cast<float>(c) * square_length, static_cast<float>(r) * square_length, 0.0f};
}

struct PlanePoint {
  float x;
  float y;
};

// Mean of the four corners: coordinates summed in corner order from 0, times 0.25.
inline PlanePoint marker_centre(const MarkerCorners& c) noexcept {
  float x = 0.0f;
  float y = 0.0f;
  for (const BoardPoint& p : c) {
    x += p[0];
    y += p[1];
  }
  return {x * 0.25f, y * 0.25f};
}

// Single-precision differences, squared and summed in double.
inline double squared_distance(float ax, float ay, float bx, float by) noexcept {
  const float dx = ax - bx;
  const float dy = ay - by;
  return static_cast<double>(dx) * static_cast<double>(dx) + static_cast<double>(dy) * static_cast<double>(dy);
}

}  // namespace morvelin::board_layout
