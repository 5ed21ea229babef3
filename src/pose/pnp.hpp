// Iterative perspective-n-point: the camera pose from N 3-D/2-D
// correspondences. A closed-form start (a homography for a planar object, a
// linear 3x4 projection otherwise) is refined by Levenberg–Marquardt on the
// pixel reprojection error through the full distortion model.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

inline constexpr std::size_t kMinPnpPoints = 4;
inline constexpr unsigned kSolvePnpIterations = 20;  // iteration limit of solve_pnp and board poses

// Full solver. No pose when N < 4, the lists differ in length, a stage-1
// test fails (non-planar with N < 6, failed decomposition, singular
// normalisation, non-finite homography, degenerate projection block) or the
// final pose or its cost is not finite. With `start` the closed-form stage is
// skipped.
std::optional<Pose> solve_pnp(std::span<const Point3> object_points, std::span<const Point2> image_points,
                              const CameraModel& camera, const std::optional<Pose>& start, unsigned iteration_limit);

// The second half of solve_pnp: Levenberg–Marquardt from `start`; no pose
// when the result or its cost is not finite.
std::optional<Pose> refine_pnp_pose(std::span<const Point3> object_points, std::span<const Point2> image_points,
                                    const CameraModel& camera, const Pose& start, unsigned iteration_limit);

// The `solve_pnp` entry point with its argument checks in order:
//   "object_points and image_points must have the same length"
//   "need at least 4 point correspondences"
//   the camera-model messages of parse_camera_model
//   "rvec and tvec must be supplied together"
// then the solver with the limit of 20. The inner optional is empty when no
// pose was found.
Result<std::optional<Pose>> solve_pnp_checked(std::span<const Point3> object_points,
                                              std::span<const Point2> image_points,
                                              std::span<const Vec<double>> camera_matrix,
                                              std::optional<std::span<const double>> dist_coeffs,
                                              const std::optional<Vector3>& rvec, const std::optional<Vector3>& tvec);

// ---- Stage 1: closed-form initial pose -------------------------------------

// Centroid and scatter Σ (X − c)(X − c)ᵀ (not divided by N) of the object.
struct ObjectScatter {
  Point3 centroid{};
  Matrix3 scatter{};
};
ObjectScatter object_scatter(std::span<const Point3> object_points) noexcept;

// Planar when σ1 > ε and σ2/σ1 < 0.001 (singular values of the scatter,
// descending).
bool is_planar_spread(double sigma1, double sigma2) noexcept;

// Pixels to normalised image coordinates, removing the distortion with 5
// fixed-point steps; a point whose undistortion factor turns negative keeps
// its plain normalised coordinates.
Vec<Point2> normalise_image_points(std::span<const Point2> image_points, const CameraModel& camera);
Point2 normalise_image_point(const Point2& pixel, const CameraModel& camera) noexcept;

// The closed-form pose alone (no refinement); no pose on the stage-1 failures.
std::optional<Pose> initial_pnp_pose(std::span<const Point3> object_points, std::span<const Point2> image_points,
                                     const CameraModel& camera);

// initial_pnp_pose of several point sets: poses[i] from object_points[i]
// and image_points[i], bit-identical to the single form. The linear systems
// of the sets are decomposed together (see jacobi_svd_batch), which is
// faster than one by one.
void initial_pnp_poses(std::span<const std::span<const Point3>> object_points,
                       std::span<const std::span<const Point2>> image_points, const CameraModel& camera,
                       std::span<std::optional<Pose>> poses);

// The same from image points already normalised (normalise_image_point):
// stage 1 uses the camera for nothing else, so a caller that solves many
// subsets of one point set normalises each point once.
void initial_pnp_poses_normalised(std::span<const std::span<const Point3>> object_points,
                                  std::span<const std::span<const Point2>> normalised_points,
                                  std::span<std::optional<Pose>> poses);

// The homography of a planar point set: `h` (h(2,2) = 1) maps the plane
// coordinates, the first two components of plane_rotation·X −
// rotated_centroid, to the image points. Stage 1 decomposes it into a pose
// when the image points are normalised; given pixels it holds the camera
// matrix as well.
struct PlaneHomography {
  Matrix3 h{};
  Matrix3 plane_rotation{};
  Vector3 rotated_centroid{};
};

// The homographies of several point sets, decomposed together; none for a
// set that is not planar, has fewer than 4 points or no finite homography.
void plane_homographies(std::span<const std::span<const Point3>> object_points,
                        std::span<const std::span<const Point2>> image_points,
                        std::span<std::optional<PlaneHomography>> out);

// ---- Stage 2: Levenberg–Marquardt ------------------------------------------

// Σ r² of the reprojection residuals (projected minus observed pixels), the
// cost the solver minimises.
double reprojection_cost(std::span<const Point3> object_points, std::span<const Point2> image_points,
                         const Pose& pose, const CameraModel& camera) noexcept;

enum class LmStop {
  kIterationLimit,  // ran all iterations
  kConverged,       // an accepted step brought the cost below 1e-24
  kNoImprovement,   // 10 attempts of one iteration without an accepted step
  kDampingCeiling,  // the damping grew beyond 1e12 after a rejected step
};

struct LmOutcome {
  Pose pose;                 // parameters at the stop, finite or not
  double cost = 0.0;         // Σ r² at `pose`
  double damping = 0.0;      // λ at the stop
  unsigned iterations = 0;   // iterations begun
  LmStop stop = LmStop::kIterationLimit;
};

// Damped Gauss–Newton from `start`: λ starts at 0.001, each attempt solves
// (H + λ·diag(max(H_ii, 1e-12)))·δ = Jᵀr by LU with partial pivoting, takes
// p − δ when the cost drops strictly (λ ← max(λ/10, 1e-12)), else λ ← 10λ.
LmOutcome refine_pose_lm(std::span<const Point3> object_points, std::span<const Point2> image_points,
                         const CameraModel& camera, const Pose& start, unsigned iteration_limit);

// refine_pose_lm of two problems at once, one per lane of two-double
// vectors; outcome l is bit-identical to refine_pose_lm on problem l, and
// the pair costs clearly less than two single solves. Problems of
// different sizes are solved one after the other.
std::array<LmOutcome, 2> refine_pose_lm_pair(const std::array<std::span<const Point3>, 2>& object_points,
                                             const std::array<std::span<const Point2>, 2>& image_points,
                                             const std::array<Pose, 2>& starts, const CameraModel& camera,
                                             unsigned iteration_limit);

// The pose of a refinement as the solver reports it: none when the pose or
// its cost is not finite.
std::optional<Pose> solved_pose(const LmOutcome& refined) noexcept;

}  // namespace morvelin
