// Consistency of refined ChArUco corners with the detected markers. A corner
// must lie nearer to the matching corner of each of its own markers than to
// the midpoints of that corner's two edges, and no farther from its own
// markers' corners than from the centre of any other detected board marker.
// One inconsistent corner condemns the whole detection.
#pragma once

#include <cstdint>
#include <span>

#include "charuco/board.hpp"
#include "detector/marker.hpp"

namespace morvelin {

// `corners[i]` is the refined position of chessboard corner `corner_ids[i]`.
// Markers whose id is not on the board are ignored.
bool corners_agree_with_markers(const CharucoBoard& board, std::span<const DetectedMarker> markers,
                                std::span<const Point2f> corners, std::span<const std::uint64_t> corner_ids);

}  // namespace morvelin
