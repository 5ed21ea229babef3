// Otsu's threshold: the grey level that maximises the between-class variance
// of a 256-bin histogram.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace morvelin {

using Histogram256 = std::array<std::uint32_t, 256>;

// Pixels greater than the returned level form the bright class. The first
// level with the largest between-class variance wins; 0 when no split exists.
int otsu_threshold(const Histogram256& histogram);

// The same for histograms of images with more than 2^32 - 1 pixels.
using WideHistogram256 = std::array<std::uint64_t, 256>;
int otsu_threshold(const WideHistogram256& histogram);

// The histogram of `pixels`. Counted into four interleaved tables that are
// added up at the end, so runs of equal pixels do not wait on one counter.
WideHistogram256 histogram_of(std::span<const std::uint8_t> pixels);

}  // namespace morvelin
