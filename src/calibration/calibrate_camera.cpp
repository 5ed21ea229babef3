#include "calibration/calibrate_camera.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <string>

#include "calibration/calibration_fit.hpp"
#include "calibration/focal_length_guess.hpp"
#include "pose/jacobi_svd.hpp"
#include "pose/matrix3.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/rotation_vector.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

namespace {

constexpr double kMadToSigma = 1.4826;  // σ of a normal distribution per median absolute deviation
constexpr double kParallelDegrees = 0.5;
constexpr double kLineRatio = 1e-12;

std::string view_name(std::size_t i) { return "view " + std::to_string(i); }

bool finite_points(const CalibrationView& view) noexcept {
  const auto finite = [](const auto& p) { return std::all_of(p.begin(), p.end(), [](double v) { return std::isfinite(v); }); };
  return std::all_of(view.object_points.begin(), view.object_points.end(), finite) &&
         std::all_of(view.image_points.begin(), view.image_points.end(), finite);
}

// How a view's object points spread: along a line (or not at all), over a
// plane, or through a volume.
enum class Spread { kLine, kPlane, kVolume };

Spread spread_of(const CalibrationView& view) {
  const ObjectScatter spread = object_scatter(view.object_points);
  const auto svd = jacobi_svd<3>(spread.scatter, kSingularValuesOnly);
  if (!svd) return Spread::kLine;
  const auto& sigma = svd->singular_values;
  // The singular values are squared lengths: a second one below 1e-12 of
  // the first is a spread below 1e-6 across the line.
  if (!(sigma[1] > kLineRatio * sigma[0])) return Spread::kLine;
  return is_planar_spread(sigma[1], sigma[2]) ? Spread::kPlane : Spread::kVolume;
}

std::optional<Error> validate_views(std::span<const CalibrationView> views) {
  if (views.empty()) return value_error("need at least one view");
  for (std::size_t i = 0; i < views.size(); ++i) {
    const CalibrationView& v = views[i];
    if (v.object_points.size() != v.image_points.size()) {
      return value_error(view_name(i) + ": object_points and image_points must have the same length");
    }
    if (v.object_points.size() < kMinCalibrationViewPoints) {
      return value_error(view_name(i) + " has " + std::to_string(v.object_points.size()) +
                         " points; every view needs at least 4");
    }
    if (!finite_points(v)) return value_error(view_name(i) + ": points must be finite");
    if (spread_of(v) == Spread::kLine) {
      return value_error(view_name(i) + ": the object points lie on one line; a view needs them spread over a "
                         "plane or a volume");
    }
  }
  return std::nullopt;
}

// The starting camera: the caller's matrix (checked) or the image centre,
// and the caller's distortion (checked) restricted to the free terms.
Result<CameraModel> starting_camera(std::int64_t width, std::int64_t height,
                                    std::optional<std::span<const Vec<double>>> camera_matrix,
                                    std::optional<std::span<const double>> dist_coeffs,
                                    const CalibrationSettings& settings) {
  const Vec<Vec<double>> identity = {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}};
  Result<CameraModel> parsed = parse_camera_model(camera_matrix.value_or(std::span<const Vec<double>>(identity)),
                                                  dist_coeffs);
  if (!parsed) return parsed.error();
  CameraModel camera = *parsed;
  if (camera_matrix) {
    if (!(camera.fx > 0.0 && camera.fy > 0.0 && std::isfinite(camera.fx) && std::isfinite(camera.fy) &&
          std::isfinite(camera.cx) && std::isfinite(camera.cy))) {
      return value_error("camera_matrix must hold finite focal lengths greater than zero and a finite principal point");
    }
  } else {
    camera.cx = (static_cast<double>(width) - 1.0) * 0.5;
    camera.cy = (static_cast<double>(height) - 1.0) * 0.5;
  }
  if (!std::all_of(camera.dist.begin(), camera.dist.end(), [](double v) { return std::isfinite(v); })) {
    return value_error("dist_coeffs must be finite");
  }
  const auto terms = static_cast<std::size_t>(settings.distortion_terms);
  if (std::any_of(camera.dist.begin() + static_cast<std::ptrdiff_t>(terms), camera.dist.end(),
                  [](double v) { return v != 0.0; })) {
    return value_error("dist_coeffs has non-zero terms beyond the " + std::to_string(terms) + " distortion_terms");
  }
  if (settings.zero_tangent_dist) camera.dist[kP1] = camera.dist[kP2] = 0.0;
  return camera;
}

std::optional<std::size_t> first_non_planar_view(std::span<const CalibrationView> views) {
  for (std::size_t i = 0; i < views.size(); ++i) {
    if (spread_of(views[i]) != Spread::kPlane) return i;
  }
  return std::nullopt;
}

// The views' point lists side by side, as the batched solvers take them.
struct ViewSpans {
  explicit ViewSpans(std::span<const CalibrationView> views) : objects(views.size()), images(views.size()) {
    for (std::size_t i = 0; i < views.size(); ++i) {
      objects[i] = views[i].object_points;
      images[i] = views[i].image_points;
    }
  }
  Vec<std::span<const Point3>> objects;
  Vec<std::span<const Point2>> images;
};

// fx and fy of `camera` from the views' homographies.
std::optional<Error> guess_focal_lengths(std::span<const CalibrationView> views, std::int64_t width,
                                         std::int64_t height, const CalibrationSettings& settings,
                                         CameraModel& camera) {
  const ViewSpans spans(views);
  const auto& objects = spans.objects;
  const auto& images = spans.images;
  Vec<std::optional<PlaneHomography>> found(views.size());
  plane_homographies(objects, images, found);
  Vec<Matrix3> homographies;
  for (const auto& h : found) {
    if (h) homographies.push_back(h->h);
  }
  const double scale = 0.5 * (static_cast<double>(width) + static_cast<double>(height));
  const std::optional<double> aspect = settings.fix_aspect_ratio ? std::optional<double>(1.0) : std::nullopt;
  const auto f = focal_lengths_from_homographies(homographies, camera.cx, camera.cy, scale, aspect);
  if (!f) return value_error("cannot estimate the focal lengths from these views: tilt the target in some of them");
  camera.fx = (*f)[0];
  camera.fy = (*f)[1];
  return std::nullopt;
}

// Each view's pose with the intrinsics held: the closed-form start of
// every view, then its own refinement.
Result<Vec<Pose>> initial_poses(std::span<const CalibrationView> views, const CameraModel& camera) {
  const ViewSpans spans(views);
  const auto& objects = spans.objects;
  const auto& images = spans.images;
  Vec<std::optional<Pose>> starts(views.size());
  initial_pnp_poses(objects, images, camera, starts);
  Vec<std::optional<Pose>> refined(views.size());
  parallel_for(views.size(), [&](std::size_t i) {
    if (starts[i]) refined[i] = refine_pnp_pose(objects[i], images[i], camera, *starts[i], kSolvePnpIterations);
  });
  Vec<Pose> poses(views.size());
  for (std::size_t i = 0; i < views.size(); ++i) {
    if (!refined[i]) return value_error(view_name(i) + ": no initial pose");
    poses[i] = *refined[i];
  }
  return poses;
}

// The points of the views that `used` keeps.
struct UsedPoints {
  Vec<Vec<Point3>> objects;
  Vec<Vec<Point2>> images;
  Vec<CalibrationView> views;
};

UsedPoints select_points(std::span<const CalibrationView> views, const Vec<Vec<char>>& used) {
  UsedPoints out;
  out.objects.resize(views.size());
  out.images.resize(views.size());
  out.views.resize(views.size());
  for (std::size_t i = 0; i < views.size(); ++i) {
    for (std::size_t k = 0; k < views[i].object_points.size(); ++k) {
      if (!used[i][k]) continue;
      out.objects[i].push_back(views[i].object_points[k]);
      out.images[i].push_back(views[i].image_points[k]);
    }
    out.views[i] = {out.objects[i], out.images[i]};
  }
  return out;
}

// True when the views are planar and every view's plane lies within
// kParallelDegrees of the first one's in the camera frame. Such views leave
// the principal point open: each gives the same two constraints on the
// camera matrix.
bool all_views_parallel(std::span<const CalibrationView> views, std::span<const Pose> poses) {
  const double cos_limit = std::cos(kParallelDegrees * std::numbers::pi / 180.0);
  Vector3 first{};
  for (std::size_t i = 0; i < views.size(); ++i) {
    const ObjectScatter spread = object_scatter(views[i].object_points);
    const auto svd = jacobi_svd<3>(spread.scatter, kRightVectors);
    if (!svd || !is_planar_spread(svd->singular_values[1], svd->singular_values[2])) return false;
    const Vector3 normal = multiply(rotation_matrix(poses[i].rvec), Vector3{svd->v[0][2], svd->v[1][2], svd->v[2][2]});
    if (i == 0) first = normal;
    if (std::fabs(dot3(first, normal)) < cos_limit) return false;
  }
  return true;
}

double median(Vec<double> values) {
  if (values.empty()) return 0.0;
  const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), mid, values.end());
  return *mid;
}

// The points to keep after a fit at `state`: residual length at most
// max(kOutlierSigmas·σ, kOutlierFloor), σ = 1.4826·median |residual
// component| over all points; each view keeps at least its 4 best points.
Vec<Vec<char>> inliers_at(std::span<const CalibrationView> views, const CalibrationState& state) {
  Vec<Vec<double>> lengths(views.size());
  Vec<double> components;
  for (std::size_t i = 0; i < views.size(); ++i) {
    const Vec<Point2> projected = project_points(views[i].object_points, state.poses[i], state.camera);
    for (std::size_t k = 0; k < projected.size(); ++k) {
      const double dx = projected[k][0] - views[i].image_points[k][0];
      const double dy = projected[k][1] - views[i].image_points[k][1];
      components.push_back(std::fabs(dx));
      components.push_back(std::fabs(dy));
      lengths[i].push_back(std::sqrt(dx * dx + dy * dy));
    }
  }
  const double threshold = std::max(kOutlierSigmas * kMadToSigma * median(components), kOutlierFloor);
  Vec<Vec<char>> used(views.size());
  for (std::size_t i = 0; i < views.size(); ++i) {
    const Vec<double>& e = lengths[i];
    used[i].resize(e.size());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < e.size(); ++k) {
      used[i][k] = e[k] <= threshold;
      kept += used[i][k] ? 1 : 0;
    }
    if (kept < kMinCalibrationViewPoints) {
      Vec<std::size_t> order(e.size());
      std::iota(order.begin(), order.end(), std::size_t{0});
      std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return e[a] < e[b]; });
      for (std::size_t k = 0; k < kMinCalibrationViewPoints; ++k) used[i][order[k]] = 1;
    }
  }
  return used;
}

std::size_t residual_count(std::span<const CalibrationView> views) {
  std::size_t n = 0;
  for (const CalibrationView& v : views) n += 2 * v.object_points.size();
  return n;
}

bool finite_result(const CalibrationResult& r) {
  const auto finite = [](double v) { return std::isfinite(v); };
  bool ok = std::isfinite(r.rms) && std::isfinite(r.camera.fx) && std::isfinite(r.camera.fy) &&
            std::isfinite(r.camera.cx) && std::isfinite(r.camera.cy) &&
            std::all_of(r.camera.dist.begin(), r.camera.dist.end(), finite) &&
            std::all_of(r.per_view_errors.begin(), r.per_view_errors.end(), finite) &&
            std::all_of(r.std_deviations.begin(), r.std_deviations.end(), finite);
  for (const Pose& p : r.poses) {
    ok = ok && std::all_of(p.rvec.begin(), p.rvec.end(), finite) && std::all_of(p.tvec.begin(), p.tvec.end(), finite);
  }
  return ok;
}

// The statistics of the final fit on the points used.
Result<CalibrationResult> summarise(std::span<const CalibrationView> used_views, const IntrinsicLayout& layout,
                                    const FitOutcome& fit, const CalibrationSettings& settings) {
  CalibrationResult out;
  out.camera = fit.state.camera;
  out.distortion_terms = settings.distortion_terms;
  out.poses = fit.state.poses;
  out.converged = fit.converged;
  const Vec<double> costs = view_costs(used_views, fit.state);
  double total = 0.0;
  std::size_t points = 0;
  out.per_view_errors.resize(used_views.size());
  for (std::size_t i = 0; i < used_views.size(); ++i) {
    const std::size_t n = used_views[i].object_points.size();
    out.per_view_errors[i] = std::sqrt(costs[i] / static_cast<double>(n));
    total += costs[i];
    points += n;
  }
  out.rms = std::sqrt(total / static_cast<double>(points));
  const std::size_t parameters = layout.size() + 6 * used_views.size();
  const double variance = total / static_cast<double>(residual_count(used_views) - parameters);
  if (!finite_result(out)) return value_error("the calibration did not reach finite values");
  const std::optional<IntrinsicVector> variances = intrinsic_variances(used_views, layout, fit.state);
  if (!variances) return value_error("the views do not determine the camera matrix (degenerate views)");
  IntrinsicVector deviations(variances->size());
  for (Eigen::Index i = 0; i < variances->size(); ++i) {
    const double v = (*variances)(i);
    deviations(i) = std::isinf(v) ? v : std::sqrt(std::max(variance * v, 0.0));
  }
  out.std_deviations = layout.expand_deviations(deviations, settings.distortion_terms);
  return out;
}

}  // namespace

Result<CalibrationResult> calibrate_camera(std::span<const CalibrationView> views, std::int64_t width,
                                           std::int64_t height, std::optional<std::span<const Vec<double>>> camera_matrix,
                                           std::optional<std::span<const double>> dist_coeffs,
                                           const CalibrationSettings& settings) {
  const int terms = settings.distortion_terms;
  if (terms != 0 && terms != 4 && terms != 5 && terms != 8 && terms != 12) {
    return value_error("distortion_terms must be 0, 4, 5, 8 or 12");
  }
  if (settings.max_iterations == 0) return value_error("max_iterations must be greater than zero");
  if (width <= 0 || height <= 0) return value_error("image_size must be two integers greater than zero (width, height)");
  if (views.empty()) return value_error("need at least one view");
  if (auto error = validate_views(views)) return *error;
  Result<CameraModel> start = starting_camera(width, height, camera_matrix, dist_coeffs, settings);
  if (!start) return start.error();
  const double aspect = camera_matrix ? start->fx / start->fy : 1.0;
  const IntrinsicLayout layout(settings, aspect);
  const std::size_t residuals = residual_count(views);
  const std::size_t parameters = layout.size() + 6 * views.size();
  if (residuals <= parameters) {
    return value_error(std::to_string(residuals) + " residuals cannot determine " + std::to_string(parameters) +
                       " free parameters: more points or views are needed");
  }
  if (!camera_matrix) {
    if (const auto view = first_non_planar_view(views)) {
      return value_error(view_name(*view) +
                         " is not planar; a non-planar target needs camera_matrix as a starting guess");
    }
    if (auto error = guess_focal_lengths(views, width, height, settings, *start)) return *error;
  }
  Result<Vec<Pose>> poses = initial_poses(views, *start);
  if (!poses) return poses.error();

  FitOutcome fit = fit_calibration(views, layout, {*start, std::move(poses).value()}, settings.max_iterations);
  Vec<Vec<char>> used(views.size());
  for (std::size_t i = 0; i < views.size(); ++i) used[i].assign(views[i].object_points.size(), 1);
  std::optional<UsedPoints> selected;  // the points of `used` once some are left out
  for (int round = 0; settings.reject_outliers && round < kMaxOutlierRounds; ++round) {
    Vec<Vec<char>> next = inliers_at(views, fit.state);
    if (next == used) break;
    UsedPoints candidate = select_points(views, next);
    if (residual_count(candidate.views) <= parameters) break;
    used = std::move(next);
    selected = std::move(candidate);
    fit = fit_calibration(selected->views, layout, fit.state, settings.max_iterations);
  }
  if (!settings.fix_principal_point && all_views_parallel(views, fit.state.poses)) {
    return value_error("all views show the target in parallel planes, which leaves the principal point open: "
                       "turn the target between views (or fix_principal_point)");
  }
  Result<CalibrationResult> result =
      summarise(selected ? std::span<const CalibrationView>(selected->views) : views, layout, fit, settings);
  if (!result) return result;
  result->outliers.resize(views.size());
  for (std::size_t i = 0; i < views.size(); ++i) {
    for (std::size_t k = 0; k < used[i].size(); ++k) {
      if (!used[i][k]) result->outliers[i].push_back(k);
    }
  }
  return result;
}

}  // namespace morvelin
