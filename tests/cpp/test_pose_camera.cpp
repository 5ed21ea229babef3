// Camera model parsing, rotation vectors and projection with derivatives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>

#include "pose/camera_model.hpp"
#include "pose/matrix3.hpp"
#include "pose/projection.hpp"
#include "pose/rotation_vector.hpp"
#include "pose_fixtures.hpp"

using namespace morvelin;
using namespace morvelin::testing;

namespace {

Vec<Vec<double>> rows(std::initializer_list<std::initializer_list<double>> list) {
  Vec<Vec<double>> out;
  for (const auto& r : list) out.emplace_back(r);
  return out;
}

const Vec<Vec<double>> kCameraRows = rows({{800, 0, 320}, {0, 780, 240}, {0, 0, 1}});

std::string parse_error(const Vec<Vec<double>>& m, std::optional<Vec<double>> dist) {
  std::optional<std::span<const double>> view;
  if (dist) view = std::span<const double>(*dist);
  const auto r = parse_camera_model(m, view);
  return r ? std::string("ok") : r.error().message;
}

void expect_matrix_near(const Matrix3& a, const Matrix3& b, double tol) {
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(a[i][j], b[i][j], tol) << i << "," << j;
  }
}

}  // namespace

// ---- camera model ----------------------------------------------------------

TEST(CameraModel, ReadsFocalLengthsAndPrincipalPointOnly) {
  auto cam = parse_camera_model(rows({{800, 5, 320}, {7, 780, 240}, {1, 2, 3}}), std::nullopt);
  ASSERT_TRUE(cam);
  EXPECT_EQ(cam->fx, 800);
  EXPECT_EQ(cam->fy, 780);
  EXPECT_EQ(cam->cx, 320);
  EXPECT_EQ(cam->cy, 240);
  EXPECT_FALSE(cam->has_distortion());
}

TEST(CameraModel, MatrixShapeIsChecked) {
  const std::string msg = "camera_matrix must be 3x3";
  EXPECT_EQ(parse_error(rows({{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}), std::nullopt), msg);
  EXPECT_EQ(parse_error(rows({{1, 0, 0}, {0, 1, 0}}), std::nullopt), msg);
  EXPECT_EQ(parse_error(rows({{1, 0, 0}, {0, 1}, {0, 0, 1}}), std::nullopt), msg);
  EXPECT_EQ(parse_error(rows({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 1}}), std::nullopt), msg);
  // The shape is checked before the distortion.
  EXPECT_EQ(parse_error(rows({{1, 0, 0}, {0, 1, 0}}), Vec<double>(6, 0.0)), msg);
}

TEST(CameraModel, DistortionCountsAndTilt) {
  for (std::size_t n : {0u, 4u, 5u, 8u, 12u, 14u}) EXPECT_EQ(parse_error(kCameraRows, Vec<double>(n, 0.0)), "ok") << n;
  for (std::size_t n : {1u, 3u, 6u, 13u, 15u}) {
    EXPECT_EQ(parse_error(kCameraRows, Vec<double>(n, 0.0)),
              "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got " + std::to_string(n));
  }
  const std::string tilt = "tilted-sensor distortion (taux/tauy) is not supported";
  Vec<double> d(14, 0.0);
  d[13] = 1e-9;
  EXPECT_EQ(parse_error(kCameraRows, d), tilt);
  d[13] = 0.0;
  d[12] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(parse_error(kCameraRows, d), tilt);
  d[12] = -0.0;
  EXPECT_EQ(parse_error(kCameraRows, d), "ok");
}

TEST(CameraModel, CoefficientsFillTheirSlotsInOrder) {
  const Vec<double> d = {1, 2, 3, 4, 5};
  auto cam = parse_camera_model(kCameraRows, std::span<const double>(d));
  ASSERT_TRUE(cam);
  EXPECT_EQ(cam->dist[kK1], 1);
  EXPECT_EQ(cam->dist[kK2], 2);
  EXPECT_EQ(cam->dist[kP1], 3);
  EXPECT_EQ(cam->dist[kP2], 4);
  EXPECT_EQ(cam->dist[kK3], 5);
  for (std::size_t i = 5; i < kDistortionTerms; ++i) EXPECT_EQ(cam->dist[i], 0.0);
}

// ---- rotation vectors ------------------------------------------------------

TEST(RotationVector, ZeroAndTinyVectorsGiveTheIdentity) {
  EXPECT_EQ(rotation_matrix({0, 0, 0}), kIdentity3);
  EXPECT_EQ(rotation_matrix({1e-17, 0, 0}), kIdentity3);
  EXPECT_EQ(rotation_vector(kIdentity3), (Vector3{0, 0, 0}));
}

TEST(RotationVector, HalfTurnsTakeTheDiagonalBranch) {
  const double pi = std::numbers::pi;
  const Vector3 about_y = rotation_vector({{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}});
  EXPECT_NEAR(about_y[0], 0.0, 1e-15);
  EXPECT_NEAR(about_y[1], pi, 1e-15);
  EXPECT_NEAR(about_y[2], 0.0, 1e-15);

  const Vector3 diagonal = rotation_vector({{{0, 1, 0}, {1, 0, 0}, {0, 0, -1}}});
  const double c = pi * std::sqrt(0.5);
  EXPECT_NEAR(diagonal[0], c, 1e-14);
  EXPECT_NEAR(diagonal[1], c, 1e-14);
  EXPECT_NEAR(diagonal[2], 0.0, 1e-14);

  // Axes with mixed signs: the off-diagonal signs restore the signs lost in
  // the square roots, and with a vanishing x component R12 decides z.
  const double r3 = 1.0 / std::sqrt(3.0), r2 = std::sqrt(0.5);
  for (const Vector3& axis : {Vector3{r3, -r3, r3}, Vector3{r3, r3, -r3}, Vector3{0.0, r2, -r2}, Vector3{0.0, -r2, -r2}}) {
    const Vector3 v = rotation_vector(rotation_matrix({axis[0] * pi, axis[1] * pi, axis[2] * pi}));
    // ±axis·π are the same rotation; the branch picks x ≥ 0, then y ≥ 0.
    const double sign = (axis[0] > 0.0 || (axis[0] == 0.0 && axis[1] > 0.0)) ? 1.0 : -1.0;
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(v[i], sign * axis[i] * pi, 1e-6) << axis[0] << axis[1] << axis[2];
  }
}

TEST(RotationVector, OrthonormalisesScaledAndNoisyMatrices) {
  const Vector3 v = {0.3, -0.7, 0.2};
  Matrix3 r = rotation_matrix(v);
  Matrix3 doubled = r;
  for (auto& row : doubled) {
    for (double& e : row) e *= 2.0;
  }
  const Vector3 from_doubled = rotation_vector(doubled);
  const Vector3 from_r = rotation_vector(r);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(from_doubled[i], from_r[i], 1e-15);
    EXPECT_NEAR(from_r[i], v[i], 1e-15);
  }
}

TEST(RotationVector, RoundTripsOverAllAngles) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> n(0.0, 1.0);
  std::uniform_real_distribution<double> angle(1e-6, std::numbers::pi - 1e-3);
  for (int trial = 0; trial < 200; ++trial) {
    Vector3 axis = {n(rng), n(rng), n(rng)};
    const double norm = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double theta = angle(rng);
    const Vector3 v = {axis[0] / norm * theta, axis[1] / norm * theta, axis[2] / norm * theta};
    const Vector3 back = rotation_vector(rotation_matrix(v));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(back[i], v[i], 1e-9) << trial;
  }
}

TEST(RotationVector, NonFiniteInputGivesNaN) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Vector3 v = rotation_vector({{{nan, 0, 0}, {0, 1, 0}, {0, 0, 1}}});
  EXPECT_TRUE(std::isnan(v[0]) && std::isnan(v[1]) && std::isnan(v[2]));
  EXPECT_TRUE(std::isnan(rotation_matrix({nan, 0, 0})[0][0]));
}

TEST(RotationVector, DerivativesMatchCentralDifferences) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  const double h = 1e-6;
  for (int trial = 0; trial < 50; ++trial) {
    // Trial 0 checks the small-angle branch against the formula around it.
    const Vector3 v = trial == 0 ? Vector3{0, 0, 0} : Vector3{u(rng), u(rng), u(rng)};
    const RotationDerivatives d = rotation_matrix_with_derivatives(v);
    expect_matrix_near(d.r, rotation_matrix(v), 0.0);
    for (std::size_t j = 0; j < 3; ++j) {
      Vector3 plus = v, minus = v;
      plus[j] += h;
      minus[j] -= h;
      const Matrix3 rp = rotation_matrix(plus), rm = rotation_matrix(minus);
      Matrix3 fd{};
      for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = 0; b < 3; ++b) fd[a][b] = (rp[a][b] - rm[a][b]) / (2 * h);
      }
      expect_matrix_near(d.d[j], fd, 1e-8);
    }
  }
}

TEST(Rodrigues, ShapesSelectTheDirection) {
  auto as_1x3 = rodrigues(rows({{0.1, 0.2, 0.3}}));
  auto as_3x1 = rodrigues(rows({{0.1}, {0.2}, {0.3}}));
  ASSERT_TRUE(as_1x3 && as_3x1);
  EXPECT_TRUE(as_1x3->is_matrix);
  EXPECT_EQ(as_1x3->matrix, as_3x1->matrix);
  EXPECT_EQ(as_1x3->matrix, rotation_matrix({0.1, 0.2, 0.3}));

  // Later rows may be longer than the first; only the leading values count.
  auto wide_3x1 = rodrigues(rows({{0.1}, {0.2, 9}, {0.3, 9, 9}}));
  ASSERT_TRUE(wide_3x1);
  EXPECT_EQ(wide_3x1->matrix, as_1x3->matrix);

  const Matrix3 r = as_1x3->matrix;
  auto back = rodrigues(rows({{r[0][0], r[0][1], r[0][2]}, {r[1][0], r[1][1], r[1][2]}, {r[2][0], r[2][1], r[2][2]}}));
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->is_matrix);
  EXPECT_EQ(back->vector, rotation_vector(r));
}

TEST(Rodrigues, OtherShapesAreRefused) {
  const std::string msg = "src must be 3x1 / 1x3 (rotation vector) or 3x3 (rotation matrix)";
  for (const auto& bad : {rows({{1, 0}, {0, 1}}), rows({{1, 0}, {0, 1}, {0, 0}}), rows({{1}, {0}, {}}),
                          rows({{1, 0, 0}, {0, 1, 0}, {0, 0}}), rows({}), rows({{1, 2, 3, 4}}), rows({{1, 2}}),
                          rows({{1, 2, 3}, {1, 2, 3}}), rows({{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}})}) {
    const auto r = rodrigues(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message, msg);
  }
}

// ---- projection ------------------------------------------------------------

TEST(Projection, EmptyInputGivesEmptyOutput) {
  EXPECT_TRUE(project_points({}, Pose{}, pinhole()).empty());
  const auto with = project_points_with_derivatives({}, Pose{}, pinhole());
  EXPECT_TRUE(with.points.empty() && with.d_rvec.empty() && with.d_tvec.empty());
}

TEST(Projection, DistortionTermsAsDocumented) {
  // One point, identity rotation: x' = 0.2, y' = -0.1, r² = 0.05.
  const Point3 p = {0.4, -0.2, 2.0};
  const double x = 0.2, y = -0.1, r2 = 0.05, r4 = r2 * r2;
  CameraModel cam = pinhole();
  cam.dist[kK1] = 0.1;
  cam.dist[kK4] = 0.3;
  cam.dist[kP1] = 0.01;
  cam.dist[kP2] = -0.02;
  cam.dist[kS1] = 0.003;
  cam.dist[kS4] = 0.004;
  const double f = (1 + 0.1 * r2) / (1 + 0.3 * r2);
  const double xd = x * f + 2 * 0.01 * x * y + -0.02 * (r2 + 2 * x * x) + 0.003 * r2;
  const double yd = y * f + 0.01 * (r2 + 2 * y * y) + 2 * -0.02 * x * y + 0.004 * r4;
  const auto pts = project_points(std::span<const Point3>(&p, 1), Pose{{0, 0, 0}, {0, 0, 0}}, cam);
  EXPECT_NEAR(pts[0][0], cam.fx * xd + cam.cx, 1e-12);
  EXPECT_NEAR(pts[0][1], cam.fy * yd + cam.cy, 1e-12);
}

TEST(Projection, ZeroDepthIsNotDivided) {
  const CameraModel cam = pinhole();
  const Point3 p = {0.25, -0.5, 0.0};
  const auto out = project_points_with_derivatives(std::span<const Point3>(&p, 1), Pose{}, cam);
  EXPECT_EQ(out.points[0][0], cam.fx * 0.25 + cam.cx);
  EXPECT_EQ(out.points[0][1], cam.fy * -0.5 + cam.cy);
  // The inverse depth 1 carries into the derivatives: ∂u/∂tx = fx, ∂u/∂tz = −fx·x′.
  EXPECT_EQ(out.d_tvec[0], cam.fx);
  EXPECT_EQ(out.d_tvec[2], -cam.fx * 0.25);
  EXPECT_EQ(out.d_tvec[4], cam.fy);

  // Behind the camera: divided like any other point.
  const Point3 behind = {0.5, 0.25, -2.0};
  const auto b = project_points(std::span<const Point3>(&behind, 1), Pose{}, cam);
  EXPECT_EQ(b[0][0], cam.fx * (0.5 * (1.0 / -2.0)) + cam.cx);
}

TEST(Projection, NonFiniteInputPropagates) {
  const Point3 p = {0.1, 0.1, std::numeric_limits<double>::quiet_NaN()};
  const auto out = project_points(std::span<const Point3>(&p, 1), Pose{}, pinhole());
  EXPECT_TRUE(std::isnan(out[0][0]) && std::isnan(out[0][1]));
}

TEST(Projection, SkewAndMissingCoefficientsDoNotChangeTheResult) {
  std::mt19937_64 rng(3);
  const Vec<Point3> pts = random_points(rng, 10);
  const Pose pose = random_pose(rng);
  const Vec<double> none, fourteen(14, 0.0);
  auto skewed = parse_camera_model(rows({{800, 3, 320}, {0, 780, 240}, {0, 0, 1}}), std::nullopt);
  auto plain = parse_camera_model(kCameraRows, std::span<const double>(none));
  auto zeros = parse_camera_model(kCameraRows, std::span<const double>(fourteen));
  ASSERT_TRUE(skewed && plain && zeros);
  const auto a = project_points(pts, pose, *skewed);
  EXPECT_EQ(a, project_points(pts, pose, *plain));
  EXPECT_EQ(a, project_points(pts, pose, *zeros));
}

TEST(Projection, AllOutputFormsAgree) {
  std::mt19937_64 rng(5);
  const Vec<Point3> pts = random_points(rng, 7);
  const Pose pose = random_pose(rng);
  const CameraModel cam = distorted_camera();
  const auto plain = project_points(pts, pose, cam);
  const auto with = project_points_with_derivatives(pts, pose, cam);
  EXPECT_EQ(plain, with.points);
  Vec<Point2> into(pts.size());
  Vec<double> jac(12 * pts.size());
  project_points_into(pts, pose, cam, into, jac);
  EXPECT_EQ(into, plain);
  for (std::size_t row = 0; row < 2 * pts.size(); ++row) {
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_EQ(jac[6 * row + j], with.d_rvec[3 * row + j]);
      EXPECT_EQ(jac[6 * row + 3 + j], with.d_tvec[3 * row + j]);
    }
  }
}

// Analytic derivatives against central differences, for random poses, with
// each distortion term alone and all together.
TEST(Projection, DerivativesMatchCentralDifferences) {
  std::mt19937_64 rng(2024);
  const double values[12] = {-0.2, 0.08, 0.004, -0.003, -0.03, 0.05, -0.02, 0.01, 0.004, -0.002, 0.003, -0.001};
  const std::size_t terms[] = {kK1, kK2, kK3, kK4, kK5, kK6, kP1, kP2, kS1, kS2, kS3, kS4};
  Vec<CameraModel> cameras;
  cameras.push_back(pinhole());
  for (std::size_t t : terms) {
    CameraModel cam = pinhole();
    cam.dist[t] = values[t];
    cameras.push_back(cam);
  }
  cameras.push_back(distorted_camera());

  const double h = 1e-6;
  for (const CameraModel& cam : cameras) {
    for (int trial = 0; trial < 10; ++trial) {
      const Vec<Point3> pts = random_points(rng, 5);
      const Pose pose = random_pose(rng);
      const auto with = project_points_with_derivatives(pts, pose, cam);
      for (std::size_t param = 0; param < 6; ++param) {
        Pose plus = pose, minus = pose;
        double& vp = param < 3 ? plus.rvec[param] : plus.tvec[param - 3];
        double& vm = param < 3 ? minus.rvec[param] : minus.tvec[param - 3];
        vp += h;
        vm -= h;
        const auto pp = project_points(pts, plus, cam);
        const auto pm = project_points(pts, minus, cam);
        const Vec<double>& block = param < 3 ? with.d_rvec : with.d_tvec;
        for (std::size_t i = 0; i < pts.size(); ++i) {
          for (std::size_t c = 0; c < 2; ++c) {
            const double fd = (pp[i][c] - pm[i][c]) / (2 * h);
            const double analytic = block[3 * (2 * i + c) + param % 3];
            EXPECT_NEAR(analytic, fd, 1e-5 * (1.0 + std::fabs(fd))) << "param " << param << " point " << i;
          }
        }
      }
    }
  }
}
