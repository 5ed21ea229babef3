// Rendered ChArUco boards with known geometry: the board plane is mapped into
// the image by a homography (usually a pinhole camera looking at the board),
// each pixel is supersampled, softened by a slight Gaussian blur and
// quantised. White background, black squares, markers drawn from the
// dictionary tables in the marker squares.
#pragma once

#include <Eigen/LU>
#include <cmath>
#include <cstdint>
#include <vector>

#include "charuco/board.hpp"
#include "code_bits.hpp"
#include "imgproc/homography.hpp"
#include "pose/pose.hpp"
#include "pose/rotation_vector.hpp"
#include "rendered_corners.hpp"

namespace morvelin::testing {

struct PinholeView {
  double fx = 800.0, fy = 800.0, cx = 320.0, cy = 240.0;
  Pose pose;  // board coordinates to camera coordinates
};

// Board plane (x, y, 0) to pixels: K [r1 r2 t].
inline Homography view_homography(const PinholeView& view) {
  const Matrix3 r = rotation_matrix(view.pose.rvec);
  Eigen::Matrix3d rt;
  for (int i = 0; i < 3; ++i) rt.row(i) << r[i][0], r[i][1], view.pose.tvec[i];
  Eigen::Matrix3d k;
  k << view.fx, 0.0, view.cx, 0.0, view.fy, view.cy, 0.0, 0.0, 1.0;
  return k * rt;
}

inline Point2f map_point(const Homography& h, double x, double y) {
  const auto p = apply_homography(h, x, y);
  return {static_cast<float>(p.x), static_cast<float>(p.y)};
}

struct BoardDrawing {
  // Id drawn in each marker square, in marker order; -1 leaves the square
  // plain white. Empty: the board's own ids.
  std::vector<std::int64_t> drawn_ids;
  double blur_sigma = 0.5;
};

// Samples per pixel: a Fibonacci lattice of 34 points with generator 21.
// Unlike a square grid, its points all differ in x and in y, so edges of any
// direction, axis-parallel ones included, are resolved to 1/34 pixel.
constexpr int kPixelSamples = 34;
constexpr int kLatticeGenerator = 21;

// What each square shows, row-major: kBlackSquare, or the id of the marker
// drawn in it (-1: plain white). Marker squares are counted independently of
// the board's own layout code.
constexpr std::int64_t kBlackSquare = -2;

inline std::vector<std::int64_t> square_contents(const CharucoBoard& board, const BoardDrawing& drawing) {
  const std::uint64_t parity = (board.legacy_pattern() && board.squares_y() % 2 == 0) ? 0 : 1;
  std::vector<std::int64_t> squares;
  std::size_t marker = 0;
  for (std::uint64_t i = 0; i < board.squares_y(); ++i) {
    for (std::uint64_t j = 0; j < board.squares_x(); ++j) {
      if ((i + j) % 2 != parity) {
        squares.push_back(kBlackSquare);
      } else {
        squares.push_back(drawing.drawn_ids.empty() ? static_cast<std::int64_t>(board.ids()[marker])
                                                    : drawing.drawn_ids[marker]);
        ++marker;
      }
    }
  }
  return squares;
}

// Grey level of board point (u, v): -1 off the board.
inline int board_grey(const CharucoBoard& board, const std::vector<std::int64_t>& squares, double u, double v) {
  const double l = board.square_length();
  const double m = board.marker_length();
  if (!(u >= 0.0 && v >= 0.0)) return -1;
  const auto j = static_cast<std::uint64_t>(u / l);
  const auto i = static_cast<std::uint64_t>(v / l);
  if (j >= board.squares_x() || i >= board.squares_y()) return -1;
  const std::int64_t id = squares[i * board.squares_x() + j];
  if (id == kBlackSquare) return 0;
  const double x0 = j * l + (l - m) * 0.5;
  const double y0 = i * l + (l - m) * 0.5;
  if (id < 0 || u < x0 || v < y0 || u >= x0 + m || v >= y0 + m) return 255;
  const Dictionary& d = board.dictionary();
  const double cells = d.marker_size + 2.0;
  const auto c = static_cast<std::uint32_t>((u - x0) / m * cells);
  const auto r = static_cast<std::uint32_t>((v - y0) / m * cells);
  if (r == 0 || c == 0 || r + 1 >= cells || c + 1 >= cells) return 0;
  return code_bit(d, static_cast<std::size_t>(id), r - 1, c - 1) ? 255 : 0;
}

inline GrayImage render_board(const CharucoBoard& board, const Homography& board_to_image, std::uint32_t width,
                              std::uint32_t height, const BoardDrawing& drawing = {}) {
  const std::vector<std::int64_t> squares = square_contents(board, drawing);
  Canvas canvas(width, height, 255.0);
  const Homography inverse = board_to_image.inverse();
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      double sum = 0.0;
      for (int i = 0; i < kPixelSamples; ++i) {
        const double px = x - 0.5 + (i + 0.5) / kPixelSamples;
        const double py = y - 0.5 + ((i * kLatticeGenerator) % kPixelSamples + 0.5) / kPixelSamples;
        const auto q = apply_homography(inverse, px, py);
        const int grey = board_grey(board, squares, q.x, q.y);
        sum += grey < 0 ? 255.0 : grey;
      }
      canvas.at(x, y) = sum / kPixelSamples;
    }
  }
  blur(canvas, drawing.blur_sigma);
  return quantise(canvas);
}

// Image positions of every chessboard corner under `h`.
inline std::vector<Point2f> true_corners(const CharucoBoard& board, const Homography& h) {
  std::vector<Point2f> out;
  for (const BoardPoint& p : board.chessboard_corners()) out.push_back(map_point(h, p[0], p[1]));
  return out;
}

}  // namespace morvelin::testing
