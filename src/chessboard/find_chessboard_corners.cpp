#include "chessboard/find_chessboard_corners.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "chessboard/corner_candidates.hpp"
#include "chessboard/grid_recovery.hpp"
#include "cornersubpix/corner_sub_pix.hpp"

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
std::optional<Vec<Point2f>> finish_grid(std::optional<Vec<Point2f>> corners, const GrayImage& image,
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

std::optional<Vec<Point2f>> search_chessboard_quads(std::span<const ChessboardQuad> quads, const GrayImage& image,
                                                    const GridShape& shape) {
  if (quads.size() < 2) return std::nullopt;
  return finish_grid(order_chessboard_grid(build_corner_graph(quads), shape), image, kChessboardRefineWindow);
}

std::optional<Vec<Point2f>> search_chessboard_grid(BinaryImage& binary, const GrayImage& image,
                                                   const GridShape& shape, float quad_shift) {
  return search_chessboard_quads(extract_chessboard_quads(binary, quad_shift), image, shape);
}

BinarySearchOutcome search_binary_image(BinaryImage& binary, const GrayImage& image, const GridShape& shape,
                                        const Superseded& superseded) {
  BinarySearchOutcome outcome;
  outcome.quads = extract_chessboard_quads(binary, 0.0f, superseded);
  if (superseded()) return outcome;
  outcome.corners = search_chessboard_quads(outcome.quads, image, shape);
  if (outcome.corners) return outcome;
  // Tracing re-marks dark cells but leaves every light cell 0, so the traced
  // image still tells dark from light.
  BinaryImage eroded = erode_dark_regions(binary);
  outcome.eroded_quads = extract_chessboard_quads(eroded, 1.0f, superseded);
  if (superseded()) return outcome;
  outcome.corners = search_chessboard_quads(outcome.eroded_quads, image, shape);
  return outcome;
}

ScheduleOutcome search_threshold_schedule(const GrayImage& image, const GridShape& shape, Threads threads) {
  ChessboardBinarisations binarisations(image);
  Vec<BinarySearchOutcome> outcomes(binarisations.size());
  const auto search = [&](std::size_t k, const Superseded& superseded) {
    BinaryImage binary = binarisations.take(k);
    if (superseded()) return false;
    outcomes[k] = search_binary_image(binary, image, shape, superseded);
    return outcomes[k].corners.has_value();
  };
  // A search that a lower one has overtaken gives up within a row of tracing.
  const std::size_t found = first_success(outcomes.size(), threads, search);
  ScheduleOutcome outcome;
  if (found < outcomes.size()) {
    outcome.corners = std::move(outcomes[found].corners);
    return outcome;
  }
  for (BinarySearchOutcome& o : outcomes) {
    outcome.failed_quads.push_back(std::move(o.quads));
    outcome.failed_quads.push_back(std::move(o.eroded_quads));
  }
  return outcome;
}

std::optional<Vec<Point2f>> recover_chessboard_corners(std::span<const ChessboardQuadList> failed_quads,
                                                       const GrayImage& image, const GridShape& shape,
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

Result<std::optional<Vec<Point2f>>> find_chessboard_corners(const GrayImage& image, std::uint64_t columns,
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
