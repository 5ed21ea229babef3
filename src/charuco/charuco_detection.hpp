// ChArUco board detection: the board's markers are detected, every
// chessboard corner is predicted from the markers touching it, corners that
// land inside the image are refined to sub-pixel precision, corners too few
// markers confirm are dropped, and the survivors are checked against the
// markers as a whole.
#pragma once

#include <cstdint>
#include <span>

#include "charuco/board.hpp"
#include "charuco/corner_prediction.hpp"
#include "detector/detector_parameters.hpp"
#include "detector/marker.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

struct CharucoDetection {
  Vec<Point2f> charuco_corners;       // refined image positions
  Vec<std::uint64_t> charuco_ids;     // chessboard corner indices, strictly increasing
  MarkerList markers;                 // every detected marker, on the board or not, in detection order
};

// "min_markers must be 0, 1 or 2" unless min_markers is 0, 1 or 2; nullptr
// when it is accepted.
const char* check_min_markers(std::int32_t min_markers);

// True when the prediction rounds (half to even) to a pixel at least two
// pixels inside every image border.
bool inside_border(Point2f prediction, std::uint32_t width, std::uint32_t height);

// The whole detection. Errors: the min_markers message, and the errors of
// detect_markers. Throws std::bad_alloc when refinement buffers cannot be
// allocated.
Result<CharucoDetection> detect_charuco_board(GrayView image, const CharucoBoard& board,
                                              const DetectorParameters& params, std::int32_t min_markers,
                                              bool check_markers);

// Everything after marker detection, on the given markers (which end up in
// the result). `min_markers` is taken as it is: a count of at least it
// confirms a corner.
CharucoDetection interpolate_charuco_corners(GrayView image, const CharucoBoard& board, MarkerList markers,
                                             const DetectorParameters& params, std::int32_t min_markers,
                                             bool check_markers);

// Predictions and window sizes before refinement, from the markers found
// with default parameters; every corner unpredicted when there are none.
CharucoPrediction predict_charuco_corners(GrayView image, const CharucoBoard& board);

}  // namespace morvelin
