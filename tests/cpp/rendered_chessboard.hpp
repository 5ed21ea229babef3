// Rendered chessboards with known interior corners: a board on a paper
// margin seen through a homography, anti-aliased and slightly blurred, and
// crisp boards whose square edges lie on pixel boundaries.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "rendered_corners.hpp"

namespace morvelin::testing {


inline constexpr double kDark = 35.0, kPaper = 215.0, kBackground = 110.0;

// A board of (columns + 1) x (rows + 1) squares on a paper margin, seen
// through the homography that maps board units (one square, origin at the
// board's top-left, interior corner (i, j) at (i + 1, j + 1)) to pixels:
// scaled by `square`, turned by `angle`, tilted by `tilt` (perspective terms
// per board unit) and centred at (cx, cy). Square (a, b) is dark when a + b
// is even.
struct BoardView {
  int columns = 9, rows = 6;
  double square = 30.0, angle = 0.0, cx = 320.0, cy = 240.0;
  double tilt_x = 0.0, tilt_y = 0.0;
  int missing_square = -1;  // index a + b (columns + 1) of a dark square left out
  double inset = 0.0;       // dark squares shrunk by this much on every side
  double blur = 0.6;        // Gaussian blur of the rendering, in pixels

  std::array<double, 9> homography() const {
    const double c = std::cos(angle) * square, s = std::sin(angle) * square;
    const double u0 = (columns + 1) / 2.0, v0 = (rows + 1) / 2.0;
    // [c -s cx; s c cy; tx ty 1] applied to (u - u0, v - v0, 1).
    const std::array<double, 9> centred = {c, -s, cx, s, c, cy, tilt_x, tilt_y, 1.0};
    const std::array<double, 9> shift = {1, 0, -u0, 0, 1, -v0, 0, 0, 1};
    std::array<double, 9> h{};
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 3; ++k)
        for (int m = 0; m < 3; ++m) h[r * 3 + k] += centred[r * 3 + m] * shift[m * 3 + k];
    return h;
  }

  Point2f corner(int i, int j) const {
    const auto h = homography();
    const double u = i + 1, v = j + 1, z = h[6] * u + h[7] * v + h[8];
    return {static_cast<float>((h[0] * u + h[1] * v + h[2]) / z), static_cast<float>((h[3] * u + h[4] * v + h[5]) / z)};
  }

  // Interior corners in board row-major order.
  std::vector<Point2f> corners() const {
    std::vector<Point2f> out;
    for (int j = 0; j < rows; ++j)
      for (int i = 0; i < columns; ++i) out.push_back(corner(i, j));
    return out;
  }

  double shade(double u, double v) const {
    if (u < -0.6 || v < -0.6 || u > columns + 1.6 || v > rows + 1.6) return kBackground;
    if (u < 0 || v < 0 || u >= columns + 1 || v >= rows + 1) return kPaper;
    const int a = static_cast<int>(u), b = static_cast<int>(v);
    if ((a + b) % 2 != 0 || a + b * (columns + 1) == missing_square) return kPaper;
    const double fu = u - a, fv = v - b;
    if (fu < inset || fv < inset || fu > 1 - inset || fv > 1 - inset) return kPaper;
    return kDark;
  }
};

inline std::array<double, 9> inverse(const std::array<double, 9>& m) {
  const std::array<double, 9> adj = {m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
                                     m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
                                     m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
  const double det = m[0] * adj[0] + m[1] * adj[3] + m[2] * adj[6];
  std::array<double, 9> out{};
  for (int i = 0; i < 9; ++i) out[i] = adj[i] / det;
  return out;
}

// Anti-aliased (4 x 4 samples per pixel), slightly blurred rendering; the
// optional `light` scales the shade by the pixel's position.
inline GrayImage render(const BoardView& board, std::uint32_t w = 640, std::uint32_t h = 480,
                 double (*light)(double x, double y) = nullptr) {
  const auto inv = inverse(board.homography());
  Canvas canvas(w, h, 0.0);
  constexpr int n = 4;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      double sum = 0.0;
      for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
          const double sx = x - 0.5 + (i + 0.5) / n, sy = y - 0.5 + (j + 0.5) / n;
          const double z = inv[6] * sx + inv[7] * sy + inv[8];
          sum += board.shade((inv[0] * sx + inv[1] * sy + inv[2]) / z, (inv[3] * sx + inv[4] * sy + inv[5]) / z);
        }
      }
      canvas.at(x, y) = sum / (n * n) * (light ? light(x, y) : 1.0);
    }
  }
  blur(canvas, board.blur);
  return quantise(canvas);
}

// A board with square edges on pixel boundaries and no grey pixels: square
// (a, b) covers [x0 + a s, x0 + (a + 1) s) x [y0 + b s, ...).
inline GrayImage render_crisp(int columns, int rows, int s, int x0, int y0, std::uint32_t w, std::uint32_t h) {
  GrayImage image(w, h, 255);
  for (int y = 0; y < static_cast<int>(h); ++y) {
    for (int x = 0; x < static_cast<int>(w); ++x) {
      const int a = (x - x0 + 1000 * s) / s - 1000, b = (y - y0 + 1000 * s) / s - 1000;
      if (a >= 0 && b >= 0 && a <= columns && b <= rows && (a + b) % 2 == 0) image.pixels[std::size_t(y) * w + x] = 0;
    }
  }
  return image;
}

}  // namespace morvelin::testing
