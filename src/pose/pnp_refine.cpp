// Stage 2 of the PnP solver: Levenberg–Marquardt on the pixel reprojection
// error. The Jacobian is formed once per iteration, straight into JᵀJ and
// Jᵀr; every damping attempt reuses them and evaluates only the cost.
#include <algorithm>
#include <cmath>

#include "pose/matrix3.hpp"
#include "pose/pixel_mapping.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/rotation_vector.hpp"
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

// Σ r² at `pose`, the residuals taken in order x0, y0, x1, y1, ...
double cost_at(std::span<const Point3> object_points, std::span<const Point2> image_points, const Pose& pose,
               const CameraModel& camera) noexcept {
  const Matrix3 r = rotation_matrix(pose.rvec);
  double sum = 0.0;
  for (std::size_t i = 0; i < object_points.size(); ++i) {
    const Point2 pixel = map_to_pixel<false>(to_camera_frame(r, pose.tvec, object_points[i]), camera).pixel;
    const double rx = pixel[0] - image_points[i][0];
    const double ry = pixel[1] - image_points[i][1];
    sum += rx * rx;
    sum += ry * ry;
  }
  return sum;
}

// H = JᵀJ and g = Jᵀr at `pose`, each element summed over the Jacobian rows
// in order; J is formed row pair by row pair and never stored. H is
// symmetric term by term, so only its upper triangle is summed.
void normal_equations_at(std::span<const Point3> object_points, std::span<const Point2> image_points, const Pose& pose,
                         const CameraModel& camera, Matrix6& h, Params& g) noexcept {
  h = {};
  g = {};
  const RotationDerivatives rot = rotation_matrix_with_derivatives(pose.rvec);
  for (std::size_t i = 0; i < object_points.size(); ++i) {
    const Point3& p = object_points[i];
    const PixelMapping m = map_to_pixel<true>(to_camera_frame(rot.r, pose.tvec, p), camera);
    double rows[2][6];
    for (std::size_t j = 0; j < 3; ++j) {
      const Vector3 dpc = multiply(rot.d[j], p);  // ∂(R·X)/∂rvec[j]
      rows[0][j] = m.du[0] * dpc[0] + m.du[1] * dpc[1] + m.du[2] * dpc[2];
      rows[1][j] = m.dv[0] * dpc[0] + m.dv[1] * dpc[1] + m.dv[2] * dpc[2];
      rows[0][3 + j] = m.du[j];
      rows[1][3 + j] = m.dv[j];
    }
    const double residual[2] = {m.pixel[0] - image_points[i][0], m.pixel[1] - image_points[i][1]};
    for (std::size_t k = 0; k < 2; ++k) {
      const double* row = rows[k];
      for (std::size_t a = 0; a < 6; ++a) {
        g[a] += row[a] * residual[k];
        for (std::size_t b = a; b < 6; ++b) h[a][b] += row[a] * row[b];
      }
    }
  }
  for (std::size_t a = 0; a < 6; ++a) {
    for (std::size_t b = a + 1; b < 6; ++b) h[b][a] = h[a][b];
  }
}

}  // namespace

void pnp_residuals(std::span<const Point3> object_points, std::span<const Point2> image_points, const Pose& pose,
                   const CameraModel& camera, std::span<double> residuals, std::span<double> jacobian) {
  const std::size_t n = std::min({object_points.size(), image_points.size(), residuals.size() / 2});
  Vec<Point2> projected(n);
  if (jacobian.empty()) {
    project_points_into(object_points.first(n), pose, camera, projected);
  } else {
    project_points_into(object_points.first(n), pose, camera, projected, jacobian);
  }
  for (std::size_t i = 0; i < n; ++i) {
    residuals[2 * i] = projected[i][0] - image_points[i][0];
    residuals[2 * i + 1] = projected[i][1] - image_points[i][1];
  }
}

LmOutcome refine_pose_lm(std::span<const Point3> object_points, std::span<const Point2> image_points,
                         const CameraModel& camera, const Pose& start, unsigned iteration_limit) {
  const std::size_t n = std::min(object_points.size(), image_points.size());
  object_points = object_points.first(n);
  image_points = image_points.first(n);
  LmOutcome out;
  Params p = to_params(start);
  double cost = cost_at(object_points, image_points, start, camera);
  double lambda = kInitialDamping;
  out.stop = LmStop::kIterationLimit;

  for (unsigned iter = 0; iter < iteration_limit; ++iter) {
    out.iterations = iter + 1;
    Matrix6 h;
    Params g;
    normal_equations_at(object_points, image_points, to_pose(p), camera, h, g);

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
      const double trial_cost = cost_at(object_points, image_points, to_pose(trial_params), camera);
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
