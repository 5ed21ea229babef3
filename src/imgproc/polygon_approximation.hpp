// Douglas-Peucker approximation of a closed curve by a polygon whose
// vertices are a subsequence of the curve's points.
#pragma once

#include <span>

#include "geometry/point.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// Approximates the closed curve `points` (in order along the curve) within
// `epsilon`. The curve is cut at the two mutually farthest points found from
// the first point, each half is simplified on its own, and the result starts
// at the lower of the two cut indices. Curves of up to two points come back
// unchanged. `vertices` is overwritten.
void approximate_closed_polygon(std::span<const Point2f> points, float epsilon, Vec<Point2f>& vertices);

inline Vec<Point2f> approximate_closed_polygon(std::span<const Point2f> points, float epsilon) {
  Vec<Point2f> vertices;
  approximate_closed_polygon(points, epsilon, vertices);
  return vertices;
}

}  // namespace morvelin
