// Otsu's threshold: the grey level that maximises the between-class variance
// of a 256-bin histogram.
#pragma once

#include <array>
#include <cstdint>

namespace morvelin {

using Histogram256 = std::array<std::uint32_t, 256>;

// Pixels greater than the returned level form the bright class. The first
// level with the largest between-class variance wins; 0 when no split exists.
int otsu_threshold(const Histogram256& histogram);

}  // namespace morvelin
