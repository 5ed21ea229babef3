// The chessboard corner finder: all interior corners of a plain black-and-
// white chessboard with a known number of interior corners, in row-major
// order and refined to sub-pixel accuracy.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "chessboard/chessboard_quads.hpp"
#include "chessboard/chessboard_thresholds.hpp"
#include "chessboard/grid_recognition.hpp"
#include "geometry/point.hpp"
#include "image/binary_image.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

// Corners of a grid closer than this to the image border are not accepted.
inline constexpr float kChessboardBorderMargin = 8.0f;

// Images narrower or lower than this are not searched.
inline constexpr std::uint32_t kMinChessboardImageSide = 16;

// Settings of the final sub-pixel refinement of every corner.
inline constexpr std::uint64_t kChessboardRefineWindow = 2;
inline constexpr std::int32_t kChessboardRefineIterations = 15;
inline constexpr double kChessboardRefineEpsilon = 0.1;

// Recovered grids are refined with a half-size of this fraction of the
// shortest distance between neighbouring corners, at least the usual window
// and at most kMaxRecoveredRefineWindow.
inline constexpr float kRecoveredRefineWindowRate = 0.3f;
inline constexpr std::uint64_t kMaxRecoveredRefineWindow = 10;

// Searches the quads of one binary image of `image` for a grid of `shape`:
// corner graph, grid recognition and ordering, the border check, and
// refinement on `image`. Nothing when any stage fails.
std::optional<Vec<Point2f>> search_chessboard_quads(std::span<const ChessboardQuad> quads, GrayView image,
                                                    const GridShape& shape);

// Extracts the quads of one binary image (consumed), shifted outward by
// `quad_shift`, and searches them.
std::optional<Vec<Point2f>> search_chessboard_grid(BinaryImage& binary, GrayView image,
                                                   const GridShape& shape, float quad_shift = 0.0f);

// What the threshold schedule found: the grid of the first binarisation
// that has one, or else the quads of every failed search, in order.
struct ScheduleOutcome {
  std::optional<Vec<Point2f>> corners;
  Vec<ChessboardQuadList> failed_quads;
};

// Searches every binarisation of ChessboardBinarisations in turn, each binary
// image as it is and then with its dark regions eroded by one pixel, and
// stops at the first grid. Erosion separates dark squares that touch at a
// corner (8-connected borders would otherwise trace them as one region); the
// quads found there are shifted one pixel outward again, so that their
// corners lie where the squares' corners were. With the worker pool the
// searches run side by side, and a search overtaken by a grid in an earlier
// one gives up; the outcome is the same.
ScheduleOutcome search_threshold_schedule(GrayView image, const GridShape& shape, Threads threads);

// Recovers a grid (recover_chessboard_grid) from the quads of failed
// searches, taken in order, and returns the first that clears the border,
// refined on `image` with a window that suits its size.
std::optional<Vec<Point2f>> recover_chessboard_corners(std::span<const ChessboardQuadList> failed_quads,
                                                       GrayView image, const GridShape& shape,
                                                       Threads threads);

// Finds the `columns` x `rows` interior corners of a chessboard in `image`:
// the threshold schedule first, and only when it finds nothing the recovery
// from the quads it found. Returns the grid (row 0 first, each row towards
// increasing x where the board allows), or nothing. A dimension of 2 or
// less is an error.
Result<std::optional<Vec<Point2f>>> find_chessboard_corners(GrayView image, std::uint64_t columns,
                                                            std::uint64_t rows,
                                                            Threads threads = Threads::kWorkerPool);

}  // namespace morvelin
