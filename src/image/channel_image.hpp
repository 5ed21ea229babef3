// ChannelImage: an owned 8-bit image of 1 or 3 interleaved channels (gray or
// B, G, R), rows packed without padding, for operations that keep colour.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/allocator.hpp"

namespace morvelin {

struct ChannelImage {
  Vec<std::uint8_t> pixels;  // channel c of pixel (x, y) at (y * width + x) * channels + c
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t channels = 1;

  std::size_t row_bytes() const noexcept { return static_cast<std::size_t>(width) * channels; }
  std::size_t size() const noexcept { return row_bytes() * height; }
};

}  // namespace morvelin
