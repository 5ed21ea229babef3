// Printable images of ChArUco boards: the board model's layout (dark
// squares, marker squares with their inset markers) scaled to fit an image
// and centred in it.
#pragma once

#include <cstdint>

#include "charuco/board.hpp"
#include "image/gray_image.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// Where the board lands in an image: image pixel-centre coordinates of the
// board point (X, Y) are (offset_x + X * scale - 0.5, offset_y + Y * scale - 0.5).
struct BoardPlacement {
  double scale = 0.0;     // pixels per board unit
  double offset_x = 0.0;  // pixel edge coordinate of the board's origin
  double offset_y = 0.0;
};

// The placement of `board` in a width x height image whose border of
// margin_pixels stays white: as large as fits, centred. Errors as for
// render_charuco_board_image.
Result<BoardPlacement> place_charuco_board(const CharucoBoard& board, std::int64_t width, std::int64_t height,
                                           std::int64_t margin_pixels);

// A width x height image of `board`, 0 for black and 255 for white. Each pixel
// takes the colour of the board point under its centre; outside the board the
// image is white.
//
// Errors (ErrorKind::kValue unless stated): width or height outside
// [1, 2^32 - 1]; margin_pixels negative or leaving no room; a board without
// squares, with a non-positive or non-finite square or marker length, or a
// marker longer than its square; a marker id outside the dictionary; an image
// so small that a marker cell is under one pixel; ErrorKind::kMemory when the
// image cannot be held in memory.
Result<GrayImage> render_charuco_board_image(const CharucoBoard& board, std::int64_t width, std::int64_t height,
                                             std::int64_t margin_pixels);

}  // namespace morvelin
