// Rigid bodies: construction checks, corner layout, collection of detected
// markers and the single-marker / RANSAC pose paths.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "pose/matrix3.hpp"
#include "pose/projection.hpp"
#include "pose/rigid_body.hpp"
#include "pose/rotation_vector.hpp"
#include "pose_fixtures.hpp"

using namespace morvelin;
using namespace morvelin::testing;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string create_error(double tag, Vec<std::int32_t> ids, Vec<Matrix3> rotations, Vec<Vector3> translations) {
  const auto body = RigidBody::create(tag, ids, rotations, translations);
  return body ? std::string("ok") : body.error().message;
}

// Two markers side by side on the plane z = 0 of the reference frame.
RigidBody flat_pair() {
  return RigidBody::create(0.1, Vec<std::int32_t>{3, 8}, Vec<Matrix3>{kIdentity3, kIdentity3},
                           Vec<Vector3>{{-0.1, 0.0, 0.0}, {0.1, 0.02, 0.0}})
      .value();
}

// Three markers on three faces of a cube of side 0.2.
RigidBody cube_corner() {
  const Matrix3 face_x = rotation_matrix({0.0, 1.5707963267948966, 0.0});
  const Matrix3 face_y = rotation_matrix({-1.5707963267948966, 0.0, 0.0});
  return RigidBody::create(0.12, Vec<std::int32_t>{10, 11, 12}, Vec<Matrix3>{kIdentity3, face_x, face_y},
                           Vec<Vector3>{{0.0, 0.0, 0.1}, {0.1, 0.0, 0.0}, {0.0, 0.1, 0.0}})
      .value();
}

const Pose kView{{0.3, -0.4, 0.1}, {0.05, -0.02, 1.2}};

MarkerCorners2 seen(const RigidBody& body, std::int32_t id, const Pose& pose = kView) {
  const MarkerCorners3& c = body.marker_corners(*body.marker_index(id));
  const auto px = project_points(c, pose, pinhole());
  return {px[0], px[1], px[2], px[3]};
}

}  // namespace

TEST(RigidBodyCreate, ChecksArgumentsInOrder) {
  const Vec<Matrix3> one_r = {kIdentity3};
  const Vec<Vector3> one_t = {{0, 0, 0}};
  for (double tag : {0.0, -1.0, kNaN, std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(create_error(tag, {}, {}, {}), "tag_size_m must be finite and greater than zero");
  }
  EXPECT_EQ(create_error(0.1, {}, one_r, one_t), "rigid body must contain at least one marker");
  EXPECT_EQ(create_error(0.1, {1}, {}, one_t),
            "marker_ids, rotations_marker_to_reference and translations_marker_to_reference must have the same length");
  EXPECT_EQ(create_error(0.1, {1, 2}, {kIdentity3, kIdentity3}, one_t),
            "marker_ids, rotations_marker_to_reference and translations_marker_to_reference must have the same length");

  // Per marker: duplicate, then finiteness, then orthonormality; markers in order.
  Matrix3 nan_r = kIdentity3;
  nan_r[1][2] = kNaN;
  EXPECT_EQ(create_error(0.1, {7, 7}, {kIdentity3, nan_r}, {{0, 0, 0}, {0, 0, 0}}), "duplicate marker id 7");
  EXPECT_EQ(create_error(0.1, {4, -3}, {kIdentity3, kIdentity3}, {{0, 0, 0}, {0, kNaN, 0}}),
            "marker -3 transform must contain only finite values");
  EXPECT_EQ(create_error(0.1, {4, -3}, {kIdentity3, nan_r}, {{0, 0, 0}, {0, 0, 0}}),
            "marker -3 transform must contain only finite values");
  Matrix3 stretched = kIdentity3;
  stretched[0][0] = 1.01;
  EXPECT_EQ(create_error(0.1, {5, 5}, {stretched, kIdentity3}, {{0, 0, 0}, {0, 0, 0}}),
            "marker 5 rotation must be an orthonormal matrix with determinant +1");
}

TEST(RigidBodyCreate, OrthonormalityTolerance) {
  const std::string msg = "marker 2 rotation must be an orthonormal matrix with determinant +1";
  Matrix3 r = kIdentity3;
  r[0][0] = 1.0004;  // every deviation within 0.001
  EXPECT_EQ(create_error(0.1, {2}, {r}, {{0, 0, 0}}), "ok");
  r[0][0] = 1.01;
  EXPECT_EQ(create_error(0.1, {2}, {r}, {{0, 0, 0}}), msg);
  const Matrix3 reflection = {{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}};
  EXPECT_EQ(create_error(0.1, {2}, {reflection}, {{0, 0, 0}}), msg);
  Matrix3 skewed = kIdentity3;
  skewed[0][1] = 0.002;  // rows 0 and 1 no longer orthogonal enough
  EXPECT_EQ(create_error(0.1, {2}, {skewed}, {{0, 0, 0}}), msg);
}

TEST(RigidBodyCreate, CornersInTheReferenceFrame) {
  const double h = 0.05;
  auto body = RigidBody::create(0.1, Vec<std::int32_t>{9, 4}, Vec<Matrix3>{kIdentity3, rotation_matrix({0, 0, 1.5707963267948966})},
                                Vec<Vector3>{{0, 0, 0}, {1, 2, 3}});
  ASSERT_TRUE(body);
  EXPECT_EQ(body->tag_size_m(), 0.1);
  EXPECT_EQ(Vec<std::int32_t>(body->marker_ids().begin(), body->marker_ids().end()), (Vec<std::int32_t>{9, 4}));
  EXPECT_EQ(body->marker_index(4), 1u);
  EXPECT_FALSE(body->marker_index(5));
  const MarkerCorners3 expected0 = {{{-h, h, 0}, {h, h, 0}, {h, -h, 0}, {-h, -h, 0}}};
  EXPECT_EQ(body->marker_corners(0), expected0);
  // A quarter turn about z maps (x, y) to (−y, x), then the translation.
  const MarkerCorners3& c1 = body->marker_corners(1);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_NEAR(c1[k][0], 1 - expected0[k][1], 1e-15);
    EXPECT_NEAR(c1[k][1], 2 + expected0[k][0], 1e-15);
    EXPECT_NEAR(c1[k][2], 3, 1e-15);
  }
}

TEST(RigidBodyCollect, ChecksDetectionsInOrder) {
  const RigidBody body = flat_pair();
  const MarkerCorners2 good = seen(body, 3);
  MarkerCorners2 broken = good;
  broken[2][1] = kNaN;
  const auto message = [&](Vec<MarkerCorners2> corners, Vec<std::int32_t> ids) {
    const auto r = collect_rigid_body_observations(body, corners, ids);
    return r ? std::string("ok") : r.error().message;
  };
  EXPECT_EQ(message({good}, {3, 8}), "marker_corners and marker_ids must have the same length");
  EXPECT_EQ(message({broken, broken}, {99, 99}), "duplicate detected marker id 99");
  EXPECT_EQ(message({good, broken}, {3, 3}), "duplicate detected marker id 3");
  EXPECT_EQ(message({broken, good}, {99, 3}), "ok");  // unknown corners are not examined
  EXPECT_EQ(message({good, broken}, {3, 8}), "marker 8 corners must contain only finite values");
}

TEST(RigidBodyCollect, PairsKnownCornersInDetectionOrder) {
  const RigidBody body = flat_pair();
  const Vec<MarkerCorners2> corners = {seen(body, 8), seen(body, 3), seen(body, 3)};
  auto obs = collect_rigid_body_observations(body, corners, Vec<std::int32_t>{8, 42, 3});
  ASSERT_TRUE(obs);
  EXPECT_EQ(obs->used_marker_ids, (Vec<std::int32_t>{8, 3}));
  ASSERT_EQ(obs->object_points.size(), 8u);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(obs->object_points[k], body.marker_corners(1)[k]);
    EXPECT_EQ(obs->object_points[4 + k], body.marker_corners(0)[k]);
    EXPECT_EQ(obs->image_points[k], corners[0][k]);
    EXPECT_EQ(obs->image_points[4 + k], corners[2][k]);
  }
  auto none = collect_rigid_body_observations(body, Vec<MarkerCorners2>{corners[0]}, Vec<std::int32_t>{77});
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(RigidBodyEstimate, OneKnownMarkerUsesPlainPnpAndCountsAllCorners) {
  const RigidBody body = flat_pair();
  MarkerCorners2 corners = seen(body, 8);
  corners[1][0] += 40.0;  // far off: still counted, the single-marker path has no inlier test
  auto obs = collect_rigid_body_observations(body, Vec<MarkerCorners2>{seen(body, 3, Pose{}), corners},
                                             Vec<std::int32_t>{100, 8});
  ASSERT_TRUE(obs);
  const auto pose = estimate_rigid_body_pose(*obs, pinhole(), RansacPnpSettings{});
  ASSERT_TRUE(pose);
  EXPECT_EQ(pose->used_marker_ids, (Vec<std::int32_t>{8}));
  EXPECT_EQ(pose->inlier_indices, (Vec<std::size_t>{0, 1, 2, 3}));
  EXPECT_EQ(pose->inlier_marker_ids, (Vec<std::int32_t>{8}));
  const auto projected = project_points(obs->object_points, Pose{pose->rvec, pose->tvec}, pinhole());
  double sum = 0.0;
  for (std::size_t i = 0; i < 4; ++i) {
    const double du = projected[i][0] - corners[i][0], dv = projected[i][1] - corners[i][1];
    sum += du * du + dv * dv;
  }
  EXPECT_DOUBLE_EQ(pose->reprojection_rmse, std::sqrt(sum / 4.0));
  EXPECT_GT(pose->reprojection_rmse, 1.0);
}

TEST(RigidBodyEstimate, SeveralMarkersGiveTheTruePose) {
  const RigidBody body = cube_corner();
  auto obs = collect_rigid_body_observations(body, Vec<MarkerCorners2>{seen(body, 12), seen(body, 10), seen(body, 11)},
                                             Vec<std::int32_t>{12, 10, 11});
  ASSERT_TRUE(obs);
  const auto pose = estimate_rigid_body_pose(*obs, pinhole(), RansacPnpSettings{});
  ASSERT_TRUE(pose);
  expect_pose_near(Pose{pose->rvec, pose->tvec}, kView, 1e-9);
  EXPECT_EQ(pose->inlier_indices.size(), 12u);
  EXPECT_EQ(pose->used_marker_ids, (Vec<std::int32_t>{12, 10, 11}));
  EXPECT_EQ(pose->inlier_marker_ids, (Vec<std::int32_t>{12, 10, 11}));
  EXPECT_LT(pose->reprojection_rmse, 1e-6);
}

TEST(RigidBodyEstimate, MarkersNeedThreeInlierCornersToCount) {
  const RigidBody body = flat_pair();
  for (int moved : {1, 2}) {
    MarkerCorners2 second = seen(body, 8);
    for (int k = 0; k < moved; ++k) second[static_cast<std::size_t>(k)][1] += 50.0;
    auto obs = collect_rigid_body_observations(body, Vec<MarkerCorners2>{seen(body, 3), second}, Vec<std::int32_t>{3, 8});
    ASSERT_TRUE(obs);
    const auto pose = estimate_rigid_body_pose(*obs, pinhole(), RansacPnpSettings{});
    ASSERT_TRUE(pose) << moved;
    Vec<std::size_t> expected = {0, 1, 2, 3};
    for (std::size_t k = static_cast<std::size_t>(moved); k < 4; ++k) expected.push_back(4 + k);
    EXPECT_EQ(pose->inlier_indices, expected);
    EXPECT_EQ(pose->used_marker_ids, (Vec<std::int32_t>{3, 8}));
    EXPECT_EQ(pose->inlier_marker_ids, moved == 1 ? (Vec<std::int32_t>{3, 8}) : (Vec<std::int32_t>{3}));
    expect_pose_near(Pose{pose->rvec, pose->tvec}, kView, 1e-9);
  }
}

TEST(RigidBodyEstimate, NoObservationsGiveNoPose) {
  EXPECT_FALSE(estimate_rigid_body_pose(RigidBodyObservations{}, pinhole(), RansacPnpSettings{}));
}

TEST(RigidBodyEstimate, OneBodyServesSeveralThreads) {
  const RigidBody body = cube_corner();
  auto obs = collect_rigid_body_observations(body, Vec<MarkerCorners2>{seen(body, 10), seen(body, 11), seen(body, 12)},
                                             Vec<std::int32_t>{10, 11, 12});
  ASSERT_TRUE(obs);
  const auto reference = estimate_rigid_body_pose(*obs, pinhole(), RansacPnpSettings{});
  ASSERT_TRUE(reference);
  Vec<std::optional<RigidBodyPose>> results(4);
  {
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
      threads.emplace_back([&, t] {
        auto mine = collect_rigid_body_observations(body, Vec<MarkerCorners2>{seen(body, 10), seen(body, 11), seen(body, 12)},
                                                    Vec<std::int32_t>{10, 11, 12});
        if (mine) results[t] = estimate_rigid_body_pose(*mine, pinhole(), RansacPnpSettings{});
      });
    }
    for (auto& th : threads) th.join();
  }
  for (const auto& r : results) {
    ASSERT_TRUE(r);
    EXPECT_EQ(r->rvec, reference->rvec);
    EXPECT_EQ(r->tvec, reference->tvec);
    EXPECT_EQ(r->inlier_indices, reference->inlier_indices);
  }
}
