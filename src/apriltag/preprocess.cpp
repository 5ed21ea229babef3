#include "apriltag/preprocess.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "numeric/conversions.hpp"
#include "runtime/allocator.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

// One-dimensional resampling: output i reads count[i] consecutive input
// samples starting at first[i], with weights at weights[i * stride].
struct Taps {
  Vec<std::uint32_t> first;
  Vec<std::uint32_t> count;
  Vec<float> weights;
  std::size_t stride = 0;
};

double triangle(double t) {
  t = std::fabs(t);
  return t < 1.0 ? 1.0 - t : 0.0;
}

Taps triangle_taps(std::uint32_t in, std::uint32_t out) {
  const double scale = static_cast<double>(in) / out;
  const double support = std::max(scale, 1.0);  // the unit triangle widened by the reduction
  Taps taps;
  taps.stride = std::min<std::size_t>(in, saturating_cast<std::size_t>(std::ceil(2.0 * support)) + 2);
  taps.first.resize(out);
  taps.count.resize(out);
  taps.weights.assign(static_cast<std::size_t>(out) * taps.stride, 0.0f);
  Vec<double> w(taps.stride);
  for (std::uint32_t i = 0; i < out; ++i) {
    const double centre = (i + 0.5) * scale;
    const auto lo = saturating_cast<std::uint32_t>(std::floor(centre - support));
    const auto hi = std::min(in, saturating_cast<std::uint32_t>(std::ceil(centre + support)));
    std::uint32_t first = hi, last = lo;  // range of non-zero weights
    double sum = 0.0;
    for (std::uint32_t x = lo; x < hi; ++x) {
      const double v = triangle((x + 0.5 - centre) / support);
      w[x - lo] = v;
      if (v > 0.0) {
        first = std::min(first, x);
        last = x;
        sum += v;
      }
    }
    // The nearest input sample lies within half a pixel of the centre, so
    // sum >= 0.5 and first <= last.
    taps.first[i] = first;
    taps.count[i] = last - first + 1;
    float* dst = taps.weights.data() + i * taps.stride;
    for (std::uint32_t x = first; x <= last; ++x) dst[x - first] = static_cast<float>(w[x - lo] / sum);
  }
  return taps;
}

std::uint8_t to_pixel(float v) { return saturating_cast<std::uint8_t>(v + 0.5f); }

// Symmetric Gaussian of radius r = min(ceil(3 sigma), limit), normalised.
Vec<float> gaussian_kernel(double sigma, std::uint32_t limit) {
  const auto radius = saturating_cast<std::uint32_t>(std::min(std::ceil(3.0 * sigma), static_cast<double>(limit)));
  Vec<double> g(2 * static_cast<std::size_t>(radius) + 1);
  double sum = 0.0;
  for (std::size_t i = 0; i < g.size(); ++i) {
    const double k = static_cast<double>(i) - radius;
    const double u = k / sigma;  // 0 for an infinite sigma
    g[i] = (k == 0.0) ? 1.0 : std::exp(-0.5 * u * u);
    sum += g[i];
  }
  Vec<float> kernel(g.size());
  for (std::size_t i = 0; i < g.size(); ++i) kernel[i] = static_cast<float>(g[i] / sum);
  return kernel;
}

}  // namespace

ImageSize decimated_size(ImageSize input, double decimate) {
  if (!(decimate > 1.0)) return input;
  const auto reduce = [decimate](std::uint32_t n) {
    return std::max<std::uint32_t>(1, round_saturate<std::uint32_t>(n / decimate));
  };
  return {reduce(input.width), reduce(input.height)};
}

namespace {

// Outputs [from, to) of a horizontal resampling whose four taps start two
// inputs apart, 2 * ox - 1, with the same weights: the interior of a
// reduction by exactly two, which can be worked out eight outputs at a time.
struct HalvingRun {
  std::uint32_t from = 0;
  std::uint32_t to = 0;
  std::array<float, 4> weights{};
};

HalvingRun halving_run(const Taps& taps, std::uint32_t in) {
  HalvingRun run;
  const auto out = static_cast<std::uint32_t>(taps.first.size());
  const auto halving = [&](std::uint32_t ox) {
    return ox >= 1 && taps.count[ox] == 4 && taps.first[ox] == 2 * ox - 1 && 2 * ox + 2 < in;
  };
  std::uint32_t ox = 0;
  while (ox < out && !halving(ox)) ++ox;
  if (ox == out) return run;
  run.from = ox;
  std::memcpy(run.weights.data(), taps.weights.data() + ox * taps.stride, sizeof(run.weights));
  while (ox < out && halving(ox) &&
         std::memcmp(run.weights.data(), taps.weights.data() + ox * taps.stride, sizeof(run.weights)) == 0) {
    ++ox;
  }
  run.to = ox;
  return run;
}

// Horizontal pass of one row: out[ox] = to_pixel(sum over k of w[k] *
// in[first + k]), the products added in tap order.
void resample_row(const float* row, const Taps& across, std::uint32_t from, std::uint32_t to, std::uint8_t* dst) {
  for (std::uint32_t ox = from; ox < to; ++ox) {
    const float* wx = across.weights.data() + static_cast<std::size_t>(ox) * across.stride;
    const float* in = row + across.first[ox];
    float sum = 0.0f;
    for (std::uint32_t k = 0; k < across.count[ox]; ++k) sum += wx[k] * in[k];
    dst[ox] = to_pixel(sum);
  }
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// Eight outputs of a halving run from the inputs p[0 ... 17], p being input
// 2 ox - 1 of the first: taps 0 and 1 are the even and odd inputs from p,
// taps 2 and 3 those from p + 2; the products are added in tap order.
[[gnu::target("avx2")]] void halve_eight_avx2(const float* p, const std::array<float, 4>& weights, float* sums) {
  __m256 taps[4];
  for (int half = 0; half < 2; ++half) {
    const __m256 lo = _mm256_loadu_ps(p + 2 * half);
    const __m256 hi = _mm256_loadu_ps(p + 2 * half + 8);
    // Within each 128-bit lane, then the 64-bit pairs back in order.
    taps[2 * half] = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, 0x88)), 0xD8));
    taps[2 * half + 1] =
        _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(lo, hi, 0xDD)), 0xD8));
  }
  __m256 sum = _mm256_setzero_ps();
  for (int k = 0; k < 4; ++k) sum = _mm256_add_ps(sum, _mm256_mul_ps(_mm256_set1_ps(weights[k]), taps[k]));
  _mm256_storeu_ps(sums, sum);
}
#endif

// One band of output rows: the vertical pass into a float row of input
// width, then the horizontal pass. `Wide` works the halving run out eight
// outputs at a time, with the same operations in the same order.
template <bool Wide>
void resize_rows(GrayView image, const Taps& across, const Taps& down,
                 [[maybe_unused]] const HalvingRun& run, std::uint32_t first_row, std::uint32_t end_row,
                 GrayImage& out) {
  const std::uint32_t w = image.width;
  const std::uint32_t out_width = out.width;
  Vec<float> row(w);
  for (std::uint32_t oy = first_row; oy < end_row; ++oy) {
    const float* wy = down.weights.data() + static_cast<std::size_t>(oy) * down.stride;
    std::fill(row.begin(), row.end(), 0.0f);
    for (std::uint32_t k = 0; k < down.count[oy]; ++k) {
      const std::uint8_t* src = image.row(down.first[oy] + k);
      const float weight = wy[k];
      for (std::uint32_t x = 0; x < w; ++x) row[x] += weight * static_cast<float>(src[x]);
    }
    std::uint8_t* dst = out.row(oy);
    std::uint32_t ox = 0;
#if MORVELIN_HAVE_AVX2_VARIANTS
    if constexpr (Wide) {
      resample_row(row.data(), across, 0, run.from, dst);
      ox = run.from;
      float sums[8];
      for (; ox + 8 <= run.to; ox += 8) {
        halve_eight_avx2(row.data() + 2 * ox - 1, run.weights, sums);
        for (int t = 0; t < 8; ++t) dst[ox + t] = to_pixel(sums[t]);
      }
    }
#endif
    resample_row(row.data(), across, ox, out_width, dst);
  }
}

#if MORVELIN_HAVE_AVX2_VARIANTS
MORVELIN_AVX2_VARIANT void resize_rows_avx2(GrayView image, const Taps& across, const Taps& down,
                                            const HalvingRun& run, std::uint32_t first_row, std::uint32_t end_row,
                                            GrayImage& out) {
  resize_rows<true>(image, across, down, run, first_row, end_row, out);
}
#endif

}  // namespace

GrayImage resize_triangle(GrayView image, ImageSize size) {
  const Taps across = triangle_taps(image.width, size.width);
  const Taps down = triangle_taps(image.height, size.height);
  const HalvingRun run = halving_run(across, image.width);
  GrayImage out(size.width, size.height);
  // Output rows are independent: bands of them in parallel, each with its
  // own float row.
  constexpr std::uint32_t kRowsPerTask = 16;
  parallel_for((size.height + kRowsPerTask - 1) / kRowsPerTask, [&](std::size_t task) {
    const auto first_row = static_cast<std::uint32_t>(task * kRowsPerTask);
    const std::uint32_t end_row = std::min(size.height, first_row + kRowsPerTask);
#if MORVELIN_HAVE_AVX2_VARIANTS
    if (cpu_has_avx2()) {
      resize_rows_avx2(image, across, down, run, first_row, end_row, out);
      return;
    }
#endif
    resize_rows<false>(image, across, down, run, first_row, end_row, out);
  });
  return out;
}

GrayImage gaussian_blur(GrayView image, float sigma) {
  const std::uint32_t w = image.width;
  const std::uint32_t h = image.height;
  GrayImage out(w, h);
  if (image.empty()) return out;
  const Vec<float> across = gaussian_kernel(sigma, w - 1);
  const Vec<float> down = gaussian_kernel(sigma, h - 1);
  const std::size_t rx = across.size() / 2;
  const std::size_t ry = down.size() / 2;
  const auto source_row = [&](std::int64_t y) {
    return image.row(static_cast<std::uint32_t>(std::clamp<std::int64_t>(y, 0, h - 1)));
  };
  Vec<float> padded(w + 2 * rx);  // one row with rx replicated edge pixels on each side
  Vec<float> sum(w);
  float* row = padded.data() + rx;
  for (std::uint32_t y = 0; y < h; ++y) {
    // Vertical pass; the kernel is symmetric, so rows at +-k share a weight.
    const std::uint8_t* centre = image.row(y);
    for (std::uint32_t x = 0; x < w; ++x) row[x] = down[ry] * static_cast<float>(centre[x]);
    for (std::size_t k = 1; k <= ry; ++k) {
      const std::uint8_t* above = source_row(static_cast<std::int64_t>(y) - static_cast<std::int64_t>(k));
      const std::uint8_t* below = source_row(static_cast<std::int64_t>(y) + static_cast<std::int64_t>(k));
      const float weight = down[ry + k];
      for (std::uint32_t x = 0; x < w; ++x) row[x] += weight * static_cast<float>(above[x] + below[x]);
    }
    std::fill(padded.begin(), padded.begin() + rx, row[0]);
    std::fill(padded.end() - rx, padded.end(), row[w - 1]);
    // Horizontal pass, one tap at a time over the whole row.
    for (std::uint32_t x = 0; x < w; ++x) sum[x] = across[rx] * row[x];
    for (std::size_t k = 1; k <= rx; ++k) {
      const float* left = row - k;
      const float* right = row + k;
      const float weight = across[rx + k];
      for (std::uint32_t x = 0; x < w; ++x) sum[x] += weight * (left[x] + right[x]);
    }
    std::uint8_t* dst = out.row(y);
    for (std::uint32_t x = 0; x < w; ++x) dst[x] = to_pixel(sum[x]);
  }
  return out;
}

float quad_blur_sigma(double s) {
  const double magnitude = std::fabs(s);
  if (!(magnitude <= static_cast<double>(kFloatMax))) return std::numeric_limits<float>::infinity();
  const auto sigma = static_cast<float>(magnitude);
  return sigma == 0.0f ? 0.8f : sigma;
}

Point2f working_to_input(Point2f p, ImageSize input, ImageSize working) {
  const auto rx = static_cast<float>(static_cast<double>(input.width) / working.width);
  const auto ry = static_cast<float>(static_cast<double>(input.height) / working.height);
  return {(p.x + 0.5f) * rx - 0.5f, (p.y + 0.5f) * ry - 0.5f};
}

}  // namespace morvelin
