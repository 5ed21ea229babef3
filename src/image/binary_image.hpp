// BinaryImage: (W + 2) x (H + 2) signed bytes with a zero frame one cell wide.
// Pixel (x, y) of the W x H image lives at cell (x + 1, y + 1). Values: 0
// background, 1 foreground; border following re-marks visited foreground
// cells as 2 or -2.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "runtime/allocator.hpp"

namespace morvelin {

struct BinaryImage {
  UninitializedVec<std::int8_t> cells;
  std::uint32_t width = 0;   // image width W (the row stride is W + 2)
  std::uint32_t height = 0;  // image height H

  BinaryImage() = default;
  // All cells 0.
  BinaryImage(std::uint32_t w, std::uint32_t h)
      : cells((static_cast<std::size_t>(w) + 2) * (static_cast<std::size_t>(h) + 2), 0), width(w), height(h) {}

  // Only the frame is 0: for a producer that writes every pixel's cell.
  static BinaryImage with_zero_frame(std::uint32_t w, std::uint32_t h) {
    BinaryImage image;
    image.width = w;
    image.height = h;
    image.cells.resize((static_cast<std::size_t>(w) + 2) * (static_cast<std::size_t>(h) + 2));
    const std::size_t stride = image.stride();
    std::int8_t* c = image.cells.data();
    std::fill(c, c + stride, std::int8_t{0});
    std::fill(c + (static_cast<std::size_t>(h) + 1) * stride, c + (static_cast<std::size_t>(h) + 2) * stride,
              std::int8_t{0});
    for (std::size_t y = 1; y <= h; ++y) c[y * stride] = c[y * stride + w + 1] = 0;
    return image;
  }

  std::size_t stride() const noexcept { return static_cast<std::size_t>(width) + 2; }
  // Cell of image pixel (x, y); x and y may be -1 or W / H to reach the frame.
  std::int8_t& at(std::int64_t x, std::int64_t y) noexcept {
    return cells[static_cast<std::size_t>(y + 1) * stride() + static_cast<std::size_t>(x + 1)];
  }
  std::int8_t at(std::int64_t x, std::int64_t y) const noexcept {
    return cells[static_cast<std::size_t>(y + 1) * stride() + static_cast<std::size_t>(x + 1)];
  }
};

}  // namespace morvelin
