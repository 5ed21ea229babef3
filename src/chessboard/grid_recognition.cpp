#include "chessboard/grid_recognition.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <limits>

#include "numeric/conversions.hpp"

namespace morvelin {
namespace {

constexpr std::uint64_t kUnreached = std::numeric_limits<std::uint64_t>::max();

// Breadth-first hop counts from `source` to the members of its component.
// `distance` is indexed by candidate and must hold kUnreached for every
// member on entry.
void hop_counts(const CornerGraph& graph, std::size_t source, Vec<std::uint64_t>& distance,
                Vec<std::size_t>& queue) {
  queue.clear();
  queue.push_back(source);
  distance[source] = 0;
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const std::size_t c = queue[head];
    for (const std::size_t n : graph[c].linked()) {
      if (distance[n] != kUnreached) continue;
      distance[n] = distance[c] + 1;
      queue.push_back(n);
    }
  }
}

// One connected component and what the grid test needs of it.
struct Component {
  Vec<std::size_t> members;  // in breadth-first order from the lowest number
  std::uint64_t edges = 0;
  Vec<std::size_t> outer;    // members with exactly two neighbours, ascending
};

bool looks_like_grid(const Component& component, const GridShape& shape) {
  return component.members.size() == shape.count && component.edges == shape.edges && component.outer.size() == 4;
}

// Places every member from the outer corners u (slot 0) and v (slot
// columns - 1): a corner du hops from u and dv hops from v sits in column
// (du + columns - 1 - dv) / 2 and row du - column.
std::optional<Vec<Point2f>> place(const CornerGraph& graph, const Component& component, const GridShape& shape,
                                  const Vec<std::uint64_t>& from_u, const Vec<std::uint64_t>& from_v) {
  const auto columns = static_cast<std::int64_t>(shape.columns);
  const auto rows = static_cast<std::int64_t>(shape.rows);
  Vec<std::uint8_t> filled(shape.count, 0);
  Vec<Point2f> slots(shape.count);
  for (const std::size_t n : component.members) {
    if (from_u[n] == kUnreached || from_v[n] == kUnreached) return std::nullopt;
    // Hop counts are below the member count, itself at most the grid size.
    const auto du = static_cast<std::int64_t>(from_u[n]);
    const auto dv = static_cast<std::int64_t>(from_v[n]);
    const std::int64_t twice_column = du + (columns - 1) - dv;
    if (twice_column < 0 || twice_column % 2 != 0) return std::nullopt;
    const std::int64_t column = twice_column / 2;
    const std::int64_t row = du - column;
    if (column >= columns || row < 0 || row >= rows) return std::nullopt;
    const auto slot = static_cast<std::size_t>(row * columns + column);
    if (filled[slot] != 0) return std::nullopt;
    filled[slot] = 1;
    slots[slot] = graph[n].position;
  }
  // With as many members as slots and no collision every slot is filled.
  return slots;
}

std::optional<Vec<Point2f>> order_component(const CornerGraph& graph, const Component& component,
                                            const GridShape& shape, Vec<std::size_t>& queue) {
  std::array<Vec<std::uint64_t>, 4> from_outer;
  for (std::size_t k = 0; k < 4; ++k) {
    from_outer[k].assign(graph.size(), kUnreached);
    hop_counts(graph, component.outer[k], from_outer[k], queue);
  }
  std::optional<Vec<Point2f>> best;
  GridOrientationKey best_key;
  for (std::size_t u = 0; u < 4; ++u) {
    for (std::size_t v = 0; v < 4; ++v) {
      if (u == v || from_outer[u][component.outer[v]] != shape.columns - 1) continue;
      auto ordering = place(graph, component, shape, from_outer[u], from_outer[v]);
      if (!ordering) continue;
      const Vec<Point2f>& p = *ordering;
      const GridOrientationKey key = grid_orientation_key(p[0], p[shape.columns - 1], p[shape.columns]);
      if (!best || key < best_key) {
        best = std::move(ordering);
        best_key = key;
      }
    }
  }
  return best;
}

// The component of `start`, marking its members as seen.
Component collect_component(const CornerGraph& graph, std::size_t start, Vec<std::uint8_t>& seen) {
  Component component;
  component.members.push_back(start);
  seen[start] = 1;
  std::uint64_t degree_sum = 0;
  for (std::size_t head = 0; head < component.members.size(); ++head) {
    const CornerCandidate& c = graph[component.members[head]];
    degree_sum += c.degree;
    for (const std::size_t n : c.linked()) {
      if (seen[n] != 0) continue;
      seen[n] = 1;
      component.members.push_back(n);
    }
  }
  component.edges = degree_sum / 2;
  for (const std::size_t m : component.members) {
    if (graph[m].degree == 2) component.outer.push_back(m);
  }
  std::sort(component.outer.begin(), component.outer.end());
  return component;
}

}  // namespace

std::optional<GridShape> GridShape::of(std::uint64_t columns, std::uint64_t rows) {
  GridShape shape{columns, rows, 0, 0};
  std::uint64_t twice = 0;
  if (__builtin_mul_overflow(columns, rows, &shape.count)) return std::nullopt;
  if (__builtin_mul_overflow(shape.count, std::uint64_t{2}, &twice)) return std::nullopt;
  // 2cr - c - r with c, r >= 1 never goes below zero.
  if (columns == 0 || rows == 0 || twice - columns < rows) return std::nullopt;
  shape.edges = twice - columns - rows;
  return shape;
}

GridOrientationKey grid_orientation_key(Point2f first, Point2f row_end, Point2f second_row) {
  const float turn =
      (row_end.x - first.x) * (second_row.y - first.y) - (row_end.y - first.y) * (second_row.x - first.x);
  return {row_end.x < first.x ? 1 : 0, turn < 0.0f ? 1 : 0, saturating_cast<std::int32_t>(first.y * 1024.0f),
          saturating_cast<std::int32_t>(first.x * 1024.0f)};
}

std::optional<Vec<Point2f>> order_chessboard_grid(const CornerGraph& graph, const GridShape& shape) {
  if (graph.size() < shape.count) return std::nullopt;
  Vec<std::uint8_t> seen(graph.size(), 0);
  Vec<std::size_t> queue;
  for (std::size_t start = 0; start < graph.size(); ++start) {
    if (seen[start] != 0) continue;
    const Component component = collect_component(graph, start, seen);
    if (!looks_like_grid(component, shape)) continue;
    if (auto ordering = order_component(graph, component, shape, queue)) return ordering;
  }
  return std::nullopt;
}

}  // namespace morvelin
