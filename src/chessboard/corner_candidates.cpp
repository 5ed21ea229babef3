#include "chessboard/corner_candidates.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>

namespace morvelin {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// Union-find over quad corners, union by rank. The groups it ends with do
// not depend on the order of the joins.
class CornerSets {
 public:
  explicit CornerSets(std::size_t count) : parent_(count), rank_(count, 0) {
    std::iota(parent_.begin(), parent_.end(), std::size_t{0});
  }

  std::size_t find(std::size_t i) {
    while (parent_[i] != i) {
      parent_[i] = parent_[parent_[i]];
      i = parent_[i];
    }
    return i;
  }

  void join(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (rank_[a] < rank_[b]) std::swap(a, b);
    parent_[b] = a;
    if (rank_[a] == rank_[b]) ++rank_[a];
  }

 private:
  Vec<std::size_t> parent_;
  Vec<std::uint8_t> rank_;
};

void join_close_corners(std::span<const ChessboardQuad> quads, std::size_t i, std::size_t j, CornerSets& sets) {
  const float t = 0.32f * std::min(quads[i].shortest_side, quads[j].shortest_side);
  const float limit = t * t;
  for (std::size_t a = 0; a < 4; ++a) {
    for (std::size_t b = 0; b < 4; ++b) {
      if (squared_distance(quads[i].vertices[a], quads[j].vertices[b]) <= limit) sets.join(4 * i + a, 4 * j + b);
    }
  }
}

// Tries every pair of quads that can have corners within reach of each
// other. Quads are swept by the left edge of their bounding boxes: a quad
// whose left edge lies more than the reach (plus a pixel of slack against
// rounding) right of another's right edge has no corner close to it, and
// the same holds for a gap between their vertical extents.
void join_all_close_corners(std::span<const ChessboardQuad> quads, CornerSets& sets) {
  const std::size_t n = quads.size();
  struct Extent {
    float left, right, top, bottom;
  };
  Vec<Extent> extent(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Quad& v = quads[i].vertices;
    extent[i] = {std::min({v[0].x, v[1].x, v[2].x, v[3].x}), std::max({v[0].x, v[1].x, v[2].x, v[3].x}),
                 std::min({v[0].y, v[1].y, v[2].y, v[3].y}), std::max({v[0].y, v[1].y, v[2].y, v[3].y})};
  }
  Vec<std::size_t> by_left(n);
  std::iota(by_left.begin(), by_left.end(), std::size_t{0});
  std::stable_sort(by_left.begin(), by_left.end(),
                   [&](std::size_t a, std::size_t b) { return extent[a].left < extent[b].left; });
  Vec<Extent> sorted(n);
  for (std::size_t s = 0; s < n; ++s) sorted[s] = extent[by_left[s]];
  for (std::size_t s = 0; s < n; ++s) {
    const std::size_t i = by_left[s];
    const float slack = 0.32f * quads[i].shortest_side + 1.0f;
    const float reach = sorted[s].right + slack;
    for (std::size_t u = s + 1; u < n && sorted[u].left <= reach; ++u) {
      if (sorted[u].top > sorted[s].bottom + slack || sorted[s].top > sorted[u].bottom + slack) continue;
      const std::size_t j = by_left[u];
      join_close_corners(quads, std::min(i, j), std::max(i, j), sets);
    }
  }
}

void link(CornerCandidate& a, std::size_t b) {
  for (const std::size_t n : a.linked()) {
    if (n == b) return;
  }
  if (a.degree == a.neighbours.size()) return;  // two corners, two quad sides each: never reached
  a.neighbours[a.degree++] = b;
}

}  // namespace

CornerGraph build_corner_graph(std::span<const ChessboardQuad> quads) {
  const std::size_t corners = 4 * quads.size();
  CornerSets sets(corners);
  join_all_close_corners(quads, sets);

  Vec<std::size_t> root(corners), group_size(corners, 0);
  for (std::size_t c = 0; c < corners; ++c) ++group_size[root[c] = sets.find(c)];

  // First corner of each two-corner group, then the candidate of each corner.
  Vec<std::size_t> first_of_group(corners, kNone), candidate_of(corners, kNone);
  CornerGraph graph;
  for (std::size_t c = 0; c < corners; ++c) {
    if (group_size[root[c]] != 2) continue;
    const std::size_t first = first_of_group[root[c]];
    if (first == kNone) {
      first_of_group[root[c]] = c;
      candidate_of[c] = graph.size();
      graph.push_back({});
      continue;
    }
    const std::size_t id = candidate_of[first];
    candidate_of[c] = id;
    const Point2f a = quads[first / 4].vertices[first % 4];
    const Point2f b = quads[c / 4].vertices[c % 4];
    graph[id].position = {(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f};
  }

  for (std::size_t q = 0; q < quads.size(); ++q) {
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t a = candidate_of[4 * q + k];
      const std::size_t b = candidate_of[4 * q + (k + 1) % 4];
      if (a == kNone || b == kNone || a == b) continue;
      link(graph[a], b);
      link(graph[b], a);
    }
  }
  return graph;
}

}  // namespace morvelin
