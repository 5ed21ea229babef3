// Border following on a binary image (after Suzuki and Abe, without the border
// hierarchy): every border between foreground and background is traced once,
// in raster order of its starting pixel, and handed to a callback as the
// ordered list of its pixel positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "image/binary_image.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// One pixel position of a traced border, in image coordinates.
struct ContourPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;

  bool operator==(const ContourPoint&) const = default;
};

using Contour = Vec<ContourPoint>;

// Receives each border as soon as it is complete. The span points into a
// buffer that is reused for the next border: copy what must be kept.
using ContourCallback = std::function<void(std::span<const ContourPoint>)>;

// Traces every border of `image` in raster order of the start pixels and
// calls `on_contour` once per border. Visited foreground cells are re-marked
// in place (2, or -2 where the border has background to its right), so the
// image is consumed by the scan.
//
// Start rules: a foreground cell of value 1 with background to its left starts
// an outer border, except in column 0; otherwise a cell of value 1 or 2 with
// background to its right starts a hole border, except in the last column.
//
// Borders of fewer than `min_length` positions are traced all the same (their
// cells re-marked) but not handed over: most borders of a noisy image are a
// few pixels long.
void trace_all_borders(BinaryImage& image, const ContourCallback& on_contour, std::size_t min_length = 1);

// As above, but gives up before any row at which `stop()` returns true,
// leaving the borders found so far handed over and the rest untraced.
void trace_all_borders(BinaryImage& image, const ContourCallback& on_contour, const std::function<bool()>& stop,
                       std::size_t min_length = 1);

}  // namespace morvelin
