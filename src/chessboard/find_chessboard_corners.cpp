#include "chessboard/find_chessboard_corners.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "chessboard/corner_candidates.hpp"
#include "chessboard/grid_recovery.hpp"
#include "subpixel/corner_sub_pix.hpp"

namespace morvelin {
namespace {

bool clear_of_border(const Vec<Point2f>& corners, std::uint32_t width, std::uint32_t height) {
  const double margin = kChessboardBorderMargin;
  const double right = static_cast<double>(width) - margin;
  const double bottom = static_cast<double>(height) - margin;
  for (const Point2f p : corners) {
    const double x = p.x;
    const double y = p.y;
    if (!(x > margin && x <= right && y > margin && y <= bottom)) return false;
  }
  return true;
}

// The border check and the refinement of a grid found in some binary image.
std::optional<Vec<Point2f>> finish_grid(std::optional<Vec<Point2f>> corners, GrayView image,
                                        std::uint64_t refine_window) {
  if (!corners || !clear_of_border(*corners, image.width, image.height)) return std::nullopt;
  corner_sub_pix(image, *corners, refine_window, kChessboardRefineIterations, kChessboardRefineEpsilon);
  return corners;
}

// Half-size of the refinement window of a recovered grid: recovered corners
// may lie a few pixels off, further than the usual window lets a corner move,
// and blur spreads a corner over more pixels than that window covers. The
// window grows with the shortest distance between neighbouring corners,
// staying clear of the neighbours.
std::uint64_t recovered_refine_window(const Vec<Point2f>& corners, const GridShape& shape) {
  float shortest = std::numeric_limits<float>::max();
  const std::size_t columns = shape.columns;
  for (std::size_t i = 0; i < corners.size(); ++i) {
    if ((i + 1) % columns != 0) shortest = std::min(shortest, distance(corners[i], corners[i + 1]));
    if (i + columns < corners.size()) shortest = std::min(shortest, distance(corners[i], corners[i + columns]));
  }
  const float window = std::floor(kRecoveredRefineWindowRate * shortest);
  return static_cast<std::uint64_t>(std::clamp(window, static_cast<float>(kChessboardRefineWindow),
                                               static_cast<float>(kMaxRecoveredRefineWindow)));
}

}  // namespace

std::optional<Vec<Point2f>> search_chessboard_quads(std::span<const ChessboardQuad> quads, GrayView image,
                                                    const GridShape& shape) {
  if (quads.size() < 2) return std::nullopt;
  return finish_grid(order_chessboard_grid(build_corner_graph(quads), shape), image, kChessboardRefineWindow);
}

std::optional<Vec<Point2f>> search_chessboard_grid(BinaryImage& binary, GrayView image,
                                                   const GridShape& shape, float quad_shift) {
  return search_chessboard_quads(extract_chessboard_quads(binary, quad_shift), image, shape);
}

ScheduleOutcome search_threshold_schedule(GrayView image, const GridShape& shape, Threads threads) {
  ChessboardBinarisations binarisations(image);
  // Search 2k is binary image k as it is, search 2k + 1 the image eroded.
  const std::size_t searches = 2 * binarisations.size();
  Vec<ChessboardQuadList> quads(searches);
  Vec<std::optional<Vec<Point2f>>> corners(searches);
  // An image is freed once both of its searches have made their own copy.
  Vec<std::atomic<int>> users(binarisations.size());
  for (std::atomic<int>& u : users) u = 2;
  const auto search = [&](std::size_t s, const Superseded& superseded) {
    const std::size_t k = s / 2;
    const bool eroded = s % 2 == 1;
    // Erosion reads the shared image; the search as it is traces, and so
    // re-marks, a copy.
    BinaryImage binary = eroded ? erode_dark_regions(binarisations.image(k)) : binarisations.image(k);
    if (users[k].fetch_sub(1) == 1) binarisations.release(k);
    quads[s] = extract_chessboard_quads(binary, eroded ? 1.0f : 0.0f, superseded);
    if (superseded()) return false;
    corners[s] = search_chessboard_quads(quads[s], image, shape);
    return corners[s].has_value();
  };
  const std::size_t found = first_success(searches, threads, search);
  ScheduleOutcome outcome;
  if (found < searches) {
    outcome.corners = std::move(corners[found]);
  } else {
    outcome.failed_quads = std::move(quads);
  }
  return outcome;
}

std::optional<Vec<Point2f>> recover_chessboard_corners(std::span<const ChessboardQuadList> failed_quads,
                                                       GrayView image, const GridShape& shape,
                                                       Threads threads) {
  Vec<std::optional<Vec<Point2f>>> recovered(failed_quads.size());
  const std::size_t found = first_success(failed_quads.size(), threads, [&](std::size_t k, const Superseded&) {
    std::optional<Vec<Point2f>> grid = recover_chessboard_grid(failed_quads[k], shape);
    if (!grid) return false;
    const std::uint64_t window = recovered_refine_window(*grid, shape);
    recovered[k] = finish_grid(std::move(grid), image, window);
    return recovered[k].has_value();
  });
  if (found == failed_quads.size()) return std::nullopt;
  return std::move(recovered[found]);
}

Result<std::optional<Vec<Point2f>>> find_chessboard_corners(GrayView image, std::uint64_t columns,
                                                            std::uint64_t rows, Threads threads) {
  if (columns <= 2 || rows <= 2) return value_error("both pattern_size dimensions must be greater than 2");
  using Found = std::optional<Vec<Point2f>>;
  if (image.width < kMinChessboardImageSide || image.height < kMinChessboardImageSide) return Found{};
  // A grid whose corner or edge count overflows cannot be in any image.
  const std::optional<GridShape> shape = GridShape::of(columns, rows);
  if (!shape) return Found{};

  ScheduleOutcome outcome = search_threshold_schedule(image, *shape, threads);
  if (outcome.corners) return std::move(outcome.corners);
  return recover_chessboard_corners(outcome.failed_quads, image, *shape, threads);
}

}  // namespace morvelin
