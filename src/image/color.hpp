// Conversion of interleaved BGR pixels to gray.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvelin {

// gray = trunc(0.299 R + (0.587 G + 0.114 B) + 0.5) in single precision,
// clamped to 0..255. `bgr` holds `count` interleaved B, G, R triples.
void bgr_to_gray(const std::uint8_t* bgr, std::size_t count, std::uint8_t* gray) noexcept;

}  // namespace morvelin
