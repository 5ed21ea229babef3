#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "charuco/board.hpp"
#include "code_bits.hpp"
#include "dictionary/dictionary.hpp"
#include "render/board_image.hpp"
#include "render/marker_image.hpp"

using namespace morvelin;

namespace {

using Bits = std::vector<std::vector<int>>;

// Reads the data cells of a marker image whose cells are `cell` pixels
// square, after turning the image `quarter_turns` times counter-clockwise.
Bits read_cells(const GrayImage& image, std::uint32_t n, std::uint32_t border, std::uint32_t cell, int quarter_turns) {
  Bits m(n, std::vector<int>(n));
  const std::uint32_t side = image.width;
  for (std::uint32_t i = 0; i < n; ++i) {
    for (std::uint32_t j = 0; j < n; ++j) {
      std::uint32_t y = (i + border) * cell + cell / 2, x = (j + border) * cell + cell / 2;
      for (int t = 0; t < quarter_turns; ++t) {  // turned image (y, x) = original (x, side - 1 - y)
        const std::uint32_t oy = x, ox = side - 1 - y;
        y = oy;
        x = ox;
      }
      m[i][j] = image.at(x, y) == 255 ? 1 : 0;
    }
  }
  return m;
}

const std::string_view kNames[] = {"DICT_4X4_50", "DICT_5X5_100", "DICT_6X6_250", "DICT_7X7_1000",
                                   "DICT_ARUCO_ORIGINAL", "DICT_APRILTAG_36h11"};

}  // namespace

TEST(MarkerImage, CellsMatchEveryStoredRotation) {
  for (std::string_view name : kNames) {
    const Dictionary d = *lookup_dictionary(name);
    const std::uint32_t n = d.marker_size, cell = 7;
    for (std::size_t id : {std::size_t{0}, std::size_t{1}, d.size() - 1}) {
      const Result<GrayImage> image = render_marker_image(d, name, static_cast<std::int64_t>(id), (n + 2) * cell, 1);
      ASSERT_TRUE(image) << name;
      // Turning the printed marker reproduces the table's own rotated blocks.
      for (int r = 0; r < 4; ++r) EXPECT_EQ(read_cells(*image, n, 1, cell, r), morvelin::testing::code_bits(d, id, r)) << name << id << r;
      // Every pixel of a cell has the cell's colour; the border ring is black.
      for (std::uint32_t y = 0; y < image->height; ++y) {
        for (std::uint32_t x = 0; x < image->width; ++x) {
          const std::uint32_t ci = y / cell, cj = x / cell;
          const bool border = ci == 0 || cj == 0 || ci == n + 1 || cj == n + 1;
          const int expected = border ? 0 : morvelin::testing::code_bits(d, id, 0)[ci - 1][cj - 1] * 255;
          ASSERT_EQ(image->at(x, y), expected) << name << " " << x << "," << y;
        }
      }
    }
  }
}

TEST(MarkerImage, UnevenSidesAndWideBorders) {
  const Dictionary d = *lookup_dictionary("DICT_4X4_50");
  // 6 cells over 50 pixels: every cell centre shows its bit, and the black
  // border is at least 8 pixels wide everywhere.
  const Result<GrayImage> uneven = render_marker_image(d, "DICT_4X4_50", 3, 50, 1);
  ASSERT_TRUE(uneven);
  const Bits bits = morvelin::testing::code_bits(d, 3, 0);
  for (std::uint32_t i = 0; i < 4; ++i) {
    for (std::uint32_t j = 0; j < 4; ++j) {
      const auto x = static_cast<std::uint32_t>((j + 1.5) * 50 / 6), y = static_cast<std::uint32_t>((i + 1.5) * 50 / 6);
      EXPECT_EQ(uneven->at(x, y), bits[i][j] * 255) << i << j;
    }
  }
  for (std::uint32_t k = 0; k < 50; ++k) {
    for (std::uint32_t t = 0; t < 8; ++t) {
      EXPECT_EQ(uneven->at(k, t), 0);
      EXPECT_EQ(uneven->at(t, k), 0);
      EXPECT_EQ(uneven->at(k, 49 - t), 0);
      EXPECT_EQ(uneven->at(49 - t, k), 0);
    }
  }
  // A border of 2 cells: 8 cells of 5 pixels, the outer 10 pixels black, the
  // data read at the same place as with a 1-cell border.
  const Result<GrayImage> wide = render_marker_image(d, "DICT_4X4_50", 3, 40, 2);
  ASSERT_TRUE(wide);
  for (std::uint32_t k = 0; k < 40; ++k) {
    for (std::uint32_t t = 0; t < 10; ++t) EXPECT_EQ(wide->at(k, t), 0);
  }
  EXPECT_EQ(read_cells(*wide, 4, 2, 5, 0), morvelin::testing::code_bits(d, 3, 0));
}

TEST(MarkerImage, RejectsBadArguments) {
  const Dictionary d = *lookup_dictionary("DICT_6X6_250");
  auto message = [&](std::int64_t id, std::int64_t side, std::int64_t border) {
    const Result<GrayImage> r = render_marker_image(d, "DICT_6X6_250", id, side, border);
    EXPECT_FALSE(r);
    return r ? std::string() : r.error().message;
  };
  EXPECT_EQ(message(250, 80, 1), "id 250 is out of range for DICT_6X6_250 (0 to 249)");
  EXPECT_EQ(message(-1, 80, 1), "id -1 is out of range for DICT_6X6_250 (0 to 249)");
  EXPECT_EQ(message(0, 80, 0), "border_bits must be at least 1, got 0");
  EXPECT_EQ(message(0, 7, 1),
            "side_pixels must be at least 8 (one pixel per cell of the 6x6 marker and its border of 1), got 7");
  EXPECT_NE(message(0, 100, INT64_MAX).find("at least more than"), std::string::npos);
  EXPECT_EQ(message(0, std::int64_t{1} << 32, 1), "side_pixels must be at most 4294967295, got 4294967296");
  EXPECT_TRUE(render_marker_image(d, "DICT_6X6_250", 0, 8, 1));  // one pixel per cell is enough
  // Far more than any memory holds: an error value, not an attempt.
  const Result<GrayImage> huge = render_marker_image(d, "DICT_6X6_250", 0, (std::int64_t{1} << 32) - 1, 1);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().kind, ErrorKind::kMemory);
}

TEST(BoardImage, LayoutFollowsTheBoardModel) {
  // 100 pixels per square, markers of 60 pixels (10 per cell) inset by 20.
  const CharucoBoard board = *CharucoBoard::create(5, 7, 1.0, 0.6, "DICT_4X4_50", std::nullopt, false);
  const Result<GrayImage> image = render_charuco_board_image(board, 500, 700, 0);
  ASSERT_TRUE(image);
  const Dictionary d = *lookup_dictionary("DICT_4X4_50");
  std::size_t marker = 0;
  for (std::uint32_t i = 0; i < 7; ++i) {
    for (std::uint32_t j = 0; j < 5; ++j) {
      const std::uint32_t x0 = j * 100, y0 = i * 100;
      if ((i + j) % 2 == 0) {  // dark square, (0, 0) among them
        for (std::uint32_t t = 0; t < 100; t += 9) EXPECT_EQ(image->at(x0 + t, y0 + 99 - t), 0) << i << j;
        continue;
      }
      const Result<GrayImage> expected = render_marker_image(d, "DICT_4X4_50", static_cast<std::int64_t>(marker++), 60, 1);
      for (std::uint32_t y = 0; y < 100; ++y) {
        for (std::uint32_t x = 0; x < 100; ++x) {
          const bool in_marker = x >= 20 && x < 80 && y >= 20 && y < 80;
          const int want = in_marker ? expected->at(x - 20, y - 20) : 255;
          ASSERT_EQ(image->at(x0 + x, y0 + y), want) << i << "," << j << " " << x << "," << y;
        }
      }
    }
  }
  EXPECT_EQ(marker, board.marker_count());
}

TEST(BoardImage, LegacyPatternCentringAndMargins) {
  const CharucoBoard legacy = *CharucoBoard::create(5, 4, 1.0, 0.6, "DICT_4X4_50", std::nullopt, true);
  const CharucoBoard modern = *CharucoBoard::create(5, 4, 1.0, 0.6, "DICT_4X4_50", std::nullopt, false);
  const GrayImage a = *render_charuco_board_image(legacy, 500, 400, 0);
  const GrayImage b = *render_charuco_board_image(modern, 500, 400, 0);
  EXPECT_EQ(a.at(5, 5), 255);  // white margin of marker 0's square
  EXPECT_EQ(a.at(20, 20), 0);  // marker 0's black border
  EXPECT_EQ(b.at(5, 5), 0);    // dark square
  EXPECT_EQ(b.at(105, 5), 255);

  // A 5 x 4 board in 1000 x 500 with a margin of 50: 100 pixels per square,
  // board centred horizontally at x from 250 to 750.
  const Result<BoardPlacement> place = place_charuco_board(modern, 1000, 500, 50);
  ASSERT_TRUE(place);
  EXPECT_DOUBLE_EQ(place->scale, 100.0);
  EXPECT_DOUBLE_EQ(place->offset_x, 250.0);
  EXPECT_DOUBLE_EQ(place->offset_y, 50.0);
  const GrayImage c = *render_charuco_board_image(modern, 1000, 500, 50);
  for (std::uint32_t y = 0; y < 500; y += 7) {
    EXPECT_EQ(c.at(249, y), 255);
    EXPECT_EQ(c.at(750, y), 255);
  }
  for (std::uint32_t x = 0; x < 1000; x += 7) {
    EXPECT_EQ(c.at(x, 49), 255);
    EXPECT_EQ(c.at(x, 450), 255);
  }
  EXPECT_EQ(c.at(250, 50), 0);
  EXPECT_EQ(c.at(649, 449), 0);    // square (3, 3) is dark
  EXPECT_EQ(c.at(749, 449), 255);  // square (3, 4) holds a marker
}

TEST(BoardImage, RejectsBoardsAndSizesItCannotDraw) {
  auto error_of = [](const CharucoBoard& board, std::int64_t w, std::int64_t h, std::int64_t m) {
    const Result<GrayImage> r = render_charuco_board_image(board, w, h, m);
    EXPECT_FALSE(r);
    return r ? std::string() : r.error().message;
  };
  const CharucoBoard board = *CharucoBoard::create(5, 7, 1.0, 0.6, "DICT_4X4_50", std::nullopt, false);
  EXPECT_EQ(error_of(board, 0, 700, 0), "width and height must be between 1 and 4294967295, got 0 x 700");
  EXPECT_EQ(error_of(board, 500, 700, -1), "margin_pixels must not be negative, got -1");
  EXPECT_EQ(error_of(board, 500, 700, 250), "margin_pixels 250 leaves no room for the board in 500 x 700 pixels");
  EXPECT_TRUE(render_charuco_board_image(board, 50, 70, 0));  // one pixel per cell
  EXPECT_NE(error_of(board, 40, 56, 0).find("less than one pixel per marker cell"), std::string::npos);
  const std::uint64_t big_ids[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 60};
  const CharucoBoard foreign = *CharucoBoard::create(5, 7, 1.0, 0.6, "DICT_4X4_50", big_ids, false);
  EXPECT_EQ(error_of(foreign, 500, 700, 0), "marker id 60 is out of range for DICT_4X4_50 (0 to 49)");
  const CharucoBoard empty = *CharucoBoard::create(0, 7, 1.0, 0.6, "DICT_4X4_50", std::nullopt, false);
  EXPECT_EQ(error_of(empty, 500, 700, 0), "a board without squares cannot be drawn");
  const CharucoBoard oversized = *CharucoBoard::create(5, 7, 1.0, 1.5, "DICT_4X4_50", std::nullopt, false);
  EXPECT_NE(error_of(oversized, 500, 700, 0).find("marker_length <= square_length"), std::string::npos);
  const Result<GrayImage> huge = render_charuco_board_image(board, 4294967295, 4294967295, 0);
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().kind, ErrorKind::kMemory);
}
