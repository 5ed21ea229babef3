// Conversion of interleaved BGR pixels to gray.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvelin {

// gray = trunc(0.299 R + (0.587 G + 0.114 B) + 0.5) in single precision,
// clamped to 0..255. `bgr` holds `count` interleaved B, G, R triples.
void bgr_to_gray(const std::uint8_t* bgr, std::size_t count, std::uint8_t* gray) noexcept;

// bgr_to_gray of `height` rows of `width` pixels, row y starting at
// bgr + y * row_stride, into packed rows at `gray`. Large images are converted
// in bands of rows on the worker pool.
void bgr_rows_to_gray(const std::uint8_t* bgr, std::ptrdiff_t row_stride, std::uint32_t width, std::uint32_t height,
                      std::uint8_t* gray);

}  // namespace morvelin
