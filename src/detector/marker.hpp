// Image-space geometry shared by the detection stages: points, candidate
// quadrilaterals and decoded markers. Coordinates are pixels, x along columns,
// y down, pixel centres at integer coordinates.
#pragma once

#include <array>
#include <cstdint>

#include "runtime/allocator.hpp"

namespace morvelin {

struct Point2f {
  float x = 0.0f;
  float y = 0.0f;

  bool operator==(const Point2f&) const = default;
};

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
