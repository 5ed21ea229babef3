#include "image/color.hpp"

#include "runtime/cpu_features.hpp"
#include "runtime/worker_pool.hpp"

#if MORVELIN_HAVE_AVX2_VARIANTS
#include <immintrin.h>
#endif

namespace morvelin {
namespace {

constexpr float kR = 0.299f, kG = 0.587f, kB = 0.114f;

void bgr_to_gray_scalar(const std::uint8_t* bgr, std::size_t count, std::uint8_t* gray) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const float b = bgr[3 * i], g = bgr[3 * i + 1], r = bgr[3 * i + 2];
    const float v = kR * r + (kG * g + kB * b) + 0.5f;
    // v is never negative or NaN for 8-bit inputs; clamp the top only.
    gray[i] = v >= 255.0f ? std::uint8_t{255} : static_cast<std::uint8_t>(v);
  }
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// One channel of eight pixels as floats, its bytes picked from the first 16
// (lo) and the last 8 (hi) of their 24 bytes.
[[gnu::target("avx2")]] inline __m256 channel_of_eight(__m128i lo, __m128i hi, __m128i pick_lo, __m128i pick_hi) {
  const __m128i bytes = _mm_or_si128(_mm_shuffle_epi8(lo, pick_lo), _mm_shuffle_epi8(hi, pick_hi));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}

// Eight pixels a step with the scalar loop's single-precision operations in
// the same order (no fused multiply-add), so the same bits; the last few
// pixels go through the scalar loop.
MORVELIN_AVX2_VARIANT void bgr_to_gray_avx2(const std::uint8_t* bgr, std::size_t count, std::uint8_t* gray) noexcept {
  // Where each channel's bytes lie in lo and hi, in pixel order; -1 gives 0.
  const __m128i b_lo = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i b_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i g_lo = _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i g_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i r_lo = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i r_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, -1, -1, -1, -1, -1, -1, -1, -1);
  // The low byte of each 32-bit lane, gathered into the lane's first four bytes.
  const __m256i low_bytes = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                             0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256 kr = _mm256_set1_ps(kR), kg = _mm256_set1_ps(kG), kb = _mm256_set1_ps(kB);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i top = _mm256_set1_epi32(255);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const std::uint8_t* p = bgr + 3 * i;
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));
    const __m256 b = channel_of_eight(lo, hi, b_lo, b_hi);
    const __m256 g = channel_of_eight(lo, hi, g_lo, g_hi);
    const __m256 r = channel_of_eight(lo, hi, r_lo, r_hi);
    const __m256 green_blue = _mm256_add_ps(_mm256_mul_ps(kg, g), _mm256_mul_ps(kb, b));
    const __m256 v = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kr, r), green_blue), half);
    // Truncation toward zero, then 255 for v >= 255 (v < 256 always).
    const __m256i lanes = _mm256_shuffle_epi8(_mm256_min_epi32(_mm256_cvttps_epi32(v), top), low_bytes);
    const __m128i packed = _mm_unpacklo_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(gray + i), packed);
  }
  bgr_to_gray_scalar(bgr + 3 * i, count - i, gray + i);
}
#endif

}  // namespace

void bgr_to_gray(const std::uint8_t* bgr, std::size_t count, std::uint8_t* gray) noexcept {
#if MORVELIN_HAVE_AVX2_VARIANTS
  if (cpu_has_avx2()) {
    bgr_to_gray_avx2(bgr, count, gray);
    return;
  }
#endif
  bgr_to_gray_scalar(bgr, count, gray);
}

void bgr_rows_to_gray(const std::uint8_t* bgr, std::ptrdiff_t row_stride, std::uint32_t width, std::uint32_t height,
                      std::uint8_t* gray) {
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * height;
  for_row_bands(height, pixels, height, [&](std::uint32_t first, std::uint32_t end) {
    for (std::size_t y = first; y < end; ++y) {
      bgr_to_gray(bgr + static_cast<std::ptrdiff_t>(y) * row_stride, width, gray + y * width);
    }
  });
}

}  // namespace morvelin
