#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <numbers>
#include <random>
#include <vector>

#include "subpixel/corner_sub_pix.hpp"
#include "rendered_corners.hpp"

using namespace morvelin;
using namespace morvelin::testing;

namespace {

// Smooth pseudo-random texture built from integers only, so it is the same
// on every platform: raw generator bits averaged over 5 x 5 neighbourhoods.
GrayImage noise_image(unsigned seed, std::uint32_t w, std::uint32_t h) {
  std::mt19937 bits(seed);
  std::vector<int> raw(std::size_t{w} * h);
  for (int& v : raw) v = static_cast<int>(bits() >> 24);
  GrayImage image(w, h);
  for (int y = 0; y < static_cast<int>(h); ++y) {
    for (int x = 0; x < static_cast<int>(w); ++x) {
      int sum = 0, count = 0;
      for (int j = -2; j <= 2; ++j) {
        for (int i = -2; i <= 2; ++i) {
          const int xx = x + i, yy = y + j;
          if (xx < 0 || yy < 0 || xx >= static_cast<int>(w) || yy >= static_cast<int>(h)) continue;
          sum += raw[static_cast<std::size_t>(yy) * w + xx];
          ++count;
        }
      }
      image.pixels[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(sum / count);
    }
  }
  return image;
}

GrayImage saddle_image(std::uint32_t w, std::uint32_t h, double cx, double cy, double angle, double sigma) {
  Canvas canvas(w, h, 220.0);
  paint(canvas, saddle(cx, cy, angle), 30.0);
  blur(canvas, sigma);
  return quantise(canvas);
}

Point2f refine(const GrayImage& image, Point2f p, std::uint64_t win, std::int32_t iters = 30, double eps = 0.0) {
  return corner_sub_pix(image, p, win, iters, eps);
}

}  // namespace

// Expected values were computed by an independent re-implementation of the
// refinement arithmetic (single-precision patch and gradients, double sums).
// They cover border sampling, patches that end exactly at the last column or
// row (still border sampling), integer and fractional starts, and one-step
// and hundred-step limits. On the texture the estimate never settles, so a
// difference in the last bit of any step shows up in the result.
TEST(CornerSubPix, ReproducesReferenceArithmeticToTheBit) {
  struct Case {
    Point2f start;
    std::uint64_t win;
    std::int32_t iters;
    double eps;
    Point2f expected;
  };
  const auto check = [](const GrayImage& image, std::span<const Case> cases) {
    for (const Case& c : cases) {
      EXPECT_EQ(refine(image, c.start, c.win, c.iters, c.eps), c.expected) << c.start.x << ", " << c.start.y;
    }
  };
  Canvas canvas(32, 24, 210.0);
  paint(canvas, convex_polygon({{3.3f, 2.6f}, {27.7f, 5.2f}, {24.9f, 21.4f}, {5.1f, 19.3f}}), 40.0);
  const Case quad_cases[] = {
      {{4.0f, 3.0f}, 3, 30, 0.01, {0x1.bb8e74p+1f, 0x1.53dfb8p+1f}},
      {{27.0f, 5.0f}, 3, 30, 0.0, {0x1.b931b0p+4f, 0x1.592342p+2f}},
      {{25.5f, 21.0f}, 2, 100, 0.0, {0x1.8aa134p+4f, 0x1.554d9ap+4f}},
      {{5.0f, 19.0f}, 4, 1, 0.1, {0x1.4c48ccp+2f, 0x1.33006cp+4f}},
      {{6.25f, 18.75f}, 5, 30, 0.001, {0x1.4ea2c2p+2f, 0x1.33f276p+4f}},
      {{5.0f, 4.0f}, 2, 1, 0.0, {0x1.ca16a8p+1f, 0x1.60c5b4p+1f}},    // interior, integer column
      {{27.0f, 5.0f}, 3, 1, 0.0, {0x1.b937d0p+4f, 0x1.557926p+2f}},   // patch ends at the last column
      {{24.0f, 20.0f}, 2, 1, 0.0, {0x1.8a601cp+4f, 0x1.532b2ep+4f}},  // patch ends at the last row
  };
  check(quantise(canvas), quad_cases);
  const Case texture_cases[] = {
      {{11.0f, 17.5f}, 4, 100, 0.0, {0x1.a597aap+3f, 0x1.24b79ap+4f}},
      {{1.0f, 3.5f}, 3, 100, 0.0, {0x1.09437ap+0f, 0x1.82ef56p+1f}},
      {{1.0f, 10.5f}, 3, 100, 0.0, {0x1.cbcecep-3f, 0x1.a5914ap+3f}},
  };
  check(noise_image(2, 40, 40), texture_cases);
}

TEST(CornerSubPix, ListRefinementEqualsPerCornerCalls) {
  const GrayImage image = noise_image(7, 48, 40);
  std::mt19937 bits(3);
  std::vector<Point2f> corners;
  for (int i = 0; i < 60; ++i) {
    // Spread over and slightly beyond the image, a third on integer positions.
    float x = static_cast<float>(bits() % 5200) / 100.0f - 2.0f;
    float y = static_cast<float>(bits() % 4400) / 100.0f - 2.0f;
    if (i % 3 == 0) x = std::round(x), y = std::round(y);
    corners.push_back({x, y});
  }
  for (const std::uint64_t win : {1u, 3u, 6u}) {
    std::vector<Point2f> together = corners;
    corner_sub_pix(image, std::span<Point2f>(together), win, 20, 0.01);
    for (std::size_t i = 0; i < corners.size(); ++i) {
      EXPECT_EQ(together[i], refine(image, corners[i], win, 20, 0.01)) << "win " << win << " corner " << i;
    }
  }
  std::vector<Point2f> none;
  corner_sub_pix(image, std::span<Point2f>(none), 3, 20, 0.01);
}

// Left of a horizontal-and-vertical saddle the picture does not change along
// x, so cropping columns away from the left only moves the same content onto
// the image border, where replicated columns reproduce it exactly. The one
// difference left is the horizontal fraction: raised to 0.0001 in the
// interior, used as it is at the border.
TEST(CornerSubPix, IntegerColumnRaisesFractionOnlyInInterior) {
  constexpr std::uint32_t kShift = 20;
  const GrayImage wide = saddle_image(60, 40, kShift + 5.3, 20.4, 0.0, 0.7);
  GrayImage cropped(60 - kShift, 40);
  for (std::uint32_t y = 0; y < 40; ++y) {
    for (std::uint32_t x = 0; x < cropped.width; ++x) cropped.row(y)[x] = wide.at(x + kShift, y);
  }
  // win 5 from x = 5: the patch starts at column -1 in the crop (border case)
  // and at column 19 in the wide image (interior). One step each.
  const auto step_x = [&](float start_x) {
    const Point2f interior = refine(wide, {start_x + kShift, 20.0f}, 5, 1);
    const Point2f border = refine(cropped, {start_x, 20.0f}, 5, 1);
    return std::abs((interior.x - static_cast<float>(kShift)) - border.x);
  };
  // Fractional start: both sample with the same fraction, only the final
  // rounding of different magnitudes separates them.
  EXPECT_LT(step_x(5.25f), 5e-6f);
  // Integer start: interior samples at 0.0001, the border at 0.
  EXPECT_GT(step_x(5.0f), 2e-5f);
  EXPECT_LT(step_x(5.0f), 5e-4f);
}

TEST(CornerSubPix, IterationLimitIsClampedToOneAndHundred) {
  const GrayImage saddle = saddle_image(41, 41, 20.3, 19.8, 0.4, 0.8);
  const Point2f start{21.5f, 18.5f};
  const Point2f one = refine(saddle, start, 5, 1);
  EXPECT_NE(one, start);
  EXPECT_EQ(refine(saddle, start, 5, 0), one);
  EXPECT_EQ(refine(saddle, start, 5, -5), one);
  EXPECT_EQ(refine(saddle, start, 5, std::numeric_limits<std::int32_t>::min()), one);
  EXPECT_NE(refine(saddle, start, 5, 2), one);

  // On this texture the estimate keeps moving round a small orbit and never
  // settles, so every further step would change the result.
  const GrayImage texture = noise_image(2, 40, 40);
  const Point2f orbit{11.0f, 17.5f};
  const Point2f hundred = refine(texture, orbit, 4, 100);
  ASSERT_NE(refine(texture, orbit, 4, 99), hundred);
  ASSERT_NE(hundred, orbit);
  EXPECT_EQ(refine(texture, orbit, 4, 999), hundred);
  EXPECT_EQ(refine(texture, orbit, 4, 1000), hundred);
  EXPECT_EQ(refine(texture, orbit, 4, std::numeric_limits<std::int32_t>::max()), hundred);
}

TEST(CornerSubPix, NegativeOrNanToleranceBehavesAsZero) {
  const GrayImage image = saddle_image(41, 41, 20.3, 19.8, 0.4, 0.8);
  const Point2f start{21.5f, 18.5f};
  const Point2f exact = refine(image, start, 5, 30, 0.0);
  EXPECT_EQ(refine(image, start, 5, 30, -1.0), exact);
  EXPECT_EQ(refine(image, start, 5, 30, -std::numeric_limits<double>::infinity()), exact);
  EXPECT_EQ(refine(image, start, 5, 30, std::numeric_limits<double>::quiet_NaN()), exact);
  // A coarse tolerance stops after the first step instead.
  EXPECT_EQ(refine(image, start, 5, 30, 10.0), refine(image, start, 5, 1));
  EXPECT_NE(refine(image, start, 5, 30, 10.0), exact);
}

TEST(CornerSubPix, CornersOutsideTheImageAreReturnedUnchanged) {
  // Corner content right at the edges, so an inside start would move.
  const GrayImage image = saddle_image(30, 20, 28.6, 18.7, 0.0, 0.8);
  for (const Point2f p : {Point2f{30.0f, 18.0f}, Point2f{28.0f, 20.0f}, Point2f{-0.001f, 18.0f},
                          Point2f{28.0f, -1.0f}, Point2f{1e30f, 5.0f}}) {
    EXPECT_EQ(refine(image, p, 3), p) << p.x << ", " << p.y;
  }
  EXPECT_NE(refine(image, {29.99f, 18.0f}, 3), (Point2f{29.99f, 18.0f}));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Point2f out = refine(image, {nan, 5.0f}, 3);
  EXPECT_TRUE(std::isnan(out.x));
  EXPECT_EQ(out.y, 5.0f);
}

// A 45-degree saddle just right of the image: the visible diagonals meet
// outside, so the first step would leave the image and is not taken.
TEST(CornerSubPix, StepThatWouldLeaveTheImageIsNotTaken) {
  const Point2f start{29.0f, 15.0f};
  const GrayImage outside = saddle_image(30, 30, 30.6, 15.2, std::numbers::pi / 4, 0.8);
  EXPECT_EQ(refine(outside, start, 4, 1), start);
  EXPECT_EQ(refine(outside, start, 4, 30), start);
  // With two more columns the same corner is inside and is found.
  const GrayImage inside = saddle_image(32, 30, 30.6, 15.2, std::numbers::pi / 4, 0.8);
  EXPECT_LT(exact_distance(refine(inside, start, 4, 30), {30.6f, 15.2f}), 0.1);
}

// Saddles whose centre lies 4.5 px right of the start: reachable for win 6,
// beyond the window for win 3, so win 3 returns the start. The guard is per
// axis: a 2.5 px move along both axes (3.5 px in all) is kept.
TEST(CornerSubPix, DriftBeyondTheWindowAlongOneAxisReturnsTheStart) {
  const Point2f start{20.0f, 20.0f};
  const GrayImage far = saddle_image(41, 41, 24.5, 20.0, std::numbers::pi / 4, 0.8);
  ASSERT_LT(exact_distance(refine(far, start, 6), {24.5f, 20.0f}), 0.1);
  EXPECT_EQ(refine(far, start, 3), start);

  const GrayImage diagonal = saddle_image(41, 41, 22.5, 22.5, 0.0, 0.8);
  EXPECT_LT(exact_distance(refine(diagonal, start, 3), {22.5f, 22.5f}), 0.1);
}

TEST(CornerSubPix, FlatWindowAndZeroWindowLeaveTheCornerUnchanged) {
  const GrayImage uniform(40, 30, 128);
  for (const Point2f p : {Point2f{20.0f, 15.0f}, Point2f{0.0f, 0.0f}, Point2f{39.5f, 29.5f}}) {
    EXPECT_EQ(refine(uniform, p, 5), p);
  }
  // Far from the saddle in a flat quadrant.
  const GrayImage image = saddle_image(60, 60, 40.0, 40.0, 0.0, 0.8);
  EXPECT_EQ(refine(image, {10.5f, 12.25f}, 4), (Point2f{10.5f, 12.25f}));
  // win 0 never moves a corner, even one right next to a saddle.
  EXPECT_EQ(refine(image, {40.5f, 39.5f}, 0), (Point2f{40.5f, 39.5f}));
  std::vector<Point2f> list{{40.5f, 39.5f}, {-3.0f, 2.0f}};
  corner_sub_pix(image, std::span<Point2f>(list), 0, 30, 0.1);
  EXPECT_EQ(list, (std::vector<Point2f>{{40.5f, 39.5f}, {-3.0f, 2.0f}}));
}

TEST(CornerSubPix, WindowTooLargeToAllocateThrowsBadAlloc) {
  const GrayImage image(16, 16, 0);
  // Sizes that overflow, sizes beyond any memory, and one the system would
  // hand out lazily but could never back (a 16 TiB patch).
  for (const std::uint64_t win :
       {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 62, std::uint64_t{1} << 32,
        std::uint64_t{1} << 31, std::uint64_t{1} << 20}) {
    EXPECT_THROW(refine(image, {8.0f, 8.0f}, win), std::bad_alloc) << win;
    std::vector<Point2f> list{{8.0f, 8.0f}};
    EXPECT_THROW(corner_sub_pix(image, std::span<Point2f>(list), win, 30, 0.1), std::bad_alloc) << win;
  }
}

// Whatever the texture: a corner that starts inside stays inside and never
// moves further than win along either axis.
TEST(CornerSubPix, ResultStaysInTheImageAndWithinTheWindow) {
  std::mt19937 bits(11);
  for (unsigned seed = 1; seed <= 6; ++seed) {
    const GrayImage image = noise_image(seed, 24 + seed * 5, 20 + seed * 3);
    for (int i = 0; i < 80; ++i) {
      const Point2f p{static_cast<float>(bits() % (image.width * 100)) / 100.0f,
                      static_cast<float>(bits() % (image.height * 100)) / 100.0f};
      const std::uint64_t win = 1 + bits() % 7;
      const Point2f r = refine(image, p, win, 100, 0.0);
      ASSERT_TRUE(r.x >= 0.0f && r.y >= 0.0f && r.x < static_cast<float>(image.width) &&
                  r.y < static_cast<float>(image.height));
      ASSERT_LE(std::abs(r.x - p.x), static_cast<float>(win));
      ASSERT_LE(std::abs(r.y - p.y), static_cast<float>(win));
    }
  }
}

// Chessboard saddles at random sub-pixel positions and angles, started up
// to 1.5 px away.
TEST(CornerSubPixAccuracy, SaddleCornersWithinFiveHundredthsOfAPixel) {
  std::mt19937 bits(5);
  const auto uniform = [&bits](double lo, double hi) { return lo + (hi - lo) * (bits() / 4294967296.0); };
  double worst = 0.0, total = 0.0;
  constexpr int kCorners = 24;
  for (int i = 0; i < kCorners; ++i) {
    const double cx = 20.0 + uniform(-0.5, 0.5), cy = 20.0 + uniform(-0.5, 0.5);
    const GrayImage image = saddle_image(41, 41, cx, cy, uniform(0.0, std::numbers::pi / 2), 1.0);
    const Point2f start{static_cast<float>(cx + uniform(-1.5, 1.5)), static_cast<float>(cy + uniform(-1.5, 1.5))};
    const double error = exact_distance(refine(image, start, 5, 30, 0.001), {static_cast<float>(cx), static_cast<float>(cy)});
    worst = std::max(worst, error);
    total += error;
  }
  EXPECT_LT(worst, 0.05);
  EXPECT_LT(total / kCorners, 0.025);
}

// The outer corner of a dark square (one quadrant differs). The rounded tip
// of a sampled corner pulls the estimate a little into the square, so the
// accuracy here is a few tenths, not hundredths, of a pixel.
TEST(CornerSubPixAccuracy, SquareCornersMoveCloseToTheTruth) {
  std::mt19937 bits(9);
  const auto uniform = [&bits](double lo, double hi) { return lo + (hi - lo) * (bits() / 4294967296.0); };
  double worst = 0.0, start_total = 0.0, total = 0.0;
  constexpr int kCorners = 16;
  for (int i = 0; i < kCorners; ++i) {
    const double cx = 20.0 + uniform(-0.5, 0.5), cy = 20.0 + uniform(-0.5, 0.5);
    const double angle = uniform(0.0, 0.5);
    const double c = std::cos(angle), s = std::sin(angle);
    const auto at = [&](double u, double v) {
      return Point2f{static_cast<float>(cx + u * c - v * s), static_cast<float>(cy + u * s + v * c)};
    };
    Canvas canvas(41, 41, 220.0);
    paint(canvas, convex_polygon({at(0, 0), at(30, 0), at(30, 30), at(0, 30)}), 30.0);
    blur(canvas, 0.8);
    const GrayImage image = quantise(canvas);
    const Point2f truth{static_cast<float>(cx), static_cast<float>(cy)};
    const Point2f start{static_cast<float>(cx + uniform(-1.5, 1.5)), static_cast<float>(cy + uniform(-1.5, 1.5))};
    const double error = exact_distance(refine(image, start, 5, 30, 0.001), truth);
    worst = std::max(worst, error);
    total += error;
    start_total += exact_distance(start, truth);
  }
  EXPECT_LT(worst, 0.3);
  EXPECT_LT(total, 0.3 * start_total);
}
