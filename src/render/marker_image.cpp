#include "render/marker_image.hpp"

#include <string>

#include "render/image_limits.hpp"
#include "render/marker_cells.hpp"

namespace morvelin {
namespace {

std::optional<Error> check_arguments(const Dictionary& dictionary, std::string_view name, std::int64_t id,
                                     std::int64_t side_pixels, std::int64_t border_bits) {
  const auto size = static_cast<std::int64_t>(dictionary.size());
  if (id < 0 || id >= size) {
    return value_error("id " + std::to_string(id) + " is out of range for " + std::string(name) + " (0 to " +
                       std::to_string(size - 1) + ")");
  }
  if (border_bits < 1) return value_error("border_bits must be at least 1, got " + std::to_string(border_bits));
  if (side_pixels > image_limits::kMaxSide) {
    return value_error("side_pixels must be at most " + std::to_string(image_limits::kMaxSide) + ", got " +
                       std::to_string(side_pixels));
  }
  // The cell count n + 2 * border_bits, which can exceed 64 bits for absurd borders.
  std::int64_t cells = 0;
  const bool too_many = __builtin_mul_overflow(border_bits, std::int64_t{2}, &cells) ||
                        __builtin_add_overflow(cells, static_cast<std::int64_t>(dictionary.marker_size), &cells);
  if (too_many || side_pixels < cells) {
    const std::string needed = too_many ? "more than " + std::to_string(image_limits::kMaxSide)
                                        : std::to_string(cells);
    return value_error("side_pixels must be at least " + needed + " (one pixel per cell of the " +
                       std::to_string(dictionary.marker_size) + "x" + std::to_string(dictionary.marker_size) +
                       " marker and its border of " + std::to_string(border_bits) + "), got " +
                       std::to_string(side_pixels));
  }
  return std::nullopt;
}

// Cell under the centre of pixel `p` of `side` pixels divided into `cells`.
std::uint64_t cell_of_pixel(std::uint64_t p, std::uint64_t side, std::uint64_t cells) noexcept {
  return ((2 * p + 1) * cells) / (2 * side);
}

}  // namespace

Result<GrayImage> render_marker_image(const Dictionary& dictionary, std::string_view dictionary_name,
                                      std::int64_t id, std::int64_t side_pixels, std::int64_t border_bits) {
  if (auto error = check_arguments(dictionary, dictionary_name, id, side_pixels, border_bits)) return *error;
  Result<GrayImage> image = image_limits::blank_image(side_pixels, side_pixels, 0);
  if (!image) return image;
  const MarkerCells marker(dictionary, static_cast<std::size_t>(id), static_cast<std::uint64_t>(border_bits));
  const auto side = static_cast<std::uint64_t>(side_pixels);
  Vec<std::uint64_t> cell(side);
  for (std::uint64_t p = 0; p < side; ++p) cell[p] = cell_of_pixel(p, side, marker.side());
  for (std::uint64_t y = 0; y < side; ++y) {
    std::uint8_t* row = image->row(static_cast<std::uint32_t>(y));
    for (std::uint64_t x = 0; x < side; ++x) row[x] = marker.white(cell[y], cell[x]) ? 255 : 0;
  }
  return image;
}

}  // namespace morvelin
