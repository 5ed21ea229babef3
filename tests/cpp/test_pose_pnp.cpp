// Iterative PnP: closed-form start, Levenberg–Marquardt refinement and the
// checked entry point.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>

#include "pose/matrix3.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/rotation_vector.hpp"
#include "pose/small_lu.hpp"
#include "pose_fixtures.hpp"

using namespace morvelin;
using namespace morvelin::testing;

namespace {

struct Scene {
  Vec<Point3> object;
  Vec<Point2> image;
  Pose truth;
};

Scene make_scene(Vec<Point3> object, const Pose& truth, const CameraModel& cam) {
  Vec<Point2> image = project_points(object, truth, cam);
  return {std::move(object), std::move(image), truth};
}

// Points on a plane through (0.1, -0.2, 0.3) spanned by two directions that
// are tilted against every object axis.
Vec<Point3> tilted_plane_points(std::mt19937_64& rng, std::size_t n) {
  const Matrix3 tilt = rotation_matrix({0.4, -0.5, 0.3});
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  Vec<Point3> pts(n);
  for (auto& p : pts) {
    const Vector3 q = multiply(tilt, Vector3{u(rng), u(rng), 0.0});
    p = {q[0] + 0.1, q[1] - 0.2, q[2] + 0.3};
  }
  return pts;
}

Vec<Vec<double>> camera_rows() { return {Vec<double>{800, 0, 320}, Vec<double>{0, 784, 240}, Vec<double>{0, 0, 1}}; }

}  // namespace

TEST(PnpInitialPose, IsExactOnExactPlanarAndGeneralData) {
  std::mt19937_64 rng(1);
  const CameraModel cam = pinhole();
  for (int trial = 0; trial < 20; ++trial) {
    const Pose truth = random_pose(rng);
    const Scene z0 = make_scene(random_plane_points(rng, 8), truth, cam);
    const Scene tilted = make_scene(tilted_plane_points(rng, 6), truth, cam);
    const Scene general = make_scene(random_points(rng, 6), truth, cam);
    for (const Scene* s : {&z0, &tilted, &general}) {
      const auto pose = initial_pnp_pose(s->object, s->image, cam);
      ASSERT_TRUE(pose) << trial;
      expect_pose_near(*pose, truth, 1e-7);
    }
  }
}

TEST(PnpInitialPose, GeneralObjectsNeedSixPoints) {
  std::mt19937_64 rng(2);
  const CameraModel cam = pinhole();
  const Pose truth = random_pose(rng);
  for (std::size_t n : {4u, 5u}) {
    const Scene s = make_scene(random_points(rng, n), truth, cam);
    EXPECT_FALSE(initial_pnp_pose(s.object, s.image, cam)) << n;
    EXPECT_FALSE(solve_pnp(s.object, s.image, cam, std::nullopt, 20)) << n;
  }
  // Four coplanar points in general position are enough.
  const Scene planar = make_scene({{{-0.3, -0.2, 0}, {0.4, -0.25, 0}, {0.35, 0.3, 0}, {-0.2, 0.25, 0}}}, truth, cam);
  const auto pose = solve_pnp(planar.object, planar.image, cam, std::nullopt, 20);
  ASSERT_TRUE(pose);
  expect_pose_near(*pose, truth, 1e-9);
}

TEST(PnpSolve, RecoversExactPosesThroughDistortion) {
  std::mt19937_64 rng(3);
  const CameraModel cam = distorted_camera();
  for (int trial = 0; trial < 20; ++trial) {
    const Pose truth = random_pose(rng);
    for (const Scene& s : {make_scene(random_plane_points(rng, 12), truth, cam),
                           make_scene(tilted_plane_points(rng, 6), truth, cam),
                           make_scene(random_points(rng, 10), truth, cam)}) {
      const auto pose = solve_pnp(s.object, s.image, cam, std::nullopt, 20);
      ASSERT_TRUE(pose) << trial;
      expect_pose_near(*pose, truth, 1e-9);
    }
  }
}

TEST(PnpSolve, RefusesShortMismatchedAndNonFiniteInput) {
  std::mt19937_64 rng(4);
  const CameraModel cam = pinhole();
  Scene s = make_scene(random_points(rng, 8), random_pose(rng), cam);
  EXPECT_FALSE(solve_pnp(std::span<const Point3>(s.object).first(3), std::span<const Point2>(s.image).first(3), cam,
                         s.truth, 20));
  EXPECT_FALSE(solve_pnp(s.object, std::span<const Point2>(s.image).first(7), cam, std::nullopt, 20));
  // Non-finite input gives no pose, seeded or not: a seeded solve must not
  // hand back its untouched start when no cost can be computed.
  s.image[2][0] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(solve_pnp(s.object, s.image, cam, std::nullopt, 20));
  EXPECT_FALSE(solve_pnp(s.object, s.image, cam, s.truth, 20));
}

TEST(PnpRefine, StartingAtTheTruePoseReturnsItAfterTenRejectedAttempts) {
  std::mt19937_64 rng(5);
  const CameraModel cam = distorted_camera();
  const Scene s = make_scene(random_points(rng, 8), random_pose(rng), cam);
  // Residuals of exactly projected points are exactly zero, so no step can lower the cost.
  const LmOutcome out = refine_pose_lm(s.object, s.image, cam, s.truth, 20);
  EXPECT_EQ(out.cost, 0.0);
  EXPECT_EQ(out.stop, LmStop::kNoImprovement);
  EXPECT_EQ(out.iterations, 1u);
  EXPECT_EQ(out.pose, s.truth);
  EXPECT_DOUBLE_EQ(out.damping, 1e7);
  EXPECT_EQ(solve_pnp(s.object, s.image, cam, s.truth, 20), s.truth);
}

TEST(PnpRefine, StopsOnceTheCostFallsBelowTheThreshold) {
  std::mt19937_64 rng(6);
  const CameraModel cam = pinhole();
  const Scene s = make_scene(random_points(rng, 10), random_pose(rng), cam);
  Pose start = s.truth;
  start.rvec[0] += 0.05;
  start.tvec[2] -= 0.1;
  const LmOutcome out = refine_pose_lm(s.object, s.image, cam, start, 20);
  EXPECT_EQ(out.stop, LmStop::kConverged);
  EXPECT_LT(out.cost, 1e-24);
  EXPECT_LT(out.iterations, 20u);
  expect_pose_near(out.pose, s.truth, 1e-10);
  // With a limit of 0 nothing moves.
  EXPECT_EQ(refine_pose_lm(s.object, s.image, cam, start, 0).pose, start);
}

TEST(PnpRefine, NoisyDataUsesEveryIterationOrStopsWithoutImprovement) {
  std::mt19937_64 rng(7);
  const CameraModel cam = pinhole();
  Scene s = make_scene(random_points(rng, 30), random_pose(rng), cam);
  std::normal_distribution<double> noise(0.0, 0.5);
  for (auto& p : s.image) p = {p[0] + noise(rng), p[1] + noise(rng)};
  const LmOutcome two = refine_pose_lm(s.object, s.image, cam, s.truth, 2);
  EXPECT_EQ(two.stop, LmStop::kIterationLimit);
  EXPECT_EQ(two.iterations, 2u);
  const LmOutcome full = refine_pose_lm(s.object, s.image, cam, s.truth, 20);
  EXPECT_LE(full.cost, two.cost);
  EXPECT_GT(full.cost, 1e-24);
  EXPECT_TRUE(full.stop == LmStop::kIterationLimit || full.stop == LmStop::kNoImprovement);
}

TEST(PnpNormalisation, UndistortsAndKeepsPointsWithANegativeFactor) {
  const CameraModel cam = distorted_camera();
  // Mild distortion: five fixed-point steps nearly invert the projection.
  const Point3 p = {0.2, -0.15, 1.0};
  const auto pixel = project_points(std::span<const Point3>(&p, 1), Pose{}, cam);
  const auto normalised = normalise_image_points(pixel, cam);
  EXPECT_NEAR(normalised[0][0], 0.2, 1e-6);
  EXPECT_NEAR(normalised[0][1], -0.15, 1e-6);

  CameraModel strong = pinhole();
  strong.dist[kK1] = -2.0;  // 1 + k1·r² < 0 once r² > 0.5
  // The factor is negative at once for x0 = 1, and from the second step for
  // x0 = 0.625 (the first step moves it to about 2.86); both keep x0, not an iterate.
  const Vec<Point2> pixels = {{strong.cx + strong.fx * 1.0, strong.cy},
                              {strong.cx + strong.fx * 0.625, strong.cy},
                              {strong.cx + strong.fx * 0.1, strong.cy}};
  const auto out = normalise_image_points(pixels, strong);
  EXPECT_EQ(out[0], (Point2{1.0, 0.0}));
  EXPECT_EQ(out[1], (Point2{0.625, 0.0}));
  EXPECT_NE(out[2][0], 0.1);
  EXPECT_NEAR(out[2][0] * (1 - 2.0 * out[2][0] * out[2][0]), 0.1, 1e-3);
}

TEST(SolvePnpChecked, ChecksArgumentsInOrder) {
  std::mt19937_64 rng(8);
  const Scene s = make_scene(random_points(rng, 6), random_pose(rng), parse_camera_model(camera_rows(), std::nullopt).value());
  const Vec<Vec<double>> good = camera_rows();
  const Vec<Vec<double>> bad = {Vec<double>{1, 0, 0}};
  const std::span<const Point3> obj(s.object);
  const std::span<const Point2> img(s.image);
  const auto message = [](Result<std::optional<Pose>> r) { return r ? std::string("ok") : r.error().message; };
  const std::optional<Vector3> none;
  const std::optional<Vector3> some = Vector3{0, 0, 1};

  EXPECT_EQ(message(solve_pnp_checked(obj.first(5), img.first(4), bad, std::nullopt, some, none)),
            "object_points and image_points must have the same length");
  EXPECT_EQ(message(solve_pnp_checked(obj.first(3), img.first(3), bad, std::nullopt, some, none)),
            "need at least 4 point correspondences");
  EXPECT_EQ(message(solve_pnp_checked(obj, img, bad, std::nullopt, some, none)), "camera_matrix must be 3x3");
  EXPECT_EQ(message(solve_pnp_checked(obj, img, good, std::nullopt, some, none)),
            "rvec and tvec must be supplied together");
  EXPECT_EQ(message(solve_pnp_checked(obj, img, good, std::nullopt, none, some)),
            "rvec and tvec must be supplied together");

  auto solved = solve_pnp_checked(obj, img, good, std::nullopt, none, none);
  ASSERT_TRUE(solved && solved->has_value());
  expect_pose_near(**solved, s.truth, 1e-9);
  auto seeded = solve_pnp_checked(obj, img, good, std::nullopt, s.truth.rvec, s.truth.tvec);
  ASSERT_TRUE(seeded && seeded->has_value());
  EXPECT_EQ(**seeded, s.truth);
  // Four non-coplanar points pass the checks but find no pose.
  auto four = solve_pnp_checked(obj.first(4), img.first(4), good, std::nullopt, none, none);
  ASSERT_TRUE(four);
  EXPECT_FALSE(four->has_value());
}

TEST(SmallLu, SolvesAndReportsExactlyZeroPivots) {
  SquareMatrix<3> a = {{{0, 2, 1}, {4, 1, 0}, {-4, 3, 3}}};  // needs row exchanges
  std::array<double, 3> x{};
  ASSERT_TRUE(lu_solve_in_place<3>(a, {5, 6, 5}, x));
  EXPECT_NEAR(x[0], 1.0, 1e-15);
  EXPECT_NEAR(x[1], 2.0, 1e-15);
  EXPECT_NEAR(x[2], 1.0, 1e-15);

  // Rank 2: elimination leaves an exact zero in the last pivot.
  SquareMatrix<3> singular = {{{1, 2, 3}, {2, 4, 7}, {3, 6, 10}}};
  std::array<double, 3> untouched = {7, 7, 7};
  EXPECT_FALSE(lu_solve_in_place<3>(singular, {1, 2, 3}, untouched));
  EXPECT_EQ(untouched, (std::array<double, 3>{7, 7, 7}));
  SquareMatrix<2> zero{};
  std::array<double, 2> y{};
  EXPECT_FALSE(lu_solve_in_place<2>(zero, {1, 1}, y));
}

// Every bit of these results was recorded from the first version of the
// solver; faster implementations must reproduce them (on this toolchain's
// libm and Eigen: a different platform may legitimately round differently).
TEST(PnpSolve, ResultsAreBitExact) {
  struct Case {
    std::size_t n;
    bool planar, distorted;
    std::uint64_t seed;
    Pose pose;
  };
  const Case cases[] = {
      {4, true, true, 5,
       {{0x1.ae26f5e843877p-3, -0x1.2b9457e1ac5p-2, 0x1.9a37f977fd76p-4},
        {0x1.9ad3dd4097b39p-5, -0x1.3f582b73f54cfp-6, 0x1.666e97906a7dfp+0}}},
      {100, false, true, 6,
       {{0x1.99924065ef9fbp-3, -0x1.338ab4fb36c19p-2, 0x1.9b63c563f5972p-4},
        {0x1.9a85eb8c0715bp-5, -0x1.47660d9553fabp-6, 0x1.666a278b4255fp+0}}},
      {6, false, false, 7,
       {{0x1.9b69621f7aab3p-3, -0x1.34ff9bca2eb86p-2, 0x1.9d180bd17e6ep-4},
        {0x1.98637e48b4f67p-5, -0x1.3f70a510ccc8ap-6, 0x1.6479fcaa7eb2ap+0}}},
      {30, true, false, 8,
       {{0x1.9501e6af7a64dp-3, -0x1.34c5ad7e0130cp-2, 0x1.9c132ef7308ddp-4},
        {0x1.971a1ce3ac121p-5, -0x1.476ab162e701ap-6, 0x1.650686d3cf079p+0}}},
  };
  for (const Case& c : cases) {
    ReferenceScene s = reference_scene(c.n, 0, c.planar, c.seed);
    if (!c.distorted) s.camera.dist = {};
    const auto pose = solve_pnp(s.object, s.image, s.camera, std::nullopt, kSolvePnpIterations);
    ASSERT_TRUE(pose) << c.n << " points";
    EXPECT_EQ(*pose, c.pose) << c.n << " points";
  }

  // Six iterations from a poor start, with three gross outliers in the data.
  const ReferenceScene s = reference_scene(30, 3, false, 9);
  const LmOutcome lm = refine_pose_lm(s.object, s.image, s.camera, Pose{{0.1, -0.2, 0.0}, {0.0, 0.0, 1.0}}, 6);
  EXPECT_EQ(lm.pose, (Pose{{0x1.acf9c3457dd5dp-3, -0x1.4ce54ebf6bcb5p-2, 0x1.34d8f642706d7p-4},
                           {0x1.db05828ff3cc5p-5, -0x1.4efc4a05ebc31p-7, 0x1.5eaff46a07cadp+0}}));
  EXPECT_EQ(lm.cost, 0x1.fcc4d03039b22p+13);
  EXPECT_EQ(lm.damping, 0x1.12e0be826d697p-30);
  EXPECT_EQ(lm.iterations, 6u);
  EXPECT_EQ(lm.stop, LmStop::kIterationLimit);
}

TEST(PnpRefine, PairsEqualSingleSolves) {
  // Problems of every kind, paired with each other: noisy data with gross
  // outliers from poor and good starts, exact data that converges, a start
  // at the exact solution (no improvement), and non-finite data.
  struct Problem {
    Vec<Point3> object;
    Vec<Point2> image;
    Pose start;
    CameraModel camera;
  };
  Vec<Problem> problems;
  const CameraModel camera = reference_scene(6, 0, false, 1).camera;
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    ReferenceScene s = reference_scene(6, seed % 3, seed % 2 == 0, seed);
    problems.push_back({s.object, s.image, Pose{{0.1, -0.2, 0.0}, {0.0, 0.0, 1.0}}, camera});
    problems.push_back({s.object, s.image, Pose{{0.2, -0.3, 0.1}, {0.05, -0.02, 1.4}}, camera});
  }
  const Pose truth{{0.2, -0.3, 0.1}, {0.05, -0.02, 1.4}};
  ReferenceScene exact = reference_scene(6, 0, false, 11);
  exact.image = project_points(exact.object, truth, camera);
  problems.push_back({exact.object, exact.image, truth, camera});                                        // no step
  problems.push_back({exact.object, exact.image, Pose{{0.21, -0.3, 0.1}, {0.05, -0.02, 1.4}}, camera});  // converges
  Problem broken = problems[0];
  broken.image[2][0] = std::numeric_limits<double>::quiet_NaN();
  problems.push_back(broken);

  const auto same = [](const LmOutcome& a, const LmOutcome& b) {
    return std::memcmp(&a.pose, &b.pose, sizeof a.pose) == 0 && std::memcmp(&a.cost, &b.cost, sizeof a.cost) == 0 &&
           std::memcmp(&a.damping, &b.damping, sizeof a.damping) == 0 && a.iterations == b.iterations &&
           a.stop == b.stop;
  };
  std::set<LmStop> stops;
  for (unsigned limit : {6u, 20u}) {
    for (std::size_t i = 0; i < problems.size(); ++i) {
      const std::size_t j = (i * 7 + 3) % problems.size();
      const Problem& a = problems[i];
      const Problem& b = problems[j];
      const auto pair = refine_pose_lm_pair({a.object, b.object}, {a.image, b.image}, {a.start, b.start}, camera, limit);
      const LmOutcome single_a = refine_pose_lm(a.object, a.image, camera, a.start, limit);
      const LmOutcome single_b = refine_pose_lm(b.object, b.image, camera, b.start, limit);
      EXPECT_TRUE(same(pair[0], single_a)) << i << " with " << j << ", limit " << limit;
      EXPECT_TRUE(same(pair[1], single_b)) << i << " with " << j << ", limit " << limit;
      stops.insert(single_a.stop);
    }
  }
  // The cases above reach every way of stopping but the damping ceiling.
  EXPECT_TRUE(stops.count(LmStop::kIterationLimit) && stops.count(LmStop::kConverged) &&
              stops.count(LmStop::kNoImprovement));

  // Different sizes fall back to single solves.
  const Problem& a = problems[0];
  const ReferenceScene larger = reference_scene(9, 0, false, 12);
  const auto mixed = refine_pose_lm_pair({a.object, larger.object}, {a.image, larger.image}, {a.start, truth}, camera, 6);
  EXPECT_TRUE(same(mixed[0], refine_pose_lm(a.object, a.image, camera, a.start, 6)));
  EXPECT_TRUE(same(mixed[1], refine_pose_lm(larger.object, larger.image, camera, truth, 6)));
}
