// Test images with known geometry for the AprilTag stages: shapes and tags
// rendered with supersampling, so every test knows its ground truth. Image
// coordinates have pixel centres at integers: pixel (x, y) covers
// [x - 0.5, x + 0.5] x [y - 0.5, y + 0.5].
#pragma once

#include <Eigen/Dense>

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "code_bits.hpp"
#include "geometry/quad.hpp"
#include "dictionary/dictionary.hpp"
#include "image/gray_image.hpp"

namespace morvelin::test {

constexpr std::uint8_t kDark = 30;
constexpr std::uint8_t kLight = 220;

struct P2 {
  double x = 0, y = 0;
};
using Corners = std::array<P2, 4>;

// Averages dark(x, y) over s x s samples per pixel.
template <class Dark>
GrayImage render(std::uint32_t w, std::uint32_t h, Dark dark, int s = 8, std::uint8_t fg = kDark,
                 std::uint8_t bg = kLight) {
  GrayImage img(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      int covered = 0;
      for (int i = 0; i < s; ++i) {
        for (int j = 0; j < s; ++j) {
          covered += dark(x - 0.5 + (j + 0.5) / s, y - 0.5 + (i + 0.5) / s) ? 1 : 0;
        }
      }
      const double v = bg + (static_cast<double>(fg) - bg) * covered / (s * s);
      img.row(y)[x] = static_cast<std::uint8_t>(std::lround(v));
    }
  }
  return img;
}

// A pixel-aligned filled rectangle of pixels [x0, x0 + w) x [y0, y0 + h).
inline GrayImage rectangle(std::uint32_t width, std::uint32_t height, std::uint32_t x0, std::uint32_t y0,
                           std::uint32_t w, std::uint32_t h, std::uint8_t fg = kDark, std::uint8_t bg = kLight) {
  GrayImage img(width, height, bg);
  for (std::uint32_t y = y0; y < y0 + h; ++y) {
    for (std::uint32_t x = x0; x < x0 + w; ++x) img.row(y)[x] = fg;
  }
  return img;
}

// Inside test for a convex polygon given in either orientation.
inline bool inside_convex(const std::vector<P2>& poly, double x, double y) {
  bool pos = false, neg = false;
  for (std::size_t i = 0; i < poly.size(); ++i) {
    const P2& a = poly[i];
    const P2& b = poly[(i + 1) % poly.size()];
    const double c = (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
    pos = pos || c > 0;
    neg = neg || c < 0;
  }
  return !(pos && neg);
}

// Plane-to-image homography.
struct Homography {
  Eigen::Matrix3d m = Eigen::Matrix3d::Identity();

  P2 map(double u, double v) const {
    const Eigen::Vector3d p = m * Eigen::Vector3d(u, v, 1.0);
    return {p.x() / p.z(), p.y() / p.z()};
  }
  Homography inverse() const { return {m.inverse()}; }

  // Maps the square (0, 0) ... (side, side) onto dst, corners in order
  // (0, 0), (side, 0), (side, side), (0, side).
  static Homography square_to(double side, const Corners& dst) {
    const double src[4][2] = {{0, 0}, {side, 0}, {side, side}, {0, side}};
    Eigen::Matrix<double, 8, 8> a;
    Eigen::Matrix<double, 8, 1> b;
    for (int i = 0; i < 4; ++i) {
      const double u = src[i][0], v = src[i][1], x = dst[i].x, y = dst[i].y;
      a.row(2 * i) << u, v, 1, 0, 0, 0, -u * x, -v * x;
      a.row(2 * i + 1) << 0, 0, 0, u, v, 1, -u * y, -v * y;
      b(2 * i) = x;
      b(2 * i + 1) = y;
    }
    const Eigen::Matrix<double, 8, 1> h = a.partialPivLu().solve(b);
    Homography H;
    H.m << h(0), h(1), h(2), h(3), h(4), h(5), h(6), h(7), 1.0;
    return H;
  }
};

// Cell colours of a dictionary marker with a one-cell black border:
// dark[row][column], (n + 2) x (n + 2).
inline std::vector<std::vector<bool>> marker_cells(const Dictionary& d, std::size_t id) {
  const std::uint32_t n = d.marker_size;
  std::vector<std::vector<bool>> dark(n + 2, std::vector<bool>(n + 2, true));
  for (std::uint32_t r = 0; r < n; ++r)
    for (std::uint32_t c = 0; c < n; ++c) dark[1 + r][1 + c] = !testing::code_bit(d, id, r, c);
  return dark;
}

struct TagScene {
  GrayImage image;
  Corners corners;  // outer corners of the black border, clockwise on screen from the top-left
};

// Renders marker `id` of `d` with its outer corners at `corners` on a light
// background.
inline TagScene render_tag(std::uint32_t w, std::uint32_t h, const Dictionary& d, std::size_t id,
                           const Corners& corners, int samples = 8) {
  const auto cells = marker_cells(d, id);
  const double side = static_cast<double>(cells.size());
  const Homography to_tag = Homography::square_to(side, corners).inverse();
  const auto dark = [&](double x, double y) {
    const P2 t = to_tag.map(x, y);
    if (!(t.x >= 0 && t.x < side && t.y >= 0 && t.y < side)) return false;
    return static_cast<bool>(cells[static_cast<std::size_t>(t.y)][static_cast<std::size_t>(t.x)]);
  };
  return {render(w, h, dark, samples), corners};
}

// Corners of the candidate closest to `truth` (any start, either direction),
// put into the order of `truth`, if its worst corner is within `tolerance`.
inline std::optional<Corners> match_quad(const CandidateList& candidates, const Corners& truth, double tolerance) {
  std::optional<Corners> best;
  double best_error = tolerance;
  for (const MarkerCandidate& c : candidates) {
    for (int direction = 0; direction < 2; ++direction) {
      for (int r = 0; r < 4; ++r) {
        Corners q;
        double worst = 0;
        for (int i = 0; i < 4; ++i) {
          const int k = direction == 0 ? (i + r) % 4 : (r - i + 4) % 4;
          q[i] = {c.corners[k].x, c.corners[k].y};
          worst = std::max(worst, std::hypot(q[i].x - truth[i].x, q[i].y - truth[i].y));
        }
        if (worst <= best_error) {
          best_error = worst;
          best = q;
        }
      }
    }
  }
  return best;
}

}  // namespace morvelin::test
