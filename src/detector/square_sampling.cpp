#include "detector/square_sampling.hpp"

#include <cmath>

#include "numeric/conversions.hpp"
#include "runtime/cpu_features.hpp"

#if MORVELIN_HAVE_AVX2_VARIANTS
#include <immintrin.h>
#endif

namespace morvelin {

// round_saturate<int32_t> without the library call: within +-2^31 the
// fraction x - trunc(x) is exact, so comparing it with +-0.5 rounds half away
// from zero exactly.
std::int32_t round_to_pixel(double x) {
  if (!(std::fabs(x) < 2147483647.0)) return round_saturate<std::int32_t>(x);
  auto i = static_cast<std::int64_t>(x);
  const double fraction = x - static_cast<double>(i);
  if (fraction >= 0.5) ++i;
  if (fraction <= -0.5) --i;
  return saturating_cast<std::int32_t>(static_cast<double>(i));
}

namespace {

std::uint8_t sample(GrayView image, const Homography& h, std::uint32_t u, std::uint32_t v) {
  const ProjectedPoint p = apply_homography(h, u, v);
  const std::int32_t x = round_to_pixel(p.x);
  const std::int32_t y = round_to_pixel(p.y);
  const bool inside =
      x >= 0 && y >= 0 && static_cast<std::uint32_t>(x) < image.width && static_cast<std::uint32_t>(y) < image.height;
  return inside ? image.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)) : 0;
}

void sample_square_baseline(GrayView image, const Homography& h, std::uint32_t side, std::uint8_t* out) {
  for (std::uint32_t v = 0; v < side; ++v) {
    for (std::uint32_t u = 0; u < side; ++u) *out++ = sample(image, h, u, v);
  }
}

#if MORVELIN_HAVE_AVX2_VARIANTS
// round_to_pixel of four coordinates inside +-2147483647, as doubles.
[[gnu::target("avx2")]] inline __m256d round_four(__m256d x) {
  const __m256d whole = _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m256d fraction = _mm256_sub_pd(x, whole);
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d up = _mm256_and_pd(_mm256_cmp_pd(fraction, _mm256_set1_pd(0.5), _CMP_GE_OQ), one);
  const __m256d down = _mm256_and_pd(_mm256_cmp_pd(fraction, _mm256_set1_pd(-0.5), _CMP_LE_OQ), one);
  return _mm256_sub_pd(_mm256_add_pd(whole, up), down);
}

// Four samples of a row at a time, with the homography's products, sums and
// divisions in the scalar order; a group with a coordinate out of +-2^31 (or
// NaN) and the last samples of a row go through the scalar path.
MORVELIN_AVX2_VARIANT void sample_square_avx2(GrayView image, const Homography& h, std::uint32_t side,
                                              std::uint8_t* out) {
  const __m256d h00 = _mm256_set1_pd(h(0, 0)), h10 = _mm256_set1_pd(h(1, 0)), h20 = _mm256_set1_pd(h(2, 0));
  const __m256d h02 = _mm256_set1_pd(h(0, 2)), h12 = _mm256_set1_pd(h(1, 2)), h22 = _mm256_set1_pd(h(2, 2));
  const __m256d limit = _mm256_set1_pd(2147483647.0);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d width = _mm256_set1_pd(static_cast<double>(image.width));
  const __m256d height = _mm256_set1_pd(static_cast<double>(image.height));
  const __m256d zero = _mm256_setzero_pd();
  for (std::uint32_t v = 0; v < side; ++v) {
    const double y = v;
    const __m256d h01y = _mm256_set1_pd(h(0, 1) * y), h11y = _mm256_set1_pd(h(1, 1) * y);
    const __m256d h21y = _mm256_set1_pd(h(2, 1) * y);
    std::uint32_t u = 0;
    for (; u + 4 <= side; u += 4, out += 4) {
      const double first = u;
      const __m256d x = _mm256_setr_pd(first, first + 1.0, first + 2.0, first + 3.0);
      const __m256d px = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h00, x), h01y), h02);
      const __m256d py = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h10, x), h11y), h12);
      const __m256d pz = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(h20, x), h21y), h22);
      const __m256d sx = _mm256_div_pd(px, pz);
      const __m256d sy = _mm256_div_pd(py, pz);
      const __m256d in_range = _mm256_and_pd(_mm256_cmp_pd(_mm256_andnot_pd(sign, sx), limit, _CMP_LT_OQ),
                                             _mm256_cmp_pd(_mm256_andnot_pd(sign, sy), limit, _CMP_LT_OQ));
      if (_mm256_movemask_pd(in_range) != 0xF) {
        for (std::uint32_t k = 0; k < 4; ++k) out[k] = sample(image, h, u + k, v);
        continue;
      }
      const __m256d rx = round_four(sx);
      const __m256d ry = round_four(sy);
      const __m256d inside =
          _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(rx, zero, _CMP_GE_OQ), _mm256_cmp_pd(rx, width, _CMP_LT_OQ)),
                        _mm256_and_pd(_mm256_cmp_pd(ry, zero, _CMP_GE_OQ), _mm256_cmp_pd(ry, height, _CMP_LT_OQ)));
      const int mask = _mm256_movemask_pd(inside);
      alignas(16) std::int32_t ix[4], iy[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(ix), _mm256_cvttpd_epi32(rx));
      _mm_store_si128(reinterpret_cast<__m128i*>(iy), _mm256_cvttpd_epi32(ry));
      for (int k = 0; k < 4; ++k) {
        out[k] = (mask >> k & 1) != 0
                     ? image.at(static_cast<std::uint32_t>(ix[k]), static_cast<std::uint32_t>(iy[k]))
                     : std::uint8_t{0};
      }
    }
    for (; u < side; ++u) *out++ = sample(image, h, u, v);
  }
}
#endif

}  // namespace

void sample_square(GrayView image, const Homography& h, std::uint32_t side, std::uint8_t* out) {
#if MORVELIN_HAVE_AVX2_VARIANTS
  if (cpu_has_avx2()) {
    sample_square_avx2(image, h, side, out);
    return;
  }
#endif
  sample_square_baseline(image, h, side, out);
}

}  // namespace morvelin
