// The AprilTag candidate search and the full-resolution refit on rendered
// tags whose corners are known exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "apriltag/preprocess.hpp"
#include "apriltag/quad_detector.hpp"
#include "apriltag/refit.hpp"
#include "apriltag_test_images.hpp"
#include "detector/marker.hpp"
#include "detector/stage_settings.hpp"

using namespace morvelin;
using namespace morvelin::test;

namespace {

const Dictionary& tag36h11() {
  static const Dictionary d = *lookup_dictionary("DICT_APRILTAG_36h11");
  return d;
}

// A square of `side` turned by `angle` around `centre`, each corner moved by
// up to `jitter`; clockwise on screen from the (unturned) top-left.
Corners tag_corners(P2 centre, double side, double angle, double jitter, std::mt19937& rng) {
  std::uniform_real_distribution<double> shift(-jitter, jitter);
  const double unit[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
  Corners c;
  for (int i = 0; i < 4; ++i) {
    const double u = unit[i][0] * side / 2, v = unit[i][1] * side / 2;
    c[i] = {centre.x + u * std::cos(angle) - v * std::sin(angle) + shift(rng),
            centre.y + u * std::sin(angle) + v * std::cos(angle) + shift(rng)};
  }
  return c;
}

// Tags of 40 ... 90 pixels at random poses in a 320 x 240 image.
std::vector<TagScene> random_scenes(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> cx(100, 220), cy(90, 150), side(40, 90), angle(0, 2 * std::numbers::pi);
  std::uniform_int_distribution<int> id(0, 500);
  std::vector<TagScene> scenes;
  for (int i = 0; i < count; ++i) {
    const Corners c = tag_corners({cx(rng), cy(rng)}, side(rng), angle(rng), 6.0, rng);
    scenes.push_back(render_tag(320, 240, tag36h11(), static_cast<std::size_t>(id(rng)), c));
  }
  return scenes;
}

CandidateList candidates(const GrayImage& img, double decimate = 0.0) {
  DetectorParameters p;
  p.april_tag_quad_decimate = decimate;
  auto result = find_apriltag_candidates(img, apriltag_search_settings(p));
  EXPECT_TRUE(result.ok());
  return result.ok() ? *result : CandidateList{};
}

// Mean signed corner offset from the truth, and the largest distance.
struct OffsetStats {
  double dx = 0, dy = 0, worst = 0;
  int corners = 0;

  void add(const Corners& found, const Corners& truth) {
    for (int i = 0; i < 4; ++i) {
      dx += found[i].x - truth[i].x;
      dy += found[i].y - truth[i].y;
      worst = std::max(worst, std::hypot(found[i].x - truth[i].x, found[i].y - truth[i].y));
      ++corners;
    }
  }
  double mean_dx() const { return dx / corners; }
  double mean_dy() const { return dy / corners; }
};

DetectedMarker marker_at(const Corners& c, std::int32_t id = 7) {
  DetectedMarker m;
  for (int i = 0; i < 4; ++i) m.corners[i] = {static_cast<float>(c[i].x), static_cast<float>(c[i].y)};
  m.id = id;
  return m;
}

Corners corners_of(const DetectedMarker& m) {
  Corners c;
  for (int i = 0; i < 4; ++i) c[i] = {m.corners[i].x, m.corners[i].y};
  return c;
}

double worst_error(const Corners& a, const Corners& b) {
  double worst = 0;
  for (int i = 0; i < 4; ++i) worst = std::max(worst, std::hypot(a[i].x - b[i].x, a[i].y - b[i].y));
  return worst;
}

// The refit of tag36h11 markers at the default settings.
RefitSettings refit_parameters() { return refit_settings(DetectorParameters{}, 6); }

Corners perturbed(const Corners& c, double amount, std::mt19937& rng) {
  std::uniform_real_distribution<double> shift(-amount, amount);
  Corners p = c;
  for (P2& q : p) q = {q.x + shift(rng), q.y + shift(rng)};
  return p;
}

}  // namespace

// Corners must come back with pixel centres at integer coordinates and no
// shift: reading doubled boundary coordinates as pixel corners would put every
// corner half a pixel down and to the right, and the fitted lines themselves
// lean a few hundredths of a pixel up and left (their points are weighted by
// the gradient of the pixel right of or below each boundary). The edge
// refinement moves the sides of full-resolution and decimated searches alike
// onto the image edges.
TEST(AprilTagCandidates, CornersAreUnbiasedAndSubpixelAtFullAndHalfResolution) {
  for (double decimate : {0.0, 2.0}) {
    OffsetStats stats;
    for (const TagScene& scene : random_scenes(12, 11)) {
      const auto found = match_quad(candidates(scene.image, decimate), scene.corners, 1.5);
      ASSERT_TRUE(found);
      stats.add(*found, scene.corners);
    }
    EXPECT_LT(std::fabs(stats.mean_dx()), 0.02) << decimate;
    EXPECT_LT(std::fabs(stats.mean_dy()), 0.02) << decimate;
    EXPECT_LT(stats.worst, 0.15) << decimate;
  }
}

TEST(AprilTagCandidates, DecimationThatDoesNotDivideTheSizeKeepsFarCornersInPlace) {
  // 641 x 481 halves to 321 x 241: the true ratio is 1.9969, not 2, which
  // matters most far from the origin.
  std::mt19937 rng(13);
  OffsetStats stats;
  for (double angle : {0.1, 0.9, 1.7, 2.5}) {
    const Corners c = tag_corners({560, 400}, 80, angle, 3.0, rng);
    const TagScene scene = render_tag(641, 481, tag36h11(), 3, c, 4);
    const auto found = match_quad(candidates(scene.image, 2.0), scene.corners, 2.0);
    ASSERT_TRUE(found);
    stats.add(*found, scene.corners);
  }
  EXPECT_LT(std::fabs(stats.mean_dx()), 0.35);
  EXPECT_LT(std::fabs(stats.mean_dy()), 0.35);
}

TEST(AprilTagCandidates, SameImageGivesTheSameCandidatesInTheSameOrder) {
  std::mt19937 rng(14);
  GrayImage img(400, 300, kLight);
  // Several tags in one image: many clusters fitted in parallel.
  for (int i = 0; i < 4; ++i) {
    const Corners c = tag_corners({90.0 + 200 * (i % 2), 80.0 + 140 * (i / 2)}, 70, 0.3 * i, 2.0, rng);
    const TagScene tag = render_tag(400, 300, tag36h11(), static_cast<std::size_t>(10 + i), c, 4);
    for (std::size_t k = 0; k < img.pixels.size(); ++k) img.pixels[k] = std::min(img.pixels[k], tag.image.pixels[k]);
  }
  const CandidateList first = candidates(img);
  ASSERT_GE(first.size(), 4u);
  for (int run = 0; run < 3; ++run) {
    const CandidateList again = candidates(img);
    ASSERT_EQ(again.size(), first.size());
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(again[i].corners, first[i].corners);
  }
}

TEST(AprilTagCandidates, EmptyAndTinyImagesGiveNothing) {
  EXPECT_TRUE(candidates(GrayImage()).empty());
  EXPECT_TRUE(candidates(GrayImage(2, 2, 0), 2.0).empty());
  EXPECT_TRUE(candidates(GrayImage(7, 7, 0), 3.0).empty());
}

TEST(AprilTagCandidates, ClutteredImagesGiveOnlyValidQuads) {
  // Noise, blobs and partial tiles stress every rejection path of the fitter;
  // whatever survives must be a convex quad of enough area (less what the
  // edge refinement may take off each side) and angle.
  std::mt19937 rng(15);
  std::size_t accepted = 0;
  for (int round = 0; round < 6; ++round) {
    GrayImage img(203 + round, 157 - round);
    std::uniform_int_distribution<int> noise(0, 255), blob(0, 1);
    for (std::uint32_t y = 0; y < img.height; ++y) {
      for (std::uint32_t x = 0; x < img.width; ++x) {
        const bool dark = ((x / (3 + round)) * 7 + (y / (4 + round)) * 3) % 5 < 2;
        img.row(y)[x] = static_cast<std::uint8_t>(round % 2 ? noise(rng) : (dark ? 40 : 200) + blob(rng) * 30);
      }
    }
    DetectorParameters p;
    p.april_tag_deglitch = round % 3 == 0;
    p.april_tag_quad_decimate = round >= 4 ? 1.5 : 0.0;
    p.april_tag_quad_sigma = round == 2 ? 0.8 : 0.0;
    p.april_tag_max_line_fit_mse = 40.0;
    auto result = find_apriltag_candidates(img, apriltag_search_settings(p));
    ASSERT_TRUE(result.ok());
    const double min_area = 0.5 * 64.0 * (p.april_tag_quad_decimate > 1 ? 1.5 * 1.5 * 0.9 : 1.0);
    accepted += result->size();
    for (const MarkerCandidate& c : *result) {
      double twice_area = 0;
      bool pos = false, neg = false;
      for (int i = 0; i < 4; ++i) {
        const Point2f a = c.corners[i], b = c.corners[(i + 1) % 4], d = c.corners[(i + 2) % 4];
        ASSERT_TRUE(std::isfinite(a.x) && std::isfinite(a.y));
        twice_area += static_cast<double>(a.x) * b.y - static_cast<double>(b.x) * a.y;
        const double cross = (static_cast<double>(b.x) - a.x) * (d.y - b.y) - (static_cast<double>(b.y) - a.y) * (d.x - b.x);
        pos = pos || cross > 0;
        neg = neg || cross < 0;
      }
      EXPECT_FALSE(pos && neg);
      EXPECT_GE(std::fabs(twice_area) / 2, min_area);
    }
  }
  EXPECT_GT(accepted, 0u);  // the blob rounds do produce quads
}

// ---------------------------------------------------------------- refit

TEST(AprilTagRefit, ExactCornersStayPutInTheirOrder) {
  for (const TagScene& scene : random_scenes(6, 21)) {
    DetectedMarker m = marker_at(scene.corners);
    refit_marker_full_resolution(scene.image, refit_parameters(), m.corners);
    EXPECT_LT(worst_error(corners_of(m), scene.corners), 0.7);
    EXPECT_EQ(m.id, 7);
  }
}

TEST(AprilTagRefit, PerturbedCornersMoveTowardsTheTruth) {
  std::mt19937 rng(22);
  for (const TagScene& scene : random_scenes(8, 22)) {
    const Corners start = perturbed(scene.corners, 1.5, rng);
    DetectedMarker m = marker_at(start);
    refit_marker_full_resolution(scene.image, refit_parameters(), m.corners);
    const double before = worst_error(start, scene.corners);
    const double after = worst_error(corners_of(m), scene.corners);
    EXPECT_LT(after, 0.7);
    EXPECT_LT(after, before);
    // The crop and the band mask keep the outline the full-frame search fits.
    const auto full = match_quad(candidates(scene.image), scene.corners, 1.5);
    ASSERT_TRUE(full);
    EXPECT_LT(worst_error(corners_of(m), *full), 1e-3);
  }
}

TEST(AprilTagRefit, KeepsTheCornersOfADecimatedSearchSharpAndUnbiased) {
  OffsetStats refitted;
  for (const TagScene& scene : random_scenes(8, 23)) {
    const auto half = match_quad(candidates(scene.image, 2.0), scene.corners, 2.0);
    ASSERT_TRUE(half);
    DetectedMarker m = marker_at(*half);
    refit_marker_full_resolution(scene.image, refit_parameters(), m.corners);
    refitted.add(corners_of(m), scene.corners);
  }
  EXPECT_LT(refitted.worst, 0.15);
  EXPECT_LT(std::fabs(refitted.mean_dx()), 0.02);
  EXPECT_LT(std::fabs(refitted.mean_dy()), 0.02);
}

TEST(AprilTagRefit, MarkerAtTheImageEdgeIsRefittedInAClampedCrop) {
  std::mt19937 rng(24);
  // The border's outer edge runs 3 pixels from the left and top image edges.
  const Corners c = {{{3, 3}, {67, 3.5}, {66, 68}, {3.5, 67}}};
  const TagScene scene = render_tag(200, 150, tag36h11(), 42, c);
  const Corners start = perturbed(c, 1.2, rng);
  DetectedMarker m = marker_at(start);
  refit_marker_full_resolution(scene.image, refit_parameters(), m.corners);
  EXPECT_LT(worst_error(corners_of(m), c), 0.7);
  EXPECT_LT(worst_error(corners_of(m), c), worst_error(start, c));
}

TEST(AprilTagRefit, UnrecognisableOrInvalidMarkersAreLeftUnchanged) {
  const TagScene scene = random_scenes(1, 25)[0];
  std::mt19937 rng(25);
  const DetectedMarker start = marker_at(perturbed(scene.corners, 1.0, rng), 3);

  // Blurred so badly that no tile has contrast: no cluster at all.
  DetectedMarker blurred = start;
  refit_marker_full_resolution(gaussian_blur(scene.image, 40.0f), refit_parameters(), blurred.corners);
  EXPECT_EQ(blurred.corners, start.corners);

  DetectedMarker nan = start;
  nan.corners[2].y = std::numeric_limits<float>::quiet_NaN();
  const DetectedMarker nan_before = nan;
  refit_marker_full_resolution(scene.image, refit_parameters(), nan.corners);
  EXPECT_EQ(nan.corners[0], nan_before.corners[0]);
  EXPECT_TRUE(std::isnan(nan.corners[2].y));

  DetectedMarker outside = marker_at({{{400, 300}, {450, 300}, {450, 350}, {400, 350}}});
  const DetectedMarker outside_before = outside;
  refit_marker_full_resolution(scene.image, refit_parameters(), outside.corners);  // crop clamps to nothing
  EXPECT_EQ(outside.corners, outside_before.corners);

  DetectedMarker flat = marker_at({{{50, 50}, {90, 50}, {90, 50}, {50, 50}}});  // no area
  const DetectedMarker flat_before = flat;
  refit_marker_full_resolution(scene.image, refit_parameters(), flat.corners);
  EXPECT_EQ(flat.corners, flat_before.corners);
}

TEST(AprilTagRefit, AllMarkersOfAFrameKeepCountOrderAndIds) {
  std::mt19937 rng(26);
  GrayImage img(400, 300, kLight);
  std::vector<Corners> truth;
  for (int i = 0; i < 3; ++i) {
    const Corners c = tag_corners({80.0 + 120 * i, 100.0 + 40 * i}, 60, 0.4 * i, 2.0, rng);
    const TagScene tag = render_tag(400, 300, tag36h11(), static_cast<std::size_t>(i), c, 4);
    for (std::size_t k = 0; k < img.pixels.size(); ++k) img.pixels[k] = std::min(img.pixels[k], tag.image.pixels[k]);
    truth.push_back(c);
  }
  Vec<DetectedMarker> markers;
  for (int i = 0; i < 3; ++i) markers.push_back(marker_at(perturbed(truth[i], 1.2, rng), 100 + i));
  // A fourth "marker" over empty background has no outline to refit.
  markers.push_back(marker_at({{{300, 220}, {360, 220}, {360, 280}, {300, 280}}}, 5));
  const Vec<DetectedMarker> before = markers;
  for (DetectedMarker& m : markers) refit_marker_full_resolution(img, refit_parameters(), m.corners);
  ASSERT_EQ(markers.size(), 4u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(markers[i].id, 100 + i);
    EXPECT_LT(worst_error(corners_of(markers[i]), truth[i]), 0.7);
  }
  EXPECT_EQ(markers[3].id, 5);
  EXPECT_EQ(markers[3].corners, before[3].corners);
}
