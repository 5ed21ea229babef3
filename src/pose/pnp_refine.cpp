// Stage 2 of the PnP solver: Levenberg–Marquardt on the pixel reprojection
// error. The Jacobian is formed once per iteration; every damping attempt
// reuses JᵀJ and Jᵀr and evaluates only the residual.
#include <algorithm>
#include <cmath>

#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/small_lu.hpp"

namespace morvelin {

namespace {

constexpr double kInitialDamping = 0.001;
constexpr double kDampingUp = 10.0;
constexpr double kDampingDown = 0.1;
constexpr double kDampingFloor = 1e-12;  // also the floor of the scaled diagonal
constexpr double kDampingCeiling = 1e12;
constexpr double kConvergedCost = 1e-24;
constexpr int kAttemptsPerIteration = 10;

using Params = std::array<double, 6>;
using Matrix6 = SquareMatrix<6>;

Pose to_pose(const Params& p) noexcept { return {{p[0], p[1], p[2]}, {p[3], p[4], p[5]}}; }
Params to_params(const Pose& pose) noexcept {
  return {pose.rvec[0], pose.rvec[1], pose.rvec[2], pose.tvec[0], pose.tvec[1], pose.tvec[2]};
}

double sum_of_squares(std::span<const double> r) noexcept {
  double sum = 0.0;
  for (double v : r) sum += v * v;
  return sum;
}

// Buffers of one solve, sized once from N.
struct LmWorkspace {
  Vec<Point2> projected;
  Vec<double> residuals;
  Vec<double> trial;
  Vec<double> jacobian;
  explicit LmWorkspace(std::size_t n) : projected(n), residuals(2 * n), trial(2 * n), jacobian(12 * n) {}
};

void residuals_into(std::span<const Point3> object_points, std::span<const Point2> image_points, const Pose& pose,
                    const CameraModel& camera, std::span<Point2> projected, std::span<double> residuals,
                    std::span<double> jacobian) {
  const std::size_t n = std::min({object_points.size(), image_points.size(), projected.size(), residuals.size() / 2});
  if (jacobian.empty()) {
    project_points_into(object_points.first(n), pose, camera, projected.first(n));
  } else {
    project_points_into(object_points.first(n), pose, camera, projected.first(n), jacobian);
  }
  for (std::size_t i = 0; i < n; ++i) {
    residuals[2 * i] = projected[i][0] - image_points[i][0];
    residuals[2 * i + 1] = projected[i][1] - image_points[i][1];
  }
}

// H = JᵀJ and g = Jᵀr, each element summed in row order.
void normal_equations(std::span<const double> jacobian, std::span<const double> residuals, Matrix6& h, Params& g) {
  h = {};
  g = {};
  const std::size_t rows = residuals.size();
  for (std::size_t k = 0; k < rows; ++k) {
    const double* row = jacobian.data() + 6 * k;
    for (std::size_t i = 0; i < 6; ++i) {
      g[i] += row[i] * residuals[k];
      for (std::size_t j = 0; j < 6; ++j) h[i][j] += row[i] * row[j];
    }
  }
}

}  // namespace

void pnp_residuals(std::span<const Point3> object_points, std::span<const Point2> image_points, const Pose& pose,
                   const CameraModel& camera, std::span<double> residuals, std::span<double> jacobian) {
  Vec<Point2> projected(object_points.size());
  residuals_into(object_points, image_points, pose, camera, projected, residuals, jacobian);
}

LmOutcome refine_pose_lm(std::span<const Point3> object_points, std::span<const Point2> image_points,
                         const CameraModel& camera, const Pose& start, unsigned iteration_limit) {
  LmWorkspace ws(object_points.size());
  LmOutcome out;
  Params p = to_params(start);
  residuals_into(object_points, image_points, start, camera, ws.projected, ws.residuals, {});
  double cost = sum_of_squares(ws.residuals);
  double lambda = kInitialDamping;
  out.stop = LmStop::kIterationLimit;

  for (unsigned iter = 0; iter < iteration_limit; ++iter) {
    out.iterations = iter + 1;
    residuals_into(object_points, image_points, to_pose(p), camera, ws.projected, ws.residuals, ws.jacobian);
    Matrix6 h;
    Params g;
    normal_equations(ws.jacobian, ws.residuals, h, g);

    bool accepted = false;
    bool stop = false;
    for (int attempt = 0; attempt < kAttemptsPerIteration && !accepted && !stop; ++attempt) {
      Matrix6 a = h;
      for (std::size_t i = 0; i < 6; ++i) a[i][i] = h[i][i] + lambda * std::max(h[i][i], kDampingFloor);
      Params delta{};
      if (!lu_solve_in_place(a, g, delta)) {
        lambda *= kDampingUp;  // singular system: damp harder, no ceiling test here
        continue;
      }
      Params trial_params;
      for (std::size_t i = 0; i < 6; ++i) trial_params[i] = p[i] - delta[i];
      residuals_into(object_points, image_points, to_pose(trial_params), camera, ws.projected, ws.trial, {});
      const double trial_cost = sum_of_squares(ws.trial);
      if (trial_cost < cost) {
        p = trial_params;
        cost = trial_cost;
        lambda = std::max(kDampingDown * lambda, kDampingFloor);
        accepted = true;
        if (trial_cost < kConvergedCost) {
          out.stop = LmStop::kConverged;
          stop = true;
        }
      } else {
        lambda *= kDampingUp;
        if (lambda > kDampingCeiling) {
          out.stop = LmStop::kDampingCeiling;
          stop = true;
        }
      }
    }
    if (stop) break;
    if (!accepted) {
      out.stop = LmStop::kNoImprovement;
      break;
    }
  }
  out.pose = to_pose(p);
  out.cost = cost;
  out.damping = lambda;
  return out;
}

}  // namespace morvelin
