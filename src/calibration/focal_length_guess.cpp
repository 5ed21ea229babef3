#include "calibration/focal_length_guess.hpp"

#include <cmath>

#include "runtime/allocator.hpp"

namespace morvelin {

namespace {

// Below this ratio of its eigenvalues the 2 x 2 system does not separate fx
// from fy.
constexpr double kSeparableRatio = 1e-6;

// One equation c[0]·A + c[1]·B = rhs in A = (scale/fx)², B = (scale/fy)².
struct FocalEquation {
  double c[2];
  double rhs;
};

Vec<FocalEquation> focal_equations(std::span<const Matrix3> homographies, double cx, double cy, double scale) {
  Vec<FocalEquation> out;
  for (const Matrix3& h : homographies) {
    // Columns of T·H with T moving the principal point to the origin, the
    // pixel rows divided by `scale`.
    double col[2][3];
    for (int j = 0; j < 2; ++j) {
      col[j][0] = (h[0][j] - cx * h[2][j]) / scale;
      col[j][1] = (h[1][j] - cy * h[2][j]) / scale;
      col[j][2] = h[2][j];
    }
    const double* h1 = col[0];
    const double* h2 = col[1];
    const FocalEquation orthogonal = {{h1[0] * h2[0], h1[1] * h2[1]}, -h1[2] * h2[2]};
    const FocalEquation equal_length = {{h1[0] * h1[0] - h2[0] * h2[0], h1[1] * h1[1] - h2[1] * h2[1]},
                                        -(h1[2] * h1[2] - h2[2] * h2[2])};
    for (FocalEquation e : {orthogonal, equal_length}) {
      const double norm = std::sqrt(e.c[0] * e.c[0] + e.c[1] * e.c[1] + e.rhs * e.rhs);
      if (!(norm > 0.0) || !std::isfinite(norm)) continue;
      out.push_back({{e.c[0] / norm, e.c[1] / norm}, e.rhs / norm});
    }
  }
  return out;
}

// A and B separately, when the equations determine both.
std::optional<std::array<double, 2>> solve_both(std::span<const FocalEquation> equations) {
  double m00 = 0.0, m01 = 0.0, m11 = 0.0, r0 = 0.0, r1 = 0.0;
  for (const FocalEquation& e : equations) {
    m00 += e.c[0] * e.c[0];
    m01 += e.c[0] * e.c[1];
    m11 += e.c[1] * e.c[1];
    r0 += e.c[0] * e.rhs;
    r1 += e.c[1] * e.rhs;
  }
  const double trace = m00 + m11;
  const double det = m00 * m11 - m01 * m01;
  const double root = std::sqrt(std::max(trace * trace * 0.25 - det, 0.0));
  const double largest = trace * 0.5 + root;
  const double smallest = trace * 0.5 - root;
  if (!(largest > 0.0) || !(smallest > kSeparableRatio * largest)) return std::nullopt;
  const std::array<double, 2> ab = {(m11 * r0 - m01 * r1) / det, (m00 * r1 - m01 * r0) / det};
  if (!(ab[0] > 0.0 && ab[1] > 0.0 && std::isfinite(ab[0]) && std::isfinite(ab[1]))) return std::nullopt;
  return ab;
}

// B alone with A = B/aspect².
std::optional<std::array<double, 2>> solve_with_aspect(std::span<const FocalEquation> equations, double aspect) {
  const double a_per_b = 1.0 / (aspect * aspect);
  double m = 0.0, r = 0.0;
  for (const FocalEquation& e : equations) {
    const double c = e.c[0] * a_per_b + e.c[1];
    m += c * c;
    r += c * e.rhs;
  }
  const double b = r / m;
  if (!(m > 0.0) || !(b > 0.0) || !std::isfinite(b) || !std::isfinite(b * a_per_b)) return std::nullopt;
  return std::array<double, 2>{b * a_per_b, b};
}

}  // namespace

std::optional<std::array<double, 2>> focal_lengths_from_homographies(std::span<const Matrix3> homographies,
                                                                     double cx, double cy, double scale,
                                                                     std::optional<double> aspect) {
  if (!(scale > 0.0) || !std::isfinite(scale)) return std::nullopt;
  const Vec<FocalEquation> equations = focal_equations(homographies, cx, cy, scale);
  std::optional<std::array<double, 2>> ab;
  if (!aspect) ab = solve_both(equations);
  if (!ab) ab = solve_with_aspect(equations, aspect.value_or(1.0));
  if (!ab) return std::nullopt;
  const std::array<double, 2> f = {scale / std::sqrt((*ab)[0]), scale / std::sqrt((*ab)[1])};
  if (!std::isfinite(f[0]) || !std::isfinite(f[1])) return std::nullopt;
  return f;
}

}  // namespace morvelin
