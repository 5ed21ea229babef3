// Stages of the AprilTag quad detector on small images: working image,
// tile threshold, deglitch, segmentation and the quad fitter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <random>

#include "apriltag/edge_refine.hpp"
#include "apriltag/preprocess.hpp"
#include "apriltag/quad_detector.hpp"
#include "apriltag/quad_fit.hpp"
#include "apriltag/quad_threshold.hpp"
#include "apriltag/segmentation.hpp"
#include "apriltag_test_images.hpp"
#include "detector/stage_settings.hpp"

using namespace morvelin;
using namespace morvelin::test;

namespace {

GrayImage random_image(std::uint32_t w, std::uint32_t h, unsigned seed, int lo = 0, int hi = 255) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> v(lo, hi);
  GrayImage img(w, h);
  for (auto& p : img.pixels) p = static_cast<std::uint8_t>(v(rng));
  return img;
}

int max_difference(const GrayImage& a, const GrayImage& b) {
  EXPECT_EQ(a.width, b.width);
  EXPECT_EQ(a.height, b.height);
  int worst = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) worst = std::max(worst, std::abs(a.pixels[i] - b.pixels[i]));
  return worst;
}

// Triangle-filter resize written as one direct 2-D weighted sum per output
// pixel: weight = tri(dx / sx) * tri(dy / sy) about the output pixel's centre
// in the input, the triangle widened by the reduction ratio.
GrayImage reference_resize(const GrayImage& in, std::uint32_t w, std::uint32_t h) {
  const double rx = static_cast<double>(in.width) / w, ry = static_cast<double>(in.height) / h;
  const double sx = std::max(rx, 1.0), sy = std::max(ry, 1.0);
  const auto tri = [](double t) { return std::max(0.0, 1.0 - std::fabs(t)); };
  GrayImage out(w, h);
  for (std::uint32_t j = 0; j < h; ++j) {
    for (std::uint32_t i = 0; i < w; ++i) {
      double sum = 0, weights = 0;
      for (std::uint32_t y = 0; y < in.height; ++y) {
        for (std::uint32_t x = 0; x < in.width; ++x) {
          const double k = tri((x + 0.5 - (i + 0.5) * rx) / sx) * tri((y + 0.5 - (j + 0.5) * ry) / sy);
          sum += k * in.at(x, y);
          weights += k;
        }
      }
      out.row(j)[i] = static_cast<std::uint8_t>(std::floor(sum / weights + 0.5));
    }
  }
  return out;
}

// Direct 2-D Gaussian with edge replication and a radius of ceil(3 sigma)
// per axis, at most the image extent.
GrayImage reference_blur(const GrayImage& in, double sigma) {
  const int r = static_cast<int>(std::ceil(3 * sigma));
  const int rx = std::min<int>(r, in.width - 1), ry = std::min<int>(r, in.height - 1);
  GrayImage out(in.width, in.height);
  for (int y = 0; y < static_cast<int>(in.height); ++y) {
    for (int x = 0; x < static_cast<int>(in.width); ++x) {
      double sum = 0, weights = 0;
      for (int dy = -ry; dy <= ry; ++dy) {
        for (int dx = -rx; dx <= rx; ++dx) {
          const double k = std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
          const int sx = std::clamp<int>(x + dx, 0, in.width - 1), sy = std::clamp<int>(y + dy, 0, in.height - 1);
          sum += k * in.at(sx, sy);
          weights += k;
        }
      }
      out.row(y)[x] = static_cast<std::uint8_t>(std::floor(sum / weights + 0.5));
    }
  }
  return out;
}

// The tile threshold evaluated pixel by pixel from its definition.
std::uint8_t reference_ternary(const GrayImage& img, std::uint32_t x, std::uint32_t y, int min_diff) {
  const int tw = img.width / 4, th = img.height / 4;
  const int tx = std::min<int>(x / 4, tw - 1), ty = std::min<int>(y / 4, th - 1);
  int lo = 255, hi = 0;
  for (int ny = std::max(ty - 1, 0); ny <= std::min(ty + 1, th - 1); ++ny) {
    for (int nx = std::max(tx - 1, 0); nx <= std::min(tx + 1, tw - 1); ++nx) {
      for (int py = 4 * ny; py < 4 * ny + 4; ++py) {
        for (int px = 4 * nx; px < 4 * nx + 4; ++px) {
          lo = std::min<int>(lo, img.at(px, py));
          hi = std::max<int>(hi, img.at(px, py));
        }
      }
    }
  }
  if (hi - lo < min_diff) return kTernaryUnknown;
  return img.at(x, y) > ((lo + hi) >> 1) ? kTernaryWhite : kTernaryBlack;
}

TernaryImage ternary_from(const GrayImage& img) {
  TernaryImage t(img.width, img.height, 0);
  t.pixels.assign(img.pixels.begin(), img.pixels.end());
  return t;
}

GrayImage ternary_pattern(std::uint32_t w, std::uint32_t h, std::uint8_t fill) {
  return GrayImage(w, h, fill);
}

void fill_rect(GrayImage& img, std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h,
               std::uint8_t v) {
  for (std::uint32_t y = y0; y < y0 + h; ++y) std::fill_n(img.row(y) + x0, w, v);
}

BoundaryClusters clusters_of(const GrayImage& ternary_values, std::int32_t min_cluster_pixels) {
  auto s = segment(ternary_from(ternary_values));
  EXPECT_TRUE(s.ok());
  return cluster_boundary(*s, min_cluster_pixels);
}

CandidateList candidates(const GrayImage& img, const DetectorParameters& p = {}) {
  auto result = find_apriltag_candidates(img, apriltag_search_settings(p));
  EXPECT_TRUE(result.ok());
  return result.ok() ? *result : CandidateList{};
}

// Blobs of black, white and unknown: a coarse random grid of values with
// single-pixel noise, so that runs, unions of every kind and long outlines
// all occur.
TernaryImage random_ternary(std::uint32_t w, std::uint32_t h, unsigned seed) {
  std::mt19937 rng(seed);
  const std::uint8_t values[3] = {kTernaryBlack, kTernaryWhite, kTernaryUnknown};
  std::discrete_distribution<int> pick({45, 45, 10});
  std::uniform_int_distribution<int> noise(0, 99);
  const std::uint32_t cell = 1 + seed % 7;
  std::vector<std::uint8_t> grid((w / cell + 1) * (h / cell + 1));
  for (auto& g : grid) g = values[pick(rng)];
  TernaryImage t(w, h, 0);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t v = grid[(y / cell) * (w / cell + 1) + x / cell];
      t.row(y)[x] = noise(rng) < 8 ? values[pick(rng)] : v;
    }
  }
  return t;
}

// The region labelling as defined, pixel by pixel: a new label unless the
// pixel takes its left neighbour's (columns >= 2, not in the last row);
// unions with the same-valued pixels above (three for white, one for black,
// columns 1 ... w - 2), skipping one whose label equals the label above-left
// when the pixel took its left label; union by size, ties under the pixel
// above. Returns the root label of every pixel (kNoLabel when unknown).
std::vector<std::uint32_t> reference_roots(const TernaryImage& t) {
  const std::uint32_t w = t.width, h = t.height;
  std::vector<std::uint32_t> labels(static_cast<std::size_t>(w) * h, kNoLabel), parent, size;
  const auto find = [&](std::uint32_t a) {
    while (parent[a] != a) a = parent[a];
    return a;
  };
  const auto join = [&](std::uint32_t current, std::uint32_t above) {
    const std::uint32_t a = find(current), b = find(above);
    if (a == b) return;
    if (size[a] > size[b]) {
      parent[b] = a;
      size[a] += size[b];
    } else {
      parent[a] = b;
      size[b] += size[a];
    }
  };
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t v = t.at(x, y);
      if (v == kTernaryUnknown) continue;
      const std::size_t i = static_cast<std::size_t>(y) * w + x;
      const bool took_left = y + 1 < h && x >= 2 && t.at(x - 1, y) == v;
      if (took_left) {
        labels[i] = labels[i - 1];
      } else {
        labels[i] = static_cast<std::uint32_t>(parent.size());
        parent.push_back(labels[i]);
        size.push_back(1);
      }
      if (y == 0 || x < 1 || x + 1 >= w) continue;
      const std::uint32_t first = v == kTernaryWhite ? x - 1 : x, last = v == kTernaryWhite ? x + 1 : x;
      for (std::uint32_t ax = first; ax <= last; ++ax) {
        if (t.at(ax, y - 1) != v) continue;
        if (took_left && labels[i - w - x + ax] == labels[i - w - 1]) continue;
        join(labels[i], labels[i - w - x + ax]);
      }
    }
  }
  for (auto& l : labels) l = l == kNoLabel ? kNoLabel : find(l);
  return labels;
}

// Clusters as defined: every black-white neighbour pair (neighbours (1, 0),
// (0, 1), (-1, 1), (1, 1) of pixels at 1 <= x < w - 1 above the last row)
// gives a point for its region pair; pairs with fewer than max(24, minimum)
// points are dropped.
std::map<std::uint64_t, std::vector<BoundaryPoint>> reference_clusters(const TernaryImage& t,
                                                                       std::int32_t minimum) {
  const std::vector<std::uint32_t> roots = reference_roots(t);
  std::map<std::uint64_t, std::vector<BoundaryPoint>> clusters;
  const int neighbours[4][2] = {{1, 0}, {0, 1}, {-1, 1}, {1, 1}};
  for (std::uint32_t y = 0; y + 1 < t.height; ++y) {
    for (std::uint32_t x = 1; x + 1 < t.width; ++x) {
      const int v = t.at(x, y);
      for (const auto& d : neighbours) {
        const int nb = t.at(x + d[0], y + d[1]);
        if ((v ^ nb) != 0xFF) continue;
        const std::uint32_t ra = roots[static_cast<std::size_t>(y) * t.width + x];
        const std::uint32_t rb = roots[static_cast<std::size_t>(y + d[1]) * t.width + x + d[0]];
        const std::uint64_t key = (std::uint64_t{std::min(ra, rb)} << 32) | std::max(ra, rb);
        clusters[key].push_back({static_cast<std::int32_t>(2 * x) + d[0], static_cast<std::int32_t>(2 * y) + d[1],
                                 d[0] * (nb - v), d[1] * (nb - v)});
      }
    }
  }
  const auto smallest = static_cast<std::size_t>(std::max(24, minimum));
  std::erase_if(clusters, [&](const auto& c) { return c.second.size() < smallest; });
  return clusters;
}

}  // namespace

// ---------------------------------------------------------------- working image

TEST(AprilTagWorkingImage, DecimatedSizeRoundsAndClamps) {
  EXPECT_EQ(decimated_size({640, 480}, 2.0), (ImageSize{320, 240}));
  EXPECT_EQ(decimated_size({640, 480}, 1.0), (ImageSize{640, 480}));
  EXPECT_EQ(decimated_size({640, 480}, 0.0), (ImageSize{640, 480}));
  EXPECT_EQ(decimated_size({640, 480}, std::nan("")), (ImageSize{640, 480}));
  EXPECT_EQ(decimated_size({5, 7}, 2.0), (ImageSize{3, 4}));  // 2.5 and 3.5 round away from zero
  EXPECT_EQ(decimated_size({640, 480}, 1e300), (ImageSize{1, 1}));
}

TEST(AprilTagWorkingImage, CornersMapBackThroughPixelCentres) {
  // Working pixel centre i covers input pixels 2i and 2i + 1, whose midpoint is 2i + 0.5.
  const Point2f p = working_to_input({10.0f, 19.75f}, {640, 480}, {320, 240});
  EXPECT_FLOAT_EQ(p.x, 20.5f);
  EXPECT_FLOAT_EQ(p.y, 40.0f);
  // The exact per-axis ratio is used when the factor does not divide the size.
  const Point2f q = working_to_input({320.0f, 0.0f}, {641, 481}, {321, 241});
  EXPECT_NEAR(q.x, (320.5 * 641.0 / 321.0) - 0.5, 1e-4);
  EXPECT_EQ(working_to_input({3.25f, 4.5f}, {50, 60}, {50, 60}), (Point2f{3.25f, 4.5f}));
}

TEST(AprilTagWorkingImage, TriangleResizeMatchesDirectFilter) {
  const GrayImage img = random_image(37, 29, 1);
  for (auto [w, h] : {std::pair{18u, 14u}, {12u, 10u}, {25u, 29u}, {37u, 10u}, {5u, 3u}, {1u, 1u}}) {
    EXPECT_LE(max_difference(resize_triangle(img, {w, h}), reference_resize(img, w, h)), 1) << w << "x" << h;
  }
  const GrayImage flat(33, 21, 173);
  const GrayImage small = resize_triangle(flat, {11, 7});
  EXPECT_TRUE(std::all_of(small.pixels.begin(), small.pixels.end(), [](auto v) { return v == 173; }));
}

TEST(AprilTagWorkingImage, GaussianBlurMatchesDirectFilter) {
  const GrayImage img = random_image(31, 23, 2);
  for (float sigma : {0.5f, 0.8f, 2.0f, 5.0f}) {
    EXPECT_LE(max_difference(gaussian_blur(img, sigma), reference_blur(img, sigma)), 1) << sigma;
  }
  // Thin images: the kernel is cut at the image extent along each axis.
  const GrayImage strip = random_image(40, 2, 3);
  EXPECT_LE(max_difference(gaussian_blur(strip, 3.0f), reference_blur(strip, 3.0)), 1);
}

TEST(AprilTagWorkingImage, HugeSigmaStaysBoundedByTheImage) {
  const float sigma = quad_blur_sigma(1e300);
  EXPECT_TRUE(std::isinf(sigma));
  const GrayImage img = random_image(64, 48, 4, 40, 200);
  const GrayImage blurred = gaussian_blur(img, sigma);
  const auto [lo, hi] = std::minmax_element(blurred.pixels.begin(), blurred.pixels.end());
  EXPECT_GE(*lo, 40);
  EXPECT_LE(*hi, 200);
  EXPECT_LE(*hi - *lo, 30);  // a flat kernel over most of the image averages the noise away
  const GrayImage one(1, 1, 77);
  EXPECT_EQ(gaussian_blur(one, sigma).pixels[0], 77);
}

TEST(AprilTagWorkingImage, BlurSigmaIgnoresSignAndReplacesZero) {
  EXPECT_EQ(quad_blur_sigma(-0.8), 0.8f);
  EXPECT_EQ(quad_blur_sigma(0.8), 0.8f);
  EXPECT_EQ(quad_blur_sigma(1e-50), 0.8f);  // 0 in single precision
  EXPECT_EQ(quad_blur_sigma(-2.5), 2.5f);
  const GrayImage img = rectangle(80, 60, 20, 15, 30, 25);
  DetectorParameters pos, neg;
  pos.april_tag_quad_sigma = 0.8;
  neg.april_tag_quad_sigma = -0.8;
  const CandidateList a = candidates(img, pos);
  ASSERT_EQ(a.size(), 1u);
  const CandidateList b = candidates(img, neg);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0].corners, b[0].corners);
}

// ---------------------------------------------------------------- threshold

TEST(AprilTagThreshold, UniformImageIsUnknownOrAllBlack) {
  const GrayImage flat(40, 30, 90);
  const TernaryImage t1 = threshold_tiles(flat, 1);
  EXPECT_TRUE(std::all_of(t1.pixels.begin(), t1.pixels.end(), [](auto v) { return v == kTernaryUnknown; }));
  const TernaryImage t0 = threshold_tiles(flat, 0);
  EXPECT_TRUE(std::all_of(t0.pixels.begin(), t0.pixels.end(), [](auto v) { return v == kTernaryBlack; }));
}

TEST(AprilTagThreshold, ImagesNarrowerThanATileStayUnknown) {
  for (auto [w, h] : {std::pair{3u, 100u}, {100u, 3u}, {0u, 0u}}) {
    const TernaryImage t = threshold_tiles(random_image(w, h, 5), 0);
    EXPECT_TRUE(std::all_of(t.pixels.begin(), t.pixels.end(), [](auto v) { return v == kTernaryUnknown; }));
  }
  EXPECT_TRUE(candidates(random_image(3, 100, 5)).empty());
}

TEST(AprilTagThreshold, MatchesPerPixelDefinitionIncludingPartialTiles) {
  // Sizes that are not multiples of 4 exercise the widened last tile row and column.
  int case_index = 0;
  for (auto [w, h] : {std::pair{4u, 4u}, {7u, 5u}, {13u, 9u}, {16u, 16u}, {23u, 18u}, {41u, 6u}}) {
    for (int min_diff : {0, 5, 60, 255}) {
      const GrayImage img = random_image(w, h, 100 + case_index++, 20, 160);
      const TernaryImage t = threshold_tiles(img, min_diff);
      for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
          ASSERT_EQ(t.at(x, y), reference_ternary(img, x, y, min_diff))
              << w << "x" << h << " diff " << min_diff << " at " << x << "," << y;
        }
      }
    }
  }
}

TEST(AprilTagThreshold, DeglitchClosesWithUnknownBetweenBlackAndWhite) {
  std::mt19937 rng(9);
  const std::uint8_t values[3] = {kTernaryBlack, kTernaryUnknown, kTernaryWhite};
  TernaryImage t(11, 8, 0);
  for (auto& v : t.pixels) v = values[rng() % 3];
  const TernaryImage before = t;
  deglitch(t);
  const auto window = [](const TernaryImage& img, int x, int y, bool take_max) {
    std::uint8_t e = img.at(x, y);
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const std::uint8_t v = img.at(x + dx, y + dy);
        e = take_max ? std::max(e, v) : std::min(e, v);
      }
    }
    return e;
  };
  TernaryImage dilated = before;
  for (int y = 1; y < 7; ++y) {
    for (int x = 1; x < 10; ++x) dilated.row(y)[x] = window(before, x, y, true);
  }
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 11; ++x) {
      const bool border = x == 0 || y == 0 || x == 10 || y == 7;
      EXPECT_EQ(t.at(x, y), border ? before.at(x, y) : window(dilated, x, y, false)) << x << "," << y;
    }
  }
  // A one-pixel black hole in white is closed.
  TernaryImage hole(9, 9, kTernaryWhite);
  hole.row(4)[4] = kTernaryBlack;
  deglitch(hole);
  EXPECT_EQ(hole.at(4, 4), kTernaryWhite);
}

// ---------------------------------------------------------------- segmentation

TEST(AprilTagSegmentation, SizeLimitIsAValueError) {
  EXPECT_FALSE(check_segmentable(65535, 65535));  // 4294836225 pixels
  EXPECT_FALSE(check_segmentable(1u << 30, 3));
  const auto big = check_segmentable(65536, 65536);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->kind, ErrorKind::kValue);
  EXPECT_NE(big->message.find("too large"), std::string::npos);
  EXPECT_NE(big->message.find("65536 x 65536"), std::string::npos);
  EXPECT_TRUE(check_segmentable(0xFFFFFFFFu, 1));
  EXPECT_TRUE(check_segmentable((1u << 30) + 1, 2));
  // The detector refuses before touching a pixel (this image has none).
  const GrayImage huge(Vec<std::uint8_t>{}, 70000, 70000);
  const auto result = find_apriltag_candidates(huge, AprilTagSearchSettings{});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, ErrorKind::kValue);
}

TEST(AprilTagSegmentation, UnionKeepsTheLargerRootAndTiesGoAbove) {
  RegionForest f;
  for (int i = 0; i < 4; ++i) f.add();
  f.join(0, 1);  // equal sizes: 0's root goes under 1
  EXPECT_EQ(f.find(0), 1u);
  f.join(1, 2);  // {0, 1} is larger: 2 goes under 1
  EXPECT_EQ(f.find(2), 1u);
  f.join(3, 0);
  EXPECT_EQ(f.find(3), 1u);
  EXPECT_EQ(f.size(), 4u);
}

TEST(AprilTagSegmentation, BoundaryRecordsUseDoubledCoordinates) {
  GrayImage v = ternary_pattern(6, 5, kTernaryWhite);
  v.row(2)[2] = kTernaryBlack;
  auto s = segment(ternary_from(v));
  ASSERT_TRUE(s.ok());
  const Vec<BoundaryRecord> records = boundary_records(*s);
  const auto has = [&](BoundaryPoint p, std::uint32_t a, std::uint32_t b) {
    return std::any_of(records.begin(), records.end(), [&](const BoundaryRecord& r) {
      return r.point == p && r.a == a && r.b == b;
    });
  };
  EXPECT_TRUE(has({5, 4, 255, 0}, 14, 15));      // black (2,2) to white (3,2)
  EXPECT_TRUE(has({3, 4, -255, 0}, 13, 14));     // white (1,2) to black (2,2)
  EXPECT_TRUE(has({4, 5, 0, 255}, 14, 20));      // down
  EXPECT_TRUE(has({3, 5, -255, 255}, 14, 19));   // down-left: (dx, dy) = (-1, 1)
  EXPECT_TRUE(has({3, 3, -255, -255}, 7, 14));   // white (1,1) down-right onto black
  EXPECT_EQ(records.size(), 8u);  // 4 from the black pixel, 4 from white pixels reaching it
}

TEST(AprilTagSegmentation, OneDarkSquareGivesOneClusterJoiningItsTwoRegions) {
  GrayImage v = ternary_pattern(40, 30, kTernaryWhite);
  fill_rect(v, 10, 8, 12, 10, kTernaryBlack);
  auto s = segment(ternary_from(v));
  ASSERT_TRUE(s.ok());
  const auto clusters = cluster_boundary(*s, 5);
  ASSERT_EQ(clusters.size(), 1u);
  const std::uint32_t square = s->regions.find(s->labels[12 * 40 + 15]);
  const std::uint32_t background = s->regions.find(s->labels[2 * 40 + 30]);
  EXPECT_EQ(clusters[0].key, (std::uint64_t{std::min(square, background)} << 32) | std::max(square, background));
  for (const BoundaryPoint& p : clusters[0].points) {  // all on the square's outline
    EXPECT_TRUE(p.x >= 19 && p.x <= 44 && p.y >= 15 && p.y <= 36) << p.x << "," << p.y;
    EXPECT_FALSE(p.x > 20 && p.x < 42 && p.y > 16 && p.y < 34) << p.x << "," << p.y;
  }
}

TEST(AprilTagSegmentation, MinimumClusterSizeNeverBelow24) {
  GrayImage small = ternary_pattern(20, 20, kTernaryWhite);
  fill_rect(small, 8, 8, 2, 2, kTernaryBlack);
  auto s = segment(ternary_from(small));
  ASSERT_TRUE(s.ok());
  ASSERT_GT(boundary_records(*s).size(), 0u);
  ASSERT_LT(boundary_records(*s).size(), 24u);
  EXPECT_TRUE(cluster_boundary(*s, 1).empty());

  GrayImage big = ternary_pattern(60, 60, kTernaryWhite);
  fill_rect(big, 20, 20, 15, 15, kTernaryBlack);
  const auto all = clusters_of(big, 1);
  ASSERT_EQ(all.size(), 1u);
  const auto n = static_cast<std::int32_t>(all[0].points.size());
  ASSERT_GT(n, 25);
  EXPECT_EQ(clusters_of(big, n).size(), 1u);
  EXPECT_TRUE(clusters_of(big, n + 1).empty());
}

TEST(AprilTagSegmentation, UnknownPixelsSeparateRegions) {
  GrayImage v = ternary_pattern(40, 30, kTernaryWhite);
  fill_rect(v, 0, 0, 18, 30, kTernaryBlack);
  fill_rect(v, 18, 0, 1, 30, kTernaryUnknown);
  auto s = segment(ternary_from(v));
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(boundary_records(*s).empty());
  EXPECT_EQ(s->labels[18], kNoLabel);
  fill_rect(v, 18, 0, 1, 30, kTernaryWhite);  // without the gap there is a boundary
  auto joined = segment(ternary_from(v));
  EXPECT_FALSE(boundary_records(*joined).empty());
}

TEST(AprilTagSegmentation, ClustersComeInAscendingKeyOrderEveryRun) {
  GrayImage v = ternary_pattern(120, 90, kTernaryWhite);
  for (std::uint32_t i = 0; i < 4; ++i) {
    fill_rect(v, 5 + 28 * i, 10 + 15 * (i % 2), 12 + i, 12, kTernaryBlack);
    fill_rect(v, 10 + 25 * i, 55, 14, 10 + 3 * i, kTernaryBlack);
  }
  fill_rect(v, 12, 58, 4, 4, kTernaryWhite);  // a hole: its own cluster with the square
  const auto first = clusters_of(v, 1);
  const auto second = clusters_of(v, 1);
  ASSERT_EQ(first.size(), 9u);
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].key, second[i].key);
    EXPECT_TRUE(std::equal(first[i].points.begin(), first[i].points.end(), second[i].points.begin(),
                           second[i].points.end()));
    if (i > 0) {
      EXPECT_LT(first[i - 1].key, first[i].key);
    }
  }
}

TEST(AprilTagSegmentation, RegionsMatchThePixelByPixelDefinition) {
  // Narrow, flat and tall images (several bands of rows, several parts of
  // the union pass) included.
  const std::uint32_t sizes[][2] = {{1, 1},   {1, 9},     {9, 1},     {2, 5},     {3, 3},    {4, 40},
                                    {37, 23}, {211, 97}, {64, 420}, {300, 260}, {97, 512}, {160, 200}};
  unsigned seed = 1;
  for (const auto& size : sizes) {
    for (int repeat = 0; repeat < 3; ++repeat, ++seed) {
      const TernaryImage t = random_ternary(size[0], size[1], seed);
      auto s = segment(t);
      ASSERT_TRUE(s.ok());
      const std::vector<std::uint32_t> roots = reference_roots(t);
      for (std::size_t i = 0; i < roots.size(); ++i) {
        ASSERT_EQ(s->labels[i], roots[i]) << size[0] << " x " << size[1] << ", seed " << seed << ", pixel " << i;
      }
    }
  }
}

TEST(AprilTagSegmentation, ClustersMatchTheDefinitionInKeyAndScanOrder) {
  const std::uint32_t sizes[][2] = {{3, 3}, {30, 30}, {211, 97}, {64, 420}, {300, 260}};
  unsigned seed = 100;
  for (const auto& size : sizes) {
    for (const std::int32_t minimum : {1, 40}) {
      const TernaryImage t = random_ternary(size[0], size[1], ++seed);
      auto s = segment(t);
      ASSERT_TRUE(s.ok());
      const BoundaryClusters clusters = cluster_boundary(*s, minimum);
      const auto expected = reference_clusters(t, minimum);
      ASSERT_EQ(clusters.size(), expected.size()) << size[0] << " x " << size[1] << ", seed " << seed;
      std::size_t i = 0;
      for (const auto& [key, points] : expected) {
        ASSERT_EQ(clusters[i].key, key);
        ASSERT_TRUE(std::equal(points.begin(), points.end(), clusters[i].points.begin(), clusters[i].points.end()))
            << "cluster " << i << " of " << size[0] << " x " << size[1] << ", seed " << seed;
        ++i;
      }
    }
  }
}

// ---------------------------------------------------------------- quad fit

TEST(AprilTagQuadFit, DarkSquareGivesOneQuadOnItsPixelEdges) {
  const CandidateList c = candidates(rectangle(120, 100, 30, 30, 40, 40));
  ASSERT_EQ(c.size(), 1u);
  const Corners truth = {{{29.5, 29.5}, {69.5, 29.5}, {69.5, 69.5}, {29.5, 69.5}}};
  const auto q = match_quad(c, truth, 0.05);
  ASSERT_TRUE(q) << c[0].corners[0].x << "," << c[0].corners[0].y;
  // Consecutive in increasing angle: clockwise on screen (y down).
  double twice_area = 0;
  for (int i = 0; i < 4; ++i) {
    const Point2f a = c[0].corners[i], b = c[0].corners[(i + 1) % 4];
    twice_area += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
  }
  EXPECT_GT(twice_area, 0);
}

TEST(AprilTagQuadFit, LightSquareOnDarkIsRejectedByPolarity) {
  const GrayImage img = rectangle(120, 100, 30, 30, 40, 40, kLight, kDark);
  auto s = segment(threshold_tiles(img, 5));
  ASSERT_TRUE(s.ok());
  const auto clusters = cluster_boundary(*s, 5);
  ASSERT_EQ(clusters.size(), 1u);
  EXPECT_FALSE(fit_quad(clusters[0].points, img, QuadFitSettings{}));
  EXPECT_TRUE(candidates(img).empty());
}

TEST(AprilTagQuadFit, AreaBelow64WorkingPixelsIsRejected) {
  EXPECT_TRUE(candidates(rectangle(80, 80, 30, 30, 7, 7)).empty());
  EXPECT_EQ(candidates(rectangle(80, 80, 30, 30, 8, 8)).size(), 1u);  // 64: accepted
  auto s = segment(threshold_tiles(rectangle(80, 80, 30, 30, 7, 7), 5));
  EXPECT_EQ(cluster_boundary(*s, 5).size(), 1u);  // the outline was there, the fit refused it
  // Decimation scales corners up only after the test: 14 px become 7 working pixels.
  DetectorParameters d2;
  d2.april_tag_quad_decimate = 2.0;
  EXPECT_TRUE(candidates(rectangle(120, 120, 40, 40, 14, 14), d2).empty());
  EXPECT_EQ(candidates(rectangle(120, 120, 40, 40, 20, 20), d2).size(), 1u);
}

TEST(AprilTagQuadFit, TriangleIsRejected) {
  const std::vector<P2> triangle = {{20, 20}, {100, 30}, {40, 100}};
  const GrayImage img = render(130, 120, [&](double x, double y) { return inside_convex(triangle, x, y); });
  auto s = segment(threshold_tiles(img, 5));
  ASSERT_EQ(cluster_boundary(*s, 5).size(), 1u);
  EXPECT_TRUE(candidates(img).empty());
}

TEST(AprilTagQuadFit, MaxNmaximaLimitsTheBendsTried) {
  // A square with an 8 x 8 bump on its top side: the bump's bends are among
  // the four strongest, so four maxima cannot find the square's corners.
  GrayImage img = rectangle(140, 120, 40, 30, 60, 60);
  fill_rect(img, 60, 22, 8, 8, kDark);
  DetectorParameters four;
  four.april_tag_max_nmaxima = 4;
  EXPECT_TRUE(candidates(img, four).empty());
  const CandidateList ten = candidates(img);
  ASSERT_EQ(ten.size(), 1u);
  EXPECT_TRUE(match_quad(ten, {{{39.5, 29.5}, {99.5, 29.5}, {99.5, 89.5}, {39.5, 89.5}}}, 3.0));
  // On a clean square the four strongest bends are its corners.
  EXPECT_EQ(candidates(rectangle(140, 120, 40, 30, 60, 60), four).size(), 1u);
  // Teeth of one pixel along every side give far more than 64 bends, past
  // which the runs' lines are no longer memoised; the corners still win.
  GrayImage toothed = rectangle(280, 280, 40, 40, 200, 200);
  for (std::uint32_t t = 43; t + 3 < 237; t += 6) {
    fill_rect(toothed, t, 39, 3, 1, kDark);
    fill_rect(toothed, t, 240, 3, 1, kDark);
    fill_rect(toothed, 39, t, 1, 3, kDark);
    fill_rect(toothed, 240, t, 1, 3, kDark);
  }
  DetectorParameters hundred;
  hundred.april_tag_max_nmaxima = 100;
  const CandidateList teeth = candidates(toothed, hundred);
  ASSERT_EQ(teeth.size(), 1u);
  EXPECT_TRUE(match_quad(teeth, {{{39.5, 39.5}, {239.5, 39.5}, {239.5, 239.5}, {39.5, 239.5}}}, 1.5));
}

TEST(AprilTagQuadFit, LargeOutlinesJustWithinTheLineErrorLimitAreFitted) {
  // A square of thousands of outline points whose sides wave by `amplitude`
  // pixels: up to about 4.5 its lines stay within the default error limit.
  // Outlines this large are first screened over coarse sectors of angle,
  // which must never refuse one the full search accepts, whatever its turn.
  for (const double turn : {0.12, 0.6}) {
    for (const auto& [amplitude, found] : {std::pair{4.375, 1u}, std::pair{4.75, 0u}}) {
      const GrayImage img = render(
          640, 640,
          [&](double x, double y) {
            const double u = (x - 320) * std::cos(turn) + (y - 320) * std::sin(turn);
            const double v = (y - 320) * std::cos(turn) - (x - 320) * std::sin(turn);
            const auto wave = [&](double t) { return 190 + amplitude * std::sin(t / 60 * 2 * std::numbers::pi); };
            return std::fabs(u) < wave(v) && std::fabs(v) < wave(u);
          },
          2);
      auto s = segment(threshold_tiles(img, 5));
      ASSERT_TRUE(s.ok());
      const BoundaryClusters clusters = cluster_boundary(*s, 5);
      ASSERT_EQ(clusters.size(), 1u);
      EXPECT_GT(clusters[0].points.size(), 4000u);
      EXPECT_EQ(candidates(img).size(), found) << "turn " << turn << ", amplitude " << amplitude;
    }
  }
}

TEST(AprilTagQuadFit, FittingAllClustersTogetherEqualsOneByOne) {
  // Many clusters of every size: the fits share buffers within a task.
  // Turned squares of 6 ... 34 pixels, one per 40-pixel cell, and noise.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> side(6, 34), angle(0, 3.14159);
  std::vector<std::vector<P2>> shapes;
  for (int cy = 20; cy < 240; cy += 40) {
    for (int cx = 20; cx < 320; cx += 40) {
      const double r = side(rng) / 2, a = angle(rng);
      std::vector<P2> q;
      for (int k = 0; k < 4; ++k) q.push_back({cx + r * std::cos(a + k * 1.5708), cy + r * std::sin(a + k * 1.5708)});
      shapes.push_back(q);
    }
  }
  GrayImage img = render(
      320, 240, [&](double x, double y) {
        return std::any_of(shapes.begin(), shapes.end(), [&](const auto& q) { return inside_convex(q, x, y); });
      },
      2);
  std::uniform_int_distribution<int> noise(-30, 30);
  for (auto& p : img.pixels) p = static_cast<std::uint8_t>(std::clamp(p + noise(rng), 0, 255));
  auto s = segment(threshold_tiles(img, 5));
  ASSERT_TRUE(s.ok());
  const BoundaryClusters clusters = cluster_boundary(*s, 5);
  ASSERT_GT(clusters.size(), 40u) << clusters.size();
  const QuadFitSettings settings;
  const Vec<std::optional<Quad>> together = fit_quads(clusters, img, settings);
  ASSERT_EQ(together.size(), clusters.size());
  std::size_t fitted = 0;
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    const auto alone = fit_quad(clusters[i].points, img, settings);
    ASSERT_EQ(together[i].has_value(), alone.has_value()) << "cluster " << i;
    if (alone) {
      EXPECT_EQ(*together[i], *alone) << "cluster " << i;
      ++fitted;
    }
  }
  EXPECT_GT(fitted, 30u) << fitted;
}

// ---------------------------------------------------------------- edge refinement

TEST(AprilTagEdgeRefinement, MovesSidesOntoEdgesAndLeavesEdgelessQuadsAlone) {
  const GrayImage square = rectangle(120, 100, 30, 30, 40, 40);  // outline at 29.5 and 69.5
  const Quad off = {{{30.4f, 28.8f}, {70.2f, 29.9f}, {69.1f, 70.3f}, {28.9f, 69.0f}}};
  const Quad refined = refine_quad_edges(square, off, edge_search_radius(1.0));
  const Quad truth = {{{29.5f, 29.5f}, {69.5f, 29.5f}, {69.5f, 69.5f}, {29.5f, 69.5f}}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(refined[i].x, truth[i].x, 0.02) << i;
    EXPECT_NEAR(refined[i].y, truth[i].y, 0.02) << i;
  }
  // No rising edge (a flat image, a light square on dark), a degenerate quad,
  // no image: nothing to move.
  EXPECT_EQ(refine_quad_edges(GrayImage(120, 100, 128), off, 2.0), off);
  EXPECT_EQ(refine_quad_edges(rectangle(120, 100, 30, 30, 40, 40, kLight, kDark), off, 2.0), off);
  const Quad point = {{{50, 50}, {50, 50}, {50, 50}, {50, 50}}};
  EXPECT_EQ(refine_quad_edges(square, point, 2.0), point);
  EXPECT_EQ(refine_quad_edges(GrayImage(), off, 2.0), off);
}
