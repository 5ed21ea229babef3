// Image-space geometry shared by the detection stages: points, candidate
// quadrilaterals and decoded markers. Coordinates are pixels, x along columns,
// y down, pixel centres at integer coordinates.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "runtime/allocator.hpp"

namespace morvelin {

struct Point2f {
  float x = 0.0f;
  float y = 0.0f;

  bool operator==(const Point2f&) const = default;
};

// Squared Euclidean distance and distance, in single precision.
inline float squared_distance(Point2f a, Point2f b) noexcept {
  const float dx = a.x - b.x;
  const float dy = a.y - b.y;
  return dx * dx + dy * dy;
}
inline float distance(Point2f a, Point2f b) noexcept { return std::sqrt(squared_distance(a, b)); }

// Four corners of a candidate quadrilateral, in full-image coordinates.
using Quad = std::array<Point2f, 4>;

struct MarkerCandidate {
  Quad corners;
};

// A decoded marker: corners start at the marker's top-left corner as printed
// and run clockwise on screen.
struct DetectedMarker {
  Quad corners;
  std::int32_t id = 0;
};

using CandidateList = Vec<MarkerCandidate>;
using MarkerList = Vec<DetectedMarker>;

}  // namespace morvelin
