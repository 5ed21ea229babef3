#include "chessboard/grid_recovery.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>

namespace morvelin {
namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

Point2f corner_of(std::span<const ChessboardQuad> quads, std::size_t corner) {
  return quads[corner / 4].vertices[corner % 4];
}

Point2f centroid(const Quad& q) {
  return {(q[0].x + q[1].x + q[2].x + q[3].x) * 0.25f, (q[0].y + q[1].y + q[2].y + q[3].y) * 0.25f};
}

// Quad corners in square cells over their bounding box, so that the corners
// near a point are found by visiting a few cells instead of them all.
class CornerCells {
 public:
  // `corners` must not be empty. Cells are `cell` wide, or wider where the
  // corners are sparse, so that there are about as many cells as corners.
  CornerCells(std::span<const Point2f> corners, float cell) : cell_(cell) {
    float x1 = corners[0].x, y1 = corners[0].y;
    x0_ = x1, y0_ = y1;
    for (const Point2f p : corners) {
      x0_ = std::min(x0_, p.x), x1 = std::max(x1, p.x), y0_ = std::min(y0_, p.y), y1 = std::max(y1, p.y);
    }
    const float area = (x1 - x0_ + 1.0f) * (y1 - y0_ + 1.0f);
    cell_ = std::max(cell_, std::sqrt(area / static_cast<float>(corners.size())));
    columns_ = static_cast<std::size_t>((x1 - x0_) / cell_) + 1;
    rows_ = static_cast<std::size_t>((y1 - y0_) / cell_) + 1;
    starts_.assign(columns_ * rows_ + 1, 0);
    Vec<std::size_t> cell_of(corners.size());
    for (std::size_t c = 0; c < corners.size(); ++c) {
      cell_of[c] = row(corners[c].y) * columns_ + column(corners[c].x);
      ++starts_[cell_of[c] + 1];
    }
    for (std::size_t i = 1; i < starts_.size(); ++i) starts_[i] += starts_[i - 1];
    members_.resize(corners.size());
    Vec<std::size_t> next(starts_.begin(), starts_.end() - 1);
    for (std::size_t c = 0; c < corners.size(); ++c) members_[next[cell_of[c]]++] = c;
  }

  // Calls visit(c) for every corner c in the cells that meet the box
  // [x0, x1] x [y0, y1]: for every corner in the box and some near it. A
  // caller that needs every corner within some distance pads the box by a
  // pixel against the rounding of the cell bounds.
  template <class Visit>
  void for_each_near(float x0, float x1, float y0, float y1, const Visit& visit) const {
    const std::size_t c0 = column(x0), c1 = column(x1), r1 = row(y1);
    for (std::size_t r = row(y0); r <= r1; ++r) {
      const std::size_t first = starts_[r * columns_ + c0], last = starts_[r * columns_ + c1 + 1];
      for (std::size_t i = first; i < last; ++i) visit(members_[i]);
    }
  }

 private:
  std::size_t column(float x) const { return index((x - x0_) / cell_, columns_); }
  std::size_t row(float y) const { return index((y - y0_) / cell_, rows_); }
  static std::size_t index(float at, std::size_t count) {
    if (!(at > 0.0f)) return 0;
    return at >= static_cast<float>(count - 1) ? count - 1 : static_cast<std::size_t>(at);
  }

  float cell_;
  float x0_ = 0.0f;
  float y0_ = 0.0f;
  std::size_t columns_ = 0;
  std::size_t rows_ = 0;
  Vec<std::size_t> starts_;   // cell k holds members_[starts_[k] .. starts_[k + 1]), cells row-major
  Vec<std::size_t> members_;  // corner numbers, by cell
};

// For every quad corner, the nearest corner of another quad within its reach
// in x and within its reach and a pixel in y (the pixel of slack keeps every
// corner whose rounded distance is within reach), and within its reach in
// distance; ties go to the lower number.
Vec<std::size_t> nearest_corners_of_other_quads(std::span<const ChessboardQuad> quads) {
  const std::size_t n = 4 * quads.size();
  Vec<std::size_t> nearest(n, kNone);
  if (n == 0) return nearest;
  Vec<Point2f> corners(n);
  Vec<float> reaches(quads.size());
  for (std::size_t q = 0; q < quads.size(); ++q) {
    for (std::size_t k = 0; k < 4; ++k) corners[4 * q + k] = quads[q].vertices[k];
    reaches[q] = kCornerPairingReach * quads[q].shortest_side;
  }
  // Cells as wide as the median reach and a pixel: a search visits about
  // three cells each way.
  Vec<float> median(reaches);
  const auto middle = median.begin() + static_cast<std::ptrdiff_t>(median.size() / 2);
  std::nth_element(median.begin(), middle, median.end());
  const CornerCells cells(corners, std::max(1.0f, *middle + 1.0f));
  for (std::size_t a = 0; a < n; ++a) {
    const Point2f p = corners[a];
    const float reach = reaches[a / 4];
    const float reach_y = reach + 1.0f;
    float best = reach * reach;
    // One more pixel each way covers the rounding of the cell bounds.
    const float half_width = reach + 1.0f, half_height = reach_y + 1.0f;
    cells.for_each_near(p.x - half_width, p.x + half_width, p.y - half_height, p.y + half_height, [&](std::size_t b) {
      const Point2f q = corners[b];
      if (b / 4 == a / 4 || std::fabs(p.x - q.x) > reach || std::fabs(q.y - p.y) > reach_y) return;
      const float d = squared_distance(p, q);
      if (d < best || (d == best && (nearest[a] == kNone || b < nearest[a]))) {
        best = d;
        nearest[a] = b;
      }
    });
  }
  return nearest;
}

// mate[c]: the corner that c pairs with, or kNone. The quads of a pair must
// lie on opposite sides of its midpoint, as diagonal squares of a board do.
Vec<std::size_t> pair_corners(std::span<const ChessboardQuad> quads) {
  const Vec<std::size_t> nearest = nearest_corners_of_other_quads(quads);
  Vec<std::size_t> mate(nearest.size(), kNone);
  for (std::size_t a = 0; a < nearest.size(); ++a) {
    const std::size_t b = nearest[a];
    if (b == kNone || b < a || nearest[b] != a) continue;
    const Point2f pa = corner_of(quads, a), pb = corner_of(quads, b);
    const Point2f mid = {(pa.x + pb.x) * 0.5f, (pa.y + pb.y) * 0.5f};
    const Point2f ca = centroid(quads[a / 4].vertices), cb = centroid(quads[b / 4].vertices);
    if ((ca.x - mid.x) * (cb.x - mid.x) + (ca.y - mid.y) * (cb.y - mid.y) >= 0.0f) continue;
    mate[a] = b;
    mate[b] = a;
  }
  return mate;
}

// Where a quad sits on the lattice: square (u, v), and its vertex k plays
// role (k + turn) mod 4, the roles being the square's corners (u, v),
// (u + 1, v), (u + 1, v + 1) and (u, v + 1) in this order. Vertices are
// ordered by angle, so the roles run the same way round on every quad.
struct LatticePlace {
  std::int64_t u = 0;
  std::int64_t v = 0;
  std::uint32_t turn = 0;

  bool operator==(const LatticePlace&) const = default;
};

constexpr std::array<std::int64_t, 4> kRoleCornerU = {0, 1, 1, 0};
constexpr std::array<std::int64_t, 4> kRoleCornerV = {0, 0, 1, 1};

// The square diagonally across the corner that `role` names.
LatticePlace across(const LatticePlace& place, std::uint32_t role, std::uint32_t other_vertex) {
  return {place.u + 2 * kRoleCornerU[role] - 1, place.v + 2 * kRoleCornerV[role] - 1,
          ((role + 2) - other_vertex) & 3u};
}

struct LatticeGroup {
  Vec<std::size_t> members;  // quads, in breadth-first order
  Vec<LatticePlace> places;  // by member
  bool consistent = true;
};

// Lays out the group of `start` breadth-first along corner pairs into
// `group` (whose buffers serve group after group), noting in slot_of[q]
// where each member quad q is in the group.
void lay_out_group(const Vec<std::size_t>& mate, std::size_t start, Vec<std::size_t>& slot_of, LatticeGroup& group) {
  group.members.assign(1, start);
  group.places.assign(1, LatticePlace{});
  group.consistent = true;
  slot_of[start] = 0;
  for (std::size_t head = 0; head < group.members.size(); ++head) {
    const std::size_t q = group.members[head];
    const LatticePlace place = group.places[head];
    for (std::uint32_t k = 0; k < 4; ++k) {
      const std::size_t other = mate[4 * q + k];
      if (other == kNone) continue;
      const LatticePlace next = across(place, (k + place.turn) & 3u, static_cast<std::uint32_t>(other % 4));
      const std::size_t r = other / 4;
      if (slot_of[r] != kNone) {
        group.consistent = group.consistent && group.places[slot_of[r]] == next;
        continue;
      }
      slot_of[r] = group.members.size();
      group.members.push_back(r);
      group.places.push_back(next);
    }
  }
}

// One quad vertex on a lattice corner.
struct CornerVote {
  std::int64_t u = 0;
  std::int64_t v = 0;
  Point2f position;
};

// A lattice corner with the one or two quad vertices on it.
struct LatticeCorner {
  std::int64_t u = 0;
  std::int64_t v = 0;
  Point2f position;  // the vertex, or the midpoint of the two
  bool shared = false;  // two quads meet here
};

// The corners of a consistent group, sorted by (v, u); nothing when two
// quads claim one square or more than two quads one corner.
std::optional<Vec<LatticeCorner>> lattice_corners(std::span<const ChessboardQuad> quads, const LatticeGroup& group) {
  Vec<CornerVote> votes;
  votes.reserve(4 * group.members.size());
  for (std::size_t i = 0; i < group.members.size(); ++i) {
    const LatticePlace& place = group.places[i];
    for (std::uint32_t k = 0; k < 4; ++k) {
      const std::uint32_t role = (k + place.turn) & 3u;
      votes.push_back({place.u + kRoleCornerU[role], place.v + kRoleCornerV[role], quads[group.members[i]].vertices[k]});
    }
  }
  // Two quads on one square would pass for shared corners.
  Vec<LatticePlace> squares(group.places.begin(), group.places.end());
  const auto by_square = [](const LatticePlace& a, const LatticePlace& b) { return a.v != b.v ? a.v < b.v : a.u < b.u; };
  std::sort(squares.begin(), squares.end(), by_square);
  for (std::size_t i = 1; i < squares.size(); ++i) {
    if (squares[i].u == squares[i - 1].u && squares[i].v == squares[i - 1].v) return std::nullopt;
  }
  std::stable_sort(votes.begin(), votes.end(),
                   [](const CornerVote& a, const CornerVote& b) { return a.v != b.v ? a.v < b.v : a.u < b.u; });
  Vec<LatticeCorner> corners;
  for (std::size_t i = 0; i < votes.size();) {
    std::size_t end = i + 1;
    while (end < votes.size() && votes[end].u == votes[i].u && votes[end].v == votes[i].v) ++end;
    if (end - i > 2) return std::nullopt;
    const Point2f a = votes[i].position, b = votes[end - 1].position;
    corners.push_back({votes[i].u, votes[i].v, {(a.x + b.x) * 0.5f, (a.y + b.y) * 0.5f}, end - i == 2});
    i = end;
  }
  return corners;
}

// The corners of a w x h box of the lattice, row-major.
struct LatticeBox {
  std::size_t width = 0;
  std::size_t height = 0;
  Vec<Point2f> corners;

  Point2f at(std::size_t column, std::size_t row) const { return corners[row * width + column]; }
};

// The box spanned by the shared corners, when it has the grid's size either
// way round and every corner in it is shared.
std::optional<LatticeBox> grid_box(const Vec<LatticeCorner>& corners, const GridShape& shape) {
  std::int64_t u0 = std::numeric_limits<std::int64_t>::max(), v0 = u0;
  std::int64_t u1 = std::numeric_limits<std::int64_t>::min(), v1 = u1;
  for (const LatticeCorner& c : corners) {
    if (!c.shared) continue;
    u0 = std::min(u0, c.u), u1 = std::max(u1, c.u), v0 = std::min(v0, c.v), v1 = std::max(v1, c.v);
  }
  if (u0 > u1) return std::nullopt;
  const auto width = static_cast<std::uint64_t>(u1 - u0) + 1, height = static_cast<std::uint64_t>(v1 - v0) + 1;
  const bool upright = width == shape.columns && height == shape.rows;
  if (!upright && !(width == shape.rows && height == shape.columns)) return std::nullopt;
  LatticeBox box{static_cast<std::size_t>(width), static_cast<std::size_t>(height), {}};
  box.corners.reserve(box.width * box.height);
  std::int64_t next_u = u0, next_v = v0;  // the box corner expected next, row-major
  for (const LatticeCorner& c : corners) {  // sorted by (v, u)
    if (c.u < u0 || c.u > u1 || c.v < v0 || c.v > v1) continue;
    if (c.u != next_u || c.v != next_v || !c.shared) return std::nullopt;
    box.corners.push_back(c.position);
    if (++next_u > u1) next_u = u0, ++next_v;
  }
  if (box.corners.size() != box.width * box.height) return std::nullopt;
  return box;
}

// Steps between neighbours along one line of corners change smoothly.
bool evenly_spaced(Point2f a, Point2f b, Point2f c) {
  const float dx1 = b.x - a.x, dy1 = b.y - a.y, dx2 = c.x - b.x, dy2 = c.y - b.y;
  const float change = (dx2 - dx1) * (dx2 - dx1) + (dy2 - dy1) * (dy2 - dy1);
  const float longer = std::max(dx1 * dx1 + dy1 * dy1, dx2 * dx2 + dy2 * dy2);
  return change <= kGridRegularityTolerance * kGridRegularityTolerance * longer;
}

bool evenly_spaced_grid(const LatticeBox& box) {
  for (std::size_t row = 0; row < box.height; ++row) {
    for (std::size_t column = 0; column + 2 < box.width; ++column) {
      if (!evenly_spaced(box.at(column, row), box.at(column + 1, row), box.at(column + 2, row))) return false;
    }
  }
  for (std::size_t column = 0; column < box.width; ++column) {
    for (std::size_t row = 0; row + 2 < box.height; ++row) {
      if (!evenly_spaced(box.at(column, row), box.at(column, row + 1), box.at(column, row + 2))) return false;
    }
  }
  return true;
}

// Of the box's row-major readings with `shape.columns` corners per row
// (mirrored along either axis, and transposed where the size allows), the
// one of smallest orientation key; the first of equal keys is kept.
Vec<Point2f> canonical_reading(const LatticeBox& box, const GridShape& shape) {
  Vec<Point2f> best, reading(box.corners.size());
  GridOrientationKey best_key;
  for (int transpose = 0; transpose < 2; ++transpose) {
    const std::size_t across = transpose ? box.height : box.width;
    const std::size_t down = transpose ? box.width : box.height;
    if (across != shape.columns || down != shape.rows) continue;
    for (int mirror = 0; mirror < 4; ++mirror) {
      for (std::size_t row = 0; row < down; ++row) {
        for (std::size_t column = 0; column < across; ++column) {
          const std::size_t i = (mirror & 1) ? across - 1 - column : column;
          const std::size_t j = (mirror & 2) ? down - 1 - row : row;
          reading[row * across + column] = transpose ? box.at(j, i) : box.at(i, j);
        }
      }
      const GridOrientationKey key = grid_orientation_key(reading[0], reading[across - 1], reading[across]);
      if (best.empty() || key < best_key) {
        best = reading;
        best_key = key;
      }
    }
  }
  return best;
}

// A grid of `count` corners, each shared by two quads, needs at least half
// as many quads: every quad has four corners.
bool too_few_quads_for(std::size_t quads, std::uint64_t count) { return 2 * static_cast<std::uint64_t>(quads) < count; }

}  // namespace

std::optional<Vec<Point2f>> recover_chessboard_grid(std::span<const ChessboardQuad> quads, const GridShape& shape) {
  if (quads.size() < 2 || too_few_quads_for(quads.size(), shape.count)) return std::nullopt;
  const Vec<std::size_t> mate = pair_corners(quads);
  Vec<std::size_t> slot_of(quads.size(), kNone);
  LatticeGroup group;
  for (std::size_t start = 0; start < quads.size(); ++start) {
    if (slot_of[start] != kNone) continue;
    lay_out_group(mate, start, slot_of, group);
    if (!group.consistent || too_few_quads_for(group.members.size(), shape.count)) continue;
    const std::optional<Vec<LatticeCorner>> corners = lattice_corners(quads, group);
    if (!corners) continue;
    const std::optional<LatticeBox> box = grid_box(*corners, shape);
    if (box && evenly_spaced_grid(*box)) return canonical_reading(*box, shape);
  }
  return std::nullopt;
}

}  // namespace morvelin
