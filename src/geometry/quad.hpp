// Quadrilaterals: the four corners of a marker outline or a candidate for
// one, and the candidate lists the searches hand to identification.
#pragma once

#include <array>

#include "geometry/point.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

using Quad = std::array<Point2f, 4>;

// A convex quadrilateral found by a candidate search, in full-image
// coordinates, corners in the order the search produced them.
struct MarkerCandidate {
  Quad corners;
};

using CandidateList = Vec<MarkerCandidate>;

// Walks the corners p1, p2, p3, p0 and takes the z component of
// (p[i+1] - p[i]) x (p[i+2] - p[i+1]) at each, in 32-bit floats. A zero (or
// NaN) turn has no sign and is skipped, so a straight corner is allowed; the
// quad is convex unless two signed turns disagree.
inline bool is_convex_quad(const Quad& q) noexcept {
  int sign = 0;
  for (int i = 0; i < 4; ++i) {
    const Point2f& a = q[i];
    const Point2f& b = q[(i + 1) % 4];
    const Point2f& c = q[(i + 2) % 4];
    const float z = (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
    const int turn = z > 0.0f ? 1 : (z < 0.0f ? -1 : 0);
    if (turn == 0) continue;
    if (sign == 0) {
      sign = turn;
    } else if (turn != sign) {
      return false;
    }
  }
  return true;
}

}  // namespace morvelin
