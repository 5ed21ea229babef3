#include "render/board_image.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "charuco/board_layout.hpp"
#include "numeric/conversions.hpp"
#include "render/image_limits.hpp"
#include "render/marker_cells.hpp"

namespace morvelin {
namespace {

constexpr std::int64_t kOutside = -1;

std::optional<Error> check_image_size(std::int64_t width, std::int64_t height, std::int64_t margin) {
  if (width < 1 || height < 1 || width > image_limits::kMaxSide || height > image_limits::kMaxSide) {
    return value_error("width and height must be between 1 and " + std::to_string(image_limits::kMaxSide) +
                       ", got " + std::to_string(width) + " x " + std::to_string(height));
  }
  if (margin < 0) return value_error("margin_pixels must not be negative, got " + std::to_string(margin));
  if (margin >= (std::min(width, height) + 1) / 2) {
    return value_error("margin_pixels " + std::to_string(margin) + " leaves no room for the board in " +
                       std::to_string(width) + " x " + std::to_string(height) + " pixels");
  }
  return std::nullopt;
}

// Where one image column (or row) falls on the board: the square index
// along that axis and the marker cell under it, kOutside when off the board
// or off the marker of a marker square.
struct AxisCell {
  std::int64_t square = kOutside;
  std::int64_t cell = kOutside;
};

Vec<AxisCell> axis_cells(std::int64_t pixels, double offset, double scale, std::uint64_t squares, float square,
                         float marker, std::uint64_t cells) {
  const float inset = (square - marker) * 0.5f;
  const double extent = static_cast<double>(squares) * square;
  Vec<AxisCell> out(static_cast<std::size_t>(pixels));
  for (std::int64_t p = 0; p < pixels; ++p) {
    const double at = (static_cast<double>(p) + 0.5 - offset) / scale;  // board units
    if (!(at >= 0.0) || !(at < extent)) continue;
    const auto index = std::min(saturating_cast<std::uint64_t>(at / square), squares - 1);
    const double within = at - static_cast<double>(index) * square - inset;
    AxisCell& c = out[static_cast<std::size_t>(p)];
    c.square = static_cast<std::int64_t>(index);
    if (within >= 0.0 && within < marker) {
      c.cell = static_cast<std::int64_t>(
          std::min(saturating_cast<std::uint64_t>(within / marker * static_cast<double>(cells)), cells - 1));
    }
  }
  return out;
}

}  // namespace

Result<BoardPlacement> place_charuco_board(const CharucoBoard& board, std::int64_t width, std::int64_t height,
                                           std::int64_t margin_pixels) {
  if (auto error = check_image_size(width, height, margin_pixels)) return *error;
  if (auto error = board.check_printable()) return *error;
  const double room_x = static_cast<double>(width - 2 * margin_pixels);
  const double room_y = static_cast<double>(height - 2 * margin_pixels);
  const double board_x = static_cast<double>(board.squares_x()) * board.square_length();
  const double board_y = static_cast<double>(board.squares_y()) * board.square_length();
  BoardPlacement placement;
  placement.scale = std::min(room_x / board_x, room_y / board_y);
  placement.offset_x = static_cast<double>(margin_pixels) + (room_x - board_x * placement.scale) * 0.5;
  placement.offset_y = static_cast<double>(margin_pixels) + (room_y - board_y * placement.scale) * 0.5;
  const double cell_pixels =
      static_cast<double>(board.marker_length()) * placement.scale / (board.dictionary().marker_size + 2.0);
  if (board.marker_count() > 0 && !(cell_pixels >= 1.0)) {
    return value_error(std::to_string(width) + " x " + std::to_string(height) + " pixels with a margin of " +
                       std::to_string(margin_pixels) +
                       " leave less than one pixel per marker cell; use a larger image");
  }
  return placement;
}

Result<GrayImage> render_charuco_board_image(const CharucoBoard& board, std::int64_t width, std::int64_t height,
                                             std::int64_t margin_pixels) {
  const Result<BoardPlacement> placement = place_charuco_board(board, width, height, margin_pixels);
  if (!placement) return placement.error();
  Result<GrayImage> image = image_limits::blank_image(width, height, 255);
  if (!image) return image;
  const std::uint64_t cells = board.dictionary().marker_size + 2;
  const Vec<AxisCell> columns = axis_cells(width, placement->offset_x, placement->scale, board.squares_x(),
                                           board.square_length(), board.marker_length(), cells);
  const Vec<AxisCell> rows = axis_cells(height, placement->offset_y, placement->scale, board.squares_y(),
                                        board.square_length(), board.marker_length(), cells);
  const std::uint64_t parity = board_layout::marker_parity(board.squares_y(), board.legacy_pattern());
  for (std::int64_t y = 0; y < height; ++y) {
    const AxisCell& r = rows[static_cast<std::size_t>(y)];
    if (r.square == kOutside) continue;
    std::uint8_t* out = image->row(static_cast<std::uint32_t>(y));
    const auto i = static_cast<std::uint64_t>(r.square);
    for (std::int64_t x = 0; x < width; ++x) {
      const AxisCell& c = columns[static_cast<std::size_t>(x)];
      if (c.square == kOutside) continue;
      const auto j = static_cast<std::uint64_t>(c.square);
      if (!board_layout::holds_marker(i, j, parity)) {
        out[x] = 0;
        continue;
      }
      if (r.cell == kOutside || c.cell == kOutside) continue;
      const std::uint64_t marker = board_layout::marker_index(i, j, board.squares_x(), parity);
      const MarkerCells cells_of(board.dictionary(), static_cast<std::size_t>(board.ids()[marker]), 1);
      out[x] = cells_of.white(static_cast<std::uint64_t>(r.cell), static_cast<std::uint64_t>(c.cell)) ? 255 : 0;
    }
  }
  return image;
}

}  // namespace morvelin
