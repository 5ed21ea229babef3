#include "charuco/charuco_detection.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "charuco/detected_marker_index.hpp"
#include "charuco/marker_check.hpp"
#include "subpixel/corner_sub_pix.hpp"
#include "detector/detect.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

// Below this many corners the refinement runs on the calling thread alone.
constexpr std::size_t kParallelRefinement = 32;

// Corners whose prediction survives the border filter, in corner order.
Vec<std::uint64_t> corners_inside_border(std::span<const Point2f> predictions, GrayView image) {
  Vec<std::uint64_t> kept;
  for (std::size_t c = 0; c < predictions.size(); ++c) {
    if (inside_border(predictions[c], image.width, image.height)) kept.push_back(c);
  }
  return kept;
}

// Sub-pixel refinement of each kept corner with its own window, or the
// configured one when it has none.
Vec<Point2f> refine_corners(GrayView image, const CharucoPrediction& prediction,
                            std::span<const std::uint64_t> kept, const DetectorParameters& params) {
  Vec<Point2f> refined(kept.size());
  // The configured window is at least 1 whenever parameters are validated.
  const auto fallback = static_cast<std::uint64_t>(std::max(params.corner_refinement_win_size, std::int32_t{1}));
  auto refine = [&](std::size_t i) {
    const std::int32_t own = prediction.windows[kept[i]];
    const std::uint64_t win = own == kNoOwnWindow ? fallback : static_cast<std::uint64_t>(own);
    refined[i] = corner_sub_pix(image, prediction.corners[kept[i]], win, params.corner_refinement_max_iterations,
                                params.corner_refinement_min_accuracy);
  };
  if (kept.size() < kParallelRefinement) {
    for (std::size_t i = 0; i < kept.size(); ++i) refine(i);
  } else {
    parallel_for(kept.size(), refine);
  }
  return refined;
}

// Number of markers touching `corner` whose id was detected.
std::int64_t confirming_markers(const CharucoBoard& board, std::size_t corner, const DetectedMarkerIndex& detected) {
  std::int64_t count = 0;
  for (const std::uint64_t l : board.nearest_markers(corner)) {
    if (detected.find(board.ids()[l])) ++count;
  }
  return count;
}

}  // namespace

const char* check_min_markers(std::int32_t min_markers) {
  return static_cast<std::uint32_t>(min_markers) < 3 ? nullptr : "min_markers must be 0, 1 or 2";
}

bool inside_border(Point2f prediction, std::uint32_t width, std::uint32_t height) {
  const double rx = std::nearbyint(prediction.x);
  const double ry = std::nearbyint(prediction.y);
  const double x_end = static_cast<double>(static_cast<std::int64_t>(width) - 2);
  const double y_end = static_cast<double>(static_cast<std::int64_t>(height) - 2);
  return rx >= 2.0 && rx < x_end && ry >= 2.0 && ry < y_end;
}

Result<CharucoDetection> detect_charuco_board(GrayView image, const CharucoBoard& board,
                                              const DetectorParameters& params, std::int32_t min_markers,
                                              bool check_markers) {
  if (const char* message = check_min_markers(min_markers)) return value_error(message);
  auto markers = detect_markers(image, board.dictionary(), params);
  if (!markers) return markers.error();
  if (markers.value().empty()) return CharucoDetection{};
  return interpolate_charuco_corners(image, board, std::move(markers.value()), params, min_markers, check_markers);
}

CharucoDetection interpolate_charuco_corners(GrayView image, const CharucoBoard& board, MarkerList markers,
                                             const DetectorParameters& params, std::int32_t min_markers,
                                             bool check_markers) {
  const CharucoPrediction prediction = predict_corners(board, markers);
  // Refinement moves each corner on its own, so dropping the unconfirmed
  // corners before refining them gives the same result for less work.
  const DetectedMarkerIndex detected(markers);
  Vec<std::uint64_t> kept;
  for (const std::uint64_t c : corners_inside_border(prediction.corners, image)) {
    if (confirming_markers(board, c, detected) >= min_markers) kept.push_back(c);
  }

  CharucoDetection detection;
  detection.charuco_corners = refine_corners(image, prediction, kept, params);
  detection.charuco_ids = std::move(kept);
  if (check_markers &&
      !corners_agree_with_markers(board, markers, detection.charuco_corners, detection.charuco_ids)) {
    detection.charuco_corners.clear();
    detection.charuco_ids.clear();
  }
  detection.markers = std::move(markers);
  return detection;
}

CharucoPrediction predict_charuco_corners(GrayView image, const CharucoBoard& board) {
  const DetectorParameters defaults;
  auto markers = detect_markers(image, board.dictionary(), defaults);
  // The default threshold windows are always valid, so detection cannot fail.
  const MarkerList none;
  return predict_corners(board, markers ? markers.value() : none);
}

}  // namespace morvelin
