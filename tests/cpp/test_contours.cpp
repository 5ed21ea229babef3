#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "contours/border_following.hpp"

using namespace morvelin;

namespace {

using Points = std::vector<ContourPoint>;

std::vector<Points> trace(BinaryImage& image) {
  std::vector<Points> contours;
  trace_all_borders(image, [&](std::span<const ContourPoint> c) { contours.emplace_back(c.begin(), c.end()); });
  return contours;
}

void fill(BinaryImage& image, int x0, int y0, int x1, int y1, std::int8_t value) {
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) image.at(x, y) = value;
  }
}

bool are_neighbours(ContourPoint a, ContourPoint b) {
  return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1 && !(a == b);
}

}  // namespace

TEST(BorderFollowing, FilledSquareIsTracedOnceFromTopLeftDownwards) {
  BinaryImage image(30, 30);
  fill(image, 5, 5, 14, 14, 1);
  const auto contours = trace(image);
  ASSERT_EQ(contours.size(), 1u);
  const Points& c = contours[0];
  ASSERT_EQ(c.size(), 36u);
  // Down the left column, along the bottom, up the right, back along the top.
  Points expected;
  for (int y = 5; y <= 14; ++y) expected.push_back({5, y});
  for (int x = 6; x <= 14; ++x) expected.push_back({x, 14});
  for (int y = 13; y >= 5; --y) expected.push_back({14, y});
  for (int x = 13; x >= 6; --x) expected.push_back({x, 5});
  EXPECT_EQ(c, expected);
  // Right column marked -2 (background to the right), the rest of the border 2.
  EXPECT_EQ(image.at(14, 9), -2);
  EXPECT_EQ(image.at(5, 9), 2);
  EXPECT_EQ(image.at(9, 14), 2);
  EXPECT_EQ(image.at(9, 9), 1);
}

TEST(BorderFollowing, HoleBorderStartsLeftOfTheHole) {
  BinaryImage image(30, 30);
  fill(image, 5, 5, 14, 14, 1);
  fill(image, 8, 8, 10, 10, 0);
  const auto contours = trace(image);
  ASSERT_EQ(contours.size(), 2u);
  EXPECT_EQ(contours[0].size(), 36u);
  const Points& hole = contours[1];
  ASSERT_EQ(hole.size(), 12u);
  EXPECT_EQ(hole[0], (ContourPoint{7, 8}));
  EXPECT_EQ(hole[1], (ContourPoint{8, 7}));
  EXPECT_EQ(hole[2], (ContourPoint{9, 7}));
  for (std::size_t i = 0; i < hole.size(); ++i) {
    EXPECT_TRUE(are_neighbours(hole[i], hole[(i + 1) % hole.size()])) << i;
  }
}

TEST(BorderFollowing, ComponentInColumnZeroIsTracedOnceByTheHoleRule) {
  BinaryImage image(20, 20);
  fill(image, 0, 5, 5, 14, 1);
  const auto contours = trace(image);
  ASSERT_EQ(contours.size(), 1u);
  const Points& c = contours[0];
  ASSERT_EQ(c.size(), 28u);
  EXPECT_EQ(c[0], (ContourPoint{5, 5}));
  EXPECT_EQ(c[1], (ContourPoint{4, 5}));
  EXPECT_EQ(c[2], (ContourPoint{3, 5}));
  for (int y = 5; y <= 14; ++y) EXPECT_EQ(image.at(5, y), -2) << y;
}

TEST(BorderFollowing, SinglePixelsAndUniformImages) {
  BinaryImage dot(9, 9);
  dot.at(4, 4) = 1;
  auto contours = trace(dot);
  ASSERT_EQ(contours.size(), 1u);
  EXPECT_EQ(contours[0], (Points{{4, 4}}));
  EXPECT_EQ(dot.at(4, 4), -2);

  BinaryImage empty(17, 5);
  EXPECT_TRUE(trace(empty).empty());

  BinaryImage full(17, 5);
  fill(full, 0, 0, 16, 4, 1);
  EXPECT_TRUE(trace(full).empty());

  BinaryImage none(0, 0);
  EXPECT_TRUE(trace(none).empty());
}

TEST(BorderFollowing, PixelsOnTheImageEdgesStayInsideAndTouchingBlobsAreOneBorder) {
  // A cross touching all four edges plus diagonal-only contact between blobs.
  BinaryImage image(12, 12);
  fill(image, 0, 5, 11, 6, 1);
  fill(image, 5, 0, 6, 11, 1);
  image.at(2, 2) = 1;
  image.at(3, 3) = 1;
  image.at(4, 4) = 1;
  const auto contours = trace(image);
  ASSERT_FALSE(contours.empty());
  for (const Points& c : contours) {
    for (const auto& p : c) {
      EXPECT_TRUE(p.x >= 0 && p.x < 12 && p.y >= 0 && p.y < 12);
      EXPECT_NE(image.at(p.x, p.y), 0);
    }
  }
  // The diagonal chain is 8-connected to the cross: no separate border for it.
  for (const Points& c : contours) EXPECT_NE(c[0], (ContourPoint{2, 2}));
}

TEST(BorderFollowing, RandomImagesGiveClosedNeighbourChainsOnForeground) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 30; ++trial) {
    const std::uint32_t w = 1 + rng() % 150;  // rows of one to three 64-cell words
    const std::uint32_t h = 1 + rng() % 40;
    BinaryImage image(w, h);
    const unsigned density = 2 + rng() % 6;
    for (std::uint32_t y = 0; y < h; ++y) {
      for (std::uint32_t x = 0; x < w; ++x) image.at(x, y) = (rng() % 10 < density) ? 1 : 0;
    }
    const BinaryImage original = image;
    const auto contours = trace(image);
    // Short borders are traced and marked but not handed over.
    const std::size_t min_length = 1 + trial % 8;
    BinaryImage again = original;
    std::vector<Points> long_ones;
    trace_all_borders(
        again, [&](std::span<const ContourPoint> c) { long_ones.emplace_back(c.begin(), c.end()); }, min_length);
    std::vector<Points> expected;
    for (const Points& c : contours) {
      if (c.size() >= min_length) expected.push_back(c);
    }
    ASSERT_EQ(long_ones, expected);
    ASSERT_EQ(again.cells, image.cells);
    for (const Points& c : contours) {
      ASSERT_LE(c.size(), 8 * std::size_t{w} * h + 2);
      for (std::size_t i = 0; i < c.size(); ++i) {
        ASSERT_NE(original.at(c[i].x, c[i].y), 0);
        if (c.size() > 1) {
          ASSERT_TRUE(are_neighbours(c[i], c[(i + 1) % c.size()]));
        }
      }
    }
    // Frame untouched, cells only re-marked on foreground.
    for (std::int64_t y = -1; y <= h; ++y) {
      for (std::int64_t x = -1; x <= w; ++x) {
        const bool frame = x < 0 || y < 0 || x == w || y == h;
        if (frame || original.at(x, y) == 0) {
          ASSERT_EQ(image.at(x, y), 0);
        } else {
          ASSERT_TRUE(image.at(x, y) == 1 || image.at(x, y) == 2 || image.at(x, y) == -2);
        }
      }
    }
  }
}

TEST(BorderFollowing, StopsBeforeTheRowWhereAskedTo) {
  // Two squares, in rows 2-5 and 10-13: stopping once row 6 is reached hands
  // over the first border only and leaves the second square unmarked.
  BinaryImage image(20, 16);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) image.at(5 + x, 2 + y) = image.at(5 + x, 10 + y) = 1;
  std::vector<ContourPoint> starts;
  int rows = 0;
  trace_all_borders(image, [&](std::span<const ContourPoint> c) { starts.push_back(c[0]); },
                    [&] { return rows++ == 6; });
  EXPECT_EQ(starts, (std::vector<ContourPoint>{{5, 2}}));
  EXPECT_EQ(image.at(5, 10), 1);
  EXPECT_NE(image.at(5, 2), 1);
}

TEST(BorderFollowing, BordersLongerThanThePixelCountAreTracedWhole) {
  // A line is walked there and back: 15 pixels of a 21 x 1 image give one
  // closed border of 28 positions, more than the image has pixels.
  BinaryImage line(21, 1);
  fill(line, 0, 0, 14, 0, 1);
  const auto contours = trace(line);
  ASSERT_EQ(contours.size(), 1u);
  const Points& c = contours[0];
  ASSERT_EQ(c.size(), 28u);
  EXPECT_EQ(c.front(), (ContourPoint{14, 0}));
  EXPECT_EQ(c[14], (ContourPoint{0, 0}));
  EXPECT_EQ(c.back(), (ContourPoint{13, 0}));

  // A comb of one-pixel teeth on a spine: its border has nearly twice as many
  // positions as the image has pixels, and still closes on its start.
  BinaryImage comb(9, 9);
  fill(comb, 0, 0, 8, 0, 1);
  for (int x = 0; x < 9; x += 2) fill(comb, x, 0, x, 8, 1);
  const auto comb_contours = trace(comb);
  ASSERT_FALSE(comb_contours.empty());
  const Points& border = comb_contours[0];
  EXPECT_GT(border.size(), std::size_t{9} * 9 + 2);
  for (std::size_t i = 0; i < border.size(); ++i) {
    ASSERT_TRUE(are_neighbours(border[i], border[(i + 1) % border.size()]));
  }
}
