#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "detector/stage_settings.hpp"
#include "geometry/quad.hpp"
#include "marker_corners/marker_corners.hpp"
#include "rendered_corners.hpp"
#include "subpixel/corner_sub_pix.hpp"

using namespace morvelin;
using namespace morvelin::testing;

namespace {

// Points every `step` pixels along each side of `q`, in the middle part of
// the side where the refinement looks for them.
std::vector<Point2f> points_along_sides(const Quad& q, float step) {
  std::vector<Point2f> points;
  for (std::size_t i = 0; i < 4; ++i) {
    const Point2f a = q[i], b = q[(i + 1) % 4];
    const double length = exact_distance(a, b);
    for (double s = 0.15 * length; s <= 0.85 * length; s += step) {
      const double t = s / length;
      points.push_back({static_cast<float>(a.x + (b.x - a.x) * t), static_cast<float>(a.y + (b.y - a.y) * t)});
    }
  }
  return points;
}

Quad shifted(Quad q, std::size_t corner, float dx, float dy) {
  q[corner].x += dx;
  q[corner].y += dy;
  return q;
}

double max_corner_error(const Quad& a, const Quad& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < 4; ++i) worst = std::max(worst, exact_distance(a[i], b[i]));
  return worst;
}

const Quad kSquare{Point2f{10.0f, 10.0f}, {50.0f, 10.0f}, {50.0f, 50.0f}, {10.0f, 50.0f}};

}  // namespace

TEST(Convexity, OppositeTurnsFailAndStraightCornersAreSkipped) {
  EXPECT_TRUE(is_convex_quad(kSquare));
  EXPECT_TRUE(is_convex_quad({kSquare[0], kSquare[3], kSquare[2], kSquare[1]}));  // other orientation
  EXPECT_TRUE(is_convex_quad({Point2f{0, 0}, {5, 0}, {10, 0}, {5, 5}}));          // one straight corner
  EXPECT_FALSE(is_convex_quad({Point2f{0, 0}, {10, 0}, {3, 3}, {0, 10}}));         // dent
  EXPECT_FALSE(is_convex_quad({Point2f{0, 0}, {10, 10}, {10, 0}, {0, 10}}));       // bow-tie
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(is_convex_quad({Point2f{0, 0}, {10, 0}, {10, 10}, {nan, 10}}));
}

TEST(ContourRefine, MovesCornersOntoTheSideLines) {
  const Quad truth{Point2f{12.3f, 9.6f}, {51.2f, 13.1f}, {47.7f, 49.4f}, {8.9f, 46.2f}};
  const std::vector<Point2f> contour = points_along_sides(truth, 0.7f);
  const Quad rough{Point2f{13.0f, 11.0f}, {50.0f, 12.0f}, {49.0f, 50.0f}, {10.0f, 45.0f}};
  EXPECT_LT(max_corner_error(refine_quad_with_contour(rough, contour), truth), 1e-3);
  // Points far from every side, or near the corners, do not disturb the fit.
  std::vector<Point2f> noisy = contour;
  for (const Point2f p : {Point2f{30.0f, 30.0f}, Point2f{12.0f, 10.0f}, Point2f{51.0f, 14.0f}, Point2f{29.0f, 4.0f}}) {
    noisy.push_back(p);
  }
  EXPECT_LT(max_corner_error(refine_quad_with_contour(rough, noisy), truth), 1e-3);
}

TEST(ContourRefine, TooFewOrCoincidentPointsOnASideKeepTheQuad) {
  const Quad rough = shifted(kSquare, 0, 1.0f, 1.0f);
  // The right-hand side (x = 50) gets only two points.
  std::vector<Point2f> contour;
  for (const Point2f p : points_along_sides(kSquare, 1.0f)) {
    if (p.x != 50.0f) contour.push_back(p);
  }
  contour.push_back({50.0f, 20.0f});
  contour.push_back({50.0f, 40.0f});
  EXPECT_EQ(refine_quad_with_contour(rough, contour), rough);
  contour.push_back({50.0f, 30.0f});  // a third point is enough
  EXPECT_LT(max_corner_error(refine_quad_with_contour(rough, contour), kSquare), 1e-3);

  // All points of the top side (y = 10) at one place: no direction to fit.
  std::vector<Point2f> coincident;
  for (const Point2f p : points_along_sides(kSquare, 1.0f)) coincident.push_back(p.y == 10.0f ? Point2f{30, 10} : p);
  EXPECT_EQ(refine_quad_with_contour(rough, coincident), rough);
  EXPECT_EQ(refine_quad_with_contour(rough, {}), rough);
}

TEST(ContourRefine, CornerMovingMoreThanFivePixelsCancelsTheRefinement) {
  const std::vector<Point2f> contour = points_along_sides(kSquare, 1.0f);
  // Corner 0 displaced along the diagonal; the fitted lines still meet at
  // the true corner (10, 10).
  const float d501 = 5.01f / std::sqrt(2.0f), d499 = 4.99f / std::sqrt(2.0f);
  const Quad far = shifted(kSquare, 0, -d501, -d501);
  EXPECT_EQ(refine_quad_with_contour(far, contour), far);
  const Quad near = shifted(kSquare, 0, -d499, -d499);
  EXPECT_LT(max_corner_error(refine_quad_with_contour(near, contour), kSquare), 1e-3);
}

TEST(ContourRefine, NearlyParallelAdjacentSidesCancelTheRefinement) {
  // Sides 0 and 1 turn by 4 degrees at corner 1 (|det| = sin 4 deg < 0.1),
  // then by 10 degrees (sin 10 deg > 0.1).
  const auto quad_with_turn = [](double degrees) {
    const double t = degrees * std::numbers::pi / 180.0;
    const Point2f c1{50.0f, 20.0f};
    const Point2f c2{static_cast<float>(50.0 + 40.0 * std::cos(t)), static_cast<float>(20.0 + 40.0 * std::sin(t))};
    return Quad{Point2f{10.0f, 20.0f}, c1, c2, {50.0f, 70.0f}};
  };
  const Quad shallow = quad_with_turn(4.0);
  const Quad rough_shallow = shifted(shallow, 0, 0.5f, 0.5f);
  EXPECT_EQ(refine_quad_with_contour(rough_shallow, points_along_sides(shallow, 0.5f)), rough_shallow);
  const Quad clear = quad_with_turn(10.0);
  const Quad rough_clear = shifted(clear, 0, 0.5f, 0.5f);
  EXPECT_LT(max_corner_error(refine_quad_with_contour(rough_clear, points_along_sides(clear, 0.5f)), clear), 1e-3);
}

// Lines fitted to these points meet in a bow-tie, every corner within 5 px.
TEST(ContourRefine, NonConvexResultKeepsTheQuad) {
  const Quad small{Point2f{0, 0}, {4, 0}, {4, 4}, {0, 4}};
  const std::vector<Point2f> contour{{0.9f, -0.9f}, {2.2f, -0.8f}, {3.4f, -0.7f}, {3.7f, 0.9f},
                                     {4.3f, 1.9f},  {5.0f, 2.9f},  {2.7f, 3.0f},  {1.8f, 3.1f},
                                     {1.0f, 3.1f},  {-0.9f, 3.0f}, {0.1f, 2.1f},  {1.0f, 1.3f}};
  EXPECT_EQ(refine_quad_with_contour(small, contour), small);
}

namespace {

// A 4 x 4 marker's outer square (6 cells per side) with corners at `q`.
GrayImage marker_square(std::uint32_t w, std::uint32_t h, const Quad& q, int samples = 8) {
  Canvas canvas(w, h, 220.0);
  paint(canvas, convex_polygon({q.begin(), q.end()}), 30.0, samples);
  blur(canvas, 0.8);
  return quantise(canvas);
}

Quad refined_with_window(const GrayImage& image, Quad q, std::uint64_t win, const DetectorParameters& params) {
  corner_sub_pix(image, std::span<Point2f>(q), win, params.corner_refinement_max_iterations,
                 params.corner_refinement_min_accuracy);
  return q;
}

// refine_marker_corners_subpix must refine with window `win`, and the image
// must be one where the neighbouring windows give other corners.
void expect_window(const GrayImage& image, const Quad& start, const DetectorParameters& params, std::uint64_t win) {
  Quad corners = start;
  refine_marker_corners_subpix(image, corners, subpix_corner_settings(params, 4));
  EXPECT_EQ(corners, refined_with_window(image, start, win, params)) << "win " << win;
  EXPECT_NE(corners, refined_with_window(image, start, win + 1, params)) << "win " << win;
  if (win > 1) {
    EXPECT_NE(corners, refined_with_window(image, start, win - 1, params)) << "win " << win;
  }
}

}  // namespace

TEST(SubpixRefine, WindowComesFromTheShortestSide) {
  DetectorParameters params;
  // Sides 80, 60, 82.5 and 80 px long: round(60 / 6 * 0.3) = 3, where any
  // other side would give 4.
  const Quad q60{Point2f{20.3f, 20.6f}, {100.3f, 20.6f}, {100.3f, 80.6f}, {20.3f, 100.6f}};
  const GrayImage image60 = marker_square(120, 120, q60);
  const Quad start60{Point2f{21.0f, 21.0f}, {101.0f, 21.0f}, {101.0f, 81.0f}, {21.0f, 101.0f}};
  expect_window(image60, start60, params, 3);
  // 60 / 6 * 0.25 = 2.5 rounds away from zero.
  params.relative_corner_refinement_win_size = 0.25;
  expect_window(image60, start60, params, 3);
  // corner_refinement_win_size caps the window; values below 1 count as 1.
  params.relative_corner_refinement_win_size = 0.3;
  params.corner_refinement_win_size = 2;
  expect_window(image60, start60, params, 2);
  params.corner_refinement_win_size = -4;
  expect_window(image60, start60, params, 1);
  // Shortest side 300: w = 15, capped by the default win size 5.
  params = DetectorParameters{};
  const Quad q300{Point2f{10.4f, 10.7f}, {310.4f, 10.7f}, {310.4f, 310.7f}, {10.4f, 310.7f}};
  const GrayImage image300 = marker_square(322, 322, q300, 2);
  const Quad start300{Point2f{11.0f, 11.0f}, {311.0f, 11.0f}, {311.0f, 311.0f}, {11.0f, 311.0f}};
  expect_window(image300, start300, params, 5);
}

TEST(SubpixRefine, TinyOrDegenerateMarkersStillGetAWindowOfOne) {
  DetectorParameters params;
  // Shortest side 5: round(5 / 6 * 0.3) = round(0.25) = 0, so win = 1.
  const Quad q5{Point2f{10.3f, 10.4f}, {15.3f, 10.4f}, {15.3f, 16.4f}, {10.3f, 16.4f}};
  const GrayImage image = marker_square(26, 26, q5);
  const Quad start{Point2f{10.0f, 10.0f}, {15.0f, 10.0f}, {15.0f, 16.0f}, {10.0f, 16.0f}};
  expect_window(image, start, params, 1);
  // Non-positive or NaN relative sizes give w <= 0 and win 1 as well.
  for (const double relative : {-1.0, 0.0, std::numeric_limits<double>::quiet_NaN()}) {
    params.relative_corner_refinement_win_size = relative;
    Quad corners = start;
    refine_marker_corners_subpix(image, corners, subpix_corner_settings(params, 4));
    EXPECT_EQ(corners, refined_with_window(image, start, 1, params)) << relative;
  }
}

namespace {

// Foreground of the candidate search's adaptive threshold (13 x 13 clipped
// box mean, constant 7), then the foreground pixels that touch background:
// the positions a traced border of the square would contain.
std::vector<Point2f> border_pixels(const GrayImage& image) {
  const int w = static_cast<int>(image.width), h = static_cast<int>(image.height);
  std::vector<std::uint8_t> dark(static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int count = 0, sum = 0;
      for (int j = std::max(0, y - 6); j <= std::min(h - 1, y + 6); ++j) {
        for (int i = std::max(0, x - 6); i <= std::min(w - 1, x + 6); ++i) {
          ++count;
          sum += image.at(i, j);
        }
      }
      dark[y * w + x] = 2 * count * (image.at(x, y) + 7) <= count + 2 * sum;
    }
  }
  std::vector<Point2f> border;
  for (int y = 1; y + 1 < h; ++y) {
    for (int x = 1; x + 1 < w; ++x) {
      const std::size_t k = static_cast<std::size_t>(y) * w + x;
      if (dark[k] && (!dark[k - 1] || !dark[k + 1] || !dark[k - w] || !dark[k + w])) {
        border.push_back({static_cast<float>(x), static_cast<float>(y)});
      }
    }
  }
  return border;
}

// Stand-in for the polygon vertices: the border pixel reaching furthest out
// towards each true corner, as the polygon approximation picks it.
Quad outermost_vertices(const std::vector<Point2f>& border, const Quad& truth) {
  double mx = 0.0, my = 0.0;
  for (const Point2f p : truth) mx += p.x / 4.0, my += p.y / 4.0;
  Quad vertices;
  for (std::size_t c = 0; c < 4; ++c) {
    const double dx = truth[c].x - mx, dy = truth[c].y - my;
    double best = -std::numeric_limits<double>::infinity();
    for (const Point2f p : border) {
      const double reach = (p.x - mx) * dx + (p.y - my) * dy;
      if (reach > best) best = reach, vertices[c] = p;
    }
  }
  return vertices;
}

// The quad whose sides run `inset` pixels inside the sides of q (clockwise).
Quad inset_quad(const Quad& q, double inset) {
  double lines[4][3];
  for (std::size_t i = 0; i < 4; ++i) {
    const Point2f a = q[i], b = q[(i + 1) % 4];
    const double nx = -(double{b.y} - a.y), ny = double{b.x} - a.x, n = std::hypot(nx, ny);
    lines[i][0] = nx / n, lines[i][1] = ny / n;
    lines[i][2] = -(lines[i][0] * a.x + lines[i][1] * a.y) - inset;
  }
  Quad out;
  for (std::size_t i = 0; i < 4; ++i) {
    const double* l1 = lines[(i + 3) % 4];
    const double* l2 = lines[i];
    const double det = l1[0] * l2[1] - l2[0] * l1[1];
    out[i] = {static_cast<float>((l1[1] * l2[2] - l2[1] * l1[2]) / det),
              static_cast<float>((l2[0] * l1[2] - l1[0] * l2[2]) / det)};
  }
  return out;
}

}  // namespace

// Dark squares under random perspective, blurred, on a light background:
// the error of each refinement method against the polygon vertices.
TEST(RefinementAccuracy, BothMethodsImproveOnThePolygonVertices) {
  std::mt19937 bits(11);
  const auto uniform = [&bits](double lo, double hi) { return lo + (hi - lo) * (bits() / 4294967296.0); };
  constexpr int kSquares = 12;
  double vertex_error = 0.0, subpix_error = 0.0, contour_error = 0.0;
  double vertex_to_lines = 0.0, contour_to_lines = 0.0;
  for (int k = 0; k < kSquares; ++k) {
    const double h[9] = {90 + 10 * uniform(-1, 1), 20 * uniform(-1, 1),    55 + 10 * uniform(-1, 1),
                         20 * uniform(-1, 1),      90 + 10 * uniform(-1, 1), 55 + 10 * uniform(-1, 1),
                         0.002 * uniform(-1, 1),   0.002 * uniform(-1, 1),   1.0};
    const Quad truth = warp_unit_square(h);
    Canvas canvas(200, 200, 230.0);
    paint(canvas, convex_polygon({truth.begin(), truth.end()}), 25.0, 8);
    blur(canvas, 1.0);
    const GrayImage image = quantise(canvas);
    const std::vector<Point2f> border = border_pixels(image);
    const Quad vertices = outermost_vertices(border, truth);

    const Quad by_contour = refine_quad_with_contour(vertices, border);
    Quad by_subpix = vertices;
    refine_marker_corners_subpix(image, by_subpix, subpix_corner_settings(DetectorParameters{}, 4));
    // Border pixels are dark pixel centres: they run about 0.6 px inside
    // the true edges, and so do lines fitted through them.
    const Quad border_lines = inset_quad(truth, 0.6);
    for (std::size_t c = 0; c < 4; ++c) {
      vertex_error += exact_distance(vertices[c], truth[c]);
      subpix_error += exact_distance(by_subpix[c], truth[c]);
      contour_error += exact_distance(by_contour[c], truth[c]);
      vertex_to_lines += exact_distance(vertices[c], border_lines[c]);
      contour_to_lines += exact_distance(by_contour[c], border_lines[c]);
    }
  }
  constexpr double kCorners = 4.0 * kSquares;
  std::printf("mean corner error: vertices %.3f px, sub-pixel %.3f px, contour %.3f px\n", vertex_error / kCorners,
              subpix_error / kCorners, contour_error / kCorners);
  std::printf("against the border lines: vertices %.3f px, contour %.3f px\n", vertex_to_lines / kCorners,
              contour_to_lines / kCorners);
  EXPECT_LT(subpix_error, 0.6 * vertex_error);
  // The contour fit recovers the straight border it was given: its corners
  // sit on the intersections of the inset border lines.
  EXPECT_LT(contour_to_lines, 0.4 * vertex_to_lines);
  EXPECT_LT(contour_error / kCorners, 1.0);
}
