#include "apriltag/preprocess.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/conversions.hpp"
#include "runtime/allocator.hpp"
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

GrayImage resize_triangle(const GrayImage& image, ImageSize size) {
  const std::uint32_t w = image.width;
  const Taps across = triangle_taps(w, size.width);
  const Taps down = triangle_taps(image.height, size.height);
  GrayImage out(size.width, size.height);
  // Output rows are independent: bands of them in parallel, each with its
  // own float row.
  constexpr std::uint32_t kRowsPerTask = 16;
  parallel_for((size.height + kRowsPerTask - 1) / kRowsPerTask, [&](std::size_t task) {
    Vec<float> row(w);
    const auto first_row = static_cast<std::uint32_t>(task * kRowsPerTask);
    const std::uint32_t end_row = std::min(size.height, first_row + kRowsPerTask);
    for (std::uint32_t oy = first_row; oy < end_row; ++oy) {
      // Vertical pass into one float row of input width ...
      const float* wy = down.weights.data() + static_cast<std::size_t>(oy) * down.stride;
      std::fill(row.begin(), row.end(), 0.0f);
      for (std::uint32_t k = 0; k < down.count[oy]; ++k) {
        const std::uint8_t* src = image.row(down.first[oy] + k);
        const float weight = wy[k];
        for (std::uint32_t x = 0; x < w; ++x) row[x] += weight * static_cast<float>(src[x]);
      }
      // ... then the horizontal pass into the output row.
      std::uint8_t* dst = out.row(oy);
      for (std::uint32_t ox = 0; ox < size.width; ++ox) {
        const float* wx = across.weights.data() + static_cast<std::size_t>(ox) * across.stride;
        const float* in = row.data() + across.first[ox];
        float sum = 0.0f;
        for (std::uint32_t k = 0; k < across.count[ox]; ++k) sum += wx[k] * in[k];
        dst[ox] = to_pixel(sum);
      }
    }
  });
  return out;
}

GrayImage gaussian_blur(const GrayImage& image, float sigma) {
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
