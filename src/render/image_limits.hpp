// Size checks shared by the image renderers.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin::image_limits {

// GrayImage keeps its sides as unsigned 32-bit values.
inline constexpr std::int64_t kMaxSide = std::numeric_limits<std::uint32_t>::max();

// A blank image of width x height, or kMemory when it could not be held in
// memory: twice its size must fit, since the caller copies it once more into
// its own array.
inline Result<GrayImage> blank_image(std::int64_t width, std::int64_t height, std::uint8_t fill) {
  const auto pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  if (pixels > std::numeric_limits<std::size_t>::max() / 2 || !fits_in_physical_memory(2 * pixels)) {
    return Error{ErrorKind::kMemory, "an image of " + std::to_string(width) + " x " + std::to_string(height) +
                                         " pixels does not fit in memory"};
  }
  return GrayImage(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), fill);
}

}  // namespace morvelin::image_limits
