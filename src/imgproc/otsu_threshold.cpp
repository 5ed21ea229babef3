#include "imgproc/otsu_threshold.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace morvelin {
namespace {

// Empty bins are skipped: they add zero to every sum, and past the first
// non-empty bin they repeat the previous level's between-class variance,
// which cannot beat the best so far.
template <class Histogram>
int otsu_threshold_of(const Histogram& histogram) {
  std::array<std::uint8_t, 256> levels;
  int used = 0;
  for (int i = 0; i < 256; ++i) {
    levels[static_cast<std::size_t>(used)] = static_cast<std::uint8_t>(i);
    used += histogram[i] != 0 ? 1 : 0;
  }
  double count = 0.0;
  double total = 0.0;
  for (int k = 0; k < used; ++k) {
    const int i = levels[static_cast<std::size_t>(k)];
    count += static_cast<double>(histogram[i]);
    total += static_cast<double>(i) * static_cast<double>(histogram[i]);
  }
  double w0 = 0.0;
  double sum0 = 0.0;
  double best = -1.0;
  int threshold = 0;
  for (int k = 0; k < used; ++k) {
    const int i = levels[static_cast<std::size_t>(k)];
    w0 += static_cast<double>(histogram[i]);
    const double w1 = count - w0;
    if (w1 == 0.0) break;
    sum0 += static_cast<double>(i) * static_cast<double>(histogram[i]);
    const double diff = sum0 / w0 - (total - sum0) / w1;
    const double between = w0 * w1 * (diff * diff);
    if (between > best) {
      best = between;
      threshold = i;
    }
  }
  return threshold;
}

}  // namespace

int otsu_threshold(const Histogram256& histogram) { return otsu_threshold_of(histogram); }

int otsu_threshold(const WideHistogram256& histogram) { return otsu_threshold_of(histogram); }

WideHistogram256 histogram_of(std::span<const std::uint8_t> pixels) {
  std::array<WideHistogram256, 4> partial{};
  const std::size_t n = pixels.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++partial[0][pixels[i]];
    ++partial[1][pixels[i + 1]];
    ++partial[2][pixels[i + 2]];
    ++partial[3][pixels[i + 3]];
  }
  for (; i < n; ++i) ++partial[0][pixels[i]];
  WideHistogram256 histogram{};
  for (std::size_t v = 0; v < 256; ++v) histogram[v] = partial[0][v] + partial[1][v] + partial[2][v] + partial[3][v];
  return histogram;
}

}  // namespace morvelin
