#include "imgproc/polygon_approximation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
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

// The two chains a closed curve is cut into at its two mutually farthest
// points: P_lo .. P_hi, and P_hi .. P(n-1) followed by P0 .. P_lo, copied
// into `wrapped`.
struct ClosedChains {
  std::span<const Point2f> first;
  std::span<const Point2f> second;
};

ClosedChains cut_closed_curve(std::span<const Point2f> points, Vec<Point2f>& wrapped) {
  const std::size_t n = points.size();
  const std::size_t a = farthest_from(points, points[0]);
  const std::size_t b = farthest_from(points, points[a]);
  const std::size_t lo = std::min(a, b);
  const std::size_t hi = std::max(a, b);
  wrapped.clear();
  wrapped.reserve(n - hi + lo + 1);
  wrapped.insert(wrapped.end(), points.begin() + static_cast<std::ptrdiff_t>(hi), points.end());
  wrapped.insert(wrapped.end(), points.begin(), points.begin() + static_cast<std::ptrdiff_t>(lo) + 1);
  return {points.subspan(lo, hi - lo + 1), wrapped};
}

}  // namespace

void approximate_closed_polygon(std::span<const Point2f> points, float epsilon, Vec<Point2f>& vertices) {
  vertices.clear();
  if (points.size() <= 2) {
    vertices.assign(points.begin(), points.end());
    return;
  }
  Vec<Point2f> wrapped;
  const ClosedChains chains = cut_closed_curve(points, wrapped);
  Vec<std::pair<std::size_t, std::size_t>> stack;
  approximate_open_chain(chains.first, epsilon, stack, vertices);
  approximate_open_chain(chains.second, epsilon, stack, vertices);
}

bool CoarsestPolygon::approximate(std::span<const Point2f> points, std::span<const float> tolerances,
                                  std::size_t max_vertices, Vec<Point2f>& vertices) {
  vertices.clear();
  if (tolerances.empty()) return false;
  if (points.size() <= 2) {
    if (points.size() > max_vertices) return false;
    vertices.assign(points.begin(), points.end());
    return true;
  }
  const ClosedChains chains = cut_closed_curve(points, wrapped_);
  const std::array<std::span<const Point2f>, 2> chain = {chains.first, chains.second};
  // Every chain of two or more points starts a vertex; each split adds one.
  const std::size_t starts = (chain[0].size() >= 2 ? 1 : 0) + (chain[1].size() >= 2 ? 1 : 0);
  if (starts > max_vertices) return false;
  const std::size_t allowed_splits = max_vertices - starts;

  // A segment splits at tolerance t when its own farthest distance and that
  // of every segment above it exceed t: when its reach, the smallest of
  // these, exceeds t. Segments leave the heap in order of decreasing reach,
  // and a segment's halves never reach further than it, so the first
  // `allowed_splits` + 1 to leave decide every tolerance.
  heap_.clear();
  taken_.clear();
  const auto by_reach = [](const Segment& a, const Segment& b) { return a.reach < b.reach; };
  const auto push = [&](std::size_t c, std::size_t first, std::size_t last, float above) {
    if (last - first < 2) return;
    const Split split = farthest_from_chord(chain[c], first, last);
    // A NaN distance exceeds no tolerance: such a segment never splits.
    const float reach = std::isnan(split.distance) ? -std::numeric_limits<float>::infinity()
                                                   : std::min(split.distance, above);
    heap_.push_back({reach, c, first, last, split.index});
    std::push_heap(heap_.begin(), heap_.end(), by_reach);
  };
  for (std::size_t c = 0; c < 2; ++c) {
    if (chain[c].size() >= 2) push(c, 0, chain[c].size() - 1, std::numeric_limits<float>::infinity());
  }
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), by_reach);
    const Segment s = heap_.back();
    heap_.pop_back();
    taken_.push_back(s);
    if (taken_.size() > allowed_splits) break;
    push(s.chain, s.first, s.split, s.reach);
    push(s.chain, s.split, s.last, s.reach);
  }
  // The first tolerance that the reach of the first segment beyond the
  // allowed splits does not exceed; every other segment reaches no further.
  std::size_t choice = 0;
  if (taken_.size() > allowed_splits) {
    const float excess = taken_.back().reach;
    while (choice < tolerances.size() && excess > tolerances[choice]) ++choice;
    if (choice == tolerances.size()) return false;
    taken_.pop_back();
  }
  const float tolerance = tolerances[choice];
  std::erase_if(taken_, [tolerance](const Segment& s) { return !(s.reach > tolerance); });
  std::sort(taken_.begin(), taken_.end(),
            [](const Segment& a, const Segment& b) { return a.chain != b.chain ? a.chain < b.chain : a.split < b.split; });
  std::size_t next = 0;
  for (std::size_t c = 0; c < 2; ++c) {
    if (chain[c].size() < 2) continue;
    vertices.push_back(chain[c][0]);
    for (; next < taken_.size() && taken_[next].chain == c; ++next) vertices.push_back(chain[c][taken_[next].split]);
  }
  return true;
}

}  // namespace morvelin
