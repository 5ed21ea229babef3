// Chessboard corner candidates: where the corners of two dark squares touch,
// and the graph that links candidates along the sides of the squares.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "chessboard/chessboard_quads.hpp"
#include "geometry/point.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// A candidate belongs to exactly two quad corners, each of which has two
// neighbouring corners on its quad, so it has at most four neighbours.
struct CornerCandidate {
  Point2f position;
  std::array<std::size_t, 4> neighbours{};  // the first `degree` are valid
  std::size_t degree = 0;

  std::span<const std::size_t> linked() const { return {neighbours.data(), degree}; }
};

using CornerGraph = Vec<CornerCandidate>;

// Merges the quad corners (corner k of quad i has index 4i + k): corners of
// two different quads join when their squared distance is at most t^2, with
// t = 0.32 times the shorter of the two quads' shortest sides, and joins are
// transitive. Every group of exactly two corners becomes a candidate at
// their midpoint; candidates are numbered in order of the lower corner index
// of their group, so the numbering is the same on every run. Two candidates
// are linked when they are consecutive corners of one quad.
CornerGraph build_corner_graph(std::span<const ChessboardQuad> quads);

}  // namespace morvelin
