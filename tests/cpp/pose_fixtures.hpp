// Synthetic cameras, poses and correspondences shared by the pose tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "pose/projection.hpp"
#include "pose/ransac.hpp"
#include "runtime/allocator.hpp"

namespace morvelin::testing {

inline CameraModel pinhole(double f = 800.0) {
  CameraModel cam;
  cam.fx = f;
  cam.fy = f * 0.98;
  cam.cx = 320.0;
  cam.cy = 240.0;
  return cam;
}

// Moderate distortion on every supported term.
inline CameraModel distorted_camera() {
  CameraModel cam = pinhole();
  const double d[12] = {-0.12, 0.05, 0.001, -0.0015, -0.01, 0.02, -0.01, 0.004, 0.001, -0.0005, 0.0008, -0.0003};
  for (std::size_t i = 0; i < 12; ++i) cam.dist[i] = d[i];
  return cam;
}

inline Pose random_pose(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> angle(-0.6, 0.6);
  std::uniform_real_distribution<double> shift(-0.3, 0.3);
  std::uniform_real_distribution<double> depth(2.5, 4.0);
  return {{angle(rng), angle(rng), angle(rng)}, {shift(rng), shift(rng), depth(rng)}};
}

// Points in a cube of half-side `half` around the origin.
inline Vec<Point3> random_points(std::mt19937_64& rng, std::size_t n, double half = 0.5) {
  std::uniform_real_distribution<double> u(-half, half);
  Vec<Point3> pts(n);
  for (auto& p : pts) p = {u(rng), u(rng), u(rng)};
  return pts;
}

// Points on the plane Z = 0.
inline Vec<Point3> random_plane_points(std::mt19937_64& rng, std::size_t n, double half = 0.5) {
  std::uniform_real_distribution<double> u(-half, half);
  Vec<Point3> pts(n);
  for (auto& p : pts) p = {u(rng), u(rng), 0.0};
  return pts;
}

// The benchmark scene: n points in [-0.3, 0.3]^3 (z = 0 when planar), 1.4
// units in front of a camera with five distortion terms, about 0.3 px of
// noise, and `outliers` distinct points moved by 30..100 px in x and y.
// Built from Xorshift64 alone, so the data do not depend on the standard
// library's distributions.
struct ReferenceScene {
  CameraModel camera;
  Vec<Point3> object;
  Vec<Point2> image;
};

inline double unit_uniform(Xorshift64& rng) { return static_cast<double>(rng.next() >> 11) * 0x1.0p-53; }

inline ReferenceScene reference_scene(std::size_t n, std::size_t outliers, bool planar, std::uint64_t seed) {
  Xorshift64 rng(seed);
  ReferenceScene s;
  s.camera.fx = 800.0;
  s.camera.fy = 780.0;
  s.camera.cx = 320.0;
  s.camera.cy = 240.0;
  const double dist[5] = {0.1, -0.05, 0.001, -0.002, 0.01};
  for (std::size_t i = 0; i < 5; ++i) s.camera.dist[i] = dist[i];
  s.object.resize(n);
  for (auto& p : s.object) {
    for (double& c : p) c = -0.3 + 0.6 * unit_uniform(rng);
    if (planar) p[2] = 0.0;
  }
  s.image = project_points(s.object, Pose{{0.2, -0.3, 0.1}, {0.05, -0.02, 1.4}}, s.camera);
  for (auto& q : s.image) {
    for (double& c : q) {
      double sum = 0.0;  // Irwin–Hall: twelve uniforms minus 6 has unit variance
      for (int k = 0; k < 12; ++k) sum += unit_uniform(rng);
      c += 0.3 * (sum - 6.0);
    }
  }
  Vec<std::size_t> moved(outliers);
  draw_sample(rng, n, moved);
  for (std::size_t i : moved) {
    for (double& c : s.image[i]) c += 30.0 + 70.0 * unit_uniform(rng);
  }
  return s;
}

inline void expect_pose_near(const Pose& actual, const Pose& expected, double tol) {
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(actual.rvec[i], expected.rvec[i], tol) << "rvec[" << i << "]";
    EXPECT_NEAR(actual.tvec[i], expected.tvec[i], tol) << "tvec[" << i << "]";
  }
}

}  // namespace morvelin::testing
