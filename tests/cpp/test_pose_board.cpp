// ChArUco board pose: id selection, collinearity test and the PnP solve.
#include <gtest/gtest.h>

#include <cmath>

#include "pose/board_pose.hpp"
#include "pose/projection.hpp"
#include "pose_fixtures.hpp"

using namespace morvelin;
using namespace morvelin::testing;

namespace {

// Interior corners of a 6 x 5 square board (5 x 4 corners), square 0.04,
// stored as single-precision floats like a board model keeps them.
Vec<BoardPoint> board_corners() {
  Vec<BoardPoint> pts;
  for (int row = 0; row < 4; ++row) {
    for (int col = 0; col < 5; ++col) pts.push_back({0.04f * static_cast<float>(col + 1), 0.04f * static_cast<float>(row + 1), 0.0f});
  }
  return pts;
}

const Vec<Vec<double>> kCamera = {Vec<double>{800, 0, 320}, Vec<double>{0, 784, 240}, Vec<double>{0, 0, 1}};
const Vec<Vec<double>> kBadCamera = {Vec<double>{800, 0, 320}};
const Pose kView{{0.2, 0.3, -0.1}, {-0.1, -0.05, 0.6}};

CameraModel camera() { return parse_camera_model(kCamera, std::nullopt).value(); }

// Pixel positions of the given corners seen from kView.
Vec<Point2> observe(const Vec<BoardPoint>& board, const Vec<std::int64_t>& ids) {
  Vec<Point3> pts;
  for (std::int64_t id : ids) {
    const BoardPoint& b = board[static_cast<std::size_t>(id)];
    pts.push_back({b[0], b[1], b[2]});
  }
  return project_points(pts, kView, camera());
}

std::string outcome(const Result<std::optional<Pose>>& r) {
  if (!r) return r.error().message;
  return r.value() ? "pose" : "none";
}

Result<std::optional<Pose>> estimate(const Vec<Point2>& corners, const Vec<std::int64_t>& ids,
                                     const Vec<Vec<double>>& cam = kCamera) {
  const Vec<BoardPoint> board = board_corners();
  return estimate_charuco_board_pose(corners, ids, board, cam, std::nullopt);
}

}  // namespace

TEST(BoardPose, ChecksInOrder) {
  const Vec<BoardPoint> board = board_corners();
  const Vec<std::int64_t> ids = {0, 1, 5, 6};
  const Vec<Point2> corners = observe(board, ids);
  EXPECT_EQ(outcome(estimate(corners, {0, 1, 5}, kBadCamera)), "charuco_corners and charuco_ids must have the same length");
  // Three corners: no pose, and the camera is never looked at.
  EXPECT_EQ(outcome(estimate(Vec<Point2>(corners.begin(), corners.begin() + 3), {0, 1, 5}, kBadCamera)), "none");
  EXPECT_EQ(outcome(estimate(corners, {0, 1, 5, 20}, kBadCamera)), "camera_matrix must be 3x3");
  EXPECT_EQ(outcome(estimate(corners, {0, 1, 5, 20})), "charuco id 20 out of range");
  EXPECT_EQ(outcome(estimate(corners, {0, -1, 5, 6})), "charuco id -1 out of range");
}

TEST(BoardPose, BlockGivesThePoseAndRowsOrRepeatsDoNot) {
  const Vec<BoardPoint> board = board_corners();
  const Vec<std::int64_t> block = {0, 1, 5, 6};
  auto pose = estimate(observe(board, block), block);
  ASSERT_TRUE(pose && pose->has_value());
  expect_pose_near(**pose, kView, 1e-9);

  // The largest id is valid.
  const Vec<std::int64_t> with_last = {13, 14, 18, 19};
  EXPECT_EQ(outcome(estimate(observe(board, with_last), with_last)), "pose");

  const Vec<std::int64_t> row = {5, 6, 7, 9};
  EXPECT_EQ(outcome(estimate(observe(board, row), row)), "none");
  const Vec<std::int64_t> column = {1, 6, 11, 16};
  EXPECT_EQ(outcome(estimate(observe(board, column), column)), "none");
  const Vec<std::int64_t> same = {7, 7, 7, 7};
  EXPECT_EQ(outcome(estimate(observe(board, same), same)), "none");
}

TEST(BoardPose, CollinearityIsJudgedInBoardUnits) {
  EXPECT_TRUE(board_points_collinear(Vec<Point3>{{0, 0, 0}, {1, 0, 5}, {2, 1e-7, -3}, {3, 0, 0}}));
  EXPECT_FALSE(board_points_collinear(Vec<Point3>{{0, 0, 0}, {1, 0, 0}, {2, 2e-6, 0}, {3, 0, 0}}));
  // The direction comes from the first point more than 1e-9 away, so a
  // near-duplicate second point does not set it.
  EXPECT_TRUE(board_points_collinear(Vec<Point3>{{0, 0, 0}, {1e-10, 0, 0}, {1, 1, 0}, {2, 2, 0}}));
  EXPECT_FALSE(board_points_collinear(Vec<Point3>{{0, 0, 0}, {1e-10, 0, 0}, {1, 1, 0}, {2, 0, 0}}));
  EXPECT_TRUE(board_points_collinear(Vec<Point3>{{1, 1, 0}, {1, 1 + 1e-10, 0}, {1, 1, 0}}));
  EXPECT_TRUE(board_points_collinear({}));
  EXPECT_FALSE(board_points_collinear(Vec<Point3>{{0, 0, 0}, {0, 1, 0}, {1, 0, 0}}));
}

TEST(BoardPose, BoardPointsAreWidenedFromSinglePrecision) {
  const Vec<BoardPoint> board = {{0.1f, 0.2f, 0.3f}, {1.0f, 2.0f, 3.0f}};
  auto pts = select_board_points(Vec<std::int64_t>{1, 0, 0}, board);
  ASSERT_TRUE(pts);
  EXPECT_EQ(*pts, (Vec<Point3>{{1.0, 2.0, 3.0}, {double{0.1f}, double{0.2f}, double{0.3f}}, {double{0.1f}, double{0.2f}, double{0.3f}}}));
  EXPECT_EQ(select_board_points(Vec<std::int64_t>{0, 2}, board).error().message, "charuco id 2 out of range");
}
