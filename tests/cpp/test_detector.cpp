#include <gtest/gtest.h>

#include <Eigen/LU>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "apriltag/refit.hpp"
#include "code_bits.hpp"
#include "detector/candidate_search.hpp"
#include "detector/square_sampling.hpp"
#include "detector/detect.hpp"
#include "detector/identification.hpp"
#include "detector/stage_settings.hpp"
#include "imgproc/homography.hpp"

using namespace morvelin;

namespace {

// ---------------------------------------------------------------------------
// A small renderer: flat patterns drawn through homographies with 4 x 4
// supersampling. Pixel centres are at integer coordinates.

// Grey level of a plane point, or -1 where the pattern does not cover it.
using Pattern = std::function<int(double u, double v)>;

struct Layer {
  Quad corners;  // image positions of the pattern's (u0, v0), (u1, v0), (u1, v1), (u0, v1)
  double u0, v0, u1, v1;
  Pattern pattern;
};

Homography plane_to_image(const Layer& layer) {
  const std::array<Point2f, 4> plane = {{{static_cast<float>(layer.u0), static_cast<float>(layer.v0)},
                                         {static_cast<float>(layer.u1), static_cast<float>(layer.v0)},
                                         {static_cast<float>(layer.u1), static_cast<float>(layer.v1)},
                                         {static_cast<float>(layer.u0), static_cast<float>(layer.v1)}}};
  return solve_perspective(plane, layer.corners).value();
}

void draw(GrayImage& image, const Layer& layer) {
  const Homography inverse = plane_to_image(layer).inverse();
  float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
  for (const auto& p : layer.corners) {
    x0 = std::min(x0, p.x), y0 = std::min(y0, p.y), x1 = std::max(x1, p.x), y1 = std::max(y1, p.y);
  }
  constexpr int kSamples = 4;
  const int xa = std::max(0, static_cast<int>(std::floor(x0)) - 1);
  const int ya = std::max(0, static_cast<int>(std::floor(y0)) - 1);
  const int xb = std::min(static_cast<int>(image.width) - 1, static_cast<int>(std::ceil(x1)) + 1);
  const int yb = std::min(static_cast<int>(image.height) - 1, static_cast<int>(std::ceil(y1)) + 1);
  for (int y = ya; y <= yb; ++y) {
    for (int x = xa; x <= xb; ++x) {
      double sum = 0.0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double px = x - 0.5 + (sx + 0.5) / kSamples;
          const double py = y - 0.5 + (sy + 0.5) / kSamples;
          const auto q = apply_homography(inverse, px, py);
          int value = -1;
          if (q.x >= layer.u0 && q.x < layer.u1 && q.y >= layer.v0 && q.y < layer.v1) value = layer.pattern(q.x, q.y);
          sum += value < 0 ? image.at(x, y) : value;
        }
      }
      image.row(y)[x] = static_cast<std::uint8_t>(std::lround(sum / (kSamples * kSamples)));
    }
  }
}

using morvelin::testing::code_bit;

// A marker in cell units: cells [0, n + 2) with a one-cell black border,
// optionally inside a white quiet zone `quiet` cells wide, optionally inverted.
Layer marker_layer(const Dictionary& d, int id, const Quad& corners, double quiet = 0.0, bool inverted = false) {
  const double cells = d.marker_size + 2.0;
  // Corners are given for the marker itself; widen them for the quiet zone.
  Layer marker{corners, 0, 0, cells, cells, nullptr};
  const Homography h = plane_to_image(marker);
  auto at = [&](double u, double v) {
    const auto p = apply_homography(h, u, v);
    return Point2f{static_cast<float>(p.x), static_cast<float>(p.y)};
  };
  Layer layer{{at(-quiet, -quiet), at(cells + quiet, -quiet), at(cells + quiet, cells + quiet), at(-quiet, cells + quiet)},
              -quiet, -quiet, cells + quiet, cells + quiet, nullptr};
  layer.pattern = [&d, id, cells, inverted](double u, double v) {
    bool white = true;  // quiet zone
    if (u >= 0 && v >= 0 && u < cells && v < cells) {
      const auto c = static_cast<std::uint32_t>(u), r = static_cast<std::uint32_t>(v);
      const bool border = r == 0 || c == 0 || r + 1 == cells || c + 1 == cells;
      white = !border && code_bit(d, static_cast<std::size_t>(id), r - 1, c - 1);
    }
    return (white != inverted) ? 255 : 0;
  };
  return layer;
}

Quad square_at(float x, float y, float side) { return {{{x, y}, {x + side, y}, {x + side, y + side}, {x, y + side}}}; }

// Rotates the marker by quarter turns on screen: its own top-left corner moves
// to the next image corner clockwise each time.
Quad turned(const Quad& q, int quarter_turns) {
  Quad out;
  for (int i = 0; i < 4; ++i) out[i] = q[(i + quarter_turns) % 4];
  return out;
}

Quad rotated(float cx, float cy, float side, double degrees, float skew = 0.0f) {
  const double a = degrees * 3.14159265358979323846 / 180.0;
  const double ca = std::cos(a), sa = std::sin(a);
  const std::array<std::array<double, 2>, 4> unit = {{{-1, -1}, {1, -1}, {1, 1}, {-1, 1}}};
  Quad q;
  for (int i = 0; i < 4; ++i) {
    const double u = unit[i][0] * side / 2 * (1.0 + skew * unit[i][1]);
    const double v = unit[i][1] * side / 2;
    q[i] = {static_cast<float>(cx + ca * u - sa * v), static_cast<float>(cy + sa * u + ca * v)};
  }
  return q;
}

float max_corner_error(const Quad& a, const Quad& b) {
  float e = 0.0f;
  for (int i = 0; i < 4; ++i) e = std::max({e, std::fabs(a[i].x - b[i].x), std::fabs(a[i].y - b[i].y)});
  return e;
}

// Corner error of a candidate, whatever its start corner and orientation.
float candidate_error(const Quad& candidate, const Quad& truth) {
  float best = std::numeric_limits<float>::max();
  for (int reversed = 0; reversed < 2; ++reversed) {
    Quad q = candidate;
    if (reversed) std::swap(q[1], q[3]);
    for (int s = 0; s < 4; ++s) best = std::min(best, max_corner_error(turned(q, s), truth));
  }
  return best;
}

struct Truth {
  int id;
  Quad corners;
};

// Truth markers found with their id and all corners within 2 pixels.
int count_found(const MarkerList& found, const std::vector<Truth>& truth) {
  int n = 0;
  for (const auto& t : truth) {
    for (const auto& m : found) {
      if (m.id == t.id && max_corner_error(m.corners, t.corners) <= 2.0f) {
        ++n;
        break;
      }
    }
  }
  return n;
}

Dictionary dict(const char* name) { return lookup_dictionary(name).value(); }

std::vector<GrayView> views_of(const std::vector<GrayImage>& images) { return {images.begin(), images.end()}; }

}  // namespace

// ---------------------------------------------------------------------------
// Threshold windows

TEST(ThresholdScales, CountsAndWindowSizes) {
  DetectorParameters p;
  EXPECT_EQ(threshold_scale_count(p).value(), 3u);
  EXPECT_EQ(threshold_window_size(p, 0), 3);
  EXPECT_EQ(threshold_window_size(p, 1), 13);
  EXPECT_EQ(threshold_window_size(p, 2), 23);
  p.adaptive_thresh_win_size_min = 23;
  p.adaptive_thresh_win_size_max = 3;
  EXPECT_EQ(threshold_scale_count(p).value(), 0u);
  p.adaptive_thresh_win_size_min = 5;
  EXPECT_EQ(threshold_scale_count(p).value(), 1u);  // (3 - 5) div 10 = 0
  EXPECT_EQ(threshold_window_size(p, 0), 5);
  p.adaptive_thresh_win_size_min = 23;
  p.adaptive_thresh_win_size_step = -10;
  EXPECT_EQ(threshold_scale_count(p).value(), 3u);
  EXPECT_EQ(threshold_window_size(p, 2), 3);
  p.adaptive_thresh_win_size_step = 0;
  const auto zero = threshold_scale_count(p);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().kind, ErrorKind::kValue);
  EXPECT_EQ(zero.error().message, "adaptive_thresh_win_size_step must not be zero");
}

TEST(ThresholdScales, ExtremeSettingsDoNotOverflow) {
  DetectorParameters p;
  p.adaptive_thresh_win_size_min = std::numeric_limits<std::int32_t>::min();
  p.adaptive_thresh_win_size_max = std::numeric_limits<std::int32_t>::max();
  p.adaptive_thresh_win_size_step = 1;
  EXPECT_EQ(threshold_scale_count(p).value(), std::uint64_t{1} << 32);
  EXPECT_EQ(threshold_window_size(p, (std::uint64_t{1} << 32) - 1), std::numeric_limits<std::int32_t>::max());
  p.adaptive_thresh_win_size_step = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(threshold_scale_count(p).value(), 0u);
  p.adaptive_thresh_win_size_step = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(threshold_scale_count(p).value(), 3u);
  EXPECT_EQ(threshold_window_size(p, 2), std::numeric_limits<std::int32_t>::max() - 1);
  std::swap(p.adaptive_thresh_win_size_min, p.adaptive_thresh_win_size_max);
  p.adaptive_thresh_win_size_step = -1;
  EXPECT_EQ(threshold_scale_count(p).value(), std::uint64_t{1} << 32);
}

TEST(ThresholdScales, MoreThan1024WindowsAreRefusedNotSearched) {
  DetectorParameters p;
  p.adaptive_thresh_win_size_min = std::numeric_limits<std::int32_t>::min();  // 214748368 windows
  const GrayImage image(64, 48, 128);
  const auto result = detect_markers(image, dict("DICT_4X4_50"), p);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, ErrorKind::kValue);
  EXPECT_EQ(result.error().message,
            "adaptive_thresh_win_size_min, adaptive_thresh_win_size_max and adaptive_thresh_win_size_step give "
            "214748368 threshold windows; at most 1024 are supported");
  p.adaptive_thresh_win_size_min = 3;
  p.adaptive_thresh_win_size_max = 3 + 1023;
  p.adaptive_thresh_win_size_step = 1;  // exactly 1024 windows
  EXPECT_TRUE(detect_markers(image, dict("DICT_4X4_50"), p).ok());
  p.corner_refinement_method = kCornerRefineAprilTag;  // the quad path has no windows
  p.adaptive_thresh_win_size_max = std::numeric_limits<std::int32_t>::max();
  EXPECT_TRUE(detect_markers(image, dict("DICT_4X4_50"), p).ok());
}

TEST(ThresholdScales, RecordValidationRefusesWhatDetectionRefuses) {
  DetectorParameters p;
  EXPECT_FALSE(validate_detector_parameters(p));
  const auto message = [&] { return validate_detector_parameters(p).value_or(Error{}).message; };
  p.border_cells = 9;
  EXPECT_EQ(message(), "marker_border_bits must be in 1..=8");
  p.corner_refinement_method = 7;  // fields in property order: the method comes first
  EXPECT_EQ(message(), "corner_refinement_method must be 0, 1, 2, or 3");
  p = DetectorParameters();
  p.adaptive_thresh_win_size_step = 0;
  const GrayImage image(64, 48, 128);
  EXPECT_EQ(message(), detect_markers(image, dict("DICT_4X4_50"), p).error().message);
  p.corner_refinement_method = kCornerRefineAprilTag;  // no windows on the quad path
  EXPECT_FALSE(validate_detector_parameters(p));
}

// ---------------------------------------------------------------------------
// Candidate filters

TEST(CandidateFilters, ContourLengthLimits) {
  DetectorParameters p;
  auto limits = contour_length_limits(p, 640, 480);
  EXPECT_EQ(limits.min, 128u);
  EXPECT_EQ(limits.max, 2560u);
  p.min_side_length_canonical_img = 0;
  limits = contour_length_limits(p, 640, 480);
  EXPECT_EQ(limits.min, 19u);
  EXPECT_EQ(limits.max, 2560u);
  p.min_side_length_canonical_img = -1;
  EXPECT_EQ(contour_length_limits(p, 640, 480).min, std::numeric_limits<std::uint64_t>::max() - 3);
  p.min_side_length_canonical_img = 0;
  p.min_perimeter_rate = -1.0;
  p.max_perimeter_rate = std::numeric_limits<double>::infinity();
  limits = contour_length_limits(p, 640, 480);
  EXPECT_EQ(limits.min, 0u);
  EXPECT_EQ(limits.max, std::numeric_limits<std::uint64_t>::max());
}

TEST(CandidateFilters, ConvexityAndSideLength) {
  EXPECT_TRUE(is_convex_quad(square_at(0, 0, 10)));
  // One straight (180 degree) corner still passes.
  EXPECT_TRUE(is_convex_quad({{{0, 0}, {5, 0}, {10, 0}, {5, 8}}}));
  EXPECT_FALSE(is_convex_quad({{{0, 0}, {10, 0}, {4, 3}, {0, 10}}}));  // a dart
  const Quad q = {{{0, 0}, {40, 0}, {40, 5}, {0, 5}}};
  EXPECT_TRUE(has_long_enough_sides(q, 640, 100, 0.05));   // 5 >= 0.05 * 100
  EXPECT_FALSE(has_long_enough_sides(q, 640, 101, 0.05));  // 5 < 5.05
  EXPECT_FALSE(has_long_enough_sides(q, 4, 100, 0.05));    // capped by the image side
}

TEST(CandidateFilters, ShortBordersAndNonQuadrilateralsGiveNoCandidate) {
  DetectorParameters p;
  auto black_square = [](int side) {
    GrayImage image(640, 480, 255);
    for (int y = 50; y < 50 + side; ++y) {
      for (int x = 50; x < 50 + side; ++x) image.row(y)[x] = 0;
    }
    return image;
  };
  // A 32-pixel square's border has 124 positions, a 33-pixel one 128.
  EXPECT_TRUE(find_candidates_in_window(black_square(32), p, 23).empty());
  const auto found = find_candidates_in_window(black_square(33), p, 23);
  ASSERT_EQ(found.size(), 1u);
  for (const auto& corner : found[0].corners) {
    EXPECT_TRUE((corner.x == 50 || corner.x == 82) && (corner.y == 50 || corner.y == 82));
  }
  p.min_side_length_canonical_img = 0;
  EXPECT_EQ(find_candidates_in_window(black_square(6), p, 23).size(), 1u);   // 20 positions >= 19
  EXPECT_TRUE(find_candidates_in_window(black_square(5), p, 23).empty());    // 16 positions

  // A triangle and a pentagon are traced but are not quadrilaterals.
  DetectorParameters defaults;
  for (int corners : {3, 5}) {
    GrayImage image(300, 300, 255);
    std::vector<Point2f> poly;
    for (int i = 0; i < corners; ++i) {
      const double a = 2 * 3.14159265358979 * i / corners;
      poly.push_back({static_cast<float>(150 + 100 * std::cos(a)), static_cast<float>(150 + 100 * std::sin(a))});
    }
    for (int y = 0; y < 300; ++y) {
      for (int x = 0; x < 300; ++x) {
        bool inside = true;
        for (int i = 0; i < corners; ++i) {
          const Point2f a = poly[i], b = poly[(i + 1) % corners];
          if ((b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x) < 0) inside = false;
        }
        if (inside) image.row(y)[x] = 0;
      }
    }
    for (std::int64_t w : {3, 13, 23}) EXPECT_TRUE(find_candidates_in_window(image, defaults, w).empty()) << corners;
  }
}

// ---------------------------------------------------------------------------
// Identification

// Rectification samples follow the rule for every kind of homography: inside,
// across the edges, half-way roundings, far outside, and NaN coordinates.
TEST(Identification, SquareSamplesFollowTheNearestPixelRule) {
  std::mt19937 rng(11);
  GrayImage image(97, 61);
  for (auto& px : image.pixels) px = static_cast<std::uint8_t>(1 + rng() % 255);
  std::uniform_real_distribution<double> small(-0.02, 0.02), entry(-3.0, 3.0), shift(-20.0, 110.0);
  std::vector<Homography> cases;
  for (int k = 0; k < 300; ++k) {
    Homography h;
    h << entry(rng), entry(rng), shift(rng), entry(rng), entry(rng), shift(rng), small(rng), small(rng), 1.0;
    cases.push_back(h);
  }
  Homography halves;  // every sample lands on a half-way coordinate
  halves << 0.5, 0.0, -0.5, 0.0, 1.5, 0.5, 0.0, 0.0, 1.0;
  Homography far = halves;  // beyond 32-bit coordinates
  far(0, 0) = 3e9;
  Homography nan = halves;  // 0 / 0 in the first column
  nan.row(2) << 1.0, 0.0, 0.0;
  nan.row(0) << 1.0, 0.0, 0.0;
  cases.insert(cases.end(), {halves, far, nan});
  for (const std::uint32_t side : {1u, 7u, 24u}) {
    for (std::size_t c = 0; c < cases.size(); ++c) {
      std::vector<std::uint8_t> out(std::size_t{side} * side);
      sample_square(image, cases[c], side, out.data());
      for (std::uint32_t v = 0; v < side; ++v) {
        for (std::uint32_t u = 0; u < side; ++u) {
          const ProjectedPoint p = apply_homography(cases[c], u, v);
          const double x = std::isnan(p.x) ? 0.0 : std::round(p.x), y = std::isnan(p.y) ? 0.0 : std::round(p.y);
          const bool inside = x >= 0 && y >= 0 && x < image.width && y < image.height;
          const int expected = inside ? image.at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)) : 0;
          ASSERT_EQ(out[std::size_t{v} * side + u], expected) << c << " " << u << " " << v;
        }
      }
    }
  }
}

TEST(Identification, UprightAndTurnedMarkersReportTheirOwnTopLeftCorner) {
  const Dictionary d = dict("DICT_4X4_50");
  const DetectorParameters p;
  for (int turn = 0; turn < 4; ++turn) {
    GrayImage image(320, 320, 255);
    const Quad marker = turned(square_at(100, 90, 120), turn);
    draw(image, marker_layer(d, 5, marker));
    const MarkerList found = detect_markers(image, d, p).value();
    ASSERT_EQ(found.size(), 1u) << turn;
    EXPECT_EQ(found[0].id, 5);
    EXPECT_LE(max_corner_error(found[0].corners, marker), 1.5f) << turn;
  }
  for (const char* name : {"DICT_5X5_100", "DICT_6X6_250", "DICT_7X7_50", "DICT_APRILTAG_36h11"}) {
    const Dictionary other = dict(name);
    GrayImage image(400, 360, 255);
    const Quad marker = rotated(200, 180, 190, 23.0, 0.1f);
    draw(image, marker_layer(other, 17, marker));
    const MarkerList found = detect_markers(image, other, p).value();
    ASSERT_EQ(found.size(), 1u) << name;
    EXPECT_EQ(found[0].id, 17) << name;
    EXPECT_LE(max_corner_error(found[0].corners, marker), 1.5f) << name;
  }
}

TEST(Identification, CounterClockwiseCandidateDecodesLikeClockwise) {
  const Dictionary d = dict("DICT_4X4_50");
  const DetectorParameters p;
  GrayImage image(240, 240, 255);
  const Quad marker = square_at(60, 60, 120);
  draw(image, marker_layer(d, 9, marker));
  const Quad cw = {{{60, 60}, {179, 60}, {179, 179}, {60, 179}}};
  const Quad ccw = {{cw[0], cw[3], cw[2], cw[1]}};
  const MarkerList a = identify_markers(image, d, std::vector<MarkerCandidate>{{cw}}, p);
  const MarkerList b = identify_markers(image, d, std::vector<MarkerCandidate>{{ccw}}, p);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(a[0].id, 9);
  EXPECT_EQ(a[0].id, b[0].id);
  EXPECT_EQ(a[0].corners, b[0].corners);
  EXPECT_EQ(a[0].corners, cw);
}

TEST(Identification, InvertedMarkersNeedTheirFlag) {
  const Dictionary d = dict("DICT_5X5_50");
  DetectorParameters p;
  GrayImage image(320, 320, 0);
  const Quad marker = rotated(160, 160, 150, -12.0);
  draw(image, marker_layer(d, 3, marker, 0.0, true));
  EXPECT_FALSE(decode_candidate(image, d, marker, p));
  for (const auto& m : MarkerList(detect_markers(image, d, p).value())) EXPECT_NE(m.id, 3);
  p.detect_inverted_marker = true;
  const auto exact = decode_candidate(image, d, marker, p);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->id, 3);
  EXPECT_EQ(exact->corners, marker);
  // The traced borders of a white-bordered marker lie on the dark side of
  // its edge, a few pixels out.
  const MarkerList found = detect_markers(image, d, p).value();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, 3);
  EXPECT_LE(max_corner_error(found[0].corners, marker), 5.0f);
  // A normal marker still reads normally with the flag set.
  GrayImage normal(320, 320, 255);
  draw(normal, marker_layer(d, 3, marker));
  const MarkerList plain = detect_markers(normal, d, p).value();
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0].id, 3);
  EXPECT_LE(max_corner_error(plain[0].corners, marker), 1.5f);
}

TEST(Identification, CornersWithinTheBorderMarginAreDropped) {
  const Dictionary d = dict("DICT_4X4_50");
  const DetectorParameters p;
  GrayImage image(200, 140, 255);
  draw(image, marker_layer(d, 2, square_at(3.0f, 10, 120)));
  const Quad inside = {{{3.0f, 10}, {122, 10}, {122, 129}, {3.0f, 129}}};
  Quad outside = inside;
  outside[3].x = 2.9f;
  const auto ok = decode_candidate(image, d, inside, p);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->id, 2);
  EXPECT_FALSE(decode_candidate(image, d, outside, p));
  Quad low = inside;
  low[2].y = 136.1f;  // beyond (H - 1) - 3 = 136
  EXPECT_FALSE(decode_candidate(image, d, low, p));
  EXPECT_TRUE(identify_markers(image, d, std::vector<MarkerCandidate>{{outside}}, p).empty());
}

TEST(Identification, DegenerateCandidatesAreDroppedNotFatal) {
  const Dictionary d = dict("DICT_4X4_50");
  const DetectorParameters p;
  GrayImage image(240, 240, 255);
  const Quad marker = square_at(60, 60, 120);
  draw(image, marker_layer(d, 9, marker));
  const Quad point = {{{100, 100}, {100, 100}, {100, 100}, {100, 100}}};
  const Quad good = {{{60, 60}, {179, 60}, {179, 179}, {60, 179}}};
  const MarkerList found = identify_markers(image, d, std::vector<MarkerCandidate>{{point}, {good}}, p);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, 9);
  EXPECT_TRUE(identify_markers(image, d, std::vector<MarkerCandidate>{}, p).empty());
}

// A 4 x 4 marker drawn pixel-exact at 4 pixels per cell, so that the
// candidate's canonical image is the drawing itself; the cells listed in
// `half` get their left half white, which reads as exactly undecided.
GrayImage half_cell_marker(const Dictionary& d, int id, const std::vector<std::pair<int, int>>& half) {
  GrayImage image(40, 40, 255);
  for (std::uint32_t y = 0; y < 24; ++y) {
    for (std::uint32_t x = 0; x < 24; ++x) {
      const std::uint32_t r = y / 4, c = x / 4;
      const bool border = r == 0 || c == 0 || r == 5 || c == 5;
      bool white = !border && code_bit(d, static_cast<std::size_t>(id), r - 1, c - 1);
      for (const auto& [hr, hc] : half) {
        if (static_cast<std::uint32_t>(hr) == r && static_cast<std::uint32_t>(hc) == c) white = x % 4 < 2;
      }
      image.row(y + 8)[x + 8] = white ? 255 : 0;
    }
  }
  return image;
}

TEST(Identification, UndecidedCellsAreErrorsInTheBorderAndTheCode) {
  const Dictionary d = dict("DICT_4X4_50");
  DetectorParameters p;
  const Quad quad = {{{8, 8}, {31, 8}, {31, 31}, {8, 31}}};
  const auto decoded = [&](const std::vector<std::pair<int, int>>& half) {
    const auto m = decode_candidate(half_cell_marker(d, 6, half), d, quad, p);
    return m ? m->id : -1;
  };
  EXPECT_EQ(decoded({}), 6);
  // Up to 5.6 border errors are allowed for a 4 x 4 code.
  EXPECT_EQ(decoded({{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}}), 6);
  EXPECT_EQ(decoded({{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}}), -1);
  // One undecided data cell is one bit error: none is allowed at the default
  // correction rate, one at rate 1.
  EXPECT_EQ(decoded({{2, 3}}), -1);
  p.error_correction_rate = 1.0;
  EXPECT_EQ(decoded({{2, 3}}), 6);
  EXPECT_EQ(decoded({{2, 3}, {3, 3}}), -1);
}

TEST(Identification, NearDuplicatesFromAllWindowsDecodeOnce) {
  const Dictionary d = dict("DICT_6X6_250");
  const DetectorParameters p;
  GrayImage image(320, 280, 255);
  const Quad marker = rotated(160, 140, 180, 8.0);
  draw(image, marker_layer(d, 77, marker));
  const CandidateList candidates = find_contour_candidates(image, p).value();
  int near = 0;
  for (const auto& c : candidates) near += candidate_error(c.corners, marker) < 3.0f ? 1 : 0;
  EXPECT_GE(near, 2);
  const MarkerList found = detect_markers(image, d, p).value();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, 77);
}

TEST(Identification, RefinementMethodsMoveCornersTowardsTheTruth) {
  const Dictionary d = dict("DICT_4X4_50");
  GrayImage image(320, 300, 255);
  const Quad marker = rotated(160, 150, 150, 17.0, 0.08f);
  draw(image, marker_layer(d, 21, marker));
  DetectorParameters p;
  const MarkerList plain = detect_markers(image, d, p).value();
  p.corner_refinement_method = kCornerRefineSubpix;
  const MarkerList subpix = detect_markers(image, d, p).value();
  p.corner_refinement_method = kCornerRefineContour;
  const MarkerList contour = detect_markers(image, d, p).value();
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(subpix.size(), 1u);
  ASSERT_EQ(contour.size(), 1u);
  EXPECT_EQ(subpix[0].id, 21);
  EXPECT_EQ(contour[0].id, 21);
  const float e0 = max_corner_error(plain[0].corners, marker);
  const float e1 = max_corner_error(subpix[0].corners, marker);
  const float e2 = max_corner_error(contour[0].corners, marker);
  EXPECT_GT(e0, 0.5f);
  EXPECT_LT(e1, 0.4f);
  EXPECT_LT(e1, e0);
  EXPECT_LT(e2, e0);
  std::printf("[ corners ] max error none %.3f, subpix %.3f, contour %.3f\n", e0, e1, e2);
}

// ---------------------------------------------------------------------------
// Driver

TEST(Driver, WindowSettingsDecideWhetherTheContourPathRuns) {
  const Dictionary d = dict("DICT_4X4_50");
  GrayImage image(240, 240, 255);
  draw(image, marker_layer(d, 1, square_at(60, 60, 120)));
  DetectorParameters p;
  p.adaptive_thresh_win_size_min = 23;
  p.adaptive_thresh_win_size_max = 3;
  EXPECT_TRUE(detect_markers(image, d, p).value().empty());
  p.adaptive_thresh_win_size_min = 5;
  p.adaptive_thresh_win_size_max = 3;
  EXPECT_EQ(detect_markers(image, d, p).value().size(), 1u);  // one window, 5
  p.adaptive_thresh_win_size_step = 0;
  const auto single = detect_markers(image, d, p);
  ASSERT_FALSE(single.ok());
  EXPECT_EQ(single.error().message, "adaptive_thresh_win_size_step must not be zero");
  const std::vector<GrayView> frames = {image};
  EXPECT_FALSE(detect_markers_batch(frames, d, p).ok());
}

TEST(Driver, BatchEqualsSingleFrames) {
  const Dictionary d = dict("DICT_4X4_50");
  DetectorParameters p;
  std::vector<GrayImage> frames;
  for (int f = 0; f < 5; ++f) {
    GrayImage image(460 + 20 * f, 300, static_cast<std::uint8_t>(200 + 10 * f));
    for (int k = 0; k <= f % 3; ++k) {
      draw(image, marker_layer(d, 3 * f + k, rotated(90 + 130 * k, 150, 60 + 5 * f, 10.0 * f + 7 * k), 1.0));
    }
    frames.push_back(std::move(image));
  }
  frames.push_back(GrayImage(50, 40, 128));  // nothing in it
  frames.push_back(GrayImage());             // empty frame
  const auto batch = detect_markers_batch(views_of(frames), d, p).value();
  ASSERT_EQ(batch.size(), frames.size());
  std::size_t total = 0;
  for (std::size_t f = 0; f < frames.size(); ++f) {
    const MarkerList single = detect_markers(frames[f], d, p).value();
    ASSERT_EQ(batch[f].size(), single.size()) << f;
    for (std::size_t i = 0; i < single.size(); ++i) {
      EXPECT_EQ(batch[f][i].id, single[i].id);
      EXPECT_EQ(batch[f][i].corners, single[i].corners);
    }
    total += single.size();
  }
  EXPECT_GE(total, 9u);
  EXPECT_TRUE(detect_markers_batch(std::span<const GrayView>(), d, p).value().empty());
}

TEST(Driver, AprilTagQuadPathAndFullResolutionRefit) {
  const Dictionary d = dict("DICT_APRILTAG_36h11");
  std::vector<GrayImage> frames;
  for (int f = 0; f < 3; ++f) {
    GrayImage image(400, 320, 255);
    draw(image, marker_layer(d, 4 + f, rotated(140, 160, 120, 11.0 + 9 * f, 0.05f)));
    draw(image, marker_layer(d, 40 + f, rotated(300, 150, 90, -20.0 + 5 * f)));
    frames.push_back(std::move(image));
  }
  DetectorParameters p;
  p.corner_refinement_method = kCornerRefineAprilTag;
  p.adaptive_thresh_win_size_step = 0;  // only the contour path needs windows
  const MarkerList quads = detect_markers(frames[0], d, p).value();
  ASSERT_EQ(quads.size(), 2u);
  EXPECT_LE(max_corner_error(quads[0].corners, rotated(140, 160, 120, 11.0, 0.05f)), 1.0f);
  EXPECT_EQ(quads[0].id, 4);
  EXPECT_EQ(quads[1].id, 40);

  const RefitSettings refit = refit_settings(p, d.marker_size);
  auto refitted = [&](MarkerList markers, const GrayImage& image) {
    for (auto& m : markers) refit_marker_full_resolution(image, refit, m.corners);
    return markers;
  };
  auto same = [](const MarkerList& a, const MarkerList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i].id != b[i].id || a[i].corners != b[i].corners) return false;
    }
    return true;
  };
  // Not decimated: the search already ran at full resolution, no refit.
  p.april_tag_refine_full_resolution = true;
  p.april_tag_quad_decimate = 1.0;
  EXPECT_TRUE(same(detect_markers(frames[0], d, p).value(), quads));
  // Decimated: every marker is refitted with the full-resolution copy.
  p.april_tag_quad_decimate = 2.0;
  DetectorParameters coarse = p;
  coarse.april_tag_refine_full_resolution = false;
  const MarkerList decimated = detect_markers(frames[0], d, coarse).value();
  ASSERT_EQ(decimated.size(), 2u);
  const MarkerList refit_decimated = detect_markers(frames[0], d, p).value();
  EXPECT_TRUE(same(refit_decimated, refitted(decimated, frames[0])));
  EXPECT_FALSE(same(refit_decimated, decimated));
  // The contour methods always refit when asked.
  DetectorParameters contour;
  contour.april_tag_refine_full_resolution = true;
  DetectorParameters contour_plain;
  EXPECT_TRUE(same(detect_markers(frames[1], d, contour).value(),
                   refitted(detect_markers(frames[1], d, contour_plain).value(), frames[1])));
  // Batches give the single-frame results on both paths.
  for (const DetectorParameters& q : {p, contour}) {
    const auto batch = detect_markers_batch(views_of(frames), d, q).value();
    ASSERT_EQ(batch.size(), frames.size());
    for (std::size_t f = 0; f < frames.size(); ++f) {
      EXPECT_TRUE(same(batch[f], detect_markers(frames[f], d, q).value())) << f;
      EXPECT_EQ(batch[f].size(), 2u);
    }
  }
}

TEST(Driver, RandomImagesAndOddSettingsStaySound) {
  const Dictionary d = dict("DICT_4X4_1000");
  std::mt19937 rng(4);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int trial = 0; trial < 12; ++trial) {
    GrayImage image(1 + rng() % 160, 1 + rng() % 120);
    for (auto& px : image.pixels) px = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 256 : (px + 200) % 256);
    for (int k = 0; k < 3; ++k) {
      const float x = static_cast<float>(rng() % 120), y = static_cast<float>(rng() % 90);
      draw(image, marker_layer(d, static_cast<int>(rng() % 1000), rotated(x, y, 40.0f + rng() % 40, rng() % 90)));
    }
    DetectorParameters p;
    p.min_side_length_canonical_img = trial % 3 == 0 ? 0 : 8;
    p.adaptive_thresh_constant = std::array<double, 4>{7.0, -1e300, nan, 3.0}[trial % 4];
    p.polygonal_approx_accuracy_rate = std::array<double, 3>{0.03, nan, -1.0}[trial % 3];
    p.error_correction_rate = std::array<double, 3>{0.6, 1e300, nan}[trial % 3];
    p.detect_inverted_marker = trial % 2 == 1;
    p.adaptive_thresh_win_size_max = std::array<int, 3>{23, 1000000, -5}[trial % 3];
    p.adaptive_thresh_win_size_step = std::array<int, 3>{10, 999990, -4}[trial % 3];
    p.corner_refinement_method = trial % 3;
    const auto found = detect_markers(image, d, p);
    ASSERT_TRUE(found.ok()) << trial;
    for (const auto& m : found.value()) {
      EXPECT_TRUE(m.id >= 0 && m.id < 1000);
      for (const auto& c : m.corners) {
        EXPECT_TRUE(c.x >= 0 && c.y >= 0 && c.x <= image.width && c.y <= image.height) << trial;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Markers in white quiet zones. The dark surround of a quiet zone has a
// border slightly longer than the marker's that falls into the marker's
// near-duplicate group and leads it; retrying the group's other members
// recovers the marker.

namespace {

struct Scene {
  GrayImage image;
  std::vector<Truth> truth;
};

// Smooth texture: a few seeded sinusoids over mid grey.
Pattern texture(std::mt19937& rng) {
  std::uniform_real_distribution<double> freq(0.02, 0.12), phase(0.0, 6.3);
  std::array<std::array<double, 3>, 4> waves;
  for (auto& w : waves) w = {freq(rng), freq(rng), phase(rng)};
  return [waves](double x, double y) {
    double v = 128.0;
    for (const auto& w : waves) v += 24.0 * std::sin(w[0] * x + w[1] * y + w[2]);
    return static_cast<int>(v);
  };
}

Scene scattered_markers(const Dictionary& d, double quiet, bool textured, unsigned seed) {
  std::mt19937 rng(seed);
  Scene scene{GrayImage(640, 480, 128), {}};
  if (textured) {
    const Pattern background = texture(rng);
    for (std::uint32_t y = 0; y < 480; ++y) {
      for (std::uint32_t x = 0; x < 640; ++x) scene.image.row(y)[x] = static_cast<std::uint8_t>(background(x, y));
    }
  }
  std::uniform_real_distribution<double> angle(-40.0, 40.0), size(54.0, 80.0), jitter(-12.0, 12.0), skew(-0.12, 0.12);
  for (int k = 0; k < 6; ++k) {
    const double cx = 110 + 210 * (k % 3) + jitter(rng);
    const double cy = 130 + 220 * (k / 3) + jitter(rng);
    const int id = static_cast<int>(rng() % d.size());
    const Quad corners = rotated(static_cast<float>(cx), static_cast<float>(cy), static_cast<float>(size(rng)),
                                 angle(rng), static_cast<float>(skew(rng)));
    draw(scene.image, marker_layer(d, id, corners, quiet));
    scene.truth.push_back({id, corners});
  }
  return scene;
}

// A board of squares_x x squares_y squares on a white sheet; the white
// squares carry markers of `marker_rate` times the square side.
Scene board(const Dictionary& d, double marker_rate, const Quad& sheet_corners) {
  constexpr int kSquaresX = 6, kSquaresY = 5;
  const double cells = d.marker_size + 2.0;
  const double margin = (1.0 - marker_rate) / 2.0;
  Scene scene{GrayImage(640, 480, 110), {}};
  Layer layer{sheet_corners, -0.6, -0.6, kSquaresX + 0.6, kSquaresY + 0.6, nullptr};
  std::vector<int> marker_id(kSquaresX * kSquaresY, -1);
  int next = 0;
  for (int j = 0; j < kSquaresY; ++j) {
    for (int i = 0; i < kSquaresX; ++i) {
      if ((i + j) % 2 == 1) marker_id[j * kSquaresX + i] = next++;
    }
  }
  layer.pattern = [&d, marker_id, cells, margin, marker_rate](double u, double v) {
    if (u < 0 || v < 0 || u >= kSquaresX || v >= kSquaresY) return 255;  // the sheet
    const int i = static_cast<int>(u), j = static_cast<int>(v);
    const int id = marker_id[j * kSquaresX + i];
    if (id < 0) return 0;
    const double mu = (u - i - margin) / marker_rate * cells, mv = (v - j - margin) / marker_rate * cells;
    if (mu < 0 || mv < 0 || mu >= cells || mv >= cells) return 255;
    const auto c = static_cast<std::uint32_t>(mu), r = static_cast<std::uint32_t>(mv);
    const bool border = r == 0 || c == 0 || r + 1 == cells || c + 1 == cells;
    return (!border && code_bit(d, static_cast<std::size_t>(id), r - 1, c - 1)) ? 255 : 0;
  };
  draw(scene.image, layer);
  const Homography h = plane_to_image(layer);
  for (int j = 0; j < kSquaresY; ++j) {
    for (int i = 0; i < kSquaresX; ++i) {
      const int id = marker_id[j * kSquaresX + i];
      if (id < 0) continue;
      Quad corners;
      const std::array<std::array<double, 2>, 4> unit = {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}};
      for (int k = 0; k < 4; ++k) {
        const auto p = apply_homography(h, i + margin + unit[k][0] * marker_rate, j + margin + unit[k][1] * marker_rate);
        corners[k] = {static_cast<float>(p.x), static_cast<float>(p.y)};
      }
      scene.truth.push_back({id, corners});
    }
  }
  return scene;
}

struct Recall {
  int truth = 0;
  int with_retry = 0;
  int without_retry = 0;
  int spurious_with = 0;  // detections matching no marker of the scene
  int spurious_without = 0;
};

int count_spurious(const MarkerList& found, const std::vector<Truth>& truth) {
  int n = 0;
  for (const auto& m : found) {
    bool real = false;
    for (const auto& t : truth) real = real || (m.id == t.id && candidate_error(m.corners, t.corners) <= 6.0f);
    n += real ? 0 : 1;
  }
  return n;
}

// Detects with and without retrying group members; checks that every marker
// of the plain rule is reported alike, in the same relative order.
void measure(const Scene& scene, const Dictionary& d, Recall& recall) {
  const DetectorParameters p;
  const CandidateList candidates = find_contour_candidates(scene.image, p).value();
  IdentificationOptions plain;
  plain.retry_group_members = false;
  const MarkerList without = identify_markers(scene.image, d, candidates, p, plain);
  const MarkerList with = identify_markers(scene.image, d, candidates, p);
  EXPECT_EQ(MarkerList(detect_markers(scene.image, d, p).value()).size(), with.size());
  std::size_t at = 0;
  for (const auto& m : without) {
    while (at < with.size() && !(with[at].id == m.id && with[at].corners == m.corners)) ++at;
    ASSERT_LT(at, with.size()) << "marker " << m.id << " of the plain rule is missing";
    ++at;
  }
  recall.truth += static_cast<int>(scene.truth.size());
  recall.with_retry += count_found(with, scene.truth);
  recall.without_retry += count_found(without, scene.truth);
  recall.spurious_with += count_spurious(with, scene.truth);
  recall.spurious_without += count_spurious(without, scene.truth);
}

}  // namespace

// Windows searched together on the pool, with the borders of the last ones
// fitted by whichever thread is free, give each window's own candidates.
TEST(CandidateSearch, WindowsSearchedTogetherEqualWindowByWindow) {
  const Dictionary d = dict("DICT_4X4_50");
  DetectorParameters p;
  p.min_side_length_canonical_img = 0;  // short borders too: several fitting runs per window
  p.adaptive_thresh_win_size_max = 53;
  const Scene a = scattered_markers(d, 0.0, true, 1);
  const Scene b = scattered_markers(d, 0.5, true, 2);
  std::vector<WindowSearch> searches;
  for (const Scene* scene : {&a, &b}) {
    for (std::uint64_t k = 0; k < 6; ++k) searches.push_back({scene->image, k});
  }
  const Vec<CandidateList> together = find_candidates_in_windows(searches, p);
  ASSERT_EQ(together.size(), searches.size());
  std::size_t total = 0;
  for (std::size_t i = 0; i < searches.size(); ++i) {
    const CandidateList alone = find_candidates_for_scale(searches[i].image, p, searches[i].scale);
    ASSERT_EQ(together[i].size(), alone.size()) << i;
    for (std::size_t c = 0; c < alone.size(); ++c) EXPECT_EQ(together[i][c].corners, alone[c].corners) << i;
    total += alone.size();
  }
  EXPECT_GE(total, 60u);
  EXPECT_TRUE(find_candidates_in_windows({}, p).empty());
}

TEST(QuietZones, RetryingGroupMembersRecoversMarkersInWhiteZones) {
  const Dictionary d = dict("DICT_4X4_50");
  for (bool textured : {false, true}) {
    for (double quiet : {1.0, 2.0}) {
      Recall recall;
      for (unsigned seed = 0; seed < 8; ++seed) measure(scattered_markers(d, quiet, textured, seed), d, recall);
      std::printf("[ recall ] %s background, quiet zone %.0f cell(s): %d of %d with retry, %d without; "
                  "spurious %d / %d\n",
                  textured ? "textured" : "grey", quiet, recall.with_retry, recall.truth, recall.without_retry,
                  recall.spurious_with, recall.spurious_without);
      EXPECT_GE(recall.with_retry, recall.without_retry);
      // The outline of the white zone groups with the marker; it must never
      // be reported in the marker's place with some other id.
      EXPECT_EQ(recall.with_retry, recall.truth);
      EXPECT_EQ(recall.spurious_with, 0);
      if (quiet == 1.0) {
        EXPECT_GE(recall.with_retry, recall.truth * 9 / 10);
        EXPECT_GT(recall.with_retry, recall.without_retry);
      }
    }
  }
}

TEST(QuietZones, ChArUcoLikeBoardsKeepTheirMarkers) {
  const Dictionary d = dict("DICT_4X4_50");
  const std::vector<Quad> views = {
      {{{70, 50}, {570, 40}, {585, 440}, {60, 430}}},
      {{{90, 80}, {540, 30}, {600, 460}, {40, 400}}},
      {{{120, 40}, {520, 70}, {560, 420}, {80, 450}}},
  };
  for (double rate : {0.7, 0.8}) {
    Recall recall;
    for (const auto& view : views) measure(board(d, rate, view), d, recall);
    std::printf("[ recall ] board, marker %.1f of the square: %d of %d with retry, %d without; spurious %d / %d\n",
                rate, recall.with_retry, recall.truth, recall.without_retry, recall.spurious_with,
                recall.spurious_without);
    EXPECT_GE(recall.with_retry, recall.truth * 9 / 10);
    EXPECT_GE(recall.with_retry, recall.without_retry);
  }
}
