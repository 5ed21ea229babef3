// Test images with known corner positions: anti-aliased by supersampling,
// softened by a Gaussian blur, quantised to 8 bits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "geometry/quad.hpp"
#include "image/gray_image.hpp"

namespace morvelin::testing {

// A grey-level field under construction, in doubles.
struct Canvas {
  std::uint32_t width = 0, height = 0;
  std::vector<double> values;

  Canvas(std::uint32_t w, std::uint32_t h, double fill) : width(w), height(h), values(std::size_t{w} * h, fill) {}
  double& at(std::uint32_t x, std::uint32_t y) { return values[std::size_t{y} * width + x]; }
};

// Paints `ink` over every pixel in proportion to the part of its area (pixel
// (x, y) covers [x - 0.5, x + 0.5] x [y - 0.5, y + 0.5]) where `inside` holds,
// estimated on a grid of samples x samples points.
inline void paint(Canvas& canvas, const std::function<bool(double, double)>& inside, double ink, int samples = 16) {
  for (std::uint32_t y = 0; y < canvas.height; ++y) {
    for (std::uint32_t x = 0; x < canvas.width; ++x) {
      int hits = 0;
      for (int j = 0; j < samples; ++j) {
        for (int i = 0; i < samples; ++i) {
          const double sx = x - 0.5 + (i + 0.5) / samples;
          const double sy = y - 0.5 + (j + 0.5) / samples;
          hits += inside(sx, sy) ? 1 : 0;
        }
      }
      const double coverage = static_cast<double>(hits) / (samples * samples);
      double& v = canvas.at(x, y);
      v = v * (1.0 - coverage) + ink * coverage;
    }
  }
}

// Separable Gaussian blur with replicated borders.
inline void blur(Canvas& canvas, double sigma) {
  if (sigma <= 0.0) return;
  const int radius = static_cast<int>(std::ceil(3.0 * sigma));
  std::vector<double> kernel(2 * radius + 1);
  double total = 0.0;
  for (int k = -radius; k <= radius; ++k) total += kernel[k + radius] = std::exp(-0.5 * k * k / (sigma * sigma));
  for (double& k : kernel) k /= total;
  const auto w = static_cast<int>(canvas.width);
  const auto h = static_cast<int>(canvas.height);
  std::vector<double> tmp(canvas.values.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double s = 0.0;
      for (int k = -radius; k <= radius; ++k) s += kernel[k + radius] * canvas.values[y * w + std::clamp(x + k, 0, w - 1)];
      tmp[y * w + x] = s;
    }
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double s = 0.0;
      for (int k = -radius; k <= radius; ++k) s += kernel[k + radius] * tmp[std::clamp(y + k, 0, h - 1) * w + x];
      canvas.values[y * w + x] = s;
    }
  }
}

inline GrayImage quantise(const Canvas& canvas) {
  GrayImage image(canvas.width, canvas.height);
  for (std::size_t i = 0; i < canvas.values.size(); ++i) {
    image.pixels[i] = static_cast<std::uint8_t>(std::clamp(std::lround(canvas.values[i]), 0L, 255L));
  }
  return image;
}

// Chessboard-style saddle: dark where the point lies in the first or third
// quadrant of the frame rotated by `angle` round (cx, cy).
inline std::function<bool(double, double)> saddle(double cx, double cy, double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return [=](double x, double y) {
    const double u = (x - cx) * c + (y - cy) * s;
    const double v = -(x - cx) * s + (y - cy) * c;
    return u * v > 0.0;
  };
}

// Inside of a convex polygon given clockwise on screen (x right, y down).
inline std::function<bool(double, double)> convex_polygon(std::vector<Point2f> corners) {
  return [corners = std::move(corners)](double x, double y) {
    const std::size_t n = corners.size();
    for (std::size_t i = 0; i < n; ++i) {
      const Point2f a = corners[i], b = corners[(i + 1) % n];
      if ((double{b.x} - a.x) * (y - a.y) - (double{b.y} - a.y) * (x - a.x) < 0.0) return false;
    }
    return true;
  };
}

// Image of the square [0, 1]^2 under the homography h (row-major 3x3).
inline Quad warp_unit_square(const double (&h)[9]) {
  Quad q;
  const double src[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  for (int i = 0; i < 4; ++i) {
    const double u = src[i][0], v = src[i][1];
    const double z = h[6] * u + h[7] * v + h[8];
    q[i] = {static_cast<float>((h[0] * u + h[1] * v + h[2]) / z), static_cast<float>((h[3] * u + h[4] * v + h[5]) / z)};
  }
  return q;
}

inline double exact_distance(Point2f a, Point2f b) { return std::hypot(double{a.x} - b.x, double{a.y} - b.y); }

}  // namespace morvelin::testing
