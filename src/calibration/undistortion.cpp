#include "calibration/undistortion.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "numeric/conversions.hpp"
#include "pose/pixel_mapping.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

namespace {

constexpr int kNewtonSteps = 50;
constexpr int kStepHalvings = 30;
constexpr std::uint32_t kRowsPerTask = 8;
constexpr int kGridPoints = 9;  // per side, for optimal_new_camera

struct Mismatch {
  Distortion<double> d;
  double ex = 0.0;
  double ey = 0.0;
  double squared = 0.0;
};

Mismatch mismatch(double x, double y, double x0, double y0, const CameraModel& camera) noexcept {
  Mismatch m;
  m.d = distort(x, y, camera);
  m.ex = m.d.xd - x0;
  m.ey = m.d.yd - y0;
  m.squared = m.ex * m.ex + m.ey * m.ey;
  return m;
}

// The image maps run in single precision, four pixels at a time: ample for
// positions of pixels (about 1e-4 px), and twice the pixels per instruction.
typedef float Float4 __attribute__((vector_size(16)));

struct SingleCamera {
  float fx, fy, cx, cy;
  std::array<float, kDistortionTerms> dist;
};

SingleCamera single_precision(const CameraModel& c) noexcept {
  SingleCamera out{static_cast<float>(c.fx), static_cast<float>(c.fy), static_cast<float>(c.cx),
                   static_cast<float>(c.cy), {}};
  for (std::size_t i = 0; i < kDistortionTerms; ++i) out.dist[i] = static_cast<float>(c.dist[i]);
  return out;
}

// Bilinear weights in fixed point: positions to 1/128 pixel, the four
// weights summing to 2^14 (so that each fits a signed 16-bit lane).
constexpr int kWeightBits = 7;
constexpr std::int32_t kWeightOne = 1 << kWeightBits;
constexpr std::int32_t kHalf = 1 << (2 * kWeightBits - 1);

// Bilinear sample of the kChannels channels at (sx, sy), rounded; outside
// the image is 0.
template <std::uint32_t kChannels>
inline void sample(const std::uint8_t* pixels, std::int64_t width, std::int64_t height, std::size_t row_bytes,
                   float sx, float sy, std::uint8_t* out) noexcept {
  // NaN fails these comparisons too.
  if (!(sx > -1.0f && sx < static_cast<float>(width) && sy > -1.0f && sy < static_cast<float>(height))) {
    for (std::uint32_t c = 0; c < kChannels; ++c) out[c] = 0;
    return;
  }
  // Above −1, truncating s + 1 floors s (and is cheaper than std::floor).
  const auto x0 = static_cast<std::int64_t>(sx + 1.0f) - 1;
  const auto y0 = static_cast<std::int64_t>(sy + 1.0f) - 1;
  const auto ax = static_cast<std::int32_t>((sx - static_cast<float>(x0)) * kWeightOne + 0.5f);
  const auto ay = static_cast<std::int32_t>((sy - static_cast<float>(y0)) * kWeightOne + 0.5f);
  const std::int32_t w[4] = {(kWeightOne - ax) * (kWeightOne - ay), ax * (kWeightOne - ay), (kWeightOne - ax) * ay,
                             ax * ay};
  if (x0 >= 0 && y0 >= 0 && x0 + 1 < width && y0 + 1 < height) {
    const std::uint8_t* p = pixels + static_cast<std::size_t>(y0) * row_bytes + static_cast<std::size_t>(x0) * kChannels;
    for (std::uint32_t c = 0; c < kChannels; ++c) {
      const std::int32_t v = w[0] * p[c] + w[1] * p[c + kChannels] + w[2] * p[c + row_bytes] +
                             w[3] * p[c + row_bytes + kChannels];
      out[c] = static_cast<std::uint8_t>((v + kHalf) >> (2 * kWeightBits));
    }
    return;
  }
  const std::int64_t xs[2] = {x0, x0 + 1};
  const std::int64_t ys[2] = {y0, y0 + 1};
  for (std::uint32_t c = 0; c < kChannels; ++c) {
    std::int32_t v = 0;
    for (int j = 0; j < 2; ++j) {
      for (int i = 0; i < 2; ++i) {
        if (xs[i] >= 0 && ys[j] >= 0 && xs[i] < width && ys[j] < height) {
          v += w[2 * j + i] * pixels[static_cast<std::size_t>(ys[j]) * row_bytes + static_cast<std::size_t>(xs[i]) * kChannels + c];
        }
      }
    }
    out[c] = static_cast<std::uint8_t>((v + kHalf) >> (2 * kWeightBits));
  }
}

typedef std::int32_t Int4 __attribute__((vector_size(16)));

#if defined(__SSE2__)
// The bilinear blend of the B, G, R bytes of pixels p, p + 3 (weights in
// the low and high 16 bits of `top`) and q, q + 3 (`bottom`), each weight
// pair broadcast to all lanes, with 16-bit multiply-adds: the same integer
// arithmetic as the plain loop. Reads 8 bytes from p and from q.
inline void blend_bgr(const std::uint8_t* p, const std::uint8_t* q, __m128i top, __m128i bottom,
                      std::uint8_t* dst) noexcept {
  const __m128i zero = _mm_setzero_si128();
  const auto pairs = [&](const std::uint8_t* row) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row));
    // B0 B1 G0 G1 R0 R1 ..., widened to 16 bits.
    return _mm_unpacklo_epi8(_mm_unpacklo_epi8(bytes, _mm_srli_si128(bytes, 3)), zero);
  };
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(pairs(p), top), _mm_madd_epi16(pairs(q), bottom));
  const __m128i rounded = _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kHalf)), 2 * kWeightBits);
  // Each value is at most 255: narrowed to bytes B, G, R, 0.
  const auto bgr = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(rounded, zero), zero)));
  dst[0] = static_cast<std::uint8_t>(bgr);
  dst[1] = static_cast<std::uint8_t>(bgr >> 8);
  dst[2] = static_cast<std::uint8_t>(bgr >> 16);
}

// Lane L of v in every lane.
template <int L>
inline __m128i broadcast_lane(__m128i v) noexcept {
  return _mm_shuffle_epi32(v, L * 0x55);
}
#endif

// Images up to this side have exact single-precision pixel positions, which
// the four-pixel path below relies on for its bounds.
constexpr std::int64_t kExactSide = std::int64_t{1} << 24;

constexpr std::uint32_t kChunk = 256;  // pixels of a row mapped, then sampled, together

// Input positions of `count` output pixels of row v from column u0: each
// pixel's ray under `new_camera`, distorted and imaged by `camera`. The
// cameras are copies, so that the compiler keeps them in registers.
void map_chunk(const SingleCamera camera, const SingleCamera new_camera, std::uint32_t v, std::uint32_t u0,
               std::uint32_t count, float* sx, float* sy) noexcept {
  const float inv_fx = 1.0f / new_camera.fx;
  const float y = (static_cast<float>(v) - new_camera.cy) / new_camera.fy;
  const Float4 ys = Float4{} + y;
  const Float4 ones = Float4{} + 1.0f;
  const Float4 lanes = {0.0f, 1.0f, 2.0f, 3.0f};
  std::uint32_t k = 0;
  for (; k + 3 < count; k += 4) {
    const Float4 xs = (static_cast<float>(u0 + k) + lanes - new_camera.cx) * inv_fx;
    const PixelMapping<Float4> m = pixel_mapping<false>(distort(xs, ys, camera), ones, camera);
    for (int lane = 0; lane < 4; ++lane) {
      sx[k + lane] = m.u[lane];
      sy[k + lane] = m.v[lane];
    }
  }
  for (; k < count; ++k) {
    const float x = (static_cast<float>(u0 + k) - new_camera.cx) * inv_fx;
    const PixelMapping<float> m = pixel_mapping<false>(distort(x, y, camera), 1.0f, camera);
    sx[k] = m.u;
    sy[k] = m.v;
  }
}

// Samples `count` positions: four at a time (positions and weights computed
// together) where all four lie inside the image with their neighbours, else
// one by one.
template <std::uint32_t kChannels>
void sample_chunk(const ChannelImage& image, const float* sx, const float* sy, std::uint32_t count,
                  std::uint8_t* out) noexcept {
  const std::uint8_t* pixels = image.pixels.data();
  const std::int64_t width = image.width;
  const std::int64_t height = image.height;
  const std::size_t row_bytes = image.row_bytes();
  std::uint32_t k = 0;
  if (width <= kExactSide && height <= kExactSide) {
    const Float4 last_x = Float4{} + static_cast<float>(width - 1);
    const Float4 last_y = Float4{} + static_cast<float>(height - 1);
    const Float4 one = Float4{} + static_cast<float>(kWeightOne);
    for (; k + 3 < count; k += 4) {
      const Float4 x = {sx[k], sx[k + 1], sx[k + 2], sx[k + 3]};
      const Float4 y = {sy[k], sy[k + 1], sy[k + 2], sy[k + 3]};
      const Int4 inside = (x >= 0.0f) & (x < last_x) & (y >= 0.0f) & (y < last_y);
      if (!(inside[0] & inside[1] & inside[2] & inside[3])) {
        for (std::uint32_t j = k; j < k + 4; ++j) {
          sample<kChannels>(pixels, width, height, row_bytes, sx[j], sy[j], out + static_cast<std::size_t>(j) * kChannels);
        }
        continue;
      }
      // Non-negative, so truncation floors. The weights are integers below
      // 2^15, exact in single precision.
      const Int4 x0 = __builtin_convertvector(x, Int4);
      const Int4 y0 = __builtin_convertvector(y, Int4);
      const Float4 ax = __builtin_convertvector(
          __builtin_convertvector((x - __builtin_convertvector(x0, Float4)) * kWeightOne + 0.5f, Int4), Float4);
      const Float4 ay = __builtin_convertvector(
          __builtin_convertvector((y - __builtin_convertvector(y0, Float4)) * kWeightOne + 0.5f, Int4), Float4);
      const Int4 w00 = __builtin_convertvector((one - ax) * (one - ay), Int4);
      const Int4 w01 = __builtin_convertvector(ax * (one - ay), Int4);
      const Int4 w10 = __builtin_convertvector((one - ax) * ay, Int4);
      const Int4 w11 = __builtin_convertvector(ax * ay, Int4);
#if defined(__SSE2__)
      if constexpr (kChannels == 3) {
        // The weight pairs of each row packed into 32-bit lanes, as the
        // 16-bit multiply-adds take them.
        const __m128i top = std::bit_cast<__m128i>(w00 | (w01 << 16));
        const __m128i bottom = std::bit_cast<__m128i>(w10 | (w11 << 16));
        std::size_t offsets[4];
        for (int lane = 0; lane < 4; ++lane) {
          offsets[lane] = static_cast<std::size_t>(y0[lane]) * row_bytes + static_cast<std::size_t>(x0[lane]) * 3;
        }
        // Both pixels of a row come in one 8-byte load; the image's last
        // pixels lack the bytes behind them and go the plain way.
        if (offsets[3] + row_bytes + 8 <= image.pixels.size() && offsets[2] + row_bytes + 8 <= image.pixels.size() &&
            offsets[1] + row_bytes + 8 <= image.pixels.size() && offsets[0] + row_bytes + 8 <= image.pixels.size()) {
          std::uint8_t* dst = out + static_cast<std::size_t>(k) * 3;
          blend_bgr(pixels + offsets[0], pixels + offsets[0] + row_bytes, broadcast_lane<0>(top),
                    broadcast_lane<0>(bottom), dst);
          blend_bgr(pixels + offsets[1], pixels + offsets[1] + row_bytes, broadcast_lane<1>(top),
                    broadcast_lane<1>(bottom), dst + 3);
          blend_bgr(pixels + offsets[2], pixels + offsets[2] + row_bytes, broadcast_lane<2>(top),
                    broadcast_lane<2>(bottom), dst + 6);
          blend_bgr(pixels + offsets[3], pixels + offsets[3] + row_bytes, broadcast_lane<3>(top),
                    broadcast_lane<3>(bottom), dst + 9);
          continue;
        }
      }
#endif
      for (int lane = 0; lane < 4; ++lane) {
        const std::uint8_t* p =
            pixels + static_cast<std::size_t>(y0[lane]) * row_bytes + static_cast<std::size_t>(x0[lane]) * kChannels;
        std::uint8_t* dst = out + static_cast<std::size_t>(k + static_cast<std::uint32_t>(lane)) * kChannels;
        for (std::uint32_t c = 0; c < kChannels; ++c) {
          const std::int32_t v = w00[lane] * p[c] + w01[lane] * p[c + kChannels] + w10[lane] * p[c + row_bytes] +
                                 w11[lane] * p[c + row_bytes + kChannels];
          dst[c] = static_cast<std::uint8_t>((v + kHalf) >> (2 * kWeightBits));
        }
      }
    }
  }
  for (; k < count; ++k) {
    sample<kChannels>(pixels, width, height, row_bytes, sx[k], sy[k], out + static_cast<std::size_t>(k) * kChannels);
  }
}

// Output rows first..last−1, in tiles of kChunk columns: the input a tile
// needs is a compact patch that stays in cache while the tile's rows are
// sampled.
template <std::uint32_t kChannels>
void undistort_rows(const ChannelImage& image, const SingleCamera& camera, const SingleCamera& new_camera,
                    std::uint32_t first, std::uint32_t last, std::uint8_t* out) noexcept {
  float sx[kChunk];
  float sy[kChunk];
  for (std::uint32_t u0 = 0; u0 < image.width; u0 += std::min(kChunk, image.width - u0)) {
    const std::uint32_t count = std::min(kChunk, image.width - u0);
    for (std::uint32_t v = first; v < last; ++v) {
      map_chunk(camera, new_camera, v, u0, count, sx, sy);
      sample_chunk<kChannels>(image, sx, sy, count,
                              out + static_cast<std::size_t>(v) * image.row_bytes() + static_cast<std::size_t>(u0) * kChannels);
    }
  }
}

}  // namespace

Point2 undistort_point(const Point2& pixel, const CameraModel& camera) noexcept {
  const double x0 = (pixel[0] - camera.cx) / camera.fx;
  const double y0 = (pixel[1] - camera.cy) / camera.fy;
  if (!camera.has_distortion()) return {x0, y0};
  double x = x0;
  double y = y0;
  Mismatch m = mismatch(x, y, x0, y0, camera);
  for (int step = 0; step < kNewtonSteps && m.squared > 0.0; ++step) {
    const DistortionJacobian<double> j = distortion_jacobian(m.d, camera);
    const double det = j.dxd_dx * j.dyd_dy - j.dxd_dy * j.dyd_dx;
    const double sx = (j.dyd_dy * m.ex - j.dxd_dy * m.ey) / det;
    const double sy = (j.dxd_dx * m.ey - j.dyd_dx * m.ex) / det;
    if (!std::isfinite(sx) || !std::isfinite(sy)) break;
    bool improved = false;
    double scale = 1.0;
    for (int halving = 0; halving < kStepHalvings && !improved; ++halving, scale *= 0.5) {
      const double nx = x - scale * sx;
      const double ny = y - scale * sy;
      const Mismatch next = mismatch(nx, ny, x0, y0, camera);
      if (next.squared < m.squared) {
        x = nx;
        y = ny;
        m = next;
        improved = true;
      }
    }
    if (!improved) break;  // as close as doubles get, or a fold of the distortion
  }
  return {x, y};
}

Vec<Point2> undistort_points(std::span<const Point2> pixels, const CameraModel& camera,
                             const std::optional<CameraModel>& new_camera) {
  Vec<Point2> out(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const Point2 p = undistort_point(pixels[i], camera);
    out[i] = new_camera ? Point2{new_camera->fx * p[0] + new_camera->cx, new_camera->fy * p[1] + new_camera->cy} : p;
  }
  return out;
}

void undistort_image(const ChannelImage& image, const CameraModel& camera, const CameraModel& new_camera,
                     std::span<std::uint8_t> out) {
  if (image.size() == 0 || out.size() < image.size()) return;
  const std::size_t tasks = (image.height + kRowsPerTask - 1) / kRowsPerTask;
  const SingleCamera from = single_precision(camera);
  const SingleCamera to = single_precision(new_camera);
  parallel_for(tasks, [&](std::size_t task) {
    const auto first = static_cast<std::uint32_t>(task * kRowsPerTask);
    const std::uint32_t last = std::min(image.height, first + kRowsPerTask);
    if (image.channels == 3) {
      undistort_rows<3>(image, from, to, first, last, out.data());
    } else {
      undistort_rows<1>(image, from, to, first, last, out.data());
    }
  });
}

NewCamera optimal_new_camera(const CameraModel& camera, std::int64_t width, std::int64_t height, double alpha) {
  const double w1 = static_cast<double>(width) - 1.0;
  const double h1 = static_cast<double>(height) - 1.0;
  double outer[4] = {HUGE_VAL, HUGE_VAL, -HUGE_VAL, -HUGE_VAL};  // left, top, right, bottom
  double inner[4] = {-HUGE_VAL, -HUGE_VAL, HUGE_VAL, HUGE_VAL};
  for (int i = 0; i < kGridPoints; ++i) {
    for (int j = 0; j < kGridPoints; ++j) {
      const Point2 pixel = {w1 * j / (kGridPoints - 1), h1 * i / (kGridPoints - 1)};
      const Point2 p = undistort_point(pixel, camera);
      outer[0] = std::min(outer[0], p[0]);
      outer[1] = std::min(outer[1], p[1]);
      outer[2] = std::max(outer[2], p[0]);
      outer[3] = std::max(outer[3], p[1]);
      if (j == 0) inner[0] = std::max(inner[0], p[0]);
      if (i == 0) inner[1] = std::max(inner[1], p[1]);
      if (j == kGridPoints - 1) inner[2] = std::min(inner[2], p[0]);
      if (i == kGridPoints - 1) inner[3] = std::min(inner[3], p[1]);
    }
  }
  // The projections that map each rectangle onto the pixel range, and a
  // blend of them.
  const double fx0 = w1 / (inner[2] - inner[0]), fy0 = h1 / (inner[3] - inner[1]);
  const double fx1 = w1 / (outer[2] - outer[0]), fy1 = h1 / (outer[3] - outer[1]);
  NewCamera out;
  out.camera.fx = fx0 * (1.0 - alpha) + fx1 * alpha;
  out.camera.fy = fy0 * (1.0 - alpha) + fy1 * alpha;
  out.camera.cx = -fx0 * inner[0] * (1.0 - alpha) - fx1 * outer[0] * alpha;
  out.camera.cy = -fy0 * inner[1] * (1.0 - alpha) - fy1 * outer[1] * alpha;
  // The inner rectangle in output pixels: corner and size rounded (half to
  // even), then clipped to the image.
  const double left = out.camera.fx * inner[0] + out.camera.cx;
  const double top = out.camera.fy * inner[1] + out.camera.cy;
  const auto x = round_even_saturate<std::int64_t>(left);
  const auto y = round_even_saturate<std::int64_t>(top);
  const auto w = std::max(round_even_saturate<std::int64_t>(out.camera.fx * inner[2] + out.camera.cx - left), std::int64_t{0});
  const auto h = std::max(round_even_saturate<std::int64_t>(out.camera.fy * inner[3] + out.camera.cy - top), std::int64_t{0});
  const std::int64_t x0 = std::clamp(x, std::int64_t{0}, width);
  const std::int64_t y0 = std::clamp(y, std::int64_t{0}, height);
  // x + w, y + h without overflow.
  const std::int64_t x1 = std::clamp(x > width - w ? width : x + w, x0, width);
  const std::int64_t y1 = std::clamp(y > height - h ? height : y + h, y0, height);
  out.valid = {x0, y0, x1 - x0, y1 - y0};
  return out;
}

}  // namespace morvelin
