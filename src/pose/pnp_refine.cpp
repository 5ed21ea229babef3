// Stage 2 of the PnP solver: Levenberg–Marquardt on the pixel reprojection
// error. The Jacobian is formed once per iteration, straight into JᵀJ and
// Jᵀr; every damping attempt reuses them and evaluates only the cost.
#include <algorithm>
#include <cmath>

#include "pose/lm_parameters.hpp"
#include "pose/matrix3.hpp"
#include "pose/pixel_mapping.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/rotation_vector.hpp"
#include "pose/small_lu.hpp"

namespace morvelin {

namespace {

using namespace lm;

using Params = std::array<double, 6>;
using Matrix6 = SquareMatrix<6>;

Pose to_pose(const Params& p) noexcept { return {{p[0], p[1], p[2]}, {p[3], p[4], p[5]}}; }
Params to_params(const Pose& pose) noexcept {
  return {pose.rvec[0], pose.rvec[1], pose.rvec[2], pose.tvec[0], pose.tvec[1], pose.tvec[2]};
}

// Σ r² at `pose`, the residuals taken in order x0, y0, x1, y1, ...; points
// are projected two at a time.
double cost_at(std::span<const Point3> object_points, std::span<const Point2> image_points, const Pose& pose,
               const AxisAngle& rotation, const CameraModel& camera) noexcept {
  const Matrix3 r = rotation_matrix(rotation);
  const std::size_t n = object_points.size();
  double sum = 0.0;
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    const ObjectPoint<Double2> pair = object_point(object_points[i], object_points[i + 1]);
    const auto m = project_object_point<false>(r, pose.tvec, pair, camera);
    const Double2 ru = m.u - Double2{image_points[i][0], image_points[i + 1][0]};
    const Double2 rv = m.v - Double2{image_points[i][1], image_points[i + 1][1]};
    const Double2 ru2 = ru * ru;
    const Double2 rv2 = rv * rv;
    sum += ru2[0];
    sum += rv2[0];
    sum += ru2[1];
    sum += rv2[1];
  }
  if (i < n) {
    const auto m = project_object_point<false>(r, pose.tvec, object_point(object_points[i]), camera);
    const double ru = m.u - image_points[i][0];
    const double rv = m.v - image_points[i][1];
    sum += ru * ru;
    sum += rv * rv;
  }
  return sum;
}

// Element `lane` of a pair, or the single value.
template <class T>
inline double lane_of(const T& x, std::size_t lane) noexcept {
  if constexpr (sizeof(T) == sizeof(double)) {
    (void)lane;
    return x;
  } else {
    return x[lane];
  }
}

// Adds the two Jacobian rows (pixel x, pixel y) of point `lane` of a
// projected pair, or of a single projected point.
template <class T>
inline void accumulate_point(const PixelMapping<T>& m, const T (&du_dr)[3], const T (&dv_dr)[3], T ru, T rv,
                             std::size_t lane, Matrix6& h, Params& g) noexcept {
  const double row_u[6] = {lane_of(du_dr[0], lane), lane_of(du_dr[1], lane), lane_of(du_dr[2], lane),
                           lane_of(m.du[0], lane),  lane_of(m.du[1], lane),  lane_of(m.du[2], lane)};
  const double row_v[6] = {lane_of(dv_dr[0], lane), lane_of(dv_dr[1], lane), lane_of(dv_dr[2], lane),
                           lane_of(m.dv[0], lane),  lane_of(m.dv[1], lane),  lane_of(m.dv[2], lane)};
  lm::accumulate_row(row_u, lane_of(ru, lane), h, g);
  lm::accumulate_row(row_v, lane_of(rv, lane), h, g);
}

// H = JᵀJ and g = Jᵀr at `pose`, each element summed over the Jacobian rows
// in order (rows 2i and 2i+1 belong to point i: ∂/∂rvec then ∂/∂tvec). J is
// formed two points at a time and never stored.
void normal_equations_at(std::span<const Point3> object_points, std::span<const Point2> image_points, const Pose& pose,
                         const AxisAngle& rotation, const CameraModel& camera, Matrix6& h, Params& g) noexcept {
  h = {};
  g = {};
  const RotationDerivatives rot = rotation_matrix_with_derivatives(rotation);
  const std::size_t n = object_points.size();
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    const ObjectPoint<Double2> p = object_point(object_points[i], object_points[i + 1]);
    const PixelMapping<Double2> m = project_object_point<true>(rot.r, pose.tvec, p, camera);
    Double2 du_dr[3];
    Double2 dv_dr[3];
    rotation_derivatives_of_pixel(rot, p, m, du_dr, dv_dr);
    const Double2 ru = m.u - Double2{image_points[i][0], image_points[i + 1][0]};
    const Double2 rv = m.v - Double2{image_points[i][1], image_points[i + 1][1]};
    accumulate_point(m, du_dr, dv_dr, ru, rv, 0, h, g);
    accumulate_point(m, du_dr, dv_dr, ru, rv, 1, h, g);
  }
  if (i < n) {
    const ObjectPoint<double> p = object_point(object_points[i]);
    const PixelMapping<double> m = project_object_point<true>(rot.r, pose.tvec, p, camera);
    double du_dr[3];
    double dv_dr[3];
    rotation_derivatives_of_pixel(rot, p, m, du_dr, dv_dr);
    accumulate_point(m, du_dr, dv_dr, m.u - image_points[i][0], m.v - image_points[i][1], 0, h, g);
  }
  for (std::size_t a = 0; a < 6; ++a) {
    for (std::size_t b = a + 1; b < 6; ++b) h[b][a] = h[a][b];
  }
}

}  // namespace

double reprojection_cost(std::span<const Point3> object_points, std::span<const Point2> image_points,
                         const Pose& pose, const CameraModel& camera) noexcept {
  const std::size_t n = std::min(object_points.size(), image_points.size());
  return cost_at(object_points.first(n), image_points.first(n), pose, axis_angle(pose.rvec), camera);
}

LmOutcome refine_pose_lm(std::span<const Point3> object_points, std::span<const Point2> image_points,
                         const CameraModel& camera, const Pose& start, unsigned iteration_limit) {
  const std::size_t n = std::min(object_points.size(), image_points.size());
  object_points = object_points.first(n);
  image_points = image_points.first(n);
  LmOutcome out;
  Params p = to_params(start);
  AxisAngle rotation = axis_angle(start.rvec);  // of p, kept from its cost to its Jacobian
  double cost = cost_at(object_points, image_points, start, rotation, camera);
  double lambda = kInitialDamping;
  out.stop = LmStop::kIterationLimit;

  for (unsigned iter = 0; iter < iteration_limit; ++iter) {
    out.iterations = iter + 1;
    Matrix6 h;
    Params g;
    normal_equations_at(object_points, image_points, to_pose(p), rotation, camera, h, g);

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
      const Pose trial = to_pose(trial_params);
      const AxisAngle trial_rotation = axis_angle(trial.rvec);
      const double trial_cost = cost_at(object_points, image_points, trial, trial_rotation, camera);
      if (trial_cost < cost) {
        p = trial_params;
        rotation = trial_rotation;
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
