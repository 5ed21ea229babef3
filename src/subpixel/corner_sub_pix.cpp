#include "subpixel/corner_sub_pix.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>

#include "numeric/conversions.hpp"
#include "runtime/owned_array.hpp"

namespace morvelin {
namespace {

constexpr std::int32_t kIterationCap = 100;
// Interior samples never use a horizontal fraction of exactly 0.
constexpr float kMinInteriorFraction = 0.0001f;
// Below this the normal equations are taken as singular.
constexpr double kSingularDeterminant = 0x1p-104;

// Side of the sampled patch, 2 * win + 3, with the overflow of its square
// ruled out; a window whose buffers cannot even be sized cannot be allocated.
std::size_t patch_side(std::uint64_t win) {
  constexpr std::size_t kMax = SIZE_MAX;
  if (win > (kMax - 3) / 2) throw std::bad_alloc();
  const std::size_t side = 2 * static_cast<std::size_t>(win) + 3;
  if (side > kMax / side) throw std::bad_alloc();
  return side;
}

// Weighted normal equations of the gradient-orthogonality condition.
struct NormalSums {
  double a = 0.0, b = 0.0, d = 0.0, bx = 0.0, by = 0.0;
};

// Refines corners of one image with one window size, reusing the weight
// mask and the patch buffer from corner to corner.
class CornerRefiner {
 public:
  CornerRefiner(GrayView image, std::uint64_t win, std::int32_t max_iters, double eps)
      : image_(image),
        win_(win),
        n_(static_cast<std::size_t>(win) * 2 + 1),
        side_(patch_side(win)),
        max_steps_(std::min(std::max(max_iters, 1), kIterationCap)),
        eps_squared_(std::isnan(eps) ? 0.0 : std::max(eps, 0.0) * std::max(eps, 0.0)),
        width_(static_cast<float>(image.width)),
        height_(static_cast<float>(image.height)),
        win_float_(static_cast<float>(win)),
        origin_offset_(static_cast<float>(win + 1)) {
    reserve_buffers();
    build_mask();
  }

  Point2f refine(Point2f start);

 private:
  void reserve_buffers();
  void build_mask();
  void sample_patch(float ox, float oy);
  void sample_interior(std::int64_t ix, std::int64_t iy, float fx, float fy);
  void sample_border(std::int64_t ix, std::int64_t iy, float fx, float fy);
  NormalSums accumulate() const;

  GrayView image_;
  std::uint64_t win_;
  std::size_t n_;     // window side, 2 * win + 1
  std::size_t side_;  // patch side, 2 * win + 3
  std::int32_t max_steps_;
  double eps_squared_;
  float width_, height_, win_float_, origin_offset_;
  OwnedArray<float> mask_;   // n x n
  OwnedArray<float> patch_;  // side x side
};

void CornerRefiner::reserve_buffers() {
  // Both arrays together must fit; checked before either is touched.
  const std::size_t patch_count = side_ * side_;
  const std::size_t mask_count = n_ * n_;
  if (patch_count > SIZE_MAX / sizeof(float) / 2 ||
      !fits_in_physical_memory((patch_count + mask_count) * sizeof(float))) {
    throw std::bad_alloc();
  }
  mask_ = OwnedArray<float>(mask_count);
  patch_ = OwnedArray<float>(patch_count);
}

// mask[r][c] = exp(-((c - win) / win)^2) * exp(-((r - win) / win)^2) in
// single precision. The per-axis factors are parked in the patch buffer,
// which is overwritten by the first sampling anyway.
void CornerRefiner::build_mask() {
  float* axis = patch_.data();
  const auto win = static_cast<std::int64_t>(win_);
  for (std::size_t k = 0; k < n_; ++k) {
    const float t = static_cast<float>(static_cast<std::int64_t>(k) - win) / win_float_;
    axis[k] = std::exp(-(t * t));
  }
  for (std::size_t r = 0; r < n_; ++r) {
    float* row = mask_.data() + r * n_;
    const float row_factor = axis[r];
    for (std::size_t c = 0; c < n_; ++c) row[c] = axis[c] * row_factor;
  }
}

// Bilinear re-sampling of the (2 win + 3)^2 patch whose top-left sample
// lies at (ox, oy).
void CornerRefiner::sample_patch(float ox, float oy) {
  const float floor_x = std::floor(ox);
  const float floor_y = std::floor(oy);
  const auto ix = saturating_cast<std::int64_t>(floor_x);
  const auto iy = saturating_cast<std::int64_t>(floor_y);
  const float fx = ox - floor_x;
  const float fy = oy - floor_y;
  const auto side = static_cast<std::int64_t>(side_);
  const bool interior = ix >= 0 && iy >= 0 && ix + side < static_cast<std::int64_t>(image_.width) &&
                        iy + side < static_cast<std::int64_t>(image_.height);
  if (interior) {
    sample_interior(ix, iy, fx, fy);
  } else {
    sample_border(ix, iy, fx, fy);
  }
}

// All four neighbours of every sample are inside the image: one fixed set of
// weights, a straight weighted sum per row that the compiler vectorises.
void CornerRefiner::sample_interior(std::int64_t ix, std::int64_t iy, float fx, float fy) {
  const float fxr = std::max(fx, kMinInteriorFraction);
  const float w00 = (1.0f - fxr) * (1.0f - fy);
  const float w01 = fxr * (1.0f - fy);
  const float w10 = (1.0f - fxr) * fy;
  const float w11 = fxr * fy;
  const std::size_t side = side_;
  for (std::size_t r = 0; r < side; ++r) {
    const std::uint8_t* top = image_.row(static_cast<std::uint32_t>(iy + static_cast<std::int64_t>(r))) + ix;
    const std::uint8_t* bottom = top + image_.width;
    float* out = patch_.data() + r * side;
    for (std::size_t c = 0; c < side; ++c) {
      out[c] = w00 * static_cast<float>(top[c]) + w01 * static_cast<float>(top[c + 1]) +
               w10 * static_cast<float>(bottom[c]) + w11 * static_cast<float>(bottom[c + 1]);
    }
  }
}

// The patch reaches past the image: rows and columns are clamped into the
// image (replicated border) and the fraction is used as it is.
void CornerRefiner::sample_border(std::int64_t ix, std::int64_t iy, float fx, float fy) {
  const float w00 = (1.0f - fx) * (1.0f - fy);
  const float w01 = fx * (1.0f - fy);
  const float w10 = (1.0f - fx) * fy;
  const float w11 = fx * fy;
  const std::int64_t last_col = static_cast<std::int64_t>(image_.width) - 1;
  const std::int64_t last_row = static_cast<std::int64_t>(image_.height) - 1;
  const auto side = static_cast<std::int64_t>(side_);
  for (std::int64_t r = 0; r < side; ++r) {
    const std::uint8_t* top = image_.row(static_cast<std::uint32_t>(std::clamp<std::int64_t>(iy + r, 0, last_row)));
    const std::uint8_t* bottom =
        image_.row(static_cast<std::uint32_t>(std::clamp<std::int64_t>(iy + r + 1, 0, last_row)));
    float* out = patch_.data() + r * side;
    for (std::int64_t c = 0; c < side; ++c) {
      const auto c0 = static_cast<std::size_t>(std::clamp<std::int64_t>(ix + c, 0, last_col));
      const auto c1 = static_cast<std::size_t>(std::clamp<std::int64_t>(ix + c + 1, 0, last_col));
      if (c0 == c1) {
        out[c] = (1.0f - fy) * static_cast<float>(top[c0]) + fy * static_cast<float>(bottom[c0]);
      } else {
        out[c] = w00 * static_cast<float>(top[c0]) + w01 * static_cast<float>(top[c1]) +
                 w10 * static_cast<float>(bottom[c0]) + w11 * static_cast<float>(bottom[c1]);
      }
    }
  }
}

// Sums over the window of the weighted gradient products, row by row. The
// order of the additions is fixed, so the loop stays scalar.
NormalSums CornerRefiner::accumulate() const {
  NormalSums s;
  const std::size_t side = side_;
  const auto win = static_cast<std::int64_t>(win_);
  for (std::size_t r = 0; r < n_; ++r) {
    const float* up = patch_.data() + r * side;
    const float* mid = up + side;
    const float* down = mid + side;
    const float* weights = mask_.data() + r * n_;
    const auto dy = static_cast<double>(static_cast<std::int64_t>(r) - win);
    for (std::size_t c = 0; c < n_; ++c) {
      const double gx = mid[c + 2] - mid[c];
      const double gy = down[c + 1] - up[c + 1];
      const double w = weights[c];
      const auto dx = static_cast<double>(static_cast<std::int64_t>(c) - win);
      const double gxx = w * gx * gx;
      const double gxy = w * gx * gy;
      const double gyy = w * gy * gy;
      s.a += gxx;
      s.b += gxy;
      s.d += gyy;
      s.bx += gxx * dx + gxy * dy;
      s.by += gxy * dx + gyy * dy;
    }
  }
  return s;
}

Point2f CornerRefiner::refine(Point2f start) {
  // NaN coordinates fail these comparisons and count as outside.
  if (!(start.x >= 0.0f && start.y >= 0.0f && start.x < width_ && start.y < height_)) return start;
  float cx = start.x;
  float cy = start.y;
  for (std::int32_t steps = 0;;) {
    sample_patch(cx - origin_offset_, cy - origin_offset_);
    const NormalSums s = accumulate();
    const double det = s.a * s.d - s.b * s.b;
    if (std::abs(det) <= kSingularDeterminant) break;
    const double nx = static_cast<double>(cx) + (s.d * s.bx - s.b * s.by) / det;
    const double ny = static_cast<double>(cy) + (s.a * s.by - s.b * s.bx) / det;
    const auto nxf = static_cast<float>(nx);
    const auto nyf = static_cast<float>(ny);
    // A step that leaves the image (or is NaN) is not taken.
    if (!(nxf >= 0.0f && nyf >= 0.0f && nxf < width_ && nyf < height_)) break;
    const float mx = nxf - cx;
    const float my = nyf - cy;
    cx = nxf;
    cy = nyf;
    if (++steps >= max_steps_) break;
    const double moved = static_cast<double>(mx) * mx + static_cast<double>(my) * my;
    if (moved <= eps_squared_) break;
  }
  // A corner never travels more than the window half-size along either axis.
  if (std::abs(cx - start.x) > win_float_ || std::abs(cy - start.y) > win_float_) return start;
  return {cx, cy};
}

}  // namespace

Point2f corner_sub_pix(GrayView image, Point2f corner, std::uint64_t win, std::int32_t max_iters,
                       double eps) {
  if (win == 0) return corner;
  CornerRefiner refiner(image, win, max_iters, eps);
  return refiner.refine(corner);
}

void corner_sub_pix(GrayView image, std::span<Point2f> corners, std::uint64_t win, std::int32_t max_iters,
                    double eps) {
  if (win == 0 || corners.empty()) return;
  CornerRefiner refiner(image, win, max_iters, eps);
  for (Point2f& corner : corners) corner = refiner.refine(corner);
}

}  // namespace morvelin
