#include "imgproc/polygon_approximation.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

namespace morvelin {
namespace {

// Index of the point farthest from `from`; the first maximum wins.
std::size_t farthest_from(std::span<const Point2f> points, Point2f from) {
  std::size_t best = 0;
  float best_distance = squared_distance(points[0], from);
  for (std::size_t i = 1; i < points.size(); ++i) {
    const float d = squared_distance(points[i], from);
    if (d > best_distance) {
      best_distance = d;
      best = i;
    }
  }
  return best;
}

struct Split {
  float distance;
  std::size_t index;
};

// The interior point of chain[first .. last] farthest from the chord between
// the end points (from the first end point when they coincide); ties keep the
// lowest index. Needs last >= first + 2.
Split farthest_from_chord(std::span<const Point2f> chain, std::size_t first, std::size_t last) {
  const Point2f q0 = chain[first];
  const float ex = chain[last].x - q0.x;
  const float ey = chain[last].y - q0.y;
  const float length = std::sqrt(ex * ex + ey * ey);
  const bool degenerate = length < 1e-9;
  Split best{0.0f, first + 1};
  for (std::size_t i = first + 1; i < last; ++i) {
    const float dx = chain[i].x - q0.x;
    const float dy = chain[i].y - q0.y;
    const float d = degenerate ? std::sqrt(dx * dx + dy * dy) : std::fabs(dx * ey - dy * ex) / length;
    if (i == first + 1 || d > best.distance) best = {d, i};
  }
  return best;
}

// Open approximation of `chain`, appending every vertex but the chain's last
// point. The recursive definition (simplify the first part, drop its last
// point, continue with the second part) is unrolled onto an explicit stack of
// segments visited left to right, so deep splits cannot exhaust the stack:
// every segment that needs no split contributes its first point.
void approximate_open_chain(std::span<const Point2f> chain, float epsilon,
                            Vec<std::pair<std::size_t, std::size_t>>& stack, Vec<Point2f>& out) {
  if (chain.size() < 2) return;
  stack.clear();
  stack.emplace_back(0, chain.size() - 1);
  while (!stack.empty()) {
    const auto [first, last] = stack.back();
    stack.pop_back();
    if (last - first >= 2) {
      const Split split = farthest_from_chord(chain, first, last);
      if (split.distance > epsilon) {
        stack.emplace_back(split.index, last);
        stack.emplace_back(first, split.index);
        continue;
      }
    }
    out.push_back(chain[first]);
  }
}

}  // namespace

void approximate_closed_polygon(std::span<const Point2f> points, float epsilon, Vec<Point2f>& vertices) {
  vertices.clear();
  const std::size_t n = points.size();
  if (n <= 2) {
    vertices.assign(points.begin(), points.end());
    return;
  }
  const std::size_t a = farthest_from(points, points[0]);
  const std::size_t b = farthest_from(points, points[a]);
  const std::size_t lo = std::min(a, b);
  const std::size_t hi = std::max(a, b);
  Vec<std::pair<std::size_t, std::size_t>> stack;
  approximate_open_chain(points.subspan(lo, hi - lo + 1), epsilon, stack, vertices);
  // The second chain wraps round the end of the curve back to the first cut.
  Vec<Point2f> wrapped;
  wrapped.reserve(n - hi + lo + 1);
  wrapped.insert(wrapped.end(), points.begin() + static_cast<std::ptrdiff_t>(hi), points.end());
  wrapped.insert(wrapped.end(), points.begin(), points.begin() + static_cast<std::ptrdiff_t>(lo) + 1);
  approximate_open_chain(wrapped, epsilon, stack, vertices);
}

}  // namespace morvelin
