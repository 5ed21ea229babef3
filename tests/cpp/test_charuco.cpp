// ChArUco board model and corner detection: layout and nearest-marker lists,
// prediction and window sizes, the filters and the marker check, accuracy and
// pose on rendered boards, and two photographs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "charuco/board.hpp"
#include "charuco/board_layout.hpp"
#include "charuco/charuco_detection.hpp"
#include "charuco/corner_prediction.hpp"
#include "charuco/marker_check.hpp"
#include "charuco/nearest_markers.hpp"
#include "charuco_rendering.hpp"
#include "pose/board_pose.hpp"
#include "pose/projection.hpp"
#include "test_data.hpp"

using namespace morvelin;
using morvelin::test::data_dir;
using morvelin::test::read_pgm;
using namespace morvelin::testing;

namespace {

CharucoBoard make_board(std::uint64_t sx, std::uint64_t sy, double square, double marker,
                        const char* dictionary = "DICT_6X6_250", bool legacy = false) {
  auto board = CharucoBoard::create(sx, sy, square, marker, dictionary, std::nullopt, legacy);
  EXPECT_TRUE(board.ok()) << (board.ok() ? "" : board.error().message);
  return std::move(board.value());
}

std::string error_of(const Result<CharucoBoard>& r) { return r.ok() ? "ok" : r.error().message; }

// Square (row, column) holding marker k, from its first corner.
std::pair<long, long> square_of(const CharucoBoard& b, std::size_t k) {
  const float l = b.square_length();
  return {std::lround(std::floor(b.marker_corners()[k][0][1] / l)), std::lround(std::floor(b.marker_corners()[k][0][0] / l))};
}

NearestMarkerLists lists_of(const CharucoBoard& b) {
  NearestMarkerLists out;
  out.offsets.push_back(0);
  for (std::size_t c = 0; c < b.corner_count(); ++c) {
    for (auto m : b.nearest_markers(c)) out.markers.push_back(m);
    for (auto k : b.nearest_marker_corners(c)) out.marker_corners.push_back(k);
    out.offsets.push_back(out.markers.size());
  }
  return out;
}

// ---------------------------------------------------------------------------
// Board model

TEST(CharucoBoard, FiveBySevenLayout) {
  const CharucoBoard b = make_board(5, 7, 0.04, 0.02);
  ASSERT_EQ(b.marker_count(), 17u);
  ASSERT_EQ(b.corner_count(), 24u);
  const float l = 0.04f;
  EXPECT_EQ(b.chessboard_corners()[0], (BoardPoint{l, l, 0.0f}));
  EXPECT_EQ(b.chessboard_corners()[3], (BoardPoint{4 * l, l, 0.0f}));
  EXPECT_EQ(b.chessboard_corners()[4], (BoardPoint{l, 2 * l, 0.0f}));
  EXPECT_EQ(b.chessboard_corners()[23], (BoardPoint{4 * l, 6 * l, 0.0f}));
  // Even rows hold markers in odd columns, odd rows in even columns, row-major.
  std::vector<std::pair<long, long>> expected;
  for (long i = 0; i < 7; ++i) {
    for (long j = 0; j < 5; ++j) {
      if ((i + j) % 2 == 1) expected.emplace_back(i, j);
    }
  }
  for (std::size_t k = 0; k < 17; ++k) {
    EXPECT_EQ(square_of(b, k), expected[k]) << k;
    EXPECT_EQ(b.ids()[k], k);
    EXPECT_EQ(b.first_marker_with_id(k), k);
  }
  EXPECT_FALSE(b.first_marker_with_id(17).has_value());
  EXPECT_EQ(b.extent(), (BoardPoint{5 * l, 7 * l, 0.0f}));
  EXPECT_EQ(b.dictionary_name(), "DICT_6X6_250");
  EXPECT_EQ(b.dictionary().marker_size, 6u);
}

TEST(CharucoBoard, LegacyPatternMovesMarkersOnlyForEvenRowCounts) {
  const CharucoBoard legacy = make_board(5, 4, 1.0, 0.5, "DICT_4X4_50", true);
  const CharucoBoard modern = make_board(5, 4, 1.0, 0.5, "DICT_4X4_50", false);
  EXPECT_EQ(square_of(legacy, 0), std::make_pair(0L, 0L));
  EXPECT_EQ(square_of(modern, 0), std::make_pair(0L, 1L));
  EXPECT_EQ(legacy.marker_count(), 10u);
  EXPECT_EQ(modern.marker_count(), 10u);
  EXPECT_EQ(square_of(legacy, 2), std::make_pair(0L, 4L));
  EXPECT_EQ(square_of(legacy, 3), std::make_pair(1L, 1L));
  EXPECT_EQ(square_of(modern, 2), std::make_pair(1L, 0L));

  const CharucoBoard odd_legacy = make_board(5, 5, 1.0, 0.5, "DICT_4X4_50", true);
  const CharucoBoard odd_modern = make_board(5, 5, 1.0, 0.5, "DICT_4X4_50", false);
  ASSERT_EQ(odd_legacy.marker_count(), odd_modern.marker_count());
  EXPECT_TRUE(std::equal(odd_legacy.marker_corners().begin(), odd_legacy.marker_corners().end(),
                         odd_modern.marker_corners().begin()));
  EXPECT_EQ(square_of(odd_legacy, 0), std::make_pair(0L, 1L));
}

TEST(CharucoBoard, MarkerCornersAreInsetClockwiseAndSinglePrecision) {
  const CharucoBoard b = make_board(3, 3, 1.0, 0.5);
  const MarkerCorners expected = {{{1.25f, 0.25f, 0.0f}, {1.75f, 0.25f, 0.0f}, {1.75f, 0.75f, 0.0f}, {1.25f, 0.75f, 0.0f}}};
  EXPECT_EQ(b.marker_corners()[0], expected);

  // Lengths are narrowed to float before any arithmetic; a marker longer than
  // its square gives a negative inset.
  const CharucoBoard wide = make_board(3, 3, 0.1, 0.3);
  const float l = static_cast<float>(0.1), m = static_cast<float>(0.3);
  EXPECT_EQ(wide.square_length(), l);
  EXPECT_EQ(wide.marker_length(), m);
  const float inset = (l - m) * 0.5f;
  EXPECT_LT(inset, 0.0f);
  EXPECT_EQ(wide.marker_corners()[0][0], (BoardPoint{1.0f * l + inset, inset, 0.0f}));
  EXPECT_EQ(wide.marker_corners()[0][2], (BoardPoint{(1.0f * l + inset) + m, inset + m, 0.0f}));
}

TEST(CharucoBoard, IdsAndDictionaryErrors) {
  const std::vector<std::uint64_t> none;
  EXPECT_EQ(error_of(CharucoBoard::create(5, 7, 1, 0.5, "DICT_6X6_250", none, false)),
            "Size of ids must be equal to the number of markers: 17");
  const std::vector<std::uint64_t> short_list(16, 3);
  EXPECT_EQ(error_of(CharucoBoard::create(5, 7, 1, 0.5, "DICT_6X6_250", short_list, false)),
            "Size of ids must be equal to the number of markers: 17");
  EXPECT_EQ(error_of(CharucoBoard::create(5, 7, 1, 0.5, "DICT_6X6_251", std::nullopt, false)),
            "unknown dictionary: DICT_6X6_251");
  // The dictionary is checked first, and the name is reported as given.
  EXPECT_EQ(error_of(CharucoBoard::create(5, 7, 1, 0.5, "no such", none, false)), "unknown dictionary: no such");
  EXPECT_EQ(error_of(CharucoBoard::create(5, 7, 1, 0.5, "dict_4x4_50", std::nullopt, false)), "ok");
  // A board without markers accepts an empty id list.
  EXPECT_EQ(error_of(CharucoBoard::create(1, 1, 1, 0.5, "DICT_4X4_50", none, false)), "ok");

  // Ids are taken as given: no range or duplicate check; lookups find the
  // first marker of an id.
  std::vector<std::uint64_t> ids(17);
  for (std::size_t k = 0; k < ids.size(); ++k) ids[k] = 1000 + (k % 5);
  const auto b = CharucoBoard::create(5, 7, 1, 0.5, "DICT_6X6_250", ids, false);
  ASSERT_TRUE(b.ok());
  EXPECT_TRUE(std::equal(ids.begin(), ids.end(), b.value().ids().begin(), b.value().ids().end()));
  EXPECT_EQ(b.value().first_marker_with_id(1003), 3u);
  EXPECT_FALSE(b.value().first_marker_with_id(3).has_value());
}

TEST(CharucoBoard, InteriorCornersTouchTwoDiagonalMarkersAtOppositeCorners) {
  for (const bool legacy : {false, true}) {
    for (const auto& [sx, sy] : {std::pair{5u, 7u}, std::pair{6u, 4u}, std::pair{2u, 2u}, std::pair{9u, 8u}}) {
      const CharucoBoard b = make_board(sx, sy, 0.04, 0.03, "DICT_5X5_1000", legacy);
      for (std::size_t c = 0; c < b.corner_count(); ++c) {
        const auto markers = b.nearest_markers(c);
        const auto corners = b.nearest_marker_corners(c);
        ASSERT_EQ(markers.size(), 2u) << sx << "x" << sy << " corner " << c;
        EXPECT_LT(markers[0], markers[1]);
        const auto [r0, c0] = square_of(b, markers[0]);
        const auto [r1, c1] = square_of(b, markers[1]);
        EXPECT_EQ(r1, r0 + 1);  // the second marker is on the next row, diagonally
        EXPECT_EQ(std::labs(c1 - c0), 1);
        // Upper-left with lower-right: corners 2 and 0; upper-right with
        // lower-left: corners 3 and 1.
        if (c1 > c0) {
          EXPECT_EQ(corners[0], 2u);
          EXPECT_EQ(corners[1], 0u);
        } else {
          EXPECT_EQ(corners[0], 3u);
          EXPECT_EQ(corners[1], 1u);
        }
      }
    }
  }
}

TEST(CharucoBoard, TooFewSquaresGiveNoCorners) {
  for (const auto& [sx, sy] : {std::pair{0u, 0u}, std::pair{0u, 5u}, std::pair{1u, 7u}, std::pair{5u, 1u},
                               std::pair{1u, 1u}, std::pair{7u, 0u}}) {
    for (const bool legacy : {false, true}) {
      const CharucoBoard b = make_board(sx, sy, 1.0, 0.5, "DICT_4X4_50", legacy);
      EXPECT_EQ(b.corner_count(), 0u) << sx << "x" << sy;
      const std::uint64_t squares = std::uint64_t{sx} * sy;
      const bool even_parity = legacy && sy % 2 == 0;
      EXPECT_EQ(b.marker_count(), even_parity ? squares - squares / 2 : squares / 2) << sx << "x" << sy;
    }
  }
  const CharucoBoard one = make_board(2, 2, 1.0, 0.5);
  ASSERT_EQ(one.corner_count(), 1u);
  EXPECT_EQ(one.chessboard_corners()[0], (BoardPoint{1.0f, 1.0f, 0.0f}));
}

TEST(CharucoBoard, HugeSquareCountsFailWithoutAllocating) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (const auto& [sx, sy] : {std::pair{std::uint64_t{1} << 40, std::uint64_t{1} << 40},
                               std::pair{std::uint64_t{1} << 32, std::uint64_t{1} << 32},  // product overflows
                               std::pair{kMax, kMax}, std::pair{kMax, std::uint64_t{2}},
                               std::pair{std::uint64_t{1}, std::uint64_t{1} << 40},
                               std::pair{std::uint64_t{1} << 36, std::uint64_t{1}}}) {
    for (const bool legacy : {false, true}) {
      const auto b = CharucoBoard::create(sx, sy, 1.0, 0.5, "DICT_4X4_50", std::nullopt, legacy);
      ASSERT_FALSE(b.ok()) << sx << "x" << sy;
      EXPECT_EQ(b.error().kind, ErrorKind::kMemory);
      EXPECT_EQ(b.error().message,
                "CharucoBoard of " + std::to_string(sx) + " x " + std::to_string(sy) + " squares does not fit in memory");
    }
  }
  // No squares along one axis: an empty board, built without visiting the
  // other axis square by square.
  for (const auto& [sx, sy] : {std::pair{std::uint64_t{1} << 40, std::uint64_t{0}},
                               std::pair{std::uint64_t{0}, kMax}}) {
    const CharucoBoard b = make_board(sx, sy, 1.0, 0.5);
    EXPECT_EQ(b.marker_count(), 0u);
    EXPECT_EQ(b.corner_count(), 0u);
  }
}

namespace {

// The lists by the rule itself: every marker offered to every corner in
// marker order against the running reference distance.
NearestMarkerLists find_nearest_markers_by_scan(const BoardGrid& g) {
  NearestMarkerLists lists;
  lists.offsets.push_back(0);
  const float t = 0.01f * g.square_length;
  const double tolerance = static_cast<double>(t * t);
  for (const BoardPoint& p : g.corners) {
    std::vector<std::uint64_t> list;
    double reference = 0.0;
    for (std::uint64_t l = 0; l < g.markers.size(); ++l) {
      const auto centre = board_layout::marker_centre(g.markers[l]);
      const double d = board_layout::squared_distance(p[0], p[1], centre.x, centre.y);
      if (!list.empty() && std::fabs(d - reference) < tolerance) {
        list.push_back(l);
        reference = d;
      } else if (list.empty() || d < reference) {
        list = {l};
        reference = d;
      }
    }
    for (const std::uint64_t l : list) {
      std::uint64_t closest = 0;
      for (std::uint64_t k = 1; k < 4; ++k) {
        const auto& m = g.markers[l];
        if (board_layout::squared_distance(p[0], p[1], m[k][0], m[k][1]) <
            board_layout::squared_distance(p[0], p[1], m[closest][0], m[closest][1])) {
          closest = k;
        }
      }
      lists.markers.push_back(l);
      lists.marker_corners.push_back(closest);
    }
    lists.offsets.push_back(lists.markers.size());
  }
  return lists;
}

}  // namespace

// The neighbourhood search must give exactly the lists of the full scan,
// including boards where it has to fall back to scanning and boards whose
// single-precision rounding breaks the regular two-marker pattern.
TEST(CharucoBoard, NeighbourhoodSearchMatchesFullScan) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Lengths {
    float square, marker;
  };
  const Lengths lengths[] = {{1.0f, 0.5f}, {0.04f, 0.02f}, {0.3f, 0.29f}, {0.3f, 0.0f},  {1.0f, 1.7f},
                             {1.0f, 4.0f}, {1.0f, -1.0f},  {1e-30f, 0.5f}, {1e-10f, 1.0f}, {0.0f, 0.5f},
                             {-1.0f, 0.5f}, {nan, 0.5f},   {1.0f, nan},    {inf, 0.5f},    {3e37f, 1.0f}};
  const std::pair<std::uint64_t, std::uint64_t> sizes[] = {{2, 2}, {3, 2}, {2, 5}, {5, 7}, {8, 8}, {9, 4}};
  for (const auto& [square, marker] : lengths) {
    for (const auto& [sx, sy] : sizes) {
      for (const bool legacy : {false, true}) {
        const CharucoBoard b = make_board(sx, sy, square, marker, "DICT_4X4_50", legacy);
        BoardGrid grid{sx, sy, (legacy && sy % 2 == 0) ? 0u : 1u, b.square_length(), b.marker_length(),
                       b.marker_corners(), b.chessboard_corners()};
        const NearestMarkerLists scanned = find_nearest_markers_by_scan(grid);
        const NearestMarkerLists built = lists_of(b);
        EXPECT_EQ(built.offsets, scanned.offsets) << square << " " << marker << " " << sx << "x" << sy;
        EXPECT_EQ(built.markers, scanned.markers) << square << " " << marker << " " << sx << "x" << sy;
        EXPECT_EQ(built.marker_corners, scanned.marker_corners) << square << " " << marker << " " << sx << "x" << sy;
      }
    }
  }
  // Far from the origin the rounding of single-precision coordinates exceeds
  // the tolerance, and some corners keep a single marker.
  const CharucoBoard wide = make_board(3000, 3, 0.3, 0.2, "DICT_4X4_50");
  BoardGrid grid{3000, 3, 1, wide.square_length(), wide.marker_length(), wide.marker_corners(),
                 wide.chessboard_corners()};
  const NearestMarkerLists scanned = find_nearest_markers_by_scan(grid);
  const NearestMarkerLists built = lists_of(wide);
  EXPECT_EQ(built.offsets, scanned.offsets);
  EXPECT_EQ(built.markers, scanned.markers);
  EXPECT_EQ(built.marker_corners, scanned.marker_corners);
  // Each corner's list holds its two diagonal markers when their centre
  // distances differ by less than (0.01 L)^2, otherwise the nearer one.
  std::map<std::pair<long, long>, std::uint64_t> marker_at;
  for (std::size_t k = 0; k < wide.marker_count(); ++k) marker_at[square_of(wide, k)] = k;
  const float tolerance = 0.01f * wide.square_length();
  auto centre_distance = [&](const BoardPoint& p, std::uint64_t k) {
    float x = 0.0f, y = 0.0f;
    for (const BoardPoint& q : wide.marker_corners()[k]) x += q[0], y += q[1];
    const float dx = p[0] - x * 0.25f, dy = p[1] - y * 0.25f;
    return double{dx} * dx + double{dy} * dy;
  };
  std::size_t single = 0;
  for (std::size_t c = 0; c < wide.corner_count(); ++c) {
    const long row = static_cast<long>(c / 2999) + 1, column = static_cast<long>(c % 2999) + 1;
    std::vector<std::uint64_t> around;
    for (long i = row - 1; i <= row; ++i) {
      for (long j = column - 1; j <= column; ++j) {
        if (marker_at.count({i, j})) around.push_back(marker_at[{i, j}]);
      }
    }
    ASSERT_EQ(around.size(), 2u);
    const BoardPoint& p = wide.chessboard_corners()[c];
    const double d0 = centre_distance(p, around[0]), d1 = centre_distance(p, around[1]);
    std::vector<std::uint64_t> expected = {around[0], around[1]};
    if (!(std::fabs(d1 - d0) < double{tolerance * tolerance})) expected = {d1 < d0 ? around[1] : around[0]};
    const auto list = wide.nearest_markers(c);
    EXPECT_EQ(std::vector<std::uint64_t>(list.begin(), list.end()), expected) << c;
    single += expected.size() == 1;
  }
  EXPECT_GT(single, 100u);
  EXPECT_LT(single, wide.corner_count() / 2);
}

TEST(CharucoBoard, LargeBoardBuildsQuickly) {
  // A million corners: quadratic work would take hours.
  const CharucoBoard b = make_board(1001, 1001, 0.01, 0.007, "DICT_4X4_1000");
  EXPECT_EQ(b.corner_count(), 1000000u);
  EXPECT_EQ(b.marker_count(), 1001u * 1001u / 2);
  EXPECT_EQ(b.nearest_markers(500500).size(), 2u);
}

// ---------------------------------------------------------------------------
// Prediction, windows and filters on synthetic markers

// A 3 x 3 board (L = 1, m = 0.5): markers 0..3 in squares (0, 1), (1, 0),
// (1, 2), (2, 1); corners 0..3 at (1, 1), (2, 1), (1, 2), (2, 2).
struct SyntheticScene {
  CharucoBoard board = make_board(3, 3, 1.0, 0.5, "DICT_4X4_50");
  double scale;
  Point2f origin{100.0f, 80.0f};

  explicit SyntheticScene(double s) : scale(s) {}

  Point2f image_of(float x, float y) const {
    return {static_cast<float>(origin.x + scale * x), static_cast<float>(origin.y + scale * y)};
  }
  DetectedMarker marker(std::size_t k) const {
    DetectedMarker m;
    m.id = static_cast<std::int32_t>(board.ids()[k]);
    for (int i = 0; i < 4; ++i) m.corners[i] = image_of(board.marker_corners()[k][i][0], board.marker_corners()[k][i][1]);
    return m;
  }
  MarkerList all_markers() const {
    MarkerList list;
    for (std::size_t k = 0; k < board.marker_count(); ++k) list.push_back(marker(k));
    return list;
  }
};

TEST(CharucoPrediction, WindowFollowsDistanceToNearestMarkerCorner) {
  EXPECT_EQ(window_for_distance(7.9), 5);
  EXPECT_EQ(window_for_distance(2.5), 1);
  EXPECT_EQ(window_for_distance(40.0), 10);
  EXPECT_EQ(window_for_distance(12.99), 10);
  EXPECT_EQ(window_for_distance(8.0), 6);
  EXPECT_EQ(window_for_distance(0.0), 1);
  EXPECT_EQ(window_for_distance(std::numeric_limits<double>::quiet_NaN()), 1);
  EXPECT_EQ(window_for_distance(1e300), 10);

  // A marker corner lies 0.25 * sqrt(2) board units from its chessboard
  // corner; scale the scene so that this is 7.9, 2.5 and 40 pixels.
  for (const auto& [pixels, window] : {std::pair{7.9, 5}, std::pair{2.5, 1}, std::pair{40.0, 10}}) {
    const SyntheticScene scene(pixels / (0.25 * std::sqrt(2.0)));
    const CharucoPrediction p = predict_corners(scene.board, scene.all_markers());
    ASSERT_EQ(p.corners.size(), 4u);
    for (std::size_t c = 0; c < 4; ++c) {
      const BoardPoint& b = scene.board.chessboard_corners()[c];
      const Point2f expected = scene.image_of(b[0], b[1]);
      EXPECT_NEAR(p.corners[c].x, expected.x, 1e-3);
      EXPECT_NEAR(p.corners[c].y, expected.y, 1e-3);
      EXPECT_EQ(p.windows[c], window) << pixels;
    }
  }
}

TEST(CharucoPrediction, OneMarkerPredictsAloneTwoAreAveragedNoneLeavesMinusOne) {
  const SyntheticScene scene(20.0);
  // Only marker 0: corners 0 and 1 touch it, corners 2 and 3 do not.
  const CharucoPrediction single = predict_corners(scene.board, MarkerList{scene.marker(0)});
  EXPECT_EQ(single.corners[0], scene.image_of(1.0f, 1.0f));
  EXPECT_EQ(single.corners[1], scene.image_of(2.0f, 1.0f));
  EXPECT_EQ(single.corners[2], kUnpredictedCorner);
  EXPECT_EQ(single.corners[3], kUnpredictedCorner);
  EXPECT_EQ(single.windows[2], kNoOwnWindow);
  EXPECT_EQ(single.windows[3], kNoOwnWindow);
  EXPECT_GE(single.windows[0], 1);

  // Marker 1 seen two pixels to the right: corners 0 and 2 (which it
  // touches) move by the mean, one pixel.
  MarkerList shifted = scene.all_markers();
  for (Point2f& p : shifted[1].corners) p.x += 2.0f;
  const CharucoPrediction mean = predict_corners(scene.board, shifted);
  EXPECT_NEAR(mean.corners[0].x, scene.image_of(1.0f, 1.0f).x + 1.0f, 1e-3);
  EXPECT_NEAR(mean.corners[2].x, scene.image_of(1.0f, 2.0f).x + 1.0f, 1e-3);
  EXPECT_NEAR(mean.corners[1].x, scene.image_of(2.0f, 1.0f).x, 1e-3);

  // No markers at all: every corner unpredicted.
  const CharucoPrediction empty = predict_corners(scene.board, MarkerList{});
  EXPECT_EQ(empty.corners, Vec<Point2f>(4, kUnpredictedCorner));
  EXPECT_EQ(empty.windows, Vec<std::int32_t>(4, kNoOwnWindow));
}

TEST(CharucoPrediction, DegenerateMarkersPredictNothingButStillSizeWindows) {
  const SyntheticScene scene(20.0);
  MarkerList markers = scene.all_markers();
  // Marker 1 collapsed to one point: no homography, yet its corner still
  // counts for the window of the corners it touches.
  const Point2f collapsed{scene.origin.x + 21.0f, scene.origin.y + 21.0f};
  markers[1].corners = {collapsed, collapsed, collapsed, collapsed};
  EXPECT_FALSE(marker_homographies(scene.board, markers)[1].has_value());
  const CharucoPrediction p = predict_corners(scene.board, markers);
  const Point2f from_marker_0 = scene.image_of(1.0f, 1.0f);
  EXPECT_NEAR(p.corners[0].x, from_marker_0.x, 1e-3);
  EXPECT_NEAR(p.corners[0].y, from_marker_0.y, 1e-3);
  const double to_marker_0 = 0.25 * std::sqrt(2.0) * 20.0;
  const double to_collapsed = std::hypot(from_marker_0.x - collapsed.x, from_marker_0.y - collapsed.y);
  ASSERT_LT(to_collapsed, 2.0);
  EXPECT_EQ(window_for_distance(to_marker_0), 5);
  EXPECT_EQ(p.windows[0], 1);

  // A marker whose id is not on the board has no homography either.
  DetectedMarker foreign = scene.marker(2);
  foreign.id = 40;
  EXPECT_FALSE(marker_homographies(scene.board, MarkerList{foreign})[0].has_value());
  EXPECT_EQ(predict_corners(scene.board, MarkerList{foreign}).corners, Vec<Point2f>(4, kUnpredictedCorner));

  // A homography is valid only with |det H| > 1e-6: an image scale of s
  // pixels per board unit gives det H = s^2 here.
  for (const auto& [scale, valid] : {std::pair{5e-4, false}, std::pair{2e-3, true}}) {
    const SyntheticScene tiny(scale);
    for (const auto& h : marker_homographies(tiny.board, tiny.all_markers())) EXPECT_EQ(h.has_value(), valid) << scale;
  }

  // Projection: a vanishing third component gives (0, 0).
  Homography h = Homography::Identity();
  h(2, 2) = 0x1p-24;
  EXPECT_EQ(project_board_point(h, 0.0f, 0.0f), (Point2f{0.0f, 0.0f}));
  h(2, 2) = 0x1p-22;
  EXPECT_EQ(project_board_point(h, 1.0f, 0.0f), (Point2f{0x1p22f, 0.0f}));
}

TEST(CharucoPrediction, FirstDetectedMarkerOfAnIdWins) {
  const SyntheticScene scene(20.0);
  MarkerList markers = scene.all_markers();
  DetectedMarker impostor = scene.marker(0);
  for (Point2f& p : impostor.corners) p.y += 5.0f;
  MarkerList late = markers;
  late.push_back(impostor);
  EXPECT_EQ(predict_corners(scene.board, late).corners, predict_corners(scene.board, markers).corners);
  MarkerList early = markers;
  early.insert(early.begin(), impostor);
  const CharucoPrediction moved = predict_corners(scene.board, early);
  EXPECT_NEAR(moved.corners[1].y, scene.image_of(2.0f, 1.0f).y + 2.5f, 1e-3);  // mean of shifted and true
}

TEST(CharucoMarkerCheck, OwnCornerMustBeNearestAndNearerThanOtherMarkers) {
  // Corner 0 lies at (120, 100); it touches marker 0 at its corner 3 (125, 95)
  // and marker 1 at its corner 1 (115, 105). Markers 2 and 3 are centred
  // about 31.6 pixels away.
  const SyntheticScene scene(20.0);
  const MarkerList markers = scene.all_markers();
  const Vec<std::uint64_t> corner0 = {0};
  auto agrees = [&](const MarkerList& m, Point2f p) {
    return corners_agree_with_markers(scene.board, m, Vec<Point2f>{p}, corner0);
  };
  EXPECT_TRUE(agrees(markers, {120.0f, 100.0f}));
  EXPECT_TRUE(agrees(markers, {121.5f, 98.5f}));
  // Nearer to the midpoint of one of the two edges of marker 0 meeting at
  // its corner 3 than to the corner: (125, 90) on the left edge, (130, 95)
  // on the bottom edge.
  EXPECT_FALSE(agrees(markers, {126.0f, 91.0f}));
  EXPECT_FALSE(agrees(markers, {129.0f, 96.0f}));

  // Marker 3 seen right next to the corner: its centre is nearer than the
  // corner's own marker corners.
  MarkerList intruder = markers;
  intruder[3].corners = {{{119.0f, 99.0f}, {123.0f, 99.0f}, {123.0f, 103.0f}, {119.0f, 103.0f}}};
  EXPECT_FALSE(agrees(intruder, {120.0f, 100.0f}));
  // Without its own markers the corner has nothing to compare against.
  EXPECT_TRUE(agrees(MarkerList{intruder[2], intruder[3]}, {120.0f, 100.0f}));
  // The same intruder under an id not on the board is ignored.
  intruder[3].id = 99;
  EXPECT_TRUE(agrees(intruder, {120.0f, 100.0f}));
  // Every detected marker of an own id is checked, not only the first.
  MarkerList repeated = markers;
  DetectedMarker copy = markers[0];
  for (Point2f& q : copy.corners) q.x += 30.0f;
  repeated.push_back(copy);
  EXPECT_FALSE(agrees(repeated, {120.0f, 100.0f}));
}

TEST(CharucoDetection, BorderFilterRoundsHalfToEven) {
  EXPECT_TRUE(inside_border({2.0f, 2.0f}, 100, 50));
  EXPECT_TRUE(inside_border({1.5f, 10.0f}, 100, 50));   // rounds to 2
  EXPECT_FALSE(inside_border({1.49f, 10.0f}, 100, 50));
  EXPECT_FALSE(inside_border({10.0f, 0.5f}, 100, 50));  // rounds to 0
  EXPECT_TRUE(inside_border({97.49f, 47.49f}, 100, 50));
  EXPECT_TRUE(inside_border({96.5f, 10.0f}, 100, 50));   // rounds to 96
  EXPECT_FALSE(inside_border({97.5f, 10.0f}, 100, 50));  // rounds to 98 = width - 2
  EXPECT_TRUE(inside_border({10.0f, 2.5f}, 100, 50));    // rounds to 2
  EXPECT_TRUE(inside_border({98.5f, 10.0f}, 101, 50));   // rounds to 98, not 99 = width - 2
  EXPECT_FALSE(inside_border({99.5f, 10.0f}, 101, 50));  // rounds to 100
  EXPECT_FALSE(inside_border({10.0f, 48.0f}, 100, 50));
  EXPECT_FALSE(inside_border(kUnpredictedCorner, 100, 50));
  EXPECT_FALSE(inside_border({std::numeric_limits<float>::quiet_NaN(), 10.0f}, 100, 50));
  EXPECT_FALSE(inside_border({2.0f, 2.0f}, 4, 4));  // nothing fits
  EXPECT_FALSE(inside_border({2.0f, 2.0f}, 0, 0));
}

TEST(CharucoDetection, MinMarkersIsCheckedAsUnsigned) {
  EXPECT_EQ(check_min_markers(0), nullptr);
  EXPECT_EQ(check_min_markers(2), nullptr);
  for (const std::int32_t bad : {3, -1, std::numeric_limits<std::int32_t>::min()}) {
    ASSERT_NE(check_min_markers(bad), nullptr);
    EXPECT_STREQ(check_min_markers(bad), "min_markers must be 0, 1 or 2");
    const auto r = detect_charuco_board(GrayImage(10, 10, 255), make_board(3, 3, 1, 0.5), DetectorParameters{}, bad, true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message, "min_markers must be 0, 1 or 2");
  }
  // The marker detector's own error comes through.
  DetectorParameters zero_step;
  zero_step.adaptive_thresh_win_size_step = 0;
  EXPECT_FALSE(detect_charuco_board(GrayImage(10, 10, 255), make_board(3, 3, 1, 0.5), zero_step, 2, true).ok());
}

// ---------------------------------------------------------------------------
// Rendered boards

struct RenderedBoard {
  CharucoBoard board;
  PinholeView view;
  Homography h;
  GrayImage image;
  std::vector<Point2f> truth;
};

// The board seen by a pinhole camera of focal length `f` whose axis meets
// the board centre at `distance`, tilted by `rvec`.
PinholeView centred_view(const CharucoBoard& board, const Vector3& rvec, double distance, double f,
                         std::uint32_t width, std::uint32_t height) {
  PinholeView view;
  view.fx = view.fy = f;
  view.cx = (width - 1) / 2.0;
  view.cy = (height - 1) / 2.0;
  const Matrix3 r = rotation_matrix(rvec);
  const BoardPoint e = board.extent();
  const double centre[2] = {e[0] / 2.0, e[1] / 2.0};
  view.pose.rvec = rvec;
  for (int i = 0; i < 3; ++i) view.pose.tvec[i] = (i == 2 ? distance : 0.0) - (r[i][0] * centre[0] + r[i][1] * centre[1]);
  return view;
}

RenderedBoard render(CharucoBoard board, const Vector3& rvec, double distance, double f = 600.0,
                     const BoardDrawing& drawing = {}, std::uint32_t width = 640, std::uint32_t height = 480) {
  RenderedBoard r{std::move(board), {}, {}, {}, {}};
  r.view = centred_view(r.board, rvec, distance, f, width, height);
  r.h = view_homography(r.view);
  r.image = render_board(r.board, r.h, width, height, drawing);
  r.truth = true_corners(r.board, r.h);
  return r;
}

CharucoDetection detect(const RenderedBoard& r, std::int32_t min_markers = 2, bool check = true,
                        const DetectorParameters& params = {}) {
  auto found = detect_charuco_board(r.image, r.board, params, min_markers, check);
  EXPECT_TRUE(found.ok());
  return found.ok() ? std::move(found.value()) : CharucoDetection{};
}

double largest_error(const CharucoDetection& d, const std::vector<Point2f>& truth) {
  double worst = 0.0;
  for (std::size_t i = 0; i < d.charuco_ids.size(); ++i) {
    worst = std::max(worst, exact_distance(d.charuco_corners[i], truth[d.charuco_ids[i]]));
  }
  return worst;
}

bool strictly_increasing(const Vec<std::uint64_t>& ids) {
  return std::adjacent_find(ids.begin(), ids.end(), [](auto a, auto b) { return a >= b; }) == ids.end();
}

std::vector<std::uint64_t> all_ids(std::size_t n) {
  std::vector<std::uint64_t> ids(n);
  for (std::size_t k = 0; k < n; ++k) ids[k] = k;
  return ids;
}

std::vector<std::uint64_t> as_vector(const Vec<std::uint64_t>& v) { return {v.begin(), v.end()}; }

DetectorParameters small_markers() {
  DetectorParameters p;
  p.min_side_length_canonical_img = 0;  // contour length limit from the image size
  return p;
}

TEST(CharucoRendered, EveryCornerFoundWithSubPixelAccuracy) {
  struct Scene {
    RenderedBoard rendered;
    DetectorParameters params;
  };
  std::vector<Scene> scenes;
  scenes.push_back({render(make_board(5, 7, 0.04, 0.024, "DICT_6X6_250"), {0.1, -0.15, 1.5}, 0.42, 700.0), {}});
  scenes.push_back({render(make_board(6, 4, 0.05, 0.03, "DICT_4X4_50", true), {0.45, 0.25, 0.3}, 0.5, 650.0),
                    small_markers()});
  scenes.push_back({render(make_board(8, 6, 0.03, 0.018, "DICT_5X5_100"), {-0.3, 0.4, 0.5}, 0.42, 650.0),
                    small_markers()});
  scenes.push_back({render(make_board(4, 4, 0.06, 0.036, "DICT_APRILTAG_36h11"), {0.0, 0.7, -0.4}, 0.5, 700.0), {}});
  for (const Scene& scene : scenes) {
    const RenderedBoard& r = scene.rendered;
    SCOPED_TRACE(std::to_string(r.board.squares_x()) + "x" + std::to_string(r.board.squares_y()));
    const CharucoDetection d = detect(r, 2, true, scene.params);
    EXPECT_EQ(d.markers.size(), r.board.marker_count());
    EXPECT_EQ(as_vector(d.charuco_ids), all_ids(r.board.corner_count()));
    EXPECT_TRUE(strictly_increasing(d.charuco_ids));
    EXPECT_LT(largest_error(d, r.truth), 0.1);
  }
}

RenderedBoard five_by_seven(const BoardDrawing& drawing = {}) {
  return render(make_board(5, 7, 0.04, 0.024, "DICT_6X6_250"), {0.1, -0.15, 1.5}, 0.42, 700.0, drawing);
}

// Corners touching marker k.
std::vector<std::uint64_t> corners_of_marker(const CharucoBoard& b, std::uint64_t k) {
  std::vector<std::uint64_t> out;
  for (std::size_t c = 0; c < b.corner_count(); ++c) {
    const auto m = b.nearest_markers(c);
    if (std::find(m.begin(), m.end(), k) != m.end()) out.push_back(c);
  }
  return out;
}

TEST(CharucoRendered, BoardPoseMatchesTheRenderingPose) {
  const RenderedBoard r = five_by_seven();
  const CharucoDetection d = detect(r);
  ASSERT_EQ(d.charuco_ids.size(), 24u);
  Vec<Point2> corners;
  Vec<std::int64_t> ids;
  for (std::size_t i = 0; i < d.charuco_ids.size(); ++i) {
    corners.push_back({d.charuco_corners[i].x, d.charuco_corners[i].y});
    ids.push_back(static_cast<std::int64_t>(d.charuco_ids[i]));
  }
  const Vec<Vec<double>> camera = {Vec<double>{r.view.fx, 0.0, r.view.cx}, Vec<double>{0.0, r.view.fy, r.view.cy},
                                    Vec<double>{0.0, 0.0, 1.0}};
  const auto pose = estimate_charuco_board_pose(corners, ids, r.board.chessboard_corners(), camera, std::nullopt);
  ASSERT_TRUE(pose.ok());
  ASSERT_TRUE(pose.value().has_value());
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR((*pose.value()).rvec[i], r.view.pose.rvec[i], 2e-3) << i;
    EXPECT_NEAR((*pose.value()).tvec[i], r.view.pose.tvec[i], 5e-4) << i;
  }
}

TEST(CharucoRendered, CornersOfAnOccludedMarkerNeedMinMarkersBelowTwo) {
  BoardDrawing drawing;
  drawing.drawn_ids = std::vector<std::int64_t>(17);
  for (std::size_t k = 0; k < 17; ++k) drawing.drawn_ids[k] = static_cast<std::int64_t>(k);
  drawing.drawn_ids[8] = -1;  // marker 8 covered by white paper
  const RenderedBoard r = five_by_seven(drawing);
  const std::vector<std::uint64_t> lonely = corners_of_marker(r.board, 8);
  ASSERT_EQ(lonely.size(), 4u);
  std::vector<std::uint64_t> confirmed;
  for (std::uint64_t c : all_ids(24)) {
    if (std::find(lonely.begin(), lonely.end(), c) == lonely.end()) confirmed.push_back(c);
  }
  for (const bool check : {false, true}) {
    for (const std::int32_t min_markers : {0, 1, 2}) {
      const CharucoDetection d = detect(r, min_markers, check);
      SCOPED_TRACE("min_markers " + std::to_string(min_markers) + (check ? " checked" : ""));
      EXPECT_EQ(d.markers.size(), 16u);
      EXPECT_EQ(as_vector(d.charuco_ids), min_markers < 2 ? all_ids(24) : confirmed);
      // Predicted from one marker alone, the lonely corners still refine
      // onto the true corner.
      EXPECT_LT(largest_error(d, r.truth), 0.1);
    }
  }
}

TEST(CharucoRendered, MisplacedMarkerFailsTheMarkerCheck) {
  BoardDrawing drawing;
  drawing.drawn_ids = std::vector<std::int64_t>(17);
  for (std::size_t k = 0; k < 17; ++k) drawing.drawn_ids[k] = static_cast<std::int64_t>(k);
  std::swap(drawing.drawn_ids[3], drawing.drawn_ids[13]);  // printed in each other's square
  const RenderedBoard r = five_by_seven(drawing);

  const CharucoDetection checked = detect(r, 2, true);
  EXPECT_EQ(checked.markers.size(), 17u);
  EXPECT_TRUE(checked.charuco_corners.empty());
  EXPECT_TRUE(checked.charuco_ids.empty());

  const CharucoDetection unchecked = detect(r, 2, false);
  EXPECT_EQ(unchecked.markers.size(), 17u);
  ASSERT_FALSE(unchecked.charuco_ids.empty());
  EXPECT_TRUE(strictly_increasing(unchecked.charuco_ids));
  EXPECT_GT(largest_error(unchecked, r.truth), 3.0);  // some corners really are wrong
}

TEST(CharucoRendered, MarkersNotOnTheBoardAreReportedButIgnored) {
  const RenderedBoard r = five_by_seven();
  const CharucoDetection plain = detect(r);
  ASSERT_EQ(plain.charuco_ids.size(), 24u);
  // A foreign marker centred on corner 5: were it taken for a board marker,
  // the marker check would find it nearer than the corner's own markers.
  DetectedMarker foreign;
  foreign.id = 100;
  const Point2f at = r.truth[5];
  foreign.corners = {{{at.x - 3, at.y - 3}, {at.x + 3, at.y - 3}, {at.x + 3, at.y + 3}, {at.x - 3, at.y + 3}}};
  MarkerList markers = plain.markers;
  markers.insert(markers.begin(), foreign);
  const CharucoDetection d = interpolate_charuco_corners(r.image, r.board, markers, DetectorParameters{}, 2, true);
  EXPECT_EQ(d.charuco_ids, plain.charuco_ids);
  EXPECT_EQ(d.charuco_corners, plain.charuco_corners);
  ASSERT_EQ(d.markers.size(), 18u);
  EXPECT_EQ(d.markers[0].id, 100);

  // The same marker under a board id does condemn the detection.
  markers[0].id = plain.markers.back().id;
  MarkerList late(markers.begin() + 1, markers.end());
  late.push_back(markers[0]);
  EXPECT_TRUE(interpolate_charuco_corners(r.image, r.board, late, DetectorParameters{}, 2, true).charuco_ids.empty());
}

TEST(CharucoRendered, MarkerIdsComeFromTheBoard) {
  std::vector<std::uint64_t> ids(17);
  for (std::size_t k = 0; k < 17; ++k) ids[k] = 200 - 3 * k;
  auto board = CharucoBoard::create(5, 7, 0.04, 0.024, "DICT_6X6_250", ids, false);
  ASSERT_TRUE(board.ok());
  const RenderedBoard r = render(std::move(board.value()), {0.1, -0.15, 1.5}, 0.42, 700.0);
  const CharucoDetection d = detect(r);
  EXPECT_EQ(d.markers.size(), 17u);
  EXPECT_EQ(as_vector(d.charuco_ids), all_ids(24));
  EXPECT_LT(largest_error(d, r.truth), 0.1);
  // Read with the default numbering (ids 0..16), the same markers are not on
  // the board.
  const CharucoBoard numbered = make_board(5, 7, 0.04, 0.024, "DICT_6X6_250");
  const auto other = detect_charuco_board(r.image, numbered, DetectorParameters{}, 2, true);
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(other.value().markers.size(), 17u);
  EXPECT_TRUE(other.value().charuco_ids.empty());
}

TEST(CharucoRendered, CornersNearTheImageBorderAreDropped) {
  RenderedBoard r{make_board(5, 7, 0.04, 0.024, "DICT_6X6_250"), {}, {}, {}, {}};
  r.view = centred_view(r.board, {0.1, -0.15, 1.5}, 0.42, 700.0, 640, 480);
  r.view.cx -= 215.0;  // the left part of the board leaves the image
  r.h = view_homography(r.view);
  r.image = render_board(r.board, r.h, 640, 480);
  r.truth = true_corners(r.board, r.h);

  const CharucoPrediction p = predict_charuco_corners(r.image, r.board);
  ASSERT_EQ(p.corners.size(), 24u);
  std::size_t predicted_outside = 0;
  for (std::size_t c = 0; c < 24; ++c) {
    if (p.corners[c] == kUnpredictedCorner) continue;
    EXPECT_LT(exact_distance(p.corners[c], r.truth[c]), 2.0) << c;  // from unrefined marker corners
    EXPECT_GE(p.windows[c], 1);
    EXPECT_LE(p.windows[c], 10);
    predicted_outside += !inside_border(p.corners[c], 640, 480);
  }
  EXPECT_GT(predicted_outside, 0u);  // predicted, then filtered

  const CharucoDetection d = detect(r, 0, true);
  ASSERT_FALSE(d.charuco_ids.empty());
  EXPECT_LT(d.charuco_ids.size(), 24u);
  for (std::size_t i = 0; i < d.charuco_ids.size(); ++i) {
    EXPECT_TRUE(inside_border(p.corners[d.charuco_ids[i]], 640, 480));
    EXPECT_LT(exact_distance(d.charuco_corners[i], r.truth[d.charuco_ids[i]]), 0.1);
  }
}

TEST(CharucoRendered, NoMarkersNoCorners) {
  const CharucoBoard board = make_board(5, 7, 0.04, 0.024);
  const GrayImage blank(320, 240, 200);
  const auto d = detect_charuco_board(blank, board, DetectorParameters{}, 0, false);
  ASSERT_TRUE(d.ok());
  EXPECT_TRUE(d.value().markers.empty());
  EXPECT_TRUE(d.value().charuco_ids.empty());
  const CharucoPrediction p = predict_charuco_corners(blank, board);
  EXPECT_EQ(p.corners, Vec<Point2f>(24, kUnpredictedCorner));
  EXPECT_EQ(p.windows, Vec<std::int32_t>(24, kNoOwnWindow));
  // A board without corners predicts nothing and finds nothing.
  const CharucoBoard strip = make_board(5, 1, 0.04, 0.024);
  EXPECT_TRUE(predict_charuco_corners(five_by_seven().image, strip).corners.empty());
}

// ---------------------------------------------------------------------------
// Photographs (tests/data/charuco, see its README)

// Root-mean-square distance between the corners and the board corners
// projected with the pose estimated from them, through the photographs' camera.
double reprojection_rms(const CharucoBoard& board, const CharucoDetection& d) {
  const Vec<Vec<double>> camera = {Vec<double>{452.511, 0.0, 317.703}, Vec<double>{0.0, 456.767, 277.752},
                                   Vec<double>{0.0, 0.0, 1.0}};
  const Vec<double> distortion = {0.121369, -1.085466, 0.000117868, -0.000462407, 2.954259};
  Vec<Point2> corners;
  Vec<std::int64_t> ids;
  Vec<Point3> object;
  for (std::size_t i = 0; i < d.charuco_ids.size(); ++i) {
    corners.push_back({d.charuco_corners[i].x, d.charuco_corners[i].y});
    ids.push_back(static_cast<std::int64_t>(d.charuco_ids[i]));
    const BoardPoint& p = board.chessboard_corners()[d.charuco_ids[i]];
    object.push_back({p[0], p[1], p[2]});
  }
  const auto pose = estimate_charuco_board_pose(corners, ids, board.chessboard_corners(), camera,
                                                std::span<const double>(distortion));
  if (!pose.ok() || !pose.value()) return std::numeric_limits<double>::infinity();
  const Vec<Point2> projected =
      project_points(object, *pose.value(), parse_camera_model(camera, std::span<const double>(distortion)).value());
  double sum = 0.0;
  for (std::size_t i = 0; i < corners.size(); ++i) {
    sum += std::pow(projected[i][0] - corners[i][0], 2) + std::pow(projected[i][1] - corners[i][1], 2);
  }
  return std::sqrt(sum / static_cast<double>(corners.size()));
}

std::vector<std::int32_t> sorted_marker_ids(const MarkerList& markers) {
  std::vector<std::int32_t> ids;
  for (const auto& m : markers) ids.push_back(m.id);
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The markers of these photographs are about 30 pixels wide, below the
// default contour length limit, so the limit follows the image size.
TEST(CharucoPhotograph, WholeBoardFound) {
  const auto image = read_pgm(data_dir() / "charuco" / "choriginal.pgm");
  ASSERT_TRUE(image.has_value());
  const CharucoBoard board = make_board(5, 7, 0.04, 0.02, "DICT_6X6_250");
  const auto d = detect_charuco_board(*image, board, small_markers(), 2, true);
  ASSERT_TRUE(d.ok());
  std::vector<std::int32_t> expected_markers(17);
  for (std::int32_t k = 0; k < 17; ++k) expected_markers[k] = k;
  EXPECT_EQ(sorted_marker_ids(d.value().markers), expected_markers);
  EXPECT_EQ(as_vector(d.value().charuco_ids), all_ids(24));
  EXPECT_LT(reprojection_rms(board, d.value()), 0.35);
}

TEST(CharucoPhotograph, PartlyOccludedBoard) {
  const auto image = read_pgm(data_dir() / "charuco" / "chocclusion.pgm");
  ASSERT_TRUE(image.has_value());
  const CharucoBoard board = make_board(5, 7, 0.04, 0.02, "DICT_6X6_250");
  const auto d = detect_charuco_board(*image, board, small_markers(), 2, true);
  ASSERT_TRUE(d.ok());
  // A mouse hides markers 11, 13, 14 and 16 and the corners round them.
  EXPECT_EQ(sorted_marker_ids(d.value().markers), (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 15}));
  EXPECT_EQ(as_vector(d.value().charuco_ids),
            (std::vector<std::uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16, 20}));
  EXPECT_LT(reprojection_rms(board, d.value()), 0.35);
}

}  // namespace
