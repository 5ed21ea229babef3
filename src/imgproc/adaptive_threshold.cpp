#include "imgproc/adaptive_threshold.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <span>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "numeric/conversions.hpp"
#include "runtime/allocator.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

#if MORVELIN_HAVE_AVX2_VARIANTS
// Lane operations on 32-bit and 16-bit column sums: eight or sixteen to a
// vector.
template <class Sum>
struct Lanes;

template <>
struct Lanes<std::uint32_t> {
  static constexpr std::int64_t kCount = 8;
  [[gnu::target("avx2")]] static __m256i widen(const std::uint8_t* p) {
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  }
  [[gnu::target("avx2")]] static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
  [[gnu::target("avx2")]] static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
  // v[i] = c[0] + ... + c[i]: a prefix within each 128-bit half by two
  // shifted adds, then the lower half's total added to the upper half.
  [[gnu::target("avx2")]] static __m256i prefix(__m256i v) {
    v = add(v, _mm256_slli_si256(v, 4));
    v = add(v, _mm256_slli_si256(v, 8));
    const __m256i low_total = _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(3));
    return add(v, _mm256_blend_epi32(_mm256_setzero_si256(), low_total, 0xF0));
  }
  // The last lane in every lane.
  [[gnu::target("avx2")]] static __m256i last(__m256i v) {
    return _mm256_permutevar8x32_epi32(v, _mm256_set1_epi32(7));
  }
};

template <>
struct Lanes<std::uint16_t> {
  static constexpr std::int64_t kCount = 16;
  [[gnu::target("avx2")]] static __m256i widen(const std::uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  [[gnu::target("avx2")]] static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
  [[gnu::target("avx2")]] static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
  // As above with three shifted adds; a half's last lane is broadcast
  // within the half by a byte shuffle.
  [[gnu::target("avx2")]] static __m256i prefix(__m256i v) {
    v = add(v, _mm256_slli_si256(v, 2));
    v = add(v, _mm256_slli_si256(v, 4));
    v = add(v, _mm256_slli_si256(v, 8));
    const __m256i totals = half_totals(v);
    return add(v, _mm256_permute2x128_si256(totals, totals, 0x08));
  }
  [[gnu::target("avx2")]] static __m256i last(__m256i v) {
    const __m256i totals = half_totals(v);
    return _mm256_permute2x128_si256(totals, totals, 0x11);
  }
  [[gnu::target("avx2")]] static __m256i half_totals(__m256i v) {
    return _mm256_shuffle_epi8(v, _mm256_set1_epi16(0x0F0E));
  }
};

// pre[x + 1] = col[0] + ... + col[x] (wrapping) for the first multiple of a
// vector's columns, a vector at a time, each block's prefix offset by the
// running total of the row. With `entering` and `leaving` rows given, the
// column sums are first moved down a row (col += entering - leaving) in the
// same pass. The running total grows by the block's own total, taken before
// the running total is added, so the only dependency from block to block is
// one add. Returns the columns done.
template <class Sum>
[[gnu::target("avx2")]] std::int64_t prefix_sums_avx2(Sum* col, Sum* pre, std::int64_t width,
                                                      const std::uint8_t* entering = nullptr,
                                                      const std::uint8_t* leaving = nullptr) {
  using L = Lanes<Sum>;
  __m256i carry = _mm256_setzero_si256();
  std::int64_t x = 0;
  for (; x + L::kCount <= width; x += L::kCount) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(col + x));
    if (entering != nullptr) {
      v = L::add(v, L::sub(L::widen(entering + x), L::widen(leaving + x)));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(col + x), v);
    }
    v = L::prefix(v);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(pre + x + 1), L::add(v, carry));
    carry = L::add(carry, L::last(v));
  }
  pre[0] = 0;
  return x;
}

[[gnu::target("avx2")]] inline __m256i splat16(std::int32_t v) {
  return _mm256_set1_epi16(static_cast<std::int16_t>(static_cast<std::uint16_t>(v)));
}

[[gnu::target("avx2")]] inline __m256i load16(const std::uint16_t* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Sixteen columns' dark cells (all ones) from their 8-bit pixels, as
// compare_interior_avx2 below describes.
struct DarkTest {
  __m256i factor, left_bias, right_bias;
  const std::uint16_t* col;
  const std::uint16_t* pre;
  std::int64_t half;

  [[gnu::target("avx2")]] __m256i window_sums(std::int64_t x) const {
    if (pre != nullptr) return _mm256_sub_epi16(load16(pre + x + half + 1), load16(pre + x - half));
    __m256i sum = load16(col + x - half);
    for (std::int64_t i = 1 - half; i <= half; ++i) sum = _mm256_add_epi16(sum, load16(col + x + i));
    return sum;
  }

  [[gnu::target("avx2")]] __m256i operator()(std::int64_t x, __m128i pixels) const {
    const __m256i product = _mm256_mullo_epi16(_mm256_cvtepu8_epi16(pixels), factor);
    const __m256i left = _mm256_adds_epu16(product, left_bias);
    const __m256i right = _mm256_adds_epu16(window_sums(x), right_bias);
    return _mm256_cmpeq_epi16(_mm256_subs_epu16(left, right), _mm256_setzero_si256());
  }
};

// Full-width columns of a row whose window sums fit 16 bits, 32 at a time:
// a p <= s + k (see compare_interior), with a p and s below 2^16 and k
// split by its sign over the two sides, so that each side is one
// saturating add. A side that saturates is at least 2^16 - 1, beyond the
// other side's largest value, which is the true answer too. The window sums
// are differences of the prefix sums `pre`, or, when it is null, sums of the
// 2 * half + 1 column sums `col` round each column. Returns the columns done.
[[gnu::target("avx2")]] std::int64_t compare_interior_avx2(const std::uint8_t* p, std::int8_t* out, std::int64_t begin,
                                                           std::int64_t end, std::int32_t a, std::int32_t k,
                                                           const std::uint16_t* col, const std::uint16_t* pre,
                                                           std::int64_t half) {
  const DarkTest dark{splat16(a), splat16(k < 0 ? -k : 0), splat16(k > 0 ? k : 0), col, pre, half};
  const __m256i one = _mm256_set1_epi8(1);
  std::int64_t x = begin;
  for (; x + 32 <= end; x += 32) {
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + x));
    const __m256i low = dark(x, _mm256_castsi256_si128(pixels));
    const __m256i high = dark(x + 16, _mm256_extracti128_si256(pixels, 1));
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(low, high), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_and_si256(packed, one));
  }
  return x;
}

// The same for 32-bit window sums (windows of more than 256 pixels), eight
// columns to a vector: a p as a 16-bit multiply-add (a < 2^15), and a p and
// s + k well within 32 bits (s < 2^29, |k| < 2^30).
struct LightTest {
  __m256i factor, bias;
  const std::uint32_t* pre;
  std::int64_t half;

  // Eight columns' light cells (all ones) from their pixels in the low half.
  [[gnu::target("avx2")]] __m256i operator()(std::int64_t x, __m128i pixels) const {
    const __m256i product = _mm256_madd_epi16(_mm256_cvtepu8_epi32(pixels), factor);
    const __m256i sums = _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre + x + half + 1)),
                                          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pre + x - half)));
    return _mm256_cmpgt_epi32(product, _mm256_add_epi32(sums, bias));
  }
};

[[gnu::target("avx2")]] std::int64_t compare_interior_avx2(const std::uint8_t* p, std::int8_t* out, std::int64_t begin,
                                                           std::int64_t end, std::int32_t a, std::int32_t k,
                                                           const std::uint32_t* pre, std::int64_t half) {
  const LightTest light{_mm256_set1_epi32(a), _mm256_set1_epi32(k), pre, half};
  std::int64_t x = begin;
  for (; x + 32 <= end; x += 32) {
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + x));
    const __m128i low = _mm256_castsi256_si128(pixels);
    const __m128i high = _mm256_extracti128_si256(pixels, 1);
    const __m256i q0 = _mm256_packs_epi32(light(x, low), light(x + 8, _mm_srli_si128(low, 8)));
    const __m256i q1 = _mm256_packs_epi32(light(x + 16, high), light(x + 24, _mm_srli_si128(high, 8)));
    // The packs work within 128-bit halves: they leave the 32 columns in
    // groups of four ordered x, x + 8, x + 16, x + 24, x + 4, x + 12, ...
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_packs_epi16(q0, q1),
                                                       _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_andnot_si256(packed, _mm256_set1_epi8(1)));
  }
  return x;
}
#endif

// Box sums are kept with unsigned wrap-around: prefix sums may wrap, but a
// window sum is a difference of two prefixes and is exact as long as the
// true sum fits the type. `Sum` is 16-bit for windows of up to 256 pixels,
// else 32-bit whenever 255 * W * H fits.
// `Cmp` is the signed type of the foreground comparison, 32-bit whenever the
// largest window keeps 2a(p + c) and a + 2s within it. `Wide` selects the
// AVX2 prefix sums and comparisons (only inside the AVX2 variant of a band).

// One output of a threshold pass: the constant and the image it fills.
struct ThresholdTarget {
  std::int32_t c = 0;
  BinaryImage* out = nullptr;
};

template <class Sum, class Cmp, bool Wide = false>
class BoxThreshold {
 public:
  BoxThreshold(GrayView image, std::int64_t half, std::span<const ThresholdTarget> targets)
      : image_(image), targets_(targets), w_(image.width), h_(image.height), half_(half),
        columns_(w_, 0), prefix_(static_cast<std::size_t>(w_) + 1, 0) {}

  // Thresholds rows [first, end). Bands of rows are independent: each
  // starts from the column sums of its own first window.
  void run(std::int64_t first, std::int64_t end) {
    const std::int64_t top = std::max<std::int64_t>(0, first - half_);
    const std::int64_t bottom = std::min<std::int64_t>(h_ - 1, first + half_);
    for (std::int64_t y = top; y <= bottom; ++y) add_row(static_cast<std::uint32_t>(y));
    for (std::int64_t y = first; y < end; ++y) {
      std::int64_t prefixed = -1;  // columns whose prefix sums are formed already
      if (y > first) {
        const bool entering = y + half_ < h_;
        const bool leaving = y - half_ - 1 >= 0;
        if (entering && leaving) {
          prefixed = replace_row(static_cast<std::uint32_t>(y + half_), static_cast<std::uint32_t>(y - half_ - 1));
        } else if (entering) {
          add_row(static_cast<std::uint32_t>(y + half_));
        } else if (leaving) {
          remove_row(static_cast<std::uint32_t>(y - half_ - 1));
        }
      }
      const std::int64_t rows = std::min<std::int64_t>(h_ - 1, y + half_) - std::max<std::int64_t>(0, y - half_) + 1;
      threshold_row(static_cast<std::uint32_t>(y), rows, prefixed);
    }
  }

 private:
  void add_row(std::uint32_t y) {
    const std::uint8_t* p = image_.row(y);
    Sum* col = columns_.data();
    for (std::int64_t x = 0; x < w_; ++x) col[x] = static_cast<Sum>(col[x] + p[x]);
  }

  void remove_row(std::uint32_t y) {
    const std::uint8_t* p = image_.row(y);
    Sum* col = columns_.data();
    for (std::int64_t x = 0; x < w_; ++x) col[x] = static_cast<Sum>(col[x] - p[x]);
  }

  // Returns the columns whose prefix sums it formed on the way (the wide
  // path does so in the same pass), or -1.
  std::int64_t replace_row(std::uint32_t entering, std::uint32_t leaving) {
    const std::uint8_t* in = image_.row(entering);
    const std::uint8_t* out = image_.row(leaving);
    Sum* col = columns_.data();
    std::int64_t prefixed = -1;
#if MORVELIN_HAVE_AVX2_VARIANTS
    if constexpr (Wide && !std::is_same_v<Sum, std::uint64_t>) {
      if (half_ > 2) prefixed = prefix_sums_avx2(col, prefix_.data(), w_, in, out);
    }
#endif
    for (std::int64_t x = std::max<std::int64_t>(prefixed, 0); x < w_; ++x) {
      col[x] = static_cast<Sum>(col[x] + in[x] - out[x]);
    }
    return prefixed;
  }

  // The window sums of a row serve every target: the column sums and their
  // prefix sums are formed once, the comparison is made per target.
  // `prefixed`: the columns whose prefix sums replace_row formed, or -1.
  void threshold_row(std::uint32_t y, std::int64_t rows, [[maybe_unused]] std::int64_t prefixed) {
    const std::uint8_t* p = image_.row(y);
    // Interior columns have the full window width; the edges are clipped.
    const std::int64_t inner_begin = std::min(half_, w_);
    const std::int64_t inner_end = std::max(inner_begin, w_ - half_);
    const Sum* col = columns_.data();
    if (half_ <= 2) {
      // Narrow windows: sum the few columns directly, no prefix sums.
      auto clipped = [&](std::int64_t lo, std::int64_t hi) {
        Sum sum = 0;
        for (std::int64_t x = lo; x <= hi; ++x) sum = static_cast<Sum>(sum + col[x]);
        return sum;
      };
      for (const ThresholdTarget& target : targets_) {
        std::int8_t* out = output_row(target, y);
        edge_columns(p, out, rows, 0, inner_begin, target.c, clipped);
        if (half_ == 1) {
          compare_interior(p, out, rows, inner_begin, inner_end, target.c, nullptr,
                           [col](std::int64_t x) { return static_cast<Sum>(col[x - 1] + col[x] + col[x + 1]); });
        } else {
          compare_interior(p, out, rows, inner_begin, inner_end, target.c, nullptr, [col](std::int64_t x) {
            return static_cast<Sum>(col[x - 2] + col[x - 1] + col[x] + col[x + 1] + col[x + 2]);
          });
        }
        edge_columns(p, out, rows, inner_end, w_, target.c, clipped);
      }
      return;
    }
    Sum* pre = prefix_.data();
    std::int64_t done = 0;
#if MORVELIN_HAVE_AVX2_VARIANTS
    if constexpr (Wide && !std::is_same_v<Sum, std::uint64_t>) {
      done = prefixed >= 0 ? prefixed : prefix_sums_avx2(columns_.data(), pre, w_);
    }
#endif
    Sum running = pre[done];
    for (std::int64_t x = done; x < w_; ++x) {
      running = static_cast<Sum>(running + col[x]);
      pre[x + 1] = running;
    }
    auto clipped = [pre](std::int64_t lo, std::int64_t hi) { return static_cast<Sum>(pre[hi + 1] - pre[lo]); };
    const std::int64_t half = half_;
    for (const ThresholdTarget& target : targets_) {
      std::int8_t* out = output_row(target, y);
      edge_columns(p, out, rows, 0, inner_begin, target.c, clipped);
      compare_interior(p, out, rows, inner_begin, inner_end, target.c, pre,
                       [pre, half](std::int64_t x) { return static_cast<Sum>(pre[x + half + 1] - pre[x - half]); });
      edge_columns(p, out, rows, inner_end, w_, target.c, clipped);
    }
  }

  static std::int8_t* output_row(const ThresholdTarget& target, std::uint32_t y) {
    return target.out->cells.data() + (static_cast<std::size_t>(y) + 1) * target.out->stride() + 1;
  }

  // Full-width columns: 2a(p + c) <= a + 2s as 2a * p + (2a * c - a) <= 2s,
  // or, halved, a * p <= s + k with k = floor(a / 2) - a * c (both sides of
  // the first are even but for a's parity, which the floor absorbs).
  // When 2a fits 16 bits the product is formed as a widening 16-bit multiply,
  // which vectorises without 32-bit multiplies. `window_sum(x)` is the sum of
  // x's window; the 16-bit wide path reads the prefix sums `pre` directly, or
  // sums the columns when `pre` is null.
  template <class WindowSum>
  void compare_interior(const std::uint8_t* p, std::int8_t* out, std::int64_t rows, std::int64_t begin,
                        std::int64_t end, std::int32_t c, [[maybe_unused]] const Sum* pre, WindowSum window_sum) {
    const Cmp a = static_cast<Cmp>((2 * half_ + 1) * rows);
#if MORVELIN_HAVE_AVX2_VARIANTS
    if constexpr (Wide && std::is_same_v<Cmp, std::int32_t>) {
      const std::int32_t k = a / 2 - a * c;
      if constexpr (std::is_same_v<Sum, std::uint16_t>) {
        begin = compare_interior_avx2(p, out, begin, end, a, k, columns_.data(), pre, half_);
      } else if constexpr (std::is_same_v<Sum, std::uint32_t>) {
        if (pre != nullptr && a < 32768) begin = compare_interior_avx2(p, out, begin, end, a, k, pre, half_);
      }
    }
#endif
    const Cmp two_a = static_cast<Cmp>(2 * a);
    const Cmp bias = static_cast<Cmp>(two_a * static_cast<Cmp>(c) - a);
    if (std::is_same_v<Cmp, std::int32_t> && two_a < 32768) {
      const auto factor = static_cast<std::int16_t>(two_a);
      for (std::int64_t x = begin; x < end; ++x) {
        const auto s = static_cast<Cmp>(window_sum(x));
        const Cmp product = static_cast<std::int32_t>(static_cast<std::int16_t>(p[x])) * static_cast<std::int32_t>(factor);
        out[x] = static_cast<std::int8_t>(product + bias <= 2 * s);
      }
      return;
    }
    for (std::int64_t x = begin; x < end; ++x) {
      const auto s = static_cast<Cmp>(window_sum(x));
      out[x] = static_cast<std::int8_t>(two_a * static_cast<Cmp>(p[x]) + bias <= 2 * s);
    }
  }

  // Clipped columns near the left and right edges.
  template <class ClippedSum>
  void edge_columns(const std::uint8_t* p, std::int8_t* out, std::int64_t rows, std::int64_t begin,
                    std::int64_t end, std::int32_t c, ClippedSum clipped_sum) {
    for (std::int64_t x = begin; x < end; ++x) {
      const std::int64_t lo = std::max<std::int64_t>(0, x - half_);
      const std::int64_t hi = std::min<std::int64_t>(w_ - 1, x + half_);
      const Cmp a = static_cast<Cmp>((hi - lo + 1) * rows);
      const auto s = static_cast<Cmp>(clipped_sum(lo, hi));
      out[x] = static_cast<std::int8_t>(2 * a * (static_cast<Cmp>(p[x]) + static_cast<Cmp>(c)) <= a + 2 * s);
    }
  }

  GrayView image_;
  std::span<const ThresholdTarget> targets_;
  std::int64_t w_;
  std::int64_t h_;
  std::int64_t half_;
  Vec<Sum> columns_;
  Vec<Sum> prefix_;
};

template <class Sum, class Cmp, bool Wide = false>
void run_band(GrayView image, std::int64_t half, std::span<const ThresholdTarget> targets,
              std::int64_t first, std::int64_t end) {
  BoxThreshold<Sum, Cmp, Wide>(image, half, targets).run(first, end);
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// The same band with the row loops vectorised eight 32-bit lanes wide.
template <class Sum, class Cmp>
MORVELIN_AVX2_VARIANT void run_band_avx2(GrayView image, std::int64_t half,
                                         std::span<const ThresholdTarget> targets, std::int64_t first,
                                         std::int64_t end) {
  run_band<Sum, Cmp, true>(image, half, targets, first, end);
}
#endif

template <class Sum, class Cmp>
void run_band_on_best_unit(GrayView image, std::int64_t half, std::span<const ThresholdTarget> targets,
                           std::int64_t first, std::int64_t end) {
#if MORVELIN_HAVE_AVX2_VARIANTS
  if (cpu_has_avx2()) {
    run_band_avx2<Sum, Cmp>(image, half, targets, first, end);
    return;
  }
#endif
  run_band<Sum, Cmp>(image, half, targets, first, end);
}

// Large images are split into bands of rows on the pool, while the window is
// small next to a band (each band re-sums its first window).
template <class Sum, class Cmp>
void run_bands(GrayView image, std::int64_t half, std::span<const ThresholdTarget> targets, Threads threads) {
  const std::uint64_t by_window =
      static_cast<std::uint64_t>(image.height) / static_cast<std::uint64_t>(8 * (2 * half + 1));
  for_row_bands(image.height, image.size(), threads == Threads::kCallingThread ? 1 : by_window,
                [&](std::uint32_t first, std::uint32_t end) {
                  run_band_on_best_unit<Sum, Cmp>(image, half, targets, first, end);
                });
}

template <class Sum>
void threshold_with_sum(GrayView image, std::int64_t half, std::uint64_t window,
                        std::span<const ThresholdTarget> targets, Threads threads) {
  // Largest window: 2a(p + c) needs |p + c| <= 511 times 2a, a + 2s <= 511a.
  const bool fits32 = window < (std::uint64_t{1} << 21);
  if (fits32) {
    run_bands<Sum, std::int32_t>(image, half, targets, threads);
  } else {
    run_bands<Sum, std::int64_t>(image, half, targets, threads);
  }
}

}  // namespace

BinaryImage adaptive_threshold(GrayView image, std::int64_t window_size, double constant) {
  return adaptive_threshold(image, window_size, constant, Threads::kWorkerPool);
}

BinaryImage adaptive_threshold(GrayView image, std::int64_t window_size, double constant,
                               Threads threads) {
  Vec<BinaryImage> out = adaptive_thresholds(image, window_size, std::span<const double>(&constant, 1), threads);
  return std::move(out[0]);
}

Vec<BinaryImage> adaptive_thresholds(GrayView image, std::int64_t window_size,
                                     std::span<const double> constants, Threads threads) {
  Vec<BinaryImage> out;
  Vec<ThresholdTarget> targets;
  out.reserve(constants.size());
  for (const double constant : constants) {
    // Every pixel's cell is written below (an empty image has none).
    out.push_back(BinaryImage::with_zero_frame(image.width, image.height));
    // p + c <= mean + 1/2 with p and the mean in [0, 255]: a constant beyond
    // +-256 decides every pixel the same way as +-256, so clamping it keeps
    // the result exact and the products small.
    targets.push_back({std::clamp(saturating_cast<std::int32_t>(constant), -256, 256), &out.back()});
  }
  if (image.empty() || targets.empty()) return out;
  const std::int64_t side = std::max<std::int64_t>(image.width, image.height);
  // A window reaching past every edge is the whole image: wider ones are alike.
  const std::int64_t half = std::min(threshold_half_width(window_size), side);
  const std::uint64_t pixels = static_cast<std::uint64_t>(image.width) * image.height;
  // Pixels of the largest window, clipped by the image.
  const std::uint64_t window = static_cast<std::uint64_t>(std::min<std::int64_t>(2 * half + 1, image.width)) *
                               static_cast<std::uint64_t>(std::min<std::int64_t>(2 * half + 1, image.height));
  // 16-bit sums (twice the lanes) for windows of up to 256 pixels, whose
  // sums and products with a pixel stay below 2^16 - 1.
  if (window * 255 < std::numeric_limits<std::uint16_t>::max()) {
    threshold_with_sum<std::uint16_t>(image, half, window, targets, threads);
  } else if (pixels * 255 <= std::numeric_limits<std::uint32_t>::max()) {
    threshold_with_sum<std::uint32_t>(image, half, window, targets, threads);
  } else {
    threshold_with_sum<std::uint64_t>(image, half, window, targets, threads);
  }
  return out;
}

}  // namespace morvelin
