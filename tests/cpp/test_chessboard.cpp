#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "chessboard/chessboard_quads.hpp"
#include "test_data.hpp"
#include "chessboard/chessboard_thresholds.hpp"
#include "chessboard/corner_candidates.hpp"
#include "chessboard/find_chessboard_corners.hpp"
#include "chessboard/grid_recognition.hpp"
#include "chessboard/grid_recovery.hpp"
#include "imgproc/adaptive_threshold.hpp"
#include "imgproc/polygon_approximation.hpp"
#include "rendered_chessboard.hpp"

using namespace morvelin;
using morvelin::test::data_dir;
using morvelin::test::read_pgm;
using namespace morvelin::testing;

namespace {

std::optional<Vec<Point2f>> find(const GrayImage& image, std::uint64_t columns, std::uint64_t rows) {
  auto result = find_chessboard_corners(image, columns, rows);
  EXPECT_TRUE(result.ok());
  return result.ok() ? result.value() : std::nullopt;
}

double max_error(const Vec<Point2f>& found, const std::vector<Point2f>& truth) {
  double worst = 0.0;
  for (std::size_t i = 0; i < truth.size(); ++i) worst = std::max(worst, exact_distance(found[i], truth[i]));
  return worst;
}

// The orderings of one grid that the ordering rule chooses among: every
// reflection of the rows and columns, and for square grids the transpose.
std::vector<std::vector<std::size_t>> grid_symmetries(int columns, int rows) {
  std::vector<std::vector<std::size_t>> out;
  for (int transpose = 0; transpose < (columns == rows ? 2 : 1); ++transpose) {
    for (int flip = 0; flip < 4; ++flip) {
      std::vector<std::size_t> order;
      for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
          int rr = (flip & 1) ? rows - 1 - r : r, cc = (flip & 2) ? columns - 1 - c : c;
          if (transpose) std::swap(rr, cc);
          order.push_back(static_cast<std::size_t>(rr * columns + cc));
        }
      }
      out.push_back(order);
    }
  }
  return out;
}

// Checks `found` against the rendered board: it must be one of the grid's
// orderings of the true corners (within `tolerance`) and, among them, the
// one whose first row runs towards increasing x, the second row on its
// right-hand side, and the first corner highest, then leftmost.
void expect_canonical_grid(const Vec<Point2f>& found, const std::vector<Point2f>& truth, int columns, int rows,
                           double tolerance) {
  ASSERT_EQ(found.size(), truth.size());
  const auto orders = grid_symmetries(columns, rows);
  const auto matching = std::find_if(orders.begin(), orders.end(), [&](const std::vector<std::size_t>& order) {
    for (std::size_t k = 0; k < order.size(); ++k)
      if (exact_distance(found[k], truth[order[k]]) > tolerance) return false;
    return true;
  });
  ASSERT_NE(matching, orders.end()) << "corners are not the board's, or not in grid order";
  const auto c = static_cast<std::size_t>(columns);
  const Point2f p0 = found[0], p1 = found[c - 1], p2 = found[c];
  EXPECT_GE(p1.x, p0.x) << "first row must run towards increasing x";
  EXPECT_GE((p1.x - p0.x) * (p2.y - p0.y) - (p1.y - p0.y) * (p2.x - p0.x), 0.0f);
  for (const auto& order : orders) {  // no other ordering with these flags starts higher
    const Point2f q0 = truth[order[0]], q1 = truth[order[c - 1]], q2 = truth[order[c]];
    const bool same_flags = q1.x >= q0.x && (q1.x - q0.x) * (q2.y - q0.y) - (q1.y - q0.y) * (q2.x - q0.x) >= 0;
    if (same_flags) {
      EXPECT_LE(p0.y, q0.y + tolerance);
    }
  }
}

// Pattern size and reference corners of one photo (comment lines start '#').
struct PhotoReference {
  int columns = 0, rows = 0;
  std::vector<Point2f> corners;
};

PhotoReference read_reference(const std::filesystem::path& path) {
  std::ifstream in(path);
  PhotoReference ref;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    if (line.starts_with("pattern")) {
      std::string word;
      fields >> word >> ref.columns >> ref.rows;
    } else {
      Point2f p;
      fields >> p.x >> p.y;
      ref.corners.push_back(p);
    }
  }
  EXPECT_EQ(ref.corners.size(), static_cast<std::size_t>(ref.columns * ref.rows)) << path;
  return ref;
}

}  // namespace

TEST(ChessboardCorners, PatternSizeAndImageSizeLimits) {
  const GrayImage image = render(BoardView{.columns = 3, .rows = 3});
  for (const auto& [c, r] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{{2, 5}, {5, 2}, {0, 9}, {3, 1}}) {
    const auto result = find_chessboard_corners(image, c, r);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ErrorKind::kValue);
    EXPECT_EQ(result.error().message, "both pattern_size dimensions must be greater than 2");
  }
  EXPECT_TRUE(find(image, 3, 3).has_value());
  // Grids whose corner or edge count overflows 64 bits fit in no image.
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  EXPECT_FALSE(find(image, huge, huge).has_value());
  EXPECT_FALSE(find(image, std::uint64_t{1} << 32, std::uint64_t{1} << 31).has_value());
  EXPECT_FALSE(GridShape::of(std::uint64_t{1} << 32, std::uint64_t{1} << 31).has_value());
  EXPECT_EQ(GridShape::of(9, 6)->edges, 6u * 8u + 5u * 9u);

  // Images under 16 pixels on a side are not searched (below 17 no corner
  // could clear the 8-pixel border anyway); the pattern size is still checked.
  EXPECT_FALSE(find(GrayImage(15, 200, 128), 3, 3).has_value());
  EXPECT_FALSE(find(GrayImage(200, 15, 128), 3, 3).has_value());
  EXPECT_FALSE(find(GrayImage(0, 0), 3, 3).has_value());
  EXPECT_FALSE(find_chessboard_corners(GrayImage(0, 0), 2, 3).ok());
}

TEST(ChessboardCorners, FrontalBoardsOfSeveralSizes) {
  for (const BoardView& board : {BoardView{.columns = 3, .rows = 3, .square = 40},
                                BoardView{.columns = 4, .rows = 3, .square = 35},
                                BoardView{.columns = 9, .rows = 6, .square = 30},
                                BoardView{.columns = 5, .rows = 8, .square = 24},
                                BoardView{.columns = 14, .rows = 10, .square = 22}}) {
    SCOPED_TRACE(::testing::Message() << board.columns << "x" << board.rows);
    const auto found = find(render(board), board.columns, board.rows);
    ASSERT_TRUE(found.has_value());
    EXPECT_LT(max_error(*found, board.corners()), 0.1);  // row 0 first, left to right
  }
  // A 9 x 6 board is found as 6 x 9 (read down its columns) but as no other size.
  const GrayImage image = render(BoardView{});
  const auto transposed = find(image, 6, 9);
  ASSERT_TRUE(transposed.has_value());
  EXPECT_EQ(transposed->size(), 54u);
  EXPECT_FALSE(find(image, 8, 6).has_value());
  EXPECT_FALSE(find(image, 9, 7).has_value());
}

TEST(ChessboardCorners, RotatedAndTiltedBoardsComeInCanonicalOrder) {
  for (const double degrees : {0.0, 20.0, 75.0, 100.0, 160.0, 180.0, 215.0, 250.0, 300.0, 340.0}) {
    for (const auto& [c, r] : std::vector<std::pair<int, int>>{{7, 4}, {5, 5}}) {
      SCOPED_TRACE(::testing::Message() << degrees << " degrees, " << c << "x" << r);
      const BoardView board{.columns = c, .rows = r, .square = 32, .angle = degrees * std::numbers::pi / 180.0};
      const auto found = find(render(board), c, r);
      ASSERT_TRUE(found.has_value());
      expect_canonical_grid(*found, board.corners(), board.columns, board.rows, 0.25);
    }
  }
  for (const auto& [tx, ty] : std::vector<std::pair<double, double>>{{0.03, 0.0}, {0.0, -0.04}, {0.025, 0.025}}) {
    SCOPED_TRACE(::testing::Message() << "tilt " << tx << " " << ty);
    const BoardView board{.columns = 8, .rows = 5, .square = 34, .angle = 0.3, .tilt_x = tx, .tilt_y = ty};
    const auto found = find(render(board), 8, 5);
    ASSERT_TRUE(found.has_value());
    expect_canonical_grid(*found, board.corners(), board.columns, board.rows, 0.25);
  }
}

TEST(ChessboardCorners, SquarePatternTurnedByRightAnglesReadsFromTheTopLeft) {
  // Turned by a multiple of 90 degrees a square pattern covers the same
  // corners, and every turn gives them in reading order.
  const BoardView upright{.columns = 6, .rows = 6, .square = 30};
  const auto expected = upright.corners();
  for (int quarter = 0; quarter < 4; ++quarter) {
    SCOPED_TRACE(quarter);
    BoardView board = upright;
    board.angle = quarter * std::numbers::pi / 2.0;
    const auto found = find(render(board), 6, 6);
    ASSERT_TRUE(found.has_value());
    EXPECT_LT(max_error(*found, expected), 0.1);
  }
}

TEST(ChessboardCorners, IlluminationGradientNeedsTheAdaptiveThresholds) {
  // Light falls off from right to left: the paper at the left edge is darker
  // than the black squares at the right, so no global level separates them.
  const BoardView board{.columns = 7, .rows = 5, .square = 40};
  const GrayImage image = render(board, 640, 480, [](double x, double) { return 0.12 + 0.88 * std::pow(x / 640.0, 2.0); });
  BinaryImage global = otsu_binarize(image);
  BinaryImage eroded = erode_dark_regions(global);
  EXPECT_FALSE(search_chessboard_grid(global, image, *GridShape::of(7, 5)).has_value());
  EXPECT_FALSE(search_chessboard_grid(eroded, image, *GridShape::of(7, 5), 1.0f).has_value());
  const auto found = find(image, 7, 5);
  ASSERT_TRUE(found.has_value());
  EXPECT_LT(max_error(*found, board.corners()), 0.2);
}

TEST(ChessboardCorners, CornersNearTheBorderAreRejected) {
  // Crisp 4 x 3 board, squares of 20, in a 200 x 160 image: interior corner
  // (i, j) lies at (x0 + 20 i - 0.5, y0 + 20 j - 0.5). The outer squares are
  // cut by the image edge, but the grid is recognised in every case.
  const GridShape shape = *GridShape::of(4, 3);
  struct Case {
    int x0, y0;
    bool clear;
  };
  for (const Case& c : {Case{-11, 30, true}, Case{-12, 30, false}, Case{112, 30, true}, Case{113, 30, false},
                        Case{30, -11, true}, Case{30, -12, false}, Case{30, 92, true}, Case{30, 93, false}}) {
    SCOPED_TRACE(::testing::Message() << c.x0 << ", " << c.y0);
    const GrayImage image = render_crisp(4, 3, 20, c.x0, c.y0, 200, 160);
    BinaryImage eroded = erode_dark_regions(otsu_binarize(image));
    EXPECT_TRUE(order_chessboard_grid(build_corner_graph(extract_chessboard_quads(eroded, 1.0f)), shape).has_value());
    EXPECT_EQ(find(image, 4, 3).has_value(), c.clear);
  }
}

TEST(ChessboardCorners, IncompleteBoardsGiveNothing) {
  for (const int missing : {0, 22, 35, 68}) {  // a corner square, interior squares, one in the last row
    SCOPED_TRACE(missing);
    EXPECT_FALSE(find(render(BoardView{.missing_square = missing}), 9, 6).has_value());
  }
  // A board cut by the image edge is not found either.
  EXPECT_FALSE(find(render(BoardView{.cx = 80}), 9, 6).has_value());
  // Nor anything in an empty or a uniform image.
  EXPECT_FALSE(find(GrayImage(320, 240, 0), 3, 3).has_value());
  EXPECT_FALSE(find(render(BoardView{.square = 0.0001}), 3, 3).has_value());
}

TEST(ChessboardCorners, CrispBoardsAreSeparatedByErosion) {
  // Without grey edge pixels the dark squares touch at their corners and form
  // one 8-connected region: none of them is traced as a quad, under any
  // threshold of the schedule.
  for (const int side : {24, 12}) {
    SCOPED_TRACE(side);
    const GrayImage image = render_crisp(7, 5, side, 50, 40, 400, 320);
    const GridShape shape = *GridShape::of(7, 5);
    BinaryImage global = otsu_binarize(image);
    EXPECT_FALSE(search_chessboard_grid(global, image, shape).has_value());
    for (const std::int64_t block : adaptive_block_sizes(400, 320)) {
      for (const double offset : kChessboardThresholdOffsets) {
        BinaryImage adaptive = adaptive_threshold(image, block, offset, Threads::kCallingThread);
        EXPECT_FALSE(search_chessboard_grid(adaptive, image, shape).has_value());
      }
    }
    // Eroded by a pixel the squares separate; the traced image erodes like the
    // fresh one. Small squares need their quads shifted back out: eroded
    // corners of neighbouring squares lie 3 sqrt(2) apart, beyond the merging
    // distance of 0.32 times a side of 12 - 3.
    BinaryImage eroded = erode_dark_regions(global);
    EXPECT_EQ(eroded.cells, erode_dark_regions(otsu_binarize(image)).cells);
    BinaryImage eroded_copy = eroded;
    EXPECT_EQ(search_chessboard_grid(eroded_copy, image, shape, 0.0f).has_value(), side == 24);
    const auto from_eroded = search_chessboard_grid(eroded, image, shape, 1.0f);
    ASSERT_TRUE(from_eroded.has_value());

    const auto found = find(image, 7, 5);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, *from_eroded);
    std::vector<Point2f> truth;
    for (int j = 1; j <= 5; ++j)
      for (int i = 1; i <= 7; ++i) truth.push_back({50.0f + side * i - 0.5f, 40.0f + side * j - 0.5f});
    EXPECT_LT(max_error(*found, truth), 0.05);
  }
}

TEST(ChessboardCorners, BoardsTheGlobalThresholdSeparatesAreNotEroded) {
  // Dark squares drawn a little smaller never touch: the first attempt finds
  // the board, and its corners are the result.
  const BoardView board{.angle = 0.4, .inset = 0.06};
  const GrayImage image = render(board);
  BinaryImage global = otsu_binarize(image);
  const auto first_attempt = search_chessboard_grid(global, image, *GridShape::of(9, 6));
  ASSERT_TRUE(first_attempt.has_value());
  EXPECT_EQ(find(image, 9, 6), first_attempt);
}

TEST(ChessboardCorners, TwoBoardsGiveTheFirstTracedOneOnEveryCall) {
  // Candidates are numbered in tracing order, so the board whose squares are
  // met first in raster order wins, here the one higher in the image.
  const BoardView high{.columns = 4, .rows = 3, .square = 26, .cx = 460, .cy = 110};
  const BoardView low{.columns = 4, .rows = 3, .square = 26, .cx = 150, .cy = 330};
  const GrayImage a = render(high), b = render(low);
  GrayImage both(640, 480);
  for (std::size_t i = 0; i < both.pixels.size(); ++i) both.pixels[i] = (i % 640 < 320) ? b.pixels[i] : a.pixels[i];
  const auto first = find(both, 4, 3);
  ASSERT_TRUE(first.has_value());
  EXPECT_LT(max_error(*first, high.corners()), 0.1);
  for (int run = 0; run < 3; ++run) EXPECT_EQ(find(both, 4, 3), first);
}

TEST(ChessboardCorners, CalibrationPhotosMatchTheReference) {
  // Crops of calibration photos, with the corners OpenCV finds and refines
  // in a 5 x 5 window. Corners may come in another of the grid's orderings.
  for (const char* photo : {"opencv_left01", "opencvsharp_calibration_00", "swatbotics_calib_IMG_1434",
                            "swatbotics_calib_IMG_1438"}) {
    SCOPED_TRACE(photo);
    const auto dir = data_dir() / "chessboard";
    const PhotoReference ref = read_reference(dir / (std::string(photo) + ".txt"));
    const auto image = read_pgm(dir / (std::string(photo) + ".pgm"));
    ASSERT_TRUE(image.has_value());
    const auto found = find(*image, ref.columns, ref.rows);
    ASSERT_TRUE(found.has_value());
    expect_canonical_grid(*found, ref.corners, ref.columns, ref.rows, 0.6);
    double total = 0.0;
    for (const Point2f p : *found) {
      double nearest = 1e9;
      for (const Point2f q : ref.corners) nearest = std::min(nearest, exact_distance(p, q));
      total += nearest;
    }
    EXPECT_LT(total / static_cast<double>(found->size()), 0.15);
  }
}

TEST(ChessboardCorners, BlurredAndUnevenlyLitBoardsAreRecovered) {
  // Small blurred squares: under every threshold of the schedule the corners
  // of neighbouring dark squares either merge or stay too far apart to join,
  // so no binary image gives the whole grid. Laid out on the board's lattice
  // the squares give it, and the wider refinement window a recovered grid
  // gets brings the corners onto the board.
  struct Case {
    BoardView board;
    double (*light)(double x, double y);
  };
  const auto falls_right = [](double x, double) { return 1.0 - 0.75 * x / 640.0; };
  const auto falls_up = [](double, double y) { return 0.3 + 0.7 * y / 480.0; };
  for (const Case& c : {Case{{.columns = 9, .rows = 6, .square = 13, .angle = 0.6, .blur = 1.0}, falls_right},
                        Case{{.columns = 7, .rows = 5, .square = 13, .angle = 1.1, .blur = 1.2}, falls_up},
                        Case{{.columns = 9, .rows = 6, .square = 15, .angle = 0.6, .blur = 1.4}, nullptr},
                        Case{{.columns = 7, .rows = 5, .square = 18, .angle = 0.8, .blur = 1.2}, nullptr}}) {
    BoardView board = c.board;
    board.tilt_x = 0.002, board.tilt_y = -0.001;
    SCOPED_TRACE(::testing::Message() << board.columns << "x" << board.rows << ", blur " << board.blur);
    const GrayImage image = render(board, 640, 480, c.light);
    const GridShape shape = *GridShape::of(board.columns, board.rows);
    EXPECT_FALSE(search_threshold_schedule(image, shape, Threads::kCallingThread).corners.has_value());
    const auto found = find(image, board.columns, board.rows);
    ASSERT_TRUE(found.has_value());
    expect_canonical_grid(*found, board.corners(), board.columns, board.rows, 0.3);
  }
}

TEST(ChessboardCorners, WorkerPoolSearchEqualsThePlainLoop) {
  // Boards found by the global threshold, an adaptive one, an eroded image
  // and the recovery, two boards, and none: the search spread over the pool
  // returns what the loop over the schedule in order returns, and a board the
  // schedule finds is its first grid.
  const auto falls_left = [](double x, double) { return 0.12 + 0.88 * std::pow(x / 640.0, 2.0); };
  const BoardView gradient{.columns = 7, .rows = 5, .square = 40};
  const BoardView blurred{.columns = 9, .rows = 6, .square = 15, .angle = 0.6, .tilt_x = 0.002, .tilt_y = -0.001,
                         .blur = 1.4};
  const BoardView high{.columns = 4, .rows = 3, .square = 26, .cx = 460, .cy = 110};
  GrayImage both = render(high);
  const GrayImage low = render(BoardView{.columns = 4, .rows = 3, .square = 26, .cx = 150, .cy = 330});
  for (std::size_t i = 0; i < both.pixels.size(); ++i) both.pixels[i] = std::min(both.pixels[i], low.pixels[i]);
  std::mt19937 random(3);
  GrayImage noise(640, 480);
  for (auto& v : noise.pixels) v = static_cast<std::uint8_t>(random() % 256);
  const std::vector<std::pair<GrayImage, std::pair<int, int>>> images = {
      {render(BoardView{}), {9, 6}},           {render(gradient, 640, 480, falls_left), {7, 5}},
      {render_crisp(7, 5, 12, 50, 40, 400, 320), {7, 5}}, {render(blurred), {9, 6}},
      {both, {4, 3}},                          {noise, {9, 6}}};
  for (std::size_t k = 0; k < images.size(); ++k) {
    SCOPED_TRACE(k);
    const auto& [image, size] = images[k];
    const auto parallel = find_chessboard_corners(image, size.first, size.second, Threads::kWorkerPool);
    const auto serial = find_chessboard_corners(image, size.first, size.second, Threads::kCallingThread);
    ASSERT_TRUE(parallel.ok() && serial.ok());
    EXPECT_EQ(*parallel, *serial);
    EXPECT_EQ(parallel->has_value(), k + 1 < images.size());
    const GridShape shape = *GridShape::of(size.first, size.second);
    const auto scheduled = search_threshold_schedule(image, shape, Threads::kCallingThread).corners;
    if (scheduled) {
      EXPECT_EQ(*parallel, scheduled);
    }
  }
}

TEST(ChessboardStages, QuadFilters) {
  const auto accepts = [](Quad q, std::uint32_t w = 640, std::uint32_t h = 480) {
    return accept_chessboard_quad(order_by_angle(q), w, h).has_value();
  };
  EXPECT_TRUE(accepts({{{10, 10}, {30, 10}, {30, 30}, {10, 30}}}));
  EXPECT_EQ(accept_chessboard_quad(order_by_angle({{{10, 10}, {30, 10}, {30, 25}, {10, 30}}}), 640, 480)->shortest_side,
            std::hypot(20.0f, 5.0f) < 15.0f ? std::hypot(20.0f, 5.0f) : 15.0f);
  EXPECT_FALSE(accepts({{{0, 0}, {4, 0}, {4, 4}, {0, 4}}}));                   // area 16 < 25
  EXPECT_TRUE(accepts({{{0, 0}, {5, 0}, {5, 5}, {0, 5}}}));                    // area 25
  EXPECT_FALSE(accepts({{{0, 0}, {100, 0}, {100, 100}, {0, 100}}}, 160, 160));  // over 0.35 of the image
  EXPECT_FALSE(accepts({{{0, 0}, {3, 0}, {3, 30}, {0, 30}}}));                 // a side under 4
  EXPECT_TRUE(accepts({{{0, 0}, {40, 0}, {40, 10}, {0, 10}}}));                // sides 4:1
  EXPECT_FALSE(accepts({{{0, 0}, {41, 0}, {41, 10}, {0, 10}}}));               // sides over 4:1
  EXPECT_FALSE(accepts({{{0, 0}, {20, 0}, {40, 6}, {20, 6}}}));                // flat parallelogram
  EXPECT_FALSE(accepts({{{0, 0}, {20, 0}, {6, 6}, {0, 20}}}));                 // concave (an arrow head)
  // Vertices come out in increasing angle about the centroid: from the left
  // (angle -pi) round through the top (negative y) to the right and bottom.
  const Quad ordered = order_by_angle({{{30, 30}, {10, 10}, {10, 30}, {30, 10}}});
  EXPECT_EQ(ordered, (Quad{{{10, 10}, {30, 10}, {30, 30}, {10, 30}}}));
}

TEST(ChessboardStages, LargerPolygonTolerancesKeepSubsetsOfTheVertices) {
  // Quad extraction rejects a border whose polygon keeps more than four
  // vertices at the largest tolerance without trying the smaller ones.
  std::mt19937 random(7);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<Point2f> curve;
    const int n = 11 + static_cast<int>(random() % 60);
    for (int i = 0; i < n; ++i) {
      const double angle = 2 * std::numbers::pi * i / n, radius = 20 + static_cast<double>(random() % 900) / 100;
      curve.push_back({static_cast<float>(50 + radius * std::cos(angle)), static_cast<float>(50 + radius * std::sin(angle))});
    }
    const auto kept = [&](float tolerance) {
      std::vector<std::ptrdiff_t> indices;
      for (const Point2f p : approximate_closed_polygon(curve, tolerance))
        indices.push_back(std::find(curve.begin(), curve.end(), p) - curve.begin());
      std::sort(indices.begin(), indices.end());
      return indices;
    };
    for (float tolerance = 1.0f; tolerance < kMaxQuadTolerance; tolerance += 1.0f) {
      const auto smaller = kept(tolerance), larger = kept(tolerance + 1.0f);
      EXPECT_TRUE(std::includes(smaller.begin(), smaller.end(), larger.begin(), larger.end()));
    }
  }
}

TEST(ChessboardStages, CornerGraphMergesPairsOnly) {
  const auto square = [](float x, float y, float s) {
    return ChessboardQuad{order_by_angle({{{x, y}, {x + s, y}, {x + s, y + s}, {x, y + s}}}), s};
  };
  // Dark squares of a 3 x 3 checker (corners at 20 and 40) with 1-pixel gaps:
  // four interior corners, each linked to two others.
  Vec<ChessboardQuad> quads;
  for (int b = 0; b < 3; ++b)
    for (int a = 0; a < 3; ++a)
      if ((a + b) % 2 == 0) quads.push_back(square(a * 20.0f + 0.5f, b * 20.0f + 0.5f, 19.0f));
  const CornerGraph graph = build_corner_graph(quads);
  ASSERT_EQ(graph.size(), 4u);
  EXPECT_EQ(graph[0].position, (Point2f{20, 20}));  // numbered by the first quad corner of each pair
  for (const CornerCandidate& c : graph) EXPECT_EQ(c.degree, 2u);
  const auto ordered = order_chessboard_grid(graph, *GridShape::of(2, 2));
  ASSERT_TRUE(ordered.has_value());
  EXPECT_EQ(*ordered, (Vec<Point2f>{{20, 20}, {40, 20}, {20, 40}, {40, 40}}));

  // Corners beyond 0.32 of the shorter shortest side stay apart; a third
  // corner within reach of a pair makes a group of three, which is no corner.
  EXPECT_TRUE(build_corner_graph(Vec<ChessboardQuad>{square(0, 0, 10), square(13.3f, 10, 10)}).empty());
  EXPECT_EQ(build_corner_graph(Vec<ChessboardQuad>{square(0, 0, 10), square(13.1f, 10, 10)}).size(), 1u);
  const Quad diamond = order_by_angle({{{10.5f, 10}, {17.5f, 3}, {24.5f, 10}, {17.5f, 17}}});
  EXPECT_TRUE(build_corner_graph(Vec<ChessboardQuad>{square(0, 0, 10), square(11, 11, 10), {diamond, 9.9f}}).empty());
}

TEST(ChessboardStages, RecoveryReadsTheGridOffTheLattice) {
  // Dark squares of a checker with gaps so wide that corners are 0.4 of a
  // side apart: beyond the merging distance, within pairing reach.
  const auto square = [](float x, float y, float s) {
    return ChessboardQuad{order_by_angle({{{x, y}, {x + s, y}, {x + s, y + s}, {x, y + s}}}), s};
  };
  const auto checker = [&](int columns, int rows, float pitch, float gap, float origin = 100.0f) {
    Vec<ChessboardQuad> quads;
    for (int b = 0; b <= rows; ++b)
      for (int a = 0; a <= columns; ++a)
        if ((a + b) % 2 == 0) quads.push_back(square(origin + a * pitch + gap, origin + b * pitch + gap, pitch - 2 * gap));
    return quads;
  };
  const GridShape shape = *GridShape::of(4, 3);
  Vec<ChessboardQuad> quads = checker(4, 3, 20.0f, 2.0f);  // corners 4 apart, sides 16: 0.25 of a side
  EXPECT_TRUE(build_corner_graph(quads).empty());
  const auto recovered = recover_chessboard_grid(quads, shape);
  ASSERT_TRUE(recovered.has_value());
  Vec<Point2f> expected;
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 4; ++i) expected.push_back({100.0f + 20 * i, 100.0f + 20 * j});
  EXPECT_EQ(*recovered, expected);  // midpoints, first row at the top, running right
  // Corners are looked up in cells laid from the top left of all quads:
  // wherever the cell bounds fall between paired corners, the board is the
  // same (a small square at the origin holds the cells in place).
  for (const float shift : {0.375f, 3.25f, 7.875f, 13.5f}) {
    Vec<ChessboardQuad> scene = checker(4, 3, 20.0f, 2.0f, 100.0f + shift);
    scene.push_back(square(0, 0, 5));
    Vec<Point2f> moved = expected;
    for (Point2f& p : moved) p = {p.x + shift, p.y + shift};
    EXPECT_EQ(recover_chessboard_grid(scene, shape), std::optional<Vec<Point2f>>(moved)) << shift;
  }
  // Read the other way round: the same corners, three to a row.
  auto transposed = recover_chessboard_grid(quads, *GridShape::of(3, 4));
  ASSERT_TRUE(transposed.has_value());
  const auto by_position = [](Point2f a, Point2f b) { return a.y != b.y ? a.y < b.y : a.x < b.x; };
  std::sort(transposed->begin(), transposed->end(), by_position);
  EXPECT_EQ(*transposed, expected);
  // Other sizes, a missing square, and uneven spacing give nothing.
  EXPECT_FALSE(recover_chessboard_grid(quads, *GridShape::of(3, 3)).has_value());
  EXPECT_FALSE(recover_chessboard_grid(quads, *GridShape::of(5, 3)).has_value());
  Vec<ChessboardQuad> missing = quads;
  missing.erase(missing.begin() + 7);  // an inner square
  EXPECT_FALSE(recover_chessboard_grid(missing, shape).has_value());
  Vec<ChessboardQuad> uneven = quads;
  for (ChessboardQuad& q : uneven)
    for (Point2f& p : q.vertices) p.x = p.x > 150 ? p.x + 25 : p.x;  // the right half moves away
  EXPECT_FALSE(recover_chessboard_grid(uneven, shape).has_value());
}

TEST(ChessboardStages, ThresholdScheduleAndErosion) {
  EXPECT_EQ(adaptive_block_sizes(640, 480), (Vec<std::int64_t>{31, 49, 97}));
  EXPECT_EQ(adaptive_block_sizes(816, 612), (Vec<std::int64_t>{31, 61, 123}));
  EXPECT_EQ(adaptive_block_sizes(16, 400), (Vec<std::int64_t>{3, 31}));     // 1.6 and 3.2 give 3
  EXPECT_EQ(adaptive_block_sizes(25, 25), (Vec<std::int64_t>{3, 5, 31}));   // 2.5 rounds to 3, 5 stays
  EXPECT_EQ(adaptive_block_sizes(45, 45), (Vec<std::int64_t>{5, 9, 31}));   // 4.5 rounds to 5
  EXPECT_EQ(adaptive_block_sizes(155, 160), (Vec<std::int64_t>{17, 31}));   // 31 only once
  // The schedule: global, then each block with each offset; the images of a
  // block formed together equal those formed one by one.
  const GrayImage lit = render(BoardView{.columns = 3, .rows = 3, .square = 20}, 155, 160,
                               [](double x, double y) { return 0.3 + 0.004 * (x + y); });
  ChessboardBinarisations schedule(lit);
  ASSERT_EQ(schedule.size(), 7u);
  EXPECT_EQ(schedule.threshold(0).block, 0);
  EXPECT_EQ(schedule.image(0).cells, otsu_binarize(lit).cells);
  for (const std::size_t k : {6u, 2u, 1u}) {  // in any order
    const ChessboardThreshold t = schedule.threshold(k);
    EXPECT_EQ(t.block, k <= 3 ? 17 : 31);
    EXPECT_EQ(t.offset, kChessboardThresholdOffsets[(k - 1) % 3]);
    EXPECT_EQ(schedule.image(k).cells, adaptive_threshold(lit, t.block, t.offset).cells) << k;
  }
  schedule.release(2);
  EXPECT_TRUE(schedule.image(2).cells.empty());
  EXPECT_EQ(schedule.image(3).cells, adaptive_threshold(lit, 17, 10.0).cells);

  // Otsu: pixels at the level are dark.
  GrayImage two(4, 1);
  two.pixels = {10, 10, 200, 200};
  const BinaryImage split = otsu_binarize(two);
  EXPECT_EQ(split.at(1, 0), 1);
  EXPECT_EQ(split.at(2, 0), 0);

  // Erosion keeps a cell only with nine dark cells round it; the frame is light.
  BinaryImage binary(5, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) binary.at(x, y) = static_cast<std::int8_t>(y < 3 ? (x == 4 ? -2 : 2) : 0);
  const BinaryImage eroded = erode_dark_regions(binary);
  for (int y = -1; y <= 4; ++y)
    for (int x = -1; x <= 5; ++x) EXPECT_EQ(eroded.at(x, y), (y == 1 && x >= 1 && x <= 3) ? 1 : 0) << x << "," << y;
}
