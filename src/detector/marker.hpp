// Decoded markers: the result of identification.
#pragma once

#include <cstdint>

#include "geometry/quad.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// A decoded marker: corners start at the marker's top-left corner as printed
// and run clockwise on screen.
struct DetectedMarker {
  Quad corners;
  std::int32_t id = 0;
};

using MarkerList = Vec<DetectedMarker>;

}  // namespace morvelin
