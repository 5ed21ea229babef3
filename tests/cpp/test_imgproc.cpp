#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <random>
#include <vector>

#include "contours/border_following.hpp"
#include "image/color.hpp"
#include "imgproc/adaptive_threshold.hpp"
#include "imgproc/otsu_threshold.hpp"
#include "imgproc/homography.hpp"
#include "imgproc/polygon_approximation.hpp"
#include "numeric/conversions.hpp"

using namespace morvelin;

namespace {

GrayImage random_image(std::mt19937& rng, std::uint32_t w, std::uint32_t h) {
  GrayImage image(w, h);
  for (auto& p : image.pixels) p = static_cast<std::uint8_t>(rng() % 256);
  return image;
}

// Direct definition through a summed-area table: clipped window, exact
// integer comparison with the constant truncated and saturated to 32 bits.
BinaryImage reference_threshold(const GrayImage& image, std::int64_t window, double constant) {
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  std::vector<std::int64_t> sat(static_cast<std::size_t>((w + 1) * (h + 1)), 0);
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      sat[(y + 1) * (w + 1) + x + 1] = image.at(x, y) + sat[y * (w + 1) + x + 1] + sat[(y + 1) * (w + 1) + x] -
                                       sat[y * (w + 1) + x];
    }
  }
  const std::int64_t half = window < 4 ? 1 : window / 2;
  const std::int64_t c = saturating_cast<std::int32_t>(constant);
  BinaryImage out(image.width, image.height);
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x) {
      const std::int64_t x0 = std::max<std::int64_t>(0, x - half), x1 = std::min(w - 1, x + half);
      const std::int64_t y0 = std::max<std::int64_t>(0, y - half), y1 = std::min(h - 1, y + half);
      const std::int64_t a = (x1 - x0 + 1) * (y1 - y0 + 1);
      const std::int64_t s = sat[(y1 + 1) * (w + 1) + x1 + 1] - sat[y0 * (w + 1) + x1 + 1] -
                             sat[(y1 + 1) * (w + 1) + x0] + sat[y0 * (w + 1) + x0];
      // |p + c| < 2^32 and a < 2^20 here: the products fit in 64 bits.
      out.at(x, y) = 2 * a * (image.at(x, y) + c) <= a + 2 * s ? 1 : 0;
    }
  }
  return out;
}

// The recursive definition of the open approximation.
void reference_open(const std::vector<Point2f>& q, std::size_t first, std::size_t last, float eps,
                    std::vector<Point2f>& out) {
  const std::size_t m = last - first + 1;
  if (m < 2) return;
  if (m == 2) {
    out.push_back(q[first]);
    out.push_back(q[last]);
    return;
  }
  const float ex = q[last].x - q[first].x, ey = q[last].y - q[first].y;
  const float len = std::sqrt(ex * ex + ey * ey);
  float best = -1.0f;
  std::size_t at = first + 1;
  for (std::size_t i = first + 1; i < last; ++i) {
    const float dx = q[i].x - q[first].x, dy = q[i].y - q[first].y;
    const float d = len < 1e-9 ? std::sqrt(dx * dx + dy * dy) : std::fabs(dx * ey - dy * ex) / len;
    if (d > best) {
      best = d;
      at = i;
    }
  }
  if (!(best > eps)) {
    out.push_back(q[first]);
    out.push_back(q[last]);
    return;
  }
  reference_open(q, first, at, eps, out);
  out.pop_back();
  reference_open(q, at, last, eps, out);
}

std::vector<Point2f> reference_closed(const std::vector<Point2f>& p, float eps) {
  if (p.size() <= 2) return p;
  auto farthest = [&](Point2f from) {
    std::size_t best = 0;
    float bd = -1.0f;
    for (std::size_t i = 0; i < p.size(); ++i) {
      const float dx = p[i].x - from.x, dy = p[i].y - from.y;
      if (dx * dx + dy * dy > bd) {
        bd = dx * dx + dy * dy;
        best = i;
      }
    }
    return best;
  };
  const std::size_t a = farthest(p[0]);
  const std::size_t b = farthest(p[a]);
  const std::size_t lo = std::min(a, b), hi = std::max(a, b);
  std::vector<Point2f> chain_a(p.begin() + lo, p.begin() + hi + 1);
  std::vector<Point2f> chain_b(p.begin() + hi, p.end());
  chain_b.insert(chain_b.end(), p.begin(), p.begin() + lo + 1);
  std::vector<Point2f> ra, rb, out;
  reference_open(chain_a, 0, chain_a.size() - 1, eps, ra);
  reference_open(chain_b, 0, chain_b.size() - 1, eps, rb);
  if (!ra.empty()) out.insert(out.end(), ra.begin(), ra.end() - 1);
  if (!rb.empty()) out.insert(out.end(), rb.begin(), rb.end() - 1);
  return out;
}

std::vector<Point2f> traced_square(int x0, int y0, int side) {
  BinaryImage image(x0 + side + 5, y0 + side + 5);
  for (int y = y0; y < y0 + side; ++y) {
    for (int x = x0; x < x0 + side; ++x) image.at(x, y) = 1;
  }
  std::vector<Point2f> points;
  trace_all_borders(image, [&](std::span<const ContourPoint> c) {
    for (const auto& p : c) points.push_back({static_cast<float>(p.x), static_cast<float>(p.y)});
  });
  return points;
}

}  // namespace

TEST(AdaptiveThreshold, MatchesTheDirectDefinitionForRandomWindowsAndConstants) {
  std::mt19937 rng(11);
  const std::vector<double> constants = {7.0, 7.9, -2.5, 0.0, 1.0, -300.0, 300.0, 255.0, -255.0, 256.0, -256.0,
                                         2147483647.0, -2147483648.0, 1e300, -1e300,
                                         std::numeric_limits<double>::quiet_NaN(),
                                         std::numeric_limits<double>::infinity()};
  const std::vector<std::int64_t> windows = {-5, 0, 1, 2, 3, 4, 5, 10, 13, 15, 17, 23, 64, 1000, std::int64_t{1} << 40};
  for (int trial = 0; trial < 120; ++trial) {
    const auto image = random_image(rng, 1 + rng() % 100, 1 + rng() % 100);
    const std::int64_t window = windows[rng() % windows.size()];
    const double constant = trial < 17 ? constants[trial] : static_cast<double>(static_cast<int>(rng() % 41) - 20);
    const auto got = adaptive_threshold(image, window, constant);
    const auto want = reference_threshold(image, window, constant);
    ASSERT_EQ(got.cells, want.cells) << "trial " << trial << " window " << window << " c " << constant;
  }
}

TEST(AdaptiveThreshold, LargeImagesSplitIntoBandsGiveTheSameResult) {
  std::mt19937 rng(5);
  // Smooth content so that both classes occur; large enough for row bands.
  GrayImage image(700, 520);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (std::uint32_t x = 0; x < image.width; ++x) {
      image.row(y)[x] = static_cast<std::uint8_t>((x * 7 + y * 3) % 200 + rng() % 40);
    }
  }
  for (std::int64_t window : {3, 13, 23, 301}) {
    EXPECT_EQ(adaptive_threshold(image, window, 7.0).cells, reference_threshold(image, window, 7.0).cells) << window;
  }
}

TEST(AdaptiveThreshold, SeveralConstantsInOnePassEqualOnePassEach) {
  std::mt19937 rng(8);
  const auto image = random_image(rng, 97, 61);
  const std::vector<double> constants = {0.0, 5.0, 10.0, -3.5, 300.0};
  for (std::int64_t window : {3, 5, 13, 301}) {
    for (const Threads threads : {Threads::kWorkerPool, Threads::kCallingThread}) {
      const auto together = adaptive_thresholds(image, window, constants, threads);
      ASSERT_EQ(together.size(), constants.size());
      for (std::size_t i = 0; i < constants.size(); ++i) {
        EXPECT_EQ(together[i].cells, reference_threshold(image, window, constants[i]).cells) << window << " " << i;
      }
    }
  }
  EXPECT_TRUE(adaptive_thresholds(image, 13, {}, Threads::kCallingThread).empty());
}

TEST(AdaptiveThreshold, UniformImagesAndTruncatedConstants) {
  const GrayImage grey(20, 15, 90);
  for (double c : {0.0, -1.0, -0.9, 0.99}) {
    const auto b = adaptive_threshold(grey, 13, c);
    EXPECT_EQ(b.at(0, 0), 1) << c;
    EXPECT_EQ(b.at(19, 14), 1) << c;
  }
  for (double c : {1.0, 1.5, 7.0}) EXPECT_EQ(adaptive_threshold(grey, 13, c).at(10, 7), 0) << c;
  std::mt19937 rng(3);
  const auto image = random_image(rng, 40, 30);
  EXPECT_EQ(adaptive_threshold(image, 13, 7.9).cells, adaptive_threshold(image, 13, 7.0).cells);
  EXPECT_EQ(adaptive_threshold(image, 13, -2.5).cells, adaptive_threshold(image, 13, -2.0).cells);
  EXPECT_EQ(adaptive_threshold(image, 4, 7.0).cells, adaptive_threshold(image, 5, 7.0).cells);
  EXPECT_EQ(adaptive_threshold(image, 1, 7.0).cells, adaptive_threshold(image, 3, 7.0).cells);
  // The frame stays zero.
  const auto b = adaptive_threshold(GrayImage(5, 4, 0), 3, -10.0);
  EXPECT_EQ(b.at(-1, -1), 0);
  EXPECT_EQ(b.at(5, 4), 0);
  EXPECT_EQ(b.at(4, 3), 1);
  EXPECT_TRUE(adaptive_threshold(GrayImage(0, 7), 3, 7.0).cells.size() == 2u * 9u);
}

TEST(AdaptiveThreshold, ExtremeConstantsDecideByThePixelAloneWithoutOverflow) {
  // 2a(p + c) would overflow 32 bits for these constants.
  std::mt19937 rng(9);
  const auto image = random_image(rng, 300, 200);
  const auto low = adaptive_threshold(image, 1001, -2147483648.0);
  const auto high = adaptive_threshold(image, 1001, 2147483647.0);
  for (std::uint32_t y = 0; y < 200; ++y) {
    for (std::uint32_t x = 0; x < 300; ++x) {
      ASSERT_EQ(low.at(x, y), 1);
      ASSERT_EQ(high.at(x, y), 0);
    }
  }
}

TEST(PolygonApproximation, FollowsTheRecursiveDefinition) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<Point2f> points(1 + rng() % 60);
    for (auto& p : points) p = {static_cast<float>(rng() % 50), static_cast<float>(rng() % 50)};
    const float eps = static_cast<float>(rng() % 80) / 10.0f;
    const auto got = approximate_closed_polygon(points, eps);
    EXPECT_EQ(std::vector<Point2f>(got.begin(), got.end()), reference_closed(points, eps)) << trial;
  }
}

TEST(PolygonApproximation, FollowsTheDefinitionOnFractionalCoordinates) {
  // Wide-ranging fractional coordinates, where distances to a chord round
  // and near-ties are common.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> coordinate(-3000.0f, 3000.0f);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<Point2f> points(3 + rng() % 200);
    const float scale = std::ldexp(1.0f, static_cast<int>(rng() % 24) - 12);
    for (auto& p : points) p = {coordinate(rng) * scale, coordinate(rng) * scale};
    const float eps = scale * static_cast<float>(rng() % 2000);
    const auto got = approximate_closed_polygon(points, eps);
    EXPECT_EQ(std::vector<Point2f>(got.begin(), got.end()), reference_closed(points, eps)) << trial;
  }
}

TEST(PolygonApproximation, EqualRoundedDistancesGoToTheEarlierPoint) {
  // Two neighbouring points (a, 0) and (b, 0), b the next float after a,
  // whose distances to the chord from (0, 0) to (3072, 1024) differ before
  // the division by the chord's length and are equal after it.
  const float length = std::sqrt(3072.0f * 3072.0f + 1024.0f * 1024.0f);
  const auto distance = [&](float x) { return std::fabs(x * 1024.0f) / length; };
  float a = 1.9f, b = 0.0f;
  for (int step = 0; step < 1000; ++step, a = b) {
    b = std::nextafter(a, 2.0f);
    if (distance(a) == distance(b)) break;
  }
  ASSERT_EQ(distance(a), distance(b)) << "no pair of points with equal rounded distances";
  // The chord's end points are the farthest pair, so they cut the curve; the
  // point below the chord is within the tolerance.
  const std::vector<Point2f> points = {{0, 0}, {a, 0}, {b, 0}, {3072, 1024}, {1536, 511.9f}};
  const auto got = approximate_closed_polygon(points, 0.25f);
  const std::vector<Point2f> expected = {{0, 0}, {a, 0}, {3072, 1024}};
  EXPECT_EQ(std::vector<Point2f>(got.begin(), got.end()), expected);
  EXPECT_EQ(expected, reference_closed(points, 0.25f));

  // The same tie on a chord with a dozen interior points, searched eight at
  // a time: a comes third, a copy of it fourth and b fifth, in lanes that put
  // b ahead of a; nearer points lie on either side of the pair.
  std::vector<Point2f> longer = {{0, 0}, {0.5f, 0}, {1, 0}, {a, 0}, {a, 0}, {b, 0}};
  for (int k = 1; k <= 8; ++k) {
    const float t = static_cast<float>(k) / 9.0f;
    longer.push_back({b + t * (3072 - b), t * 1024});
  }
  longer.push_back({3072, 1024});
  longer.push_back({1536, 511.9f});
  const auto got_longer = approximate_closed_polygon(longer, 0.25f);
  EXPECT_EQ(std::vector<Point2f>(got_longer.begin(), got_longer.end()), expected);
  EXPECT_EQ(expected, reference_closed(longer, 0.25f));
}

TEST(PolygonApproximation, TracedSquareGivesItsFourCorners) {
  const auto points = traced_square(5, 5, 10);
  ASSERT_EQ(points.size(), 36u);
  const auto quad = approximate_closed_polygon(points, 0.03f * 36);
  ASSERT_EQ(quad.size(), 4u);
  // Starts at the lower of the two cut indices: here the first point (5, 5).
  EXPECT_EQ(quad[0], (Point2f{5, 5}));
  EXPECT_EQ(quad[1], (Point2f{5, 14}));
  EXPECT_EQ(quad[2], (Point2f{14, 14}));
  EXPECT_EQ(quad[3], (Point2f{14, 5}));
  // A negative tolerance keeps every point; NaN keeps only the two cuts.
  EXPECT_EQ(approximate_closed_polygon(points, -1.0f).size(), points.size());
  EXPECT_EQ(approximate_closed_polygon(points, std::numeric_limits<float>::quiet_NaN()).size(), 2u);
  const std::vector<Point2f> two = {{1, 2}, {3, 4}};
  EXPECT_EQ(approximate_closed_polygon(two, 1.0f).size(), 2u);
  EXPECT_TRUE(approximate_closed_polygon(std::vector<Point2f>{}, 1.0f).empty());
}

TEST(PolygonApproximation, CoarsestPolygonEqualsTryingEveryTolerance) {
  // Random closed curves, some of them traced borders of a thresholded
  // image, against approximate_closed_polygon at each tolerance in turn.
  const auto first_fit = [](std::span<const Point2f> points, std::span<const float> tolerances, std::size_t most) {
    for (const float t : tolerances) {
      const auto v = approximate_closed_polygon(points, t);
      if (v.size() <= most) return std::optional<std::vector<Point2f>>(std::vector<Point2f>(v.begin(), v.end()));
    }
    return std::optional<std::vector<Point2f>>();
  };
  std::vector<std::vector<Point2f>> curves;
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> coordinate(-300.0f, 300.0f);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<Point2f> points(rng() % 40);
    for (auto& p : points) p = {std::round(coordinate(rng)) / static_cast<float>(1 + rng() % 3), coordinate(rng) / 8};
    curves.push_back(points);
  }
  BinaryImage binary = adaptive_threshold(random_image(rng, 120, 90), 13, 3.0);
  trace_all_borders(binary, [&](std::span<const ContourPoint> contour) {
    std::vector<Point2f> points;
    for (const ContourPoint p : contour) points.push_back({static_cast<float>(p.x), static_cast<float>(p.y)});
    curves.push_back(points);
  });
  CoarsestPolygon coarsest;
  Vec<Point2f> got;
  for (std::size_t i = 0; i < curves.size(); ++i) {
    // Whole tolerances, as the chessboard quads use, meet distances equal
    // to them on traced borders.
    const float start = static_cast<float>(rng() % 60) / 10.0f, step = static_cast<float>(rng() % 30) / 10.0f;
    const std::vector<float> tolerances = i % 2 ? std::vector<float>{1, 2, 3, 4, 5, 6, 7}
                                                : std::vector<float>{start, start + step, start + 2 * step, start + 7 * step};
    const std::size_t most = rng() % 8;
    const auto expected = first_fit(curves[i], tolerances, most);
    ASSERT_EQ(coarsest.approximate(curves[i], tolerances, most, got), expected.has_value()) << i;
    EXPECT_EQ(std::vector<Point2f>(got.begin(), got.end()), expected.value_or(std::vector<Point2f>{})) << i;
  }
}

TEST(PerspectiveSolve, MapsTheFourPointsAndFailsOnDegenerateInput) {
  const std::array<Point2f, 4> square = {{{0, 0}, {23, 0}, {23, 23}, {0, 23}}};
  const std::array<Point2f, 4> quad = {{{103.5f, 40.0f}, {160.25f, 52.0f}, {150.0f, 118.0f}, {96.0f, 101.0f}}};
  const auto h = solve_perspective(square, quad);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h.value()(2, 2), 1.0);
  for (int i = 0; i < 4; ++i) {
    const auto p = apply_homography(h.value(), square[i].x, square[i].y);
    EXPECT_NEAR(p.x, quad[i].x, 1e-9);
    EXPECT_NEAR(p.y, quad[i].y, 1e-9);
  }
  const std::array<Point2f, 4> collapsed = {{{5, 5}, {5, 5}, {5, 5}, {5, 5}}};
  const auto bad = solve_perspective(collapsed, quad);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message, "perspective solve failed");
  EXPECT_FALSE(solve_perspective(square, collapsed).ok());
}

// Every BGR triple, at every offset of an eight-pixel step and in the few
// pixels after the last whole step, against the rule written out.
TEST(BgrToGray, EveryColourFollowsTheRule) {
  constexpr std::size_t kColours = std::size_t{1} << 24;
  std::vector<std::uint8_t> bgr(3 * (kColours + 13));
  for (std::size_t i = 0; i < kColours + 13; ++i) {
    const std::size_t c = (i * 2654435761u) % kColours;  // colours in a scattered order
    bgr[3 * i] = static_cast<std::uint8_t>(c);
    bgr[3 * i + 1] = static_cast<std::uint8_t>(c >> 8);
    bgr[3 * i + 2] = static_cast<std::uint8_t>(c >> 16);
  }
  for (const std::size_t skip : {0, 5}) {
    const std::size_t count = kColours + 13 - skip;
    std::vector<std::uint8_t> gray(count);
    bgr_to_gray(bgr.data() + 3 * skip, count, gray.data());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t* p = bgr.data() + 3 * (i + skip);
      const float v = 0.299f * p[2] + (0.587f * p[1] + 0.114f * p[0]) + 0.5f;
      wrong += gray[i] != (v >= 255.0f ? 255 : static_cast<int>(v));
    }
    EXPECT_EQ(wrong, 0u) << skip;
  }
  // Whole images, in bands of rows on the pool when large, rows padded.
  for (const std::uint32_t height : {3u, 700u}) {
    const std::uint32_t width = 1001;
    const std::ptrdiff_t stride = 3 * width + 7;
    std::vector<std::uint8_t> gray(std::size_t{width} * height), row_by_row(gray.size());
    bgr_rows_to_gray(bgr.data(), stride, width, height, gray.data());
    for (std::uint32_t y = 0; y < height; ++y) bgr_to_gray(bgr.data() + y * stride, width, row_by_row.data() + y * width);
    EXPECT_EQ(gray, row_by_row) << height;
  }
}

TEST(OtsuThreshold, SeparatesTwoClassesAndHandlesOneLevel) {
  Histogram256 h{};
  h[20] = 300;
  h[25] = 100;
  h[200] = 150;
  h[230] = 50;
  EXPECT_EQ(otsu_threshold(h), 25);  // the first level of the best split
  Histogram256 flat{};
  flat[77] = 576;
  EXPECT_EQ(otsu_threshold(flat), 0);
  EXPECT_EQ(otsu_threshold(Histogram256{}), 0);
  Histogram256 tied{};  // splits after 10 and after 20 are equally good
  tied[10] = tied[20] = tied[30] = 5;
  EXPECT_EQ(otsu_threshold(tied), 10);
}

// Otsu's level by its definition: every level in turn, each class's weight
// and sum accumulated in level order.
namespace {
int reference_otsu(const Histogram256& histogram) {
  double count = 0.0, total = 0.0;
  for (int i = 0; i < 256; ++i) {
    count += histogram[i];
    total += static_cast<double>(i) * histogram[i];
  }
  double w0 = 0.0, sum0 = 0.0, best = -1.0;
  int threshold = 0;
  for (int i = 0; i < 256; ++i) {
    w0 += histogram[i];
    if (w0 == 0.0) continue;
    const double w1 = count - w0;
    if (w1 == 0.0) break;
    sum0 += static_cast<double>(i) * histogram[i];
    const double diff = sum0 / w0 - (total - sum0) / w1;
    if (w0 * w1 * (diff * diff) > best) {
      best = w0 * w1 * (diff * diff);
      threshold = i;
    }
  }
  return threshold;
}
}  // namespace

TEST(OtsuThreshold, MatchesTheDefinitionOnSparseAndDenseHistograms) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 3000; ++trial) {
    Histogram256 h{};
    const int levels = 1 + static_cast<int>(rng() % (trial % 3 == 0 ? 256 : 6));
    for (int k = 0; k < levels; ++k) h[rng() % 256] += trial % 5 == 0 ? 7 : 1 + rng() % (trial % 2 ? 4 : 100000);
    if (trial % 7 == 0) h[255] += 1 + rng() % 50;
    ASSERT_EQ(otsu_threshold(h), reference_otsu(h)) << trial;
    WideHistogram256 wide{};
    for (int i = 0; i < 256; ++i) wide[i] = h[i];
    ASSERT_EQ(otsu_threshold(wide), reference_otsu(h)) << trial;
  }
}
