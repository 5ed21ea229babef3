// Levenberg–Marquardt on two pose problems at once: lane l of every
// two-double vector belongs to problem l. Each lane performs exactly the
// operations of refine_pose_lm in the same order, so its outcome is
// bit-identical; the two problems' long divide and solve chains overlap.
// The per-problem control flow (accepted, rejected or singular attempts,
// stops) is carried by lane masks: a lane that must not change keeps its
// values by selection.
#include <algorithm>
#include <cmath>

#include "pose/lm_parameters.hpp"
#include "pose/pixel_mapping.hpp"
#include "pose/pnp.hpp"
#include "pose/rotation_vector.hpp"

namespace morvelin {

namespace {

using namespace lm;

typedef long long Mask2 __attribute__((vector_size(16)));

inline Double2 splat(double x) noexcept { return Double2{x, x}; }
inline bool any(Mask2 m) noexcept { return m[0] != 0 || m[1] != 0; }
inline bool lane(Mask2 m, std::size_t l) noexcept { return m[l] != 0; }
inline Double2 select(Mask2 m, Double2 a, Double2 b) noexcept { return m ? a : b; }

// (a < b) ? b : a per lane, the comparison std::max makes.
inline Double2 larger(Double2 a, Double2 b) noexcept { return (a < b) ? b : a; }

using Params2 = std::array<Double2, 6>;
using Matrix6x2 = std::array<std::array<Double2, 6>, 6>;

// The two problems, point by point.
struct PairProblem {
  std::array<std::span<const Point3>, 2> object;
  std::array<std::span<const Point2>, 2> image;
  const CameraModel* camera = nullptr;
  std::size_t size() const noexcept { return object[0].size(); }
  ObjectPoint<Double2> point(std::size_t i) const noexcept { return object_point(object[0][i], object[1][i]); }
  Double2 observed_u(std::size_t i) const noexcept { return Double2{image[0][i][0], image[1][i][0]}; }
  Double2 observed_v(std::size_t i) const noexcept { return Double2{image[0][i][1], image[1][i][1]}; }
};

// R (and ∂R/∂rvec[j]) of both lanes' rotations.
struct PairRotation {
  Double2 r[3][3];
  Double2 d[3][3][3];
};

PairRotation pack_rotation(const std::array<AxisAngle, 2>& a, bool with_derivatives) noexcept {
  PairRotation out{};
  for (std::size_t l = 0; l < 2; ++l) {
    RotationDerivatives rd;
    if (with_derivatives) {
      rd = rotation_matrix_with_derivatives(a[l]);
    } else {
      rd.r = rotation_matrix(a[l]);
    }
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 3; ++j) {
        out.r[i][j][l] = rd.r[i][j];
        for (std::size_t k = 0; k < 3; ++k) out.d[k][i][j][l] = rd.d[k][i][j];
      }
    }
  }
  return out;
}

template <bool kWithDerivatives>
PixelMapping<Double2> project_pair(const PairRotation& rot, const Params2& p, const ObjectPoint<Double2>& x,
                                   const CameraModel& camera) noexcept {
  return map_to_pixel<kWithDerivatives, Double2>(row_times(rot.r, 0, x) + p[3], row_times(rot.r, 1, x) + p[4],
                                                 row_times(rot.r, 2, x) + p[5], camera);
}

// Σ r² per lane, residuals in the order x0, y0, x1, y1, ...
Double2 cost_pair(const PairProblem& problem, const Params2& p, const std::array<AxisAngle, 2>& rotation) noexcept {
  const PairRotation rot = pack_rotation(rotation, false);
  Double2 sum = splat(0.0);
  for (std::size_t i = 0; i < problem.size(); ++i) {
    const PixelMapping<Double2> m = project_pair<false>(rot, p, problem.point(i), *problem.camera);
    const Double2 ru = m.u - problem.observed_u(i);
    const Double2 rv = m.v - problem.observed_v(i);
    sum += ru * ru;
    sum += rv * rv;
  }
  return sum;
}

// JᵀJ and Jᵀr per lane, as normal_equations_at forms them.
void normal_equations_pair(const PairProblem& problem, const Params2& p, const std::array<AxisAngle, 2>& rotation,
                           Matrix6x2& h, Params2& g) noexcept {
  for (auto& row : h) row.fill(splat(0.0));
  g.fill(splat(0.0));
  const PairRotation rot = pack_rotation(rotation, true);
  for (std::size_t i = 0; i < problem.size(); ++i) {
    const ObjectPoint<Double2> x = problem.point(i);
    const PixelMapping<Double2> m = project_pair<true>(rot, p, x, *problem.camera);
    Double2 du_dr[3];
    Double2 dv_dr[3];
    rotation_derivatives_of_pixel(rot, x, m, du_dr, dv_dr);
    const Double2 row_u[6] = {du_dr[0], du_dr[1], du_dr[2], m.du[0], m.du[1], m.du[2]};
    const Double2 row_v[6] = {dv_dr[0], dv_dr[1], dv_dr[2], m.dv[0], m.dv[1], m.dv[2]};
    lm::accumulate_row(row_u, m.u - problem.observed_u(i), h, g);
    lm::accumulate_row(row_v, m.v - problem.observed_v(i), h, g);
  }
  for (std::size_t a = 0; a < 6; ++a) {
    for (std::size_t b = a + 1; b < 6; ++b) h[b][a] = h[a][b];
  }
}

// lu_solve_in_place per lane: the pivot of each column is the first entry
// of largest magnitude at or below the diagonal, rows are swapped lane by
// lane. Returns the lanes whose pivot was exactly zero (their x is
// meaningless).
Mask2 lu_solve_pair(Matrix6x2 a, Params2 b, Params2& x) noexcept {
  Mask2 singular{};
#pragma GCC unroll 6
  for (std::size_t k = 0; k < 6; ++k) {
    Double2 largest = (Double2)((Mask2)a[k][k] & ~(Mask2{} + static_cast<long long>(0x8000000000000000ULL)));
    Mask2 pivot = Mask2{} + static_cast<long long>(k);
    for (std::size_t i = k + 1; i < 6; ++i) {
      const Double2 magnitude = (Double2)((Mask2)a[i][k] & ~(Mask2{} + static_cast<long long>(0x8000000000000000ULL)));
      const Mask2 bigger = magnitude > largest;
      largest = select(bigger, magnitude, largest);
      pivot = bigger ? Mask2{} + static_cast<long long>(i) : pivot;
    }
    for (std::size_t i = k + 1; i < 6; ++i) {
      const Mask2 swap = pivot == static_cast<long long>(i);
      if (!any(swap)) continue;
      for (std::size_t j = 0; j < 6; ++j) {
        const Double2 top = a[k][j];
        a[k][j] = select(swap, a[i][j], top);
        a[i][j] = select(swap, top, a[i][j]);
      }
      const Double2 top = b[k];
      b[k] = select(swap, b[i], top);
      b[i] = select(swap, top, b[i]);
    }
    singular |= a[k][k] == 0.0;
#pragma GCC unroll 6
    for (std::size_t i = k + 1; i < 6; ++i) {
      const Double2 factor = a[i][k] / a[k][k];
      a[i][k] = factor;
#pragma GCC unroll 6
      for (std::size_t j = k + 1; j < 6; ++j) a[i][j] -= factor * a[k][j];
      b[i] -= factor * b[k];
    }
  }
#pragma GCC unroll 6
  for (std::size_t step = 0; step < 6; ++step) {
    const std::size_t k = 5 - step;
    Double2 sum = b[k];
#pragma GCC unroll 6
    for (std::size_t j = k + 1; j < 6; ++j) sum -= a[k][j] * x[j];
    x[k] = sum / a[k][k];
  }
  return singular;
}

Params2 pack_params(const std::array<Pose, 2>& poses) noexcept {
  Params2 p;
  for (std::size_t i = 0; i < 3; ++i) {
    p[i] = Double2{poses[0].rvec[i], poses[1].rvec[i]};
    p[3 + i] = Double2{poses[0].tvec[i], poses[1].tvec[i]};
  }
  return p;
}

Pose lane_pose(const Params2& p, std::size_t l) noexcept {
  return {{p[0][l], p[1][l], p[2][l]}, {p[3][l], p[4][l], p[5][l]}};
}

// The state of both lanes' solves.
struct PairLm {
  Params2 p{};
  std::array<AxisAngle, 2> rotation{};  // of p, kept from its cost to its Jacobian
  Double2 cost{};
  Double2 lambda = splat(kInitialDamping);
  Mask2 running = Mask2{} - 1;
  std::array<LmOutcome, 2> out{};
};

// One round of attempts for the lanes of `attempting` at iteration start
// (H, g). Returns the lanes that made no step in any of their attempts.
Mask2 attempt_steps(const PairProblem& problem, const Matrix6x2& h, const Params2& g, Mask2 attempting, PairLm& s) {
  for (int attempt = 0; attempt < kAttemptsPerIteration && any(attempting); ++attempt) {
    Matrix6x2 a = h;
    for (std::size_t i = 0; i < 6; ++i) a[i][i] = h[i][i] + s.lambda * larger(h[i][i], splat(kDampingFloor));
    Params2 delta{};
    const Mask2 singular = attempting & lu_solve_pair(a, g, delta);
    s.lambda = select(singular, s.lambda * kDampingUp, s.lambda);  // damp harder, no ceiling test
    const Mask2 solved = attempting & ~singular;
    if (!any(solved)) continue;

    Params2 trial;
    for (std::size_t i = 0; i < 6; ++i) trial[i] = s.p[i] - delta[i];
    std::array<AxisAngle, 2> trial_rotation = s.rotation;
    for (std::size_t l = 0; l < 2; ++l) {
      if (lane(solved, l)) trial_rotation[l] = axis_angle(lane_pose(trial, l).rvec);
    }
    const Double2 trial_cost = cost_pair(problem, trial, trial_rotation);
    const Mask2 better = solved & (trial_cost < s.cost);
    const Mask2 worse = solved & ~better;
    for (std::size_t i = 0; i < 6; ++i) s.p[i] = select(better, trial[i], s.p[i]);
    for (std::size_t l = 0; l < 2; ++l) {
      if (lane(better, l)) s.rotation[l] = trial_rotation[l];
    }
    s.cost = select(better, trial_cost, s.cost);
    s.lambda = select(better, larger(kDampingDown * s.lambda, splat(kDampingFloor)), s.lambda);
    s.lambda = select(worse, s.lambda * kDampingUp, s.lambda);
    const Mask2 converged = better & (trial_cost < kConvergedCost);
    const Mask2 ceiling = worse & (s.lambda > kDampingCeiling);
    for (std::size_t l = 0; l < 2; ++l) {
      if (lane(converged, l)) s.out[l].stop = LmStop::kConverged;
      if (lane(ceiling, l)) s.out[l].stop = LmStop::kDampingCeiling;
    }
    s.running &= ~(converged | ceiling);
    attempting &= ~(better | ceiling);
  }
  return attempting;
}

}  // namespace

std::array<LmOutcome, 2> refine_pose_lm_pair(const std::array<std::span<const Point3>, 2>& object_points,
                                             const std::array<std::span<const Point2>, 2>& image_points,
                                             const std::array<Pose, 2>& starts, const CameraModel& camera,
                                             unsigned iteration_limit) {
  const std::size_t n0 = std::min(object_points[0].size(), image_points[0].size());
  const std::size_t n1 = std::min(object_points[1].size(), image_points[1].size());
  if (n0 != n1) {
    return {refine_pose_lm(object_points[0], image_points[0], camera, starts[0], iteration_limit),
            refine_pose_lm(object_points[1], image_points[1], camera, starts[1], iteration_limit)};
  }
  PairProblem problem;
  for (std::size_t l = 0; l < 2; ++l) {
    problem.object[l] = object_points[l].first(n0);
    problem.image[l] = image_points[l].first(n0);
  }
  problem.camera = &camera;

  PairLm s;
  s.p = pack_params(starts);
  s.rotation = {axis_angle(starts[0].rvec), axis_angle(starts[1].rvec)};
  s.cost = cost_pair(problem, s.p, s.rotation);
  for (unsigned iter = 0; iter < iteration_limit && any(s.running); ++iter) {
    for (std::size_t l = 0; l < 2; ++l) {
      if (lane(s.running, l)) s.out[l].iterations = iter + 1;
    }
    Matrix6x2 h;
    Params2 g;
    normal_equations_pair(problem, s.p, s.rotation, h, g);
    const Mask2 stuck = attempt_steps(problem, h, g, s.running, s);
    for (std::size_t l = 0; l < 2; ++l) {
      if (lane(stuck, l)) s.out[l].stop = LmStop::kNoImprovement;
    }
    s.running &= ~stuck;
  }
  for (std::size_t l = 0; l < 2; ++l) {
    s.out[l].pose = lane_pose(s.p, l);
    s.out[l].cost = s.cost[l];
    s.out[l].damping = s.lambda[l];
  }
  return s.out;
}

}  // namespace morvelin
