// Ternary threshold of the AprilTag quad detector. The image is cut into 4 x 4
// tiles; each tile is compared with the midpoint of the extrema of the 3 x 3
// tiles around it, and tiles without enough contrast stay unknown. An optional
// deglitch closes one-pixel gaps (a 3 x 3 dilation followed by an erosion).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

constexpr std::uint8_t kTernaryBlack = 0;
constexpr std::uint8_t kTernaryUnknown = 127;
constexpr std::uint8_t kTernaryWhite = 255;

// One byte per pixel, row-major: kTernaryBlack, kTernaryUnknown or kTernaryWhite.
struct TernaryImage {
  Vec<std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  TernaryImage(std::uint32_t w, std::uint32_t h, std::uint8_t fill)
      : pixels(static_cast<std::size_t>(w) * h, fill), width(w), height(h) {}
  std::uint8_t at(std::uint32_t x, std::uint32_t y) const noexcept {
    return pixels[static_cast<std::size_t>(y) * width + x];
  }
  const std::uint8_t* row(std::uint32_t y) const noexcept {
    return pixels.data() + static_cast<std::size_t>(y) * width;
  }
  std::uint8_t* row(std::uint32_t y) noexcept { return pixels.data() + static_cast<std::size_t>(y) * width; }
};

// Tile threshold: a pixel becomes white above (min + max) >> 1 of its 3 x 3
// tile neighbourhood and black otherwise, or stays unknown when max - min <
// `min_white_black_diff`. The last tile column and row absorb the pixels
// beyond the last full tile. Images under 4 pixels in either direction stay
// all unknown.
TernaryImage threshold_tiles(GrayView image, std::int32_t min_white_black_diff);

// 3 x 3 maximum then 3 x 3 minimum over the interior pixels; the one-pixel
// frame keeps its values. Unknown (127) orders between black and white.
void deglitch(TernaryImage& ternary);

}  // namespace morvelin
