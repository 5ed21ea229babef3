// The chessboard corner finder: all interior corners of a plain black-and-
// white chessboard with a known number of interior corners, in row-major
// order and refined to sub-pixel accuracy.
#pragma once

#include <cstdint>
#include <optional>

#include "chessboard/chessboard_quads.hpp"
#include "chessboard/grid_recognition.hpp"
#include "detector/marker.hpp"
#include "image/binary_image.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

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
std::optional<Vec<Point2f>> search_chessboard_quads(std::span<const ChessboardQuad> quads, const GrayImage& image,
                                                    const GridShape& shape);

// Searches one binary image (consumed) of `image` for a grid of `shape`:
// quads (shifted outward by `quad_shift`), corner graph, grid recognition and
// ordering, the border check, and refinement on `image`. Nothing when any
// stage fails.
std::optional<Vec<Point2f>> search_chessboard_grid(BinaryImage& binary, const GrayImage& image,
                                                   const GridShape& shape, float quad_shift = 0.0f);

// As search_chessboard_grid; when that fails, searches the same binary image
// once more with its dark regions eroded by one pixel, which separates dark
// squares that touch at a corner (8-connected borders would otherwise trace
// them as one region), and with the quads found there shifted one pixel
// outward again, so that their corners lie where the squares' corners were.
// The quads of failed searches are appended to `searched` when given.
std::optional<Vec<Point2f>> search_chessboard_grid_with_erosion(BinaryImage& binary, const GrayImage& image,
                                                                const GridShape& shape,
                                                                Vec<ChessboardQuadList>* searched = nullptr);

// Recovers a grid (recover_chessboard_grid) from the quads of searches that
// failed, in their order, and returns the first that clears the border,
// refined on `image`.
std::optional<Vec<Point2f>> recover_chessboard_corners(std::span<const ChessboardQuadList> searched,
                                                       const GrayImage& image, const GridShape& shape);

// Finds the `columns` x `rows` interior corners of a chessboard in `image`.
// Binarises with the Otsu threshold first, then with adaptive thresholds of
// growing block size and offsets 0, 5, 10, searches each binary image as it
// is and then eroded (search_chessboard_grid_with_erosion), and returns the
// first grid found (row 0 first, each row towards increasing x where the
// board allows), or nothing. A dimension of 2 or less is an error. Runs on the calling thread.
Result<std::optional<Vec<Point2f>>> find_chessboard_corners(const GrayImage& image, std::uint64_t columns,
                                                            std::uint64_t rows);

}  // namespace morvelin
