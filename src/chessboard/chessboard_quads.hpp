// Dark squares of a binarised chessboard as convex quadrilaterals: every
// border is approximated by a polygon with a growing tolerance, and the
// four-sided results that look like a square seen in perspective are kept.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "geometry/quad.hpp"
#include "image/binary_image.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

struct ChessboardQuad {
  Quad vertices;               // by increasing angle about their centroid
  float shortest_side = 0.0f;  // length of the shortest of the four sides
};

using ChessboardQuadList = Vec<ChessboardQuad>;

// Borders with fewer positions are too small to be a square.
inline constexpr std::size_t kMinQuadBorderLength = 11;

// The polygon tolerance starts at 1 pixel and grows by 1 up to this while the
// polygon has more than four vertices.
inline constexpr float kMaxQuadTolerance = 7.0f;

// Reorders the vertices by increasing atan2(y - cy, x - cx) about their mean
// (cx, cy), computed in single precision; equal angles keep their order.
Quad order_by_angle(const Quad& quad);

// Applies the quad filters, in order, to angle-ordered vertices of a polygon
// found in a W x H image: convex; area between 25 and 0.35 W H; shortest
// side at least 4 and longest side at most four times the shortest; both
// diagonals at least 0.15 times the perimeter; product of the first two sides
// below 1.8 times the area. Returns the quad with its shortest side, or nothing.
std::optional<ChessboardQuad> accept_chessboard_quad(const Quad& ordered, std::uint32_t width, std::uint32_t height);

// Moves every vertex `shift` pixels along x and along y away from the
// centroid (mean of the four, single precision); a coordinate equal to the
// centroid's stays. A shift of 1 restores, for the quads of a binary image
// whose dark regions were eroded by one pixel, the corners they had before.
Quad shift_outward(const Quad& quad, float shift);

// Traces every border of `binary` (consuming it) and returns the accepted
// quads in tracing order. With `outward_shift` non-zero each four-sided
// polygon is shifted outward by that much before the filters. Gives up, with
// the quads found so far, once `stop()` returns true (checked row by row).
ChessboardQuadList extract_chessboard_quads(BinaryImage& binary, float outward_shift = 0.0f,
                                            const std::function<bool()>& stop = [] { return false; });

}  // namespace morvelin
