// Robust PnP: the generic RANSAC loop over minimal samples of 5 (planar
// object) or 6 (general object) correspondences, each solved by the
// iterative PnP solver, then refined on the inliers of the best pose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "pose/camera_model.hpp"
#include "pose/pose.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

inline constexpr unsigned kRansacSampleIterations = 6;   // PnP limit on a minimal sample
inline constexpr unsigned kRansacRefineIterations = 20;  // PnP limit on an inlier set

struct RansacPnpSettings {
  std::uint64_t iterations = 100;   // upper bound of samples drawn, > 0
  double reprojection_error = 3.0;  // inlier threshold in pixels, finite and > 0
  double confidence = 0.99;         // in (0, 1)
  std::uint64_t seed = 0;           // 0 selects the generator's fixed state
};

struct RansacPnpResult {
  Pose pose;
  Vec<std::size_t> inliers;        // ascending indices into the input
  double reprojection_rmse = 0.0;  // over `inliers`, with `pose`
};

// The checks shared with the rigid-body call, in order:
//   "iterations must be greater than zero"
//   "reprojection_error must be finite and greater than zero"
//   "confidence must be finite and between 0 and 1"
std::optional<Error> validate_ransac_settings(const RansacPnpSettings& settings);

// The argument checks of `solve_pnp_ransac`, in order, before the camera
// model is parsed:
//   "object_points and image_points must have the same length"
//   "solve_pnp_ransac needs at least 5 point correspondences (6 for non-planar geometry)"
//   the three messages of validate_ransac_settings
//   "object_points and image_points must contain only finite values"
std::optional<Error> validate_solve_pnp_ransac_arguments(std::span<const Point3> object_points,
                                                         std::span<const Point2> image_points,
                                                         const RansacPnpSettings& settings);

// The solver. Repeats the checks above (without messages: any failure gives
// no result), and gives none when N is below the sample size, no hypothesis
// was accepted, or the final pose has fewer inliers than the sample size.
std::optional<RansacPnpResult> solve_pnp_ransac(std::span<const Point3> object_points,
                                                std::span<const Point2> image_points, const CameraModel& camera,
                                                const RansacPnpSettings& settings);

// Inliers of a pose: point i is one when its squared pixel error is finite
// and at most `squared_threshold`. Returns the sum of the inliers' squared
// errors; `projected` is scratch of at least N points.
double score_pose_inliers(std::span<const Point3> object_points, std::span<const Point2> image_points,
                          const Pose& pose, const CameraModel& camera, double squared_threshold,
                          std::span<Point2> projected, Vec<std::size_t>& inliers);

// The RANSAC estimator for PnP (see ransac.hpp for the contract). Hypotheses
// that put a sampled (solve) or inlier (refine) object point at a depth not
// above the double epsilon, or at a non-finite depth, are dropped.
class PnpEstimator {
 public:
  using Model = Pose;

  PnpEstimator(std::span<const Point3> object_points, std::span<const Point2> image_points, const CameraModel& camera,
               double reprojection_error, std::size_t sample_size);

  std::size_t point_count() const noexcept { return object_points_.size(); }
  std::size_t sample_size() const noexcept { return sample_size_; }
  std::optional<Pose> solve(std::span<const std::size_t> sample);
  // Samples are solved together as wide as the processor's SIMD lanes allow
  // (see initial_pnp_poses).
  std::size_t batch_capacity() const noexcept;
  void solve_batch(std::span<const std::size_t> samples, std::span<std::optional<Pose>> hypotheses);
  double score(const Pose& pose, Vec<std::size_t>& inliers);
  std::optional<Pose> refine(const Pose& pose, std::span<const std::size_t> inliers);

 private:
  std::optional<Pose> solve_subset(std::span<const std::size_t> indices, const std::optional<Pose>& start,
                                   unsigned iteration_limit);
  void refine_batch_starts(std::size_t count);

  std::span<const Point3> object_points_;
  std::span<const Point2> image_points_;
  CameraModel camera_;
  double squared_threshold_;
  std::size_t sample_size_;
  Vec<Point2> projected_;
  Vec<Point3> subset_object_;
  Vec<Point2> subset_image_;
  // Normalised image points, each computed when a sample first needs it.
  Vec<Point2> normalised_;
  Vec<unsigned char> normalised_known_;
  // Scratch of solve_batch.
  Vec<Point2> subset_normalised_;
  Vec<std::span<const Point2>> batch_normalised_;
  Vec<std::span<const Point3>> batch_objects_;
  Vec<std::span<const Point2>> batch_images_;
  Vec<std::optional<Pose>> batch_starts_;
  Vec<std::optional<Pose>> batch_poses_;
};

}  // namespace morvelin
