// Float-to-integer conversions and rounding with the exact semantics the
// detectors rely on. Plain static_cast is undefined for NaN and out-of-range
// values, so every such conversion goes through these helpers.
#pragma once

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>

namespace morvelin {

// Truncate toward zero and saturate at the limits of T; NaN gives 0.
template <std::integral T, std::floating_point F>
constexpr T saturating_cast(F value) noexcept {
  if (std::isnan(value)) return 0;
  constexpr auto lo = std::numeric_limits<T>::min();
  constexpr auto hi = std::numeric_limits<T>::max();
  if (value <= static_cast<F>(lo)) return lo;
  // static_cast<F>(hi) may round up to 2^bits; anything at or above it saturates.
  if (value >= static_cast<F>(hi)) return hi;
  return static_cast<T>(value);
}

// Round half away from zero, then saturate (NaN gives 0).
template <std::integral T, std::floating_point F>
T round_saturate(F value) noexcept {
  return saturating_cast<T>(std::round(value));
}

// Round half to even (default rounding mode), then saturate (NaN gives 0).
template <std::integral T, std::floating_point F>
T round_even_saturate(F value) noexcept {
  return saturating_cast<T>(std::nearbyint(value));
}

constexpr double kDoubleEpsilon = std::numeric_limits<double>::epsilon();
constexpr float kFloatMax = std::numeric_limits<float>::max();

}  // namespace morvelin
