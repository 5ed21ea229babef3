#include "imgproc/polygon_approximation.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "runtime/cpu_features.hpp"

namespace morvelin {
namespace {

// A point of a range and its distance.
struct Split {
  float distance;
  std::size_t index;
};

// The first largest distance of points[0 .. count) by one pass in order.
// A NaN first distance is never exceeded, a later NaN never exceeds.
template <class Distance>
Split first_maximum(const Point2f* points, std::size_t count, const Distance& distance) {
  Split best{distance(points[0]), 0};
  for (std::size_t i = 1; i < count; ++i) {
    const float d = distance(points[i]);
    if (d > best.distance) best = {d, i};
  }
  return best;
}

struct SquaredDistanceFrom {
  Point2f from;
  float operator()(Point2f p) const { return squared_distance(p, from); }
};

// Distance from the line through q0 along (ex, ey), of that length; from q0
// itself when the line is degenerate.
struct ChordDistance {
  Point2f q0;
  float ex;
  float ey;
  float length;
  bool degenerate;
  float operator()(Point2f p) const {
    const float dx = p.x - q0.x;
    const float dy = p.y - q0.y;
    return degenerate ? std::sqrt(dx * dx + dy * dy) : std::fabs(dx * ey - dy * ex) / length;
  }
};

#if MORVELIN_HAVE_AVX2_VARIANTS
static_assert(sizeof(Point2f) == 2 * sizeof(float), "points are loaded as pairs of floats");

// The same search eight points at a time, for ranges of at least eight (and
// fewer than 2^31) points. Each lane keeps its own first maximum, and the
// largest of those with the lowest index is the first maximum of the range.
// The last block is the range's last eight points, overlapping the block
// before: a point seen twice has the same distance and index both times,
// and the lane that saw it first still holds it if it is the answer.
template <class Distance>
class LaneMaxima {
 public:
  [[gnu::target("avx2")]] explicit LaneMaxima(const Distance& distance)
      : distance_(distance),
        best_(_mm256_set1_ps(-std::numeric_limits<float>::infinity())),
        best_index_(_mm256_setzero_si256()) {}

  // The distances of the eight points from `first`. Lane j holds point 0, 1,
  // 4, 5, 2, 3, 6, 7 of them (the shuffles keep 128-bit halves apart).
  [[gnu::target("avx2")]] __m256 distances(const Point2f* points, std::size_t first) const {
    const __m256 a = _mm256_loadu_ps(&points[first].x);      // x0 y0 x1 y1 | x2 y2 x3 y3
    const __m256 b = _mm256_loadu_ps(&points[first + 4].x);  // x4 y4 x5 y5 | x6 y6 x7 y7
    return distance_(_mm256_shuffle_ps(a, b, 0x88), _mm256_shuffle_ps(a, b, 0xdd));
  }

  [[gnu::target("avx2")]] void add_block(const Point2f* points, std::size_t first) {
    add_block(distances(points, first), first);
  }

  [[gnu::target("avx2")]] void add_block(__m256 d, std::size_t first) {
    const __m256 larger = _mm256_cmp_ps(d, best_, _CMP_GT_OQ);
    const __m256i index = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7),
                                           _mm256_set1_epi32(static_cast<std::int32_t>(first)));
    best_ = _mm256_blendv_ps(best_, d, larger);
    best_index_ = _mm256_blendv_epi8(best_index_, index, _mm256_castps_si256(larger));
  }

  // The largest value in every lane, then the lowest index holding it.
  [[gnu::target("avx2")]] Split result() const {
    __m256 top = _mm256_max_ps(best_, _mm256_permute2f128_ps(best_, best_, 1));
    top = _mm256_max_ps(top, _mm256_shuffle_ps(top, top, _MM_SHUFFLE(1, 0, 3, 2)));
    top = _mm256_max_ps(top, _mm256_shuffle_ps(top, top, _MM_SHUFFLE(2, 3, 0, 1)));
    const __m256 at_top = _mm256_cmp_ps(best_, top, _CMP_EQ_OQ);
    __m256i lowest = _mm256_blendv_epi8(_mm256_set1_epi32(std::numeric_limits<std::int32_t>::max()), best_index_,
                                        _mm256_castps_si256(at_top));
    lowest = _mm256_min_epi32(lowest, _mm256_permute2x128_si256(lowest, lowest, 1));
    lowest = _mm256_min_epi32(lowest, _mm256_shuffle_epi32(lowest, _MM_SHUFFLE(1, 0, 3, 2)));
    lowest = _mm256_min_epi32(lowest, _mm256_shuffle_epi32(lowest, _MM_SHUFFLE(2, 3, 0, 1)));
    return {_mm256_cvtss_f32(top), static_cast<std::size_t>(_mm256_cvtsi256_si32(lowest))};
  }

 private:
  Distance distance_;
  __m256 best_;
  __m256i best_index_;
};

template <class Distance>
[[gnu::target("avx2")]] Split first_maximum_avx2(const Point2f* points, std::size_t count, const Distance& distance) {
  LaneMaxima<Distance> maxima(distance);
  // The lanes skip NaNs; a NaN first distance wins, as in order.
  const __m256 head = maxima.distances(points, 0);
  if (std::isnan(_mm256_cvtss_f32(head))) return {_mm256_cvtss_f32(head), 0};
  maxima.add_block(head, 0);
  std::size_t first = 8;
  for (; first + 8 <= count; first += 8) maxima.add_block(points, first);
  if (first < count) maxima.add_block(points, count - 8);
  return maxima.result();
}

struct SquaredDistanceFromAvx2 {
  __m256 fx;
  __m256 fy;
  [[gnu::target("avx2")]] __m256 operator()(__m256 x, __m256 y) const {
    const __m256 dx = _mm256_sub_ps(x, fx);
    const __m256 dy = _mm256_sub_ps(y, fy);
    return _mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy));
  }
};

struct ChordDistanceAvx2 {
  __m256 qx;
  __m256 qy;
  __m256 ex;
  __m256 ey;
  __m256 length;
  bool degenerate;
  [[gnu::target("avx2")]] __m256 operator()(__m256 x, __m256 y) const {
    const __m256 dx = _mm256_sub_ps(x, qx);
    const __m256 dy = _mm256_sub_ps(y, qy);
    if (degenerate) return _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(dx, dx), _mm256_mul_ps(dy, dy)));
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    return _mm256_div_ps(_mm256_and_ps(_mm256_sub_ps(_mm256_mul_ps(dx, ey), _mm256_mul_ps(dy, ex)), magnitude),
                         length);
  }
};

[[gnu::target("avx2")]] Split farthest_avx2(const Point2f* points, std::size_t count, const SquaredDistanceFrom& f) {
  return first_maximum_avx2(points, count, SquaredDistanceFromAvx2{_mm256_set1_ps(f.from.x), _mm256_set1_ps(f.from.y)});
}

[[gnu::target("avx2")]] Split farthest_avx2(const Point2f* points, std::size_t count, const ChordDistance& f) {
  return first_maximum_avx2(points, count,
                            ChordDistanceAvx2{_mm256_set1_ps(f.q0.x), _mm256_set1_ps(f.q0.y), _mm256_set1_ps(f.ex),
                                              _mm256_set1_ps(f.ey), _mm256_set1_ps(f.length), f.degenerate});
}
#endif

// first_maximum on the widest unit that suits the range.
template <class Distance>
Split farthest(const Point2f* points, std::size_t count, const Distance& distance) {
#if MORVELIN_HAVE_AVX2_VARIANTS
  if (count >= 8 && count < (std::size_t{1} << 31) && cpu_has_avx2()) return farthest_avx2(points, count, distance);
#endif
  return first_maximum(points, count, distance);
}

// Index of the point farthest from `from`; the first maximum wins.
std::size_t farthest_from(std::span<const Point2f> points, Point2f from) {
  return farthest(points.data(), points.size(), SquaredDistanceFrom{from}).index;
}

// The interior point of chain[first .. last] farthest from the chord between
// the end points (from the first end point when they coincide); ties keep the
// lowest index. Needs last >= first + 2.
Split farthest_from_chord(std::span<const Point2f> chain, std::size_t first, std::size_t last) {
  const Point2f q0 = chain[first];
  const float ex = chain[last].x - q0.x;
  const float ey = chain[last].y - q0.y;
  const float length = std::sqrt(ex * ex + ey * ey);
  const ChordDistance distance{q0, ex, ey, length, length < 1e-9};
  Split best = farthest(&chain[first + 1], last - first - 1, distance);
  best.index += first + 1;
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

void ClosedPolygon::approximate(std::span<const Point2f> points, float epsilon, Vec<Point2f>& vertices) {
  vertices.clear();
  if (points.size() <= 2) {
    vertices.assign(points.begin(), points.end());
    return;
  }
  const ClosedChains chains = cut_closed_curve(points, wrapped_);
  approximate_open_chain(chains.first, epsilon, stack_, vertices);
  approximate_open_chain(chains.second, epsilon, stack_, vertices);
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
