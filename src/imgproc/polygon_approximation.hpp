// Douglas-Peucker approximation of a closed curve by a polygon whose
// vertices are a subsequence of the curve's points.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "geometry/point.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// Approximates closed curves, one after another, by polygons; holds its
// buffers between calls, so that a curve costs no allocation once they have
// grown.
class ClosedPolygon {
 public:
  // Approximates the closed curve `points` (in order along the curve) within
  // `epsilon`. The curve is cut at the two mutually farthest points found
  // from the first point, each half is simplified on its own, and the result
  // starts at the lower of the two cut indices. Curves of up to two points
  // come back unchanged. `vertices` is overwritten.
  void approximate(std::span<const Point2f> points, float epsilon, Vec<Point2f>& vertices);

 private:
  Vec<Point2f> wrapped_;
  Vec<std::pair<std::size_t, std::size_t>> stack_;
};

// One curve's ClosedPolygon approximation.
inline Vec<Point2f> approximate_closed_polygon(std::span<const Point2f> points, float epsilon) {
  Vec<Point2f> vertices;
  ClosedPolygon().approximate(points, epsilon, vertices);
  return vertices;
}

// The approximation of a closed curve at the smallest of several tolerances
// that keeps at most a given number of vertices. A larger tolerance keeps a
// subset of the vertices (a segment that is split at some tolerance is split
// at every smaller one, at the same point), so the answer follows from the
// few segments whose farthest points stand out most, without approximating
// the curve at every tolerance. Holds its buffers between calls.
class CoarsestPolygon {
 public:
  // Finds the first tolerance of `tolerances` (increasing) at which
  // approximate_closed_polygon keeps at most `max_vertices` vertices and
  // writes those vertices, the same as approximate_closed_polygon gives.
  // False, with `vertices` empty, when even the last tolerance keeps more.
  bool approximate(std::span<const Point2f> points, std::span<const float> tolerances, std::size_t max_vertices,
                   Vec<Point2f>& vertices);

 private:
  // A segment first .. last of one of the two chains, the point where it
  // splits, and its reach: the smallest farthest distance on its way down.
  struct Segment {
    float reach;
    std::size_t chain;
    std::size_t first;
    std::size_t last;
    std::size_t split;
  };

  Vec<Point2f> wrapped_;
  Vec<Segment> heap_;
  Vec<Segment> taken_;
};

}  // namespace morvelin
