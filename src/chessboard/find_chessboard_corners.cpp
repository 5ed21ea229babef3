#include "chessboard/find_chessboard_corners.hpp"

#include "chessboard/chessboard_quads.hpp"
#include "chessboard/chessboard_thresholds.hpp"
#include "chessboard/corner_candidates.hpp"
#include "subpixel/corner_sub_pix.hpp"
#include "imgproc/adaptive_threshold.hpp"

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

}  // namespace

std::optional<Vec<Point2f>> search_chessboard_grid(BinaryImage& binary, const GrayImage& image,
                                                   const GridShape& shape, float quad_shift) {
  const ChessboardQuadList quads = extract_chessboard_quads(binary, quad_shift);
  if (quads.size() < 2) return std::nullopt;
  const CornerGraph graph = build_corner_graph(quads);
  std::optional<Vec<Point2f>> corners = order_chessboard_grid(graph, shape);
  if (!corners || !clear_of_border(*corners, image.width, image.height)) return std::nullopt;
  corner_sub_pix(image, *corners, kChessboardRefineWindow, kChessboardRefineIterations, kChessboardRefineEpsilon);
  return corners;
}

std::optional<Vec<Point2f>> search_chessboard_grid_with_erosion(BinaryImage& binary, const GrayImage& image,
                                                                const GridShape& shape) {
  if (auto corners = search_chessboard_grid(binary, image, shape)) return corners;
  // Tracing re-marks dark cells but leaves every light cell 0, so the traced
  // image still tells dark from light.
  BinaryImage eroded = erode_dark_regions(binary);
  return search_chessboard_grid(eroded, image, shape, 1.0f);
}

Result<std::optional<Vec<Point2f>>> find_chessboard_corners(const GrayImage& image, std::uint64_t columns,
                                                            std::uint64_t rows) {
  if (columns <= 2 || rows <= 2) return value_error("both pattern_size dimensions must be greater than 2");
  using Found = std::optional<Vec<Point2f>>;
  if (image.width < kMinChessboardImageSide || image.height < kMinChessboardImageSide) return Found{};
  // A grid whose corner or edge count overflows cannot be in any image.
  const std::optional<GridShape> shape = GridShape::of(columns, rows);
  if (!shape) return Found{};

  BinaryImage global = otsu_binarize(image);
  if (auto corners = search_chessboard_grid_with_erosion(global, image, *shape)) return corners;
  for (const std::int64_t block : adaptive_block_sizes(image.width, image.height)) {
    for (const double offset : kChessboardThresholdOffsets) {
      BinaryImage binary = adaptive_threshold(image, block, offset, ThresholdThreads::kCallingThread);
      if (auto corners = search_chessboard_grid_with_erosion(binary, image, *shape)) return corners;
    }
  }
  return Found{};
}

}  // namespace morvelin
