// Synthetic cameras, poses and correspondences shared by the pose tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "pose/projection.hpp"
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

inline void expect_pose_near(const Pose& actual, const Pose& expected, double tol) {
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(actual.rvec[i], expected.rvec[i], tol) << "rvec[" << i << "]";
    EXPECT_NEAR(actual.tvec[i], expected.tvec[i], tol) << "tvec[" << i << "]";
  }
}

}  // namespace morvelin::testing
