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
#include <optional>
#include <string>
#include <vector>

#include "charuco/board.hpp"
#include "charuco/charuco_detection.hpp"
#include "charuco/corner_prediction.hpp"
#include "charuco/nearest_markers.hpp"
#include "charuco_rendering.hpp"
#include "pose/board_pose.hpp"
#include "pose/projection.hpp"

using namespace morvelin;
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
  std::size_t single = 0;
  for (std::size_t c = 0; c < wide.corner_count(); ++c) single += wide.nearest_markers(c).size() == 1;
  EXPECT_GT(single, 0u);
}

TEST(CharucoBoard, LargeBoardBuildsQuickly) {
  // A million corners: quadratic work would take hours.
  const CharucoBoard b = make_board(1001, 1001, 0.01, 0.007, "DICT_4X4_1000");
  EXPECT_EQ(b.corner_count(), 1000000u);
  EXPECT_EQ(b.marker_count(), 1001u * 1001u / 2);
  EXPECT_EQ(b.nearest_markers(500500).size(), 2u);
}

}  // namespace
