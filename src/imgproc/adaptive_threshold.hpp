// Adaptive threshold against the local box mean: a pixel is dark foreground
// when it is at least `constant` grey levels below the mean of the window
// round it (the mean rounded half up), the window clipped at the image edges.
#pragma once

#include <cstdint>
#include <span>

#include "image/binary_image.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

// Half-width h of the (2h + 1) x (2h + 1) window for a window size: 1 for
// sizes below 4, size div 2 otherwise (even sizes round up to the next odd).
constexpr std::int64_t threshold_half_width(std::int64_t window_size) noexcept {
  return window_size < 4 ? 1 : window_size / 2;
}

// Binarises `image`: cell (x, y) is 1 when 2a(p + c) <= a + 2s, with p the
// pixel, a and s the pixel count and sum of its clipped window, and c the
// constant truncated toward zero to a saturated 32-bit integer (NaN gives 0).
// The comparison is exact for every constant and window size; the work per
// pixel does not depend on the window size.
BinaryImage adaptive_threshold(GrayView image, std::int64_t window_size, double constant);

// As above. Large images are split into row bands on the worker pool unless
// `threads` keeps the whole image on the calling thread; the result is the
// same either way.
BinaryImage adaptive_threshold(GrayView image, std::int64_t window_size, double constant,
                               Threads threads);

// One binary image per constant, with one window size: image i equals
// adaptive_threshold(image, window_size, constants[i], threads). The window
// sums, most of the work, are formed once for all of them.
Vec<BinaryImage> adaptive_thresholds(GrayView image, std::int64_t window_size,
                                     std::span<const double> constants, Threads threads);

}  // namespace morvelin
