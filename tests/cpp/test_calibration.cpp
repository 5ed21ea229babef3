// Calibration stages: intrinsic derivatives, the focal-length start, the
// inverse of the distortion and the two poses of a plane.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "calibration/calibration_fit.hpp"
#include "calibration/focal_length_guess.hpp"
#include "calibration/marker_pose.hpp"
#include "calibration/undistortion.hpp"
#include "pose/matrix3.hpp"
#include "pose/rotation_vector.hpp"
#include "pose_fixtures.hpp"

using namespace morvelin;
using namespace morvelin::testing;

namespace {

// Pixel of the normalised point (x, y) under `camera`.
Point2 pixel(double x, double y, const CameraModel& camera) {
  const PixelMapping<double> m = map_to_pixel<false>(x, y, 1.0, camera);
  return {m.u, m.v};
}

// The homography that images the plane z = 0 under camera matrix K and pose.
Matrix3 plane_homography(const CameraModel& c, const Pose& pose) {
  const Matrix3 r = rotation_matrix(pose.rvec);
  const Matrix3 k = {{{c.fx, 0.0, c.cx}, {0.0, c.fy, c.cy}, {0.0, 0.0, 1.0}}};
  const Matrix3 rt = {{{r[0][0], r[0][1], pose.tvec[0]}, {r[1][0], r[1][1], pose.tvec[1]}, {r[2][0], r[2][1], pose.tvec[2]}}};
  return multiply(k, rt);
}

}  // namespace

TEST(IntrinsicLayout, PixelDerivativesMatchCentralDifferences) {
  for (const bool fixed_aspect : {false, true}) {
    CalibrationSettings settings;
    settings.distortion_terms = 12;
    settings.fix_aspect_ratio = fixed_aspect;
    const IntrinsicLayout layout(settings, 1.03);
    CameraModel camera = distorted_camera();
    layout.write(layout.read(camera), camera);  // fx = 1.03 fy when fixed
    const double x = 0.31, y = -0.22;
    double du[kMaxIntrinsics], dv[kMaxIntrinsics];
    layout.pixel_derivatives(distort(x, y, camera), camera, du, dv);
    const IntrinsicVector a = layout.read(camera);
    for (Eigen::Index i = 0; i < a.size(); ++i) {
      const double h = 1e-6 * std::max(1.0, std::fabs(a(i)));
      IntrinsicVector plus = a, minus = a;
      plus(i) += h;
      minus(i) -= h;
      CameraModel cp = camera, cm = camera;
      layout.write(plus, cp);
      layout.write(minus, cm);
      const Point2 p = pixel(x, y, cp), m = pixel(x, y, cm);
      EXPECT_NEAR(du[i], (p[0] - m[0]) / (2 * h), 1e-5 * std::max(1.0, std::fabs(du[i]))) << i;
      EXPECT_NEAR(dv[i], (p[1] - m[1]) / (2 * h), 1e-5 * std::max(1.0, std::fabs(dv[i]))) << i;
    }
  }
}

TEST(FocalLengthGuess, RecoversFocalLengthsFromTiltedViews) {
  const CameraModel camera = pinhole(900.0);
  std::mt19937_64 rng(3);
  Vec<Matrix3> homographies;
  for (int i = 0; i < 3; ++i) homographies.push_back(plane_homography(camera, random_pose(rng)));
  const auto both = focal_lengths_from_homographies(homographies, camera.cx, camera.cy, 560.0, std::nullopt);
  ASSERT_TRUE(both);
  EXPECT_NEAR((*both)[0], camera.fx, 1e-6);
  EXPECT_NEAR((*both)[1], camera.fy, 1e-6);
  const auto held = focal_lengths_from_homographies(homographies, camera.cx, camera.cy, 560.0, camera.fx / camera.fy);
  ASSERT_TRUE(held);
  EXPECT_NEAR((*held)[1], camera.fy, 1e-6);
  // A single turn about the x axis cannot separate fx from fy; fx = fy is
  // assumed then, which is exact for a camera with square pixels.
  CameraModel square = camera;
  square.fy = square.fx;
  const Matrix3 about_x = plane_homography(square, {{0.4, 0.0, 0.0}, {0.1, 0.0, 2.0}});
  const auto one = focal_lengths_from_homographies(std::span(&about_x, 1), camera.cx, camera.cy, 560.0, std::nullopt);
  ASSERT_TRUE(one);
  EXPECT_NEAR((*one)[0], square.fx, 1e-6);
  EXPECT_NEAR((*one)[1], square.fx, 1e-6);
  // Views facing the camera say nothing about the focal length.
  const Matrix3 frontal = plane_homography(camera, {{0.0, 0.0, 0.3}, {0.1, 0.2, 2.0}});
  EXPECT_FALSE(focal_lengths_from_homographies(std::span(&frontal, 1), camera.cx, camera.cy, 560.0, std::nullopt));
  EXPECT_FALSE(focal_lengths_from_homographies({}, camera.cx, camera.cy, 560.0, std::nullopt));
}

TEST(Undistortion, InvertsEveryDistortionModelToWorkingPrecision) {
  const CameraModel camera = distorted_camera();
  for (double x = -0.6; x <= 0.6; x += 0.15) {
    for (double y = -0.45; y <= 0.45; y += 0.15) {
      const Point2 back = undistort_point(pixel(x, y, camera), camera);
      EXPECT_NEAR(back[0], x, 1e-13);
      EXPECT_NEAR(back[1], y, 1e-13);
    }
  }
  const Point2 nan = undistort_point({std::nan(""), 3.0}, camera);
  EXPECT_TRUE(std::isnan(nan[0]));
}

TEST(MarkerPose, OneOfTheTwoPlanePosesIsTheTruth) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 20; ++trial) {
    const Pose truth = random_pose(rng);
    // Normalised camera: the homography of the plane itself.
    const Matrix3 h = plane_homography(CameraModel{1.0, 1.0, 0.0, 0.0, {}}, truth);
    const auto candidates = plane_pose_candidates(h);
    ASSERT_TRUE(candidates);
    EXPECT_NEAR(candidates->depth, truth.tvec[2], 1e-9);
    const Matrix3 r = rotation_matrix(truth.rvec);
    double best = HUGE_VAL;
    for (const Matrix3& c : candidates->rotations) {
      double error = 0.0;
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) error = std::max(error, std::fabs(c[i][j] - r[i][j]));
      }
      best = std::min(best, error);
    }
    EXPECT_LT(best, 1e-9) << trial;
  }
}
