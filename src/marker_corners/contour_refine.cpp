// Contour line-fit refinement: every contour point near the middle part of a
// side votes for that side, a straight line is fitted through each side's
// points, and adjacent lines are intersected. All arithmetic is in 32-bit
// floats; any failed check keeps the polygon corners.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "marker_corners/marker_corners.hpp"
#include "geometry/quad.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {
namespace {

constexpr float kMinSideLengthSquared = 1.0f;
constexpr float kMinProjection = 0.1f;  // only the middle of a side, away from the corners
constexpr float kMaxProjection = 0.9f;
constexpr float kMaxSideDistance = 3.0f;
constexpr std::size_t kMinSidePoints = 3;
constexpr float kMinSpread = 0.0001f;
constexpr float kMinIntersectionDet = 0.1f;
constexpr float kMaxCornerMove = 5.0f;
constexpr std::int8_t kNoSide = -1;

// a x + b y + c = 0 with (a, b) of unit length.
struct Line {
  float a, b, c;
};

// The side a contour point belongs to, or kNoSide: the closest side (first
// one on ties) among those whose middle part the point projects onto.
std::int8_t side_of(const Quad& quad, Point2f q) {
  std::int8_t best = kNoSide;
  float best_distance = std::numeric_limits<float>::infinity();
  for (std::int8_t i = 0; i < 4; ++i) {
    const Point2f p = quad[i];
    const Point2f next = quad[(i + 1) % 4];
    const float ex = next.x - p.x;
    const float ey = next.y - p.y;
    const float length_squared = ex * ex + ey * ey;
    if (!(length_squared >= kMinSideLengthSquared)) continue;
    const float vx = q.x - p.x;
    const float vy = q.y - p.y;
    const float t = (vx * ex + vy * ey) / length_squared;
    if (!(t >= kMinProjection && t <= kMaxProjection)) continue;
    const float distance = std::abs(vx * ey - vy * ex) / std::sqrt(length_squared);
    if (distance < best_distance) {
      best = i;
      best_distance = distance;
    }
  }
  return best_distance <= kMaxSideDistance ? best : kNoSide;
}

// Line along the principal direction of one side's points, through their
// mean; nullopt when the points (nearly) coincide.
std::optional<Line> fit_side_line(std::span<const Point2f> contour, std::span<const std::int8_t> sides,
                                  std::int8_t side, std::size_t count) {
  float sum_x = 0.0f, sum_y = 0.0f;
  for (std::size_t k = 0; k < contour.size(); ++k) {
    if (sides[k] != side) continue;
    sum_x += contour[k].x;
    sum_y += contour[k].y;
  }
  const auto n = static_cast<float>(count);
  const float mx = sum_x / n;
  const float my = sum_y / n;
  float sxx = 0.0f, syy = 0.0f, sxy = 0.0f;
  for (std::size_t k = 0; k < contour.size(); ++k) {
    if (sides[k] != side) continue;
    const float dx = contour[k].x - mx;
    const float dy = contour[k].y - my;
    sxx += dx * dx;
    syy += dy * dy;
    sxy += dx * dy;
  }
  if (sxx + syy < kMinSpread) return std::nullopt;
  const float theta = 0.5f * std::atan2(2.0f * sxy, sxx - syy);
  const float cos_t = std::cos(theta);
  const float sin_t = std::sin(theta);
  return Line{-sin_t, cos_t, -(my * cos_t - mx * sin_t)};
}

// Intersection of two side lines as a replacement for `old`, or nullopt when
// the lines are nearly parallel, the point is not finite, or it lies too far
// from the corner it would replace.
std::optional<Point2f> corner_from_lines(const Line& l1, const Line& l2, Point2f old) {
  const float det = l1.a * l2.b - l2.a * l1.b;
  if (std::abs(det) < kMinIntersectionDet) return std::nullopt;
  const Point2f p{(l1.b * l2.c - l2.b * l1.c) / det, (l2.a * l1.c - l1.a * l2.c) / det};
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return std::nullopt;
  const float dx = p.x - old.x;
  const float dy = p.y - old.y;
  if (std::sqrt(dx * dx + dy * dy) > kMaxCornerMove) return std::nullopt;
  return p;
}

}  // namespace

Quad refine_quad_with_contour(const Quad& quad, std::span<const Point2f> contour) {
  Vec<std::int8_t> sides(contour.size());
  std::array<std::size_t, 4> counts{};
  for (std::size_t k = 0; k < contour.size(); ++k) {
    sides[k] = side_of(quad, contour[k]);
    if (sides[k] != kNoSide) ++counts[static_cast<std::size_t>(sides[k])];
  }
  for (const std::size_t count : counts) {
    if (count < kMinSidePoints) return quad;
  }

  std::array<Line, 4> lines{};
  for (std::int8_t i = 0; i < 4; ++i) {
    const auto line = fit_side_line(contour, sides, i, counts[static_cast<std::size_t>(i)]);
    if (!line) return quad;
    lines[static_cast<std::size_t>(i)] = *line;
  }

  // Corner i lies between side i - 1 and side i.
  Quad refined;
  for (std::size_t i = 0; i < 4; ++i) {
    const auto corner = corner_from_lines(lines[(i + 3) % 4], lines[i], quad[i]);
    if (!corner) return quad;
    refined[i] = *corner;
  }
  return is_convex_quad(refined) ? refined : quad;
}

}  // namespace morvelin
