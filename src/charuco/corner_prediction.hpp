// Prediction of a ChArUco board's chessboard corners from its detected
// markers: each marker's homography (board plane to image) carries the
// corners it touches into the image, and the distance from a prediction to
// the nearest matching marker corner sizes the corner's refinement window.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "charuco/board.hpp"
#include "detector/marker.hpp"
#include "imgproc/homography.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

inline constexpr Point2f kUnpredictedCorner{-1.0f, -1.0f};
inline constexpr std::int32_t kNoOwnWindow = -1;

// One entry per chessboard corner of the board, in corner order.
struct CharucoPrediction {
  Vec<Point2f> corners;        // kUnpredictedCorner where no marker predicts it
  Vec<std::int32_t> windows;   // 1..10, or kNoOwnWindow
};

// Per detected marker, the homography mapping the (x, y) of the first board
// marker with its id onto its detected corners; nothing for markers whose id
// is not on the board, whose perspective solve fails or with |det H| <= 1e-6.
Vec<std::optional<Homography>> marker_homographies(const CharucoBoard& board, std::span<const DetectedMarker> markers);

// Corner (x, y) through H in double precision, rounded to single precision;
// (0, 0) when the third component is within 2^-23 of zero.
Point2f project_board_point(const Homography& h, float x, float y);

// Half-size of the refinement window for a corner `distance` pixels from its
// nearest matching marker corner: trunc(distance - 2), saturated, then
// limited to 1..10.
std::int32_t window_for_distance(double distance);

// Predictions and window sizes of every chessboard corner.
CharucoPrediction predict_corners(const CharucoBoard& board, std::span<const DetectedMarker> markers);

}  // namespace morvelin
