#include "pose/ransac_pnp.hpp"

#include <algorithm>
#include <cmath>

#include "numeric/conversions.hpp"
#include "pose/jacobi_svd.hpp"
#include "pose/matrix3.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/ransac.hpp"
#include "pose/rotation_vector.hpp"

namespace morvelin {

namespace {

constexpr std::size_t kPlanarSample = 5;
constexpr std::size_t kGeneralSample = 6;

template <std::size_t kDim>
bool all_finite(std::span<const std::array<double, kDim>> points) noexcept {
  return std::all_of(points.begin(), points.end(), [](const auto& p) {
    return std::all_of(p.begin(), p.end(), [](double v) { return std::isfinite(v); });
  });
}

bool settings_valid(const RansacPnpSettings& s) noexcept { return !validate_ransac_settings(s).has_value(); }

// Every listed object point lies strictly in front of the camera.
bool in_front(std::span<const Point3> object_points, std::span<const std::size_t> indices, const Pose& pose) noexcept {
  const Matrix3 r = rotation_matrix(pose.rvec);
  return std::all_of(indices.begin(), indices.end(), [&](std::size_t i) {
    const double depth = dot3(r[2], object_points[i]) + pose.tvec[2];
    return std::isfinite(depth) && depth > kDoubleEpsilon;
  });
}

// A scatter that overflowed to infinity has no decomposition; such an
// object is treated as general.
std::size_t minimal_sample_size(std::span<const Point3> object_points) {
  const ObjectScatter spread = object_scatter(object_points);
  const std::optional<Svd<3>> svd = jacobi_svd<3>(spread.scatter, kSingularValuesOnly);
  if (!svd) return kGeneralSample;
  const auto& sigma = svd->singular_values;
  return is_planar_spread(sigma[1], sigma[2]) ? kPlanarSample : kGeneralSample;
}

}  // namespace

std::optional<Error> validate_ransac_settings(const RansacPnpSettings& s) {
  if (s.iterations == 0) return value_error("iterations must be greater than zero");
  if (!std::isfinite(s.reprojection_error) || s.reprojection_error <= 0.0) {
    return value_error("reprojection_error must be finite and greater than zero");
  }
  if (!std::isfinite(s.confidence) || s.confidence <= 0.0 || s.confidence >= 1.0) {
    return value_error("confidence must be finite and between 0 and 1");
  }
  return std::nullopt;
}

std::optional<Error> validate_solve_pnp_ransac_arguments(std::span<const Point3> object_points,
                                                         std::span<const Point2> image_points,
                                                         const RansacPnpSettings& settings) {
  if (object_points.size() != image_points.size()) {
    return value_error("object_points and image_points must have the same length");
  }
  if (object_points.size() < kPlanarSample) {
    return value_error("solve_pnp_ransac needs at least 5 point correspondences (6 for non-planar geometry)");
  }
  if (auto error = validate_ransac_settings(settings)) return error;
  if (!all_finite(object_points) || !all_finite(image_points)) {
    return value_error("object_points and image_points must contain only finite values");
  }
  return std::nullopt;
}

double score_pose_inliers(std::span<const Point3> object_points, std::span<const Point2> image_points,
                          const Pose& pose, const CameraModel& camera, double squared_threshold,
                          std::span<Point2> projected, Vec<std::size_t>& inliers) {
  inliers.clear();
  const std::size_t n = std::min({object_points.size(), image_points.size(), projected.size()});
  project_points_into(object_points.first(n), pose, camera, projected.first(n));
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double du = projected[i][0] - image_points[i][0];
    const double dv = projected[i][1] - image_points[i][1];
    const double e2 = du * du + dv * dv;
    if (e2 <= squared_threshold && std::isfinite(e2)) {
      inliers.push_back(i);
      sum += e2;
    }
  }
  return sum;
}

PnpEstimator::PnpEstimator(std::span<const Point3> object_points, std::span<const Point2> image_points,
                           const CameraModel& camera, double reprojection_error, std::size_t sample_size)
    : object_points_(object_points),
      image_points_(image_points),
      camera_(camera),
      squared_threshold_(reprojection_error * reprojection_error),
      sample_size_(sample_size),
      projected_(object_points.size()),
      normalised_(object_points.size()),
      normalised_known_(object_points.size(), 0) {
  subset_object_.reserve(object_points.size());
  subset_image_.reserve(object_points.size());
}

std::optional<Pose> PnpEstimator::solve_subset(std::span<const std::size_t> indices, const std::optional<Pose>& start,
                                               unsigned iteration_limit) {
  subset_object_.clear();
  subset_image_.clear();
  for (std::size_t i : indices) {
    subset_object_.push_back(object_points_[i]);
    subset_image_.push_back(image_points_[i]);
  }
  std::optional<Pose> pose = solve_pnp(subset_object_, subset_image_, camera_, start, iteration_limit);
  if (pose && !in_front(object_points_, indices, *pose)) return std::nullopt;
  return pose;
}

std::optional<Pose> PnpEstimator::solve(std::span<const std::size_t> sample) {
  return solve_subset(sample, std::nullopt, kRansacSampleIterations);
}

std::size_t PnpEstimator::batch_capacity() const noexcept { return jacobi_svd_lanes(); }

void PnpEstimator::solve_batch(std::span<const std::size_t> samples, std::span<std::optional<Pose>> hypotheses) {
  const std::size_t k = sample_size_;
  const std::size_t count = std::min(hypotheses.size(), samples.size() / k);
  subset_object_.resize(count * k);
  subset_image_.resize(count * k);
  subset_normalised_.resize(count * k);
  for (std::size_t j = 0; j < count * k; ++j) {
    const std::size_t i = samples[j];
    if (normalised_known_[i] == 0) {
      normalised_[i] = normalise_image_point(image_points_[i], camera_);
      normalised_known_[i] = 1;
    }
    subset_object_[j] = object_points_[i];
    subset_image_[j] = image_points_[i];
    subset_normalised_[j] = normalised_[i];
  }
  batch_objects_.resize(count);
  batch_images_.resize(count);
  batch_normalised_.resize(count);
  batch_starts_.resize(count);
  for (std::size_t b = 0; b < count; ++b) {
    batch_objects_[b] = std::span<const Point3>(subset_object_).subspan(b * k, k);
    batch_images_[b] = std::span<const Point2>(subset_image_).subspan(b * k, k);
    batch_normalised_[b] = std::span<const Point2>(subset_normalised_).subspan(b * k, k);
  }
  initial_pnp_poses_normalised(batch_objects_, batch_normalised_, batch_starts_);
  refine_batch_starts(count);
  for (std::size_t b = 0; b < count; ++b) {
    hypotheses[b] = batch_poses_[b];
    if (hypotheses[b] && !in_front(object_points_, samples.subspan(b * k, k), *hypotheses[b])) hypotheses[b].reset();
  }
}

// The samples' starts refined two at a time (see refine_pose_lm_pair), a
// last odd one alone; a refinement that is not finite gives no pose, as in
// refine_pnp_pose.
void PnpEstimator::refine_batch_starts(std::size_t count) {
  batch_poses_.assign(count, std::nullopt);
  const auto keep = [&](std::size_t b, const LmOutcome& lm) { batch_poses_[b] = solved_pose(lm); };
  std::size_t waiting = count;  // a sample with a start still to be paired
  for (std::size_t b = 0; b < count; ++b) {
    if (!batch_starts_[b]) continue;
    if (waiting == count) {
      waiting = b;
      continue;
    }
    const auto pair =
        refine_pose_lm_pair({batch_objects_[waiting], batch_objects_[b]}, {batch_images_[waiting], batch_images_[b]},
                            {*batch_starts_[waiting], *batch_starts_[b]}, camera_, kRansacSampleIterations);
    keep(waiting, pair[0]);
    keep(b, pair[1]);
    waiting = count;
  }
  if (waiting != count) {
    keep(waiting, refine_pose_lm(batch_objects_[waiting], batch_images_[waiting], camera_, *batch_starts_[waiting],
                                 kRansacSampleIterations));
  }
}

double PnpEstimator::score(const Pose& pose, Vec<std::size_t>& inliers) {
  return score_pose_inliers(object_points_, image_points_, pose, camera_, squared_threshold_, projected_, inliers);
}

std::optional<Pose> PnpEstimator::refine(const Pose& pose, std::span<const std::size_t> inliers) {
  return solve_subset(inliers, pose, kRansacRefineIterations);
}

std::optional<RansacPnpResult> solve_pnp_ransac(std::span<const Point3> object_points,
                                                std::span<const Point2> image_points, const CameraModel& camera,
                                                const RansacPnpSettings& settings) {
  if (object_points.size() != image_points.size() || !settings_valid(settings) || !all_finite(object_points) ||
      !all_finite(image_points)) {
    return std::nullopt;
  }
  const std::size_t k = minimal_sample_size(object_points);
  if (object_points.size() < k) return std::nullopt;

  PnpEstimator estimator(object_points, image_points, camera, settings.reprojection_error, k);
  auto outcome = run_ransac(estimator, RansacSettings{settings.iterations, settings.confidence, settings.seed});
  if (!outcome) return std::nullopt;
  const double m = static_cast<double>(outcome->inliers.size());
  return RansacPnpResult{outcome->model, std::move(outcome->inliers), std::sqrt(outcome->error_sum / m)};
}

}  // namespace morvelin
