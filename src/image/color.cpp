#include "image/color.hpp"

namespace morvelin {

void bgr_to_gray(const std::uint8_t* bgr, std::size_t count, std::uint8_t* gray) noexcept {
  constexpr float kR = 0.299f, kG = 0.587f, kB = 0.114f;
  for (std::size_t i = 0; i < count; ++i) {
    const float b = bgr[3 * i], g = bgr[3 * i + 1], r = bgr[3 * i + 2];
    const float v = kR * r + (kG * g + kB * b) + 0.5f;
    // v is never negative or NaN for 8-bit inputs; clamp the top only.
    gray[i] = v >= 255.0f ? std::uint8_t{255} : static_cast<std::uint8_t>(v);
  }
}

}  // namespace morvelin
