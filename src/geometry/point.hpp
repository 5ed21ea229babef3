// Image points in single precision. Coordinates are pixels, x along columns,
// y down, pixel centres at integer coordinates.
#pragma once

#include <cmath>

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

}  // namespace morvelin
