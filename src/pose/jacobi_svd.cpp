#include "pose/jacobi_svd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif
// Wider kernels for processors that have them, chosen at run time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define MORVELIN_JACOBI_X86 1
#else
#define MORVELIN_JACOBI_X86 0
#endif

namespace morvelin {

namespace {

// Sweeps stop at twice the epsilon: the last bit would cost many more sweeps.
constexpr double kPrecision = 2.0 * std::numeric_limits<double>::epsilon();
// Off-diagonal entries below the smallest normal number count as zero.
constexpr double kConsiderAsZero = std::numeric_limits<double>::min();

// (x < y) ? y : x, as std::max compares.
inline double larger(double x, double y) noexcept { return x < y ? y : x; }

// The largest |a_ij|; none when an element is NaN or the largest is infinite.
template <std::size_t kN>
std::optional<double> input_scale(const SquareMatrix<kN>& a) noexcept {
  double scale = 0.0;
  for (const auto& row : a) {
    for (double e : row) {
      const double m = std::fabs(e);
      if (std::isnan(m)) return std::nullopt;
      scale = larger(scale, m);
    }
  }
  if (!std::isfinite(scale)) return std::nullopt;
  return scale == 0.0 ? 1.0 : scale;
}

// Every entry of the working matrix stays finite: the input is finite and
// scaled to at most 1 in magnitude, and each step turns rows and columns by
// orthonormal rotations, so no entry grows beyond the matrix norm.

// A plane rotation (c, s) acting on a pair (x, y) as
// x ← c·x + s·y, y ← −s·x + c·y; the identity (1, 0) is never applied.
struct Rotation {
  double c = 1.0;
  double s = 0.0;
  bool identity() const noexcept { return c == 1.0 && s == 0.0; }
};

inline void rotate_pair(double& x, double& y, const Rotation& r) noexcept {
  const double xi = x;
  const double yi = y;
  x = r.c * xi + r.s * yi;
  y = -r.s * xi + r.c * yi;
}

// The rotation that symmetrises the 2x2 block [[m00, m01], [m10, m11]] from
// the left, then the one that diagonalises the symmetric result from both
// sides: returns (left, right) with left = first·rightᵀ.
struct BlockRotations {
  Rotation left;
  Rotation right;
};

inline BlockRotations block_rotations(double m00, double m01, double m10, double m11) noexcept {
  Rotation first;
  const double t = m00 + m11;
  const double d = m10 - m01;
  if (!(std::fabs(d) < kConsiderAsZero)) {
    const double u = t / d;
    const double tmp = std::sqrt(1.0 + u * u);
    first.s = 1.0 / tmp;
    first.c = u / tmp;
  }
  if (!first.identity()) {
    rotate_pair(m00, m10, first);
    rotate_pair(m01, m11, first);
  }
  Rotation right;
  const double deno = 2.0 * std::fabs(m01);
  if (!(deno < kConsiderAsZero)) {
    const double tau = (m00 - m11) / deno;
    const double w = std::sqrt(tau * tau + 1.0);
    const double t2 = tau > 0.0 ? 1.0 / (tau + w) : 1.0 / (tau - w);
    const double sign_t = t2 > 0.0 ? 1.0 : -1.0;
    const double n = 1.0 / std::sqrt(t2 * t2 + 1.0);
    // m01/|m01|, exactly ±1 here: m01 is finite and not 0.
    right.s = -sign_t * std::copysign(1.0, m01) * std::fabs(t2) * n;
    right.c = n;
  }
  BlockRotations out;
  out.left = {first.c * right.c - first.s * (-right.s), first.c * (-right.s) + first.s * right.c};
  out.right = right;
  return out;
}

// Singular values |w_ii|·scale sorted in descending order (first of equals
// first, stopping at a zero), with the vector columns swapped alike.
// `u` and `v` hold columns: u[column][row].
template <std::size_t kN>
void sort_singular_values(std::array<double, kN>& sigma, double (*u)[kN], double (*v)[kN]) noexcept {
  for (std::size_t i = 0; i < kN; ++i) {
    std::size_t pos = i;
    for (std::size_t j = i + 1; j < kN; ++j) {
      if (sigma[j] > sigma[pos]) pos = j;
    }
    if (sigma[pos] == 0.0) break;
    if (pos == i) continue;
    std::swap(sigma[i], sigma[pos]);
    if (u != nullptr) std::swap_ranges(u[i], u[i] + kN, u[pos]);
    if (v != nullptr) std::swap_ranges(v[i], v[i] + kN, v[pos]);
  }
}

template <std::size_t kN>
void columns_to_matrix(const double (*columns)[kN], SquareMatrix<kN>& m) noexcept {
  for (std::size_t c = 0; c < kN; ++c) {
    for (std::size_t r = 0; r < kN; ++r) m[r][c] = columns[c][r];
  }
}

template <std::size_t kN, bool kWantU, bool kWantV>
std::optional<Svd<kN>> decompose_single(const SquareMatrix<kN>& a) {
  const std::optional<double> scale = input_scale(a);
  if (!scale) return std::nullopt;

  double w[kN][kN];    // working matrix, row-major
  double u[kN][kN]{};  // columns of U
  double v[kN][kN]{};  // columns of V
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kN; ++r) {
#pragma GCC unroll 16
    for (std::size_t c = 0; c < kN; ++c) w[r][c] = a[r][c] / *scale;
    if constexpr (kWantU) u[r][r] = 1.0;
    if constexpr (kWantV) v[r][r] = 1.0;
  }
  double max_diagonal = std::fabs(w[0][0]);
  for (std::size_t i = 1; i < kN; ++i) max_diagonal = larger(max_diagonal, std::fabs(w[i][i]));

  bool finished = false;
  while (!finished) {
    finished = true;
    for (std::size_t p = 1; p < kN; ++p) {
      for (std::size_t q = 0; q < p; ++q) {
        const double threshold = larger(kConsiderAsZero, kPrecision * max_diagonal);
        if (!(std::fabs(w[p][q]) > threshold || std::fabs(w[q][p]) > threshold)) continue;
        finished = false;
        const BlockRotations rot = block_rotations(w[p][p], w[p][q], w[q][p], w[q][q]);
        if (!rot.left.identity()) {
#pragma GCC unroll 16
          for (std::size_t i = 0; i < kN; ++i) rotate_pair(w[p][i], w[q][i], rot.left);
          if constexpr (kWantU) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < kN; ++i) rotate_pair(u[p][i], u[q][i], rot.left);
          }
        }
        // Columns turn by the transpose of the right rotation.
        const Rotation right_t{rot.right.c, -rot.right.s};
        if (!right_t.identity()) {
#pragma GCC unroll 16
          for (std::size_t i = 0; i < kN; ++i) rotate_pair(w[i][p], w[i][q], right_t);
          if constexpr (kWantV) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < kN; ++i) rotate_pair(v[p][i], v[q][i], right_t);
          }
        }
        max_diagonal = larger(max_diagonal, larger(std::fabs(w[p][p]), std::fabs(w[q][q])));
      }
    }
  }

  Svd<kN> out;
  for (std::size_t i = 0; i < kN; ++i) {
    out.singular_values[i] = std::fabs(w[i][i]);
    if (kWantU && w[i][i] < 0.0) {
      for (double& e : u[i]) e = -e;
    }
  }
  for (double& s : out.singular_values) s *= *scale;
  sort_singular_values<kN>(out.singular_values, kWantU ? u : nullptr, kWantV ? v : nullptr);
  if constexpr (kWantU) columns_to_matrix<kN>(u, out.u);
  if constexpr (kWantV) columns_to_matrix<kN>(v, out.v);
  return out;
}

}  // namespace

template <std::size_t kN>
std::optional<Svd<kN>> jacobi_svd(const SquareMatrix<kN>& a, unsigned factors) {
  const bool want_u = (factors & kLeftVectors) != 0;
  const bool want_v = (factors & kRightVectors) != 0;
  if (want_u && want_v) return decompose_single<kN, true, true>(a);
  if (want_u) return decompose_single<kN, true, false>(a);
  if (want_v) return decompose_single<kN, false, true>(a);
  return decompose_single<kN, false, false>(a);
}

template std::optional<Svd<3>> jacobi_svd<3>(const SquareMatrix<3>&, unsigned);
template std::optional<Svd<9>> jacobi_svd<9>(const SquareMatrix<9>&, unsigned);
template std::optional<Svd<12>> jacobi_svd<12>(const SquareMatrix<12>&, unsigned);

// ---- several matrices across SIMD lanes -------------------------------------
//
// The lane kernel is compiled once per instruction set: lane l of every
// vector belongs to matrix l. Each lane sees exactly the operations of the
// scalar code above; a lane that needs no rotation at a pair, or whose
// rotation is the identity, keeps its values by selection, never by
// multiplying with (1, 0) (which could turn −0 into +0). Lanes run until the
// last of them has finished a sweep without rotations.

namespace {

// Lane kernel interface: decomposes count ≤ lanes matrices into out[0..count),
// leaving out[l] empty when matrix l is not finite.
template <std::size_t kN>
using LaneKernel = void (*)(const SquareMatrix<kN>* const* a, std::size_t count, std::optional<Svd<kN>>* out);

}  // namespace

#define MORVELIN_LANES 2
#define MORVELIN_LANE_NS lanes2
#include "pose/jacobi_svd_lanes.inc"
#undef MORVELIN_LANES
#undef MORVELIN_LANE_NS

#if MORVELIN_JACOBI_X86
#pragma GCC push_options
#pragma GCC target("avx2")
#define MORVELIN_LANES 4
#define MORVELIN_LANE_NS lanes4
#include "pose/jacobi_svd_lanes.inc"
#undef MORVELIN_LANES
#undef MORVELIN_LANE_NS
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
#define MORVELIN_LANES 8
#define MORVELIN_LANE_NS lanes8
#include "pose/jacobi_svd_lanes.inc"
#undef MORVELIN_LANES
#undef MORVELIN_LANE_NS
#pragma GCC pop_options
#endif

namespace {

enum class LaneSet { kTwo, kFour, kEight };

LaneSet widest_lanes() noexcept {
#if MORVELIN_JACOBI_X86
  if (__builtin_cpu_supports("avx512f")) return LaneSet::kEight;
  if (__builtin_cpu_supports("avx2")) return LaneSet::kFour;
#endif
  return LaneSet::kTwo;
}

LaneSet available_lanes() noexcept {
  static const LaneSet lanes = widest_lanes();
  return lanes;
}

template <std::size_t kN, bool kWantU>
LaneKernel<kN> lane_kernel(std::size_t lanes) noexcept {
#if MORVELIN_JACOBI_X86
  if (lanes == 8) return &lanes8::decompose<kN, kWantU>;
  if (lanes == 4) return &lanes4::decompose<kN, kWantU>;
#endif
  (void)lanes;
  return &lanes2::decompose<kN, kWantU>;
}

// The narrowest kernel that takes `remaining` matrices in one pass (a lane
// costs about as much whether it is used or not), capped by the processor.
std::size_t lanes_for(std::size_t remaining) noexcept {
  const std::size_t widest = jacobi_svd_lanes();
  std::size_t lanes = 2;
  while (lanes < widest && lanes < remaining) lanes *= 2;
  return lanes;
}

}  // namespace

std::size_t jacobi_svd_lanes() noexcept {
  switch (available_lanes()) {
    case LaneSet::kEight:
      return 8;
    case LaneSet::kFour:
      return 4;
    case LaneSet::kTwo:
      break;
  }
  return 2;
}

template <std::size_t kN>
void jacobi_svd_batch(std::span<const SquareMatrix<kN>* const> a, std::span<std::optional<Svd<kN>>> out,
                      unsigned factors) {
  const bool want_u = (factors & kLeftVectors) != 0;
  std::size_t next = 0;
  while (next < a.size()) {
    const std::size_t remaining = a.size() - next;
    if (remaining == 1) {
      out[next] = jacobi_svd<kN>(*a[next], kRightVectors | (want_u ? kLeftVectors : 0u));
      return;
    }
    const std::size_t lanes = lanes_for(remaining);
    const std::size_t count = std::min(lanes, remaining);
    const LaneKernel<kN> kernel = want_u ? lane_kernel<kN, true>(lanes) : lane_kernel<kN, false>(lanes);
    kernel(a.data() + next, count, out.data() + next);
    next += count;
  }
}

template void jacobi_svd_batch<3>(std::span<const SquareMatrix<3>* const>, std::span<std::optional<Svd<3>>>, unsigned);
template void jacobi_svd_batch<9>(std::span<const SquareMatrix<9>* const>, std::span<std::optional<Svd<9>>>, unsigned);
template void jacobi_svd_batch<12>(std::span<const SquareMatrix<12>* const>, std::span<std::optional<Svd<12>>>,
                                   unsigned);

}  // namespace morvelin
