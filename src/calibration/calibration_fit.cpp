#include "calibration/calibration_fit.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <algorithm>
#include <cmath>

#include "pose/lm_parameters.hpp"
#include "pose/pnp.hpp"
#include "pose/rotation_vector.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

namespace {

using CouplingMatrix = Eigen::Matrix<double, Eigen::Dynamic, 6, 0, kMaxIntrinsics, 6>;
using PoseCoupling = Eigen::Matrix<double, 6, Eigen::Dynamic, 0, 6, kMaxIntrinsics>;
using Matrix6 = Eigen::Matrix<double, 6, 6>;
using Vector6 = Eigen::Matrix<double, 6, 1>;

// Below this many points in all views a fit runs on the calling thread: the
// pool's hand-off would cost more than the work.
constexpr std::size_t kParallelPoints = 2000;

// Eigenvalues of the intrinsics' normal matrix, scaled to a unit diagonal,
// at or below this are combinations of the intrinsics that the views do not
// determine (to working precision). A parameter whose squared share in such
// a combination exceeds kLoading is undetermined itself.
constexpr double kUndeterminedEigenvalue = 1e-14;
constexpr double kLoading = 1e-3;
constexpr double kConvergedDecrease = 1e-10;  // relative cost decrease of an accepted step

// The normal equations of one view: JᵀJ split into the intrinsics block
// `u`, the coupling `w` (intrinsics x pose) and the pose block `v` (upper
// triangles only for `u` and `v`), Jᵀr split likewise, and Σ r².
struct ViewBlocks {
  IntrinsicMatrix u;
  CouplingMatrix w;
  Matrix6 v;
  IntrinsicVector ga;
  Vector6 gb;
  double cost = 0.0;
};

std::size_t total_points(std::span<const CalibrationView> views) noexcept {
  std::size_t n = 0;
  for (const CalibrationView& v : views) n += v.object_points.size();
  return n;
}

// body(i) for every view, on the pool when the views hold enough points.
// Each call writes only its own slot, so the results do not depend on it.
template <class Body>
void for_each_view(std::span<const CalibrationView> views, Body&& body) {
  if (total_points(views) >= kParallelPoints) {
    parallel_for(views.size(), body);
  } else {
    for (std::size_t i = 0; i < views.size(); ++i) body(i);
  }
}

void view_blocks(const CalibrationView& view, const IntrinsicLayout& layout, const CameraModel& camera,
                 const Pose& pose, ViewBlocks& out) {
  const Eigen::Index ni = static_cast<Eigen::Index>(layout.size());
  out.u.setZero(ni, ni);
  out.w.setZero(ni, 6);
  out.v.setZero();
  out.ga.setZero(ni);
  out.gb.setZero();
  out.cost = 0.0;
  const RotationDerivatives rot = rotation_matrix_with_derivatives(pose.rvec);
  double du_a[kMaxIntrinsics];
  double dv_a[kMaxIntrinsics];
  for (std::size_t i = 0; i < view.object_points.size(); ++i) {
    const ObjectPoint<double> p = object_point(view.object_points[i]);
    const double xc = row_times(rot.r, 0, p) + pose.tvec[0];
    const double yc = row_times(rot.r, 1, p) + pose.tvec[1];
    const double zc = row_times(rot.r, 2, p) + pose.tvec[2];
    const double w = inverse_depth(zc);
    const Distortion<double> d = distort(xc * w, yc * w, camera);
    const PixelMapping<double> m = pixel_mapping<true>(d, w, camera);
    double du_r[3];
    double dv_r[3];
    rotation_derivatives_of_pixel(rot, p, m, du_r, dv_r);
    const double pu[6] = {du_r[0], du_r[1], du_r[2], m.du[0], m.du[1], m.du[2]};
    const double pv[6] = {dv_r[0], dv_r[1], dv_r[2], m.dv[0], m.dv[1], m.dv[2]};
    layout.pixel_derivatives(d, camera, du_a, dv_a);
    const double eu = m.u - view.image_points[i][0];
    const double ev = m.v - view.image_points[i][1];
    out.cost += eu * eu;
    out.cost += ev * ev;
    for (Eigen::Index a = 0; a < ni; ++a) {
      out.ga(a) += du_a[a] * eu;
      out.ga(a) += dv_a[a] * ev;
      for (Eigen::Index b = a; b < ni; ++b) {
        out.u(a, b) += du_a[a] * du_a[b];
        out.u(a, b) += dv_a[a] * dv_a[b];
      }
      for (Eigen::Index b = 0; b < 6; ++b) {
        out.w(a, b) += du_a[a] * pu[b];
        out.w(a, b) += dv_a[a] * pv[b];
      }
    }
    for (Eigen::Index a = 0; a < 6; ++a) {
      out.gb(a) += pu[a] * eu;
      out.gb(a) += pv[a] * ev;
      for (Eigen::Index b = a; b < 6; ++b) {
        out.v(a, b) += pu[a] * pu[b];
        out.v(a, b) += pv[a] * pv[b];
      }
    }
  }
  out.u.triangularView<Eigen::StrictlyLower>() = out.u.transpose();
  out.v.triangularView<Eigen::StrictlyLower>() = out.v.transpose();
}

// The blocks of every view, and the sums of their intrinsic parts in view
// order.
struct NormalEquations {
  Vec<ViewBlocks> views;
  IntrinsicMatrix u;
  IntrinsicVector ga;
  double cost = 0.0;
};

void normal_equations(std::span<const CalibrationView> views, const IntrinsicLayout& layout,
                      const CalibrationState& state, NormalEquations& out) {
  out.views.resize(views.size());
  for_each_view(views, [&](std::size_t i) { view_blocks(views[i], layout, state.camera, state.poses[i], out.views[i]); });
  const Eigen::Index ni = static_cast<Eigen::Index>(layout.size());
  out.u.setZero(ni, ni);
  out.ga.setZero(ni);
  out.cost = 0.0;
  for (const ViewBlocks& b : out.views) {
    out.u += b.u;
    out.ga += b.ga;
    out.cost += b.cost;
  }
}

template <class Matrix>
void damp(Matrix& a, double lambda) noexcept {
  for (Eigen::Index i = 0; i < a.rows(); ++i) a(i, i) += lambda * std::max(a(i, i), lm::kDampingFloor);
}

// What the back-substitution of one view needs: V⁻¹·Wᵀ and V⁻¹·gb.
struct ViewElimination {
  PoseCoupling v_inv_wt;
  Vector6 v_inv_gb;
};

// The Schur complement S = U − Σ W·V⁻¹·Wᵀ and its right-hand side
// ga − Σ W·V⁻¹·gb, with every block damped by `lambda` (0: undamped).
// False when a pose block is not positive definite.
bool eliminate_poses(const NormalEquations& eq, double lambda, Vec<ViewElimination>& scratch, IntrinsicMatrix& s,
                     IntrinsicVector& rhs) {
  s = eq.u;
  rhs = eq.ga;
  if (lambda > 0.0) damp(s, lambda);
  scratch.resize(eq.views.size());
  for (std::size_t i = 0; i < eq.views.size(); ++i) {
    const ViewBlocks& b = eq.views[i];
    Matrix6 v = b.v;
    if (lambda > 0.0) damp(v, lambda);
    const Eigen::LLT<Matrix6> llt(v);
    if (llt.info() != Eigen::Success) return false;
    scratch[i].v_inv_wt = llt.solve(b.w.transpose());
    scratch[i].v_inv_gb = llt.solve(b.gb);
    s.noalias() -= b.w * scratch[i].v_inv_wt;
    rhs.noalias() -= b.w * scratch[i].v_inv_gb;
  }
  return true;
}

// The damped step δ of the intrinsics and of every pose; false when a
// system is not positive definite.
bool solve_step(const NormalEquations& eq, double lambda, Vec<ViewElimination>& scratch, IntrinsicVector& da,
                Vec<Vector6>& db) {
  IntrinsicMatrix s;
  IntrinsicVector rhs;
  if (!eliminate_poses(eq, lambda, scratch, s, rhs)) return false;
  const Eigen::LLT<IntrinsicMatrix> llt(s);
  if (llt.info() != Eigen::Success) return false;
  da = llt.solve(rhs);
  db.resize(eq.views.size());
  for (std::size_t i = 0; i < eq.views.size(); ++i) db[i] = scratch[i].v_inv_gb - scratch[i].v_inv_wt * da;
  return true;
}

// The decrease of Σ r² that the linear model predicts for the step −δ:
// 2·δᵀJᵀr − δᵀJᵀJ·δ, from the blocks of JᵀJ.
double predicted_decrease(const NormalEquations& eq, const IntrinsicVector& da, const Vec<Vector6>& db) {
  double quadratic = da.dot(eq.u * da);
  double linear = da.dot(eq.ga);
  for (std::size_t i = 0; i < eq.views.size(); ++i) {
    const ViewBlocks& b = eq.views[i];
    quadratic += 2.0 * da.dot(b.w * db[i]) + db[i].dot(b.v * db[i]);
    linear += db[i].dot(b.gb);
  }
  return 2.0 * linear - quadratic;
}

CalibrationState stepped(const CalibrationState& state, const IntrinsicLayout& layout, const IntrinsicVector& a,
                         const IntrinsicVector& da, const Vec<Vector6>& db) {
  CalibrationState out = state;
  layout.write(a - da, out.camera);
  for (std::size_t i = 0; i < out.poses.size(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) {
      out.poses[i].rvec[k] = state.poses[i].rvec[k] - db[i](static_cast<Eigen::Index>(k));
      out.poses[i].tvec[k] = state.poses[i].tvec[k] - db[i](static_cast<Eigen::Index>(k + 3));
    }
  }
  return out;
}

double total_cost(std::span<const CalibrationView> views, const CalibrationState& state) {
  const Vec<double> costs = view_costs(views, state);
  double sum = 0.0;
  for (double c : costs) sum += c;
  return sum;
}

}  // namespace

IntrinsicLayout::IntrinsicLayout(const CalibrationSettings& settings, double aspect)
    : fixed_aspect_(settings.fix_aspect_ratio), aspect_(aspect) {
  if (!fixed_aspect_) slots_[size_++] = {Kind::kFx, 0};
  slots_[size_++] = {Kind::kFy, 0};
  if (!settings.fix_principal_point) {
    slots_[size_++] = {Kind::kCx, 0};
    slots_[size_++] = {Kind::kCy, 0};
  }
  for (std::size_t j = 0; j < static_cast<std::size_t>(std::clamp(settings.distortion_terms, 0, 12)); ++j) {
    if (settings.zero_tangent_dist && (j == kP1 || j == kP2)) continue;
    slots_[size_++] = {Kind::kDist, j};
  }
}

IntrinsicVector IntrinsicLayout::read(const CameraModel& camera) const {
  IntrinsicVector a(static_cast<Eigen::Index>(size_));
  for (std::size_t i = 0; i < size_; ++i) {
    const Slot& s = slots_[i];
    const auto at = static_cast<Eigen::Index>(i);
    switch (s.kind) {
      case Kind::kFx: a(at) = camera.fx; break;
      case Kind::kFy: a(at) = camera.fy; break;
      case Kind::kCx: a(at) = camera.cx; break;
      case Kind::kCy: a(at) = camera.cy; break;
      case Kind::kDist: a(at) = camera.dist[s.dist]; break;
    }
  }
  return a;
}

void IntrinsicLayout::write(const IntrinsicVector& a, CameraModel& camera) const noexcept {
  for (std::size_t i = 0; i < size_; ++i) {
    const Slot& s = slots_[i];
    const double value = a(static_cast<Eigen::Index>(i));
    switch (s.kind) {
      case Kind::kFx: camera.fx = value; break;
      case Kind::kFy: camera.fy = value; break;
      case Kind::kCx: camera.cx = value; break;
      case Kind::kCy: camera.cy = value; break;
      case Kind::kDist: camera.dist[s.dist] = value; break;
    }
  }
  if (fixed_aspect_) camera.fx = aspect_ * camera.fy;
}

void IntrinsicLayout::pixel_derivatives(const Distortion<double>& d, const CameraModel& camera, double* du,
                                        double* dv) const noexcept {
  const bool any_coefficient = size_ > 0 && slots_[size_ - 1].kind == Kind::kDist;
  const CoefficientDerivatives<double> c = any_coefficient ? coefficient_derivatives(d) : CoefficientDerivatives<double>{};
  for (std::size_t i = 0; i < size_; ++i) {
    const Slot& s = slots_[i];
    switch (s.kind) {
      case Kind::kFx: du[i] = d.xd; dv[i] = 0.0; break;
      case Kind::kFy: du[i] = fixed_aspect_ ? aspect_ * d.xd : 0.0; dv[i] = d.yd; break;
      case Kind::kCx: du[i] = 1.0; dv[i] = 0.0; break;
      case Kind::kCy: du[i] = 0.0; dv[i] = 1.0; break;
      case Kind::kDist: du[i] = camera.fx * c.dxd[s.dist]; dv[i] = camera.fy * c.dyd[s.dist]; break;
    }
  }
}

Vec<double> IntrinsicLayout::expand_deviations(const IntrinsicVector& free_deviations, int distortion_terms) const {
  Vec<double> out(4 + static_cast<std::size_t>(std::max(distortion_terms, 0)), 0.0);
  for (std::size_t i = 0; i < size_; ++i) {
    const Slot& s = slots_[i];
    const double value = free_deviations(static_cast<Eigen::Index>(i));
    switch (s.kind) {
      case Kind::kFx: out[0] = value; break;
      case Kind::kFy:
        out[1] = value;
        if (fixed_aspect_) out[0] = std::fabs(aspect_) * value;
        break;
      case Kind::kCx: out[2] = value; break;
      case Kind::kCy: out[3] = value; break;
      case Kind::kDist: out[4 + s.dist] = value; break;
    }
  }
  return out;
}

Vec<double> view_costs(std::span<const CalibrationView> views, const CalibrationState& state) {
  Vec<double> costs(views.size());
  for_each_view(views, [&](std::size_t i) {
    costs[i] = reprojection_cost(views[i].object_points, views[i].image_points, state.poses[i], state.camera);
  });
  return costs;
}

FitOutcome fit_calibration(std::span<const CalibrationView> views, const IntrinsicLayout& layout,
                           const CalibrationState& start, unsigned max_iterations) {
  FitOutcome out{start, total_cost(views, start), false};
  double lambda = lm::kInitialDamping;
  double growth = 2.0;
  NormalEquations eq;
  Vec<ViewElimination> scratch;
  IntrinsicVector da;
  Vec<Vector6> db;
  for (unsigned iter = 0; iter < max_iterations; ++iter) {
    normal_equations(views, layout, out.state, eq);
    const IntrinsicVector a = layout.read(out.state.camera);
    bool accepted = false;
    bool stop = false;
    for (int attempt = 0; attempt < lm::kAttemptsPerIteration && !accepted && !stop; ++attempt) {
      if (!solve_step(eq, lambda, scratch, da, db)) {
        lambda *= growth;
        growth *= 2.0;
        continue;
      }
      CalibrationState trial = stepped(out.state, layout, a, da, db);
      const double trial_cost = total_cost(views, trial);
      const double predicted = predicted_decrease(eq, da, db);
      if (trial_cost < out.cost) {
        const double decrease = out.cost - trial_cost;
        stop = decrease <= kConvergedDecrease * out.cost || trial_cost < lm::kConvergedCost;
        out.state = std::move(trial);
        out.cost = trial_cost;
        // How well the linear model predicted the decrease sets the damping.
        const double rho = predicted > 0.0 ? decrease / predicted : 0.0;
        const double t = 2.0 * rho - 1.0;
        lambda = std::max(lambda * std::max(1.0 / 3.0, 1.0 - t * t * t), lm::kDampingFloor);
        growth = 2.0;
        accepted = true;
      } else {
        lambda *= growth;
        growth *= 2.0;
        stop = lambda > lm::kDampingCeiling;
      }
    }
    if (stop || !accepted) {
      // Converged, or no damping finds a lower cost: the minimum to working
      // precision.
      out.converged = std::isfinite(out.cost);
      break;
    }
  }
  return out;
}

std::optional<IntrinsicVector> intrinsic_variances(std::span<const CalibrationView> views,
                                                   const IntrinsicLayout& layout, const CalibrationState& state) {
  NormalEquations eq;
  normal_equations(views, layout, state, eq);
  Vec<ViewElimination> scratch;
  IntrinsicMatrix s;
  IntrinsicVector rhs;
  if (!eliminate_poses(eq, 0.0, scratch, s, rhs) || !s.allFinite()) return std::nullopt;
  // Scaled to a unit diagonal, S shows undetermined combinations of the
  // intrinsics as eigenvalues near 0 whatever the units of the parameters.
  // With S = D⁻¹·S̃·D⁻¹, D = diag(1/√S_ii): diag(S⁻¹)_i = D_i²·Σ_k v_k(i)²/λ_k.
  const Eigen::Index ni = s.rows();
  IntrinsicVector scale(ni);
  for (Eigen::Index i = 0; i < ni; ++i) scale(i) = s(i, i) > 0.0 ? 1.0 / std::sqrt(s(i, i)) : 0.0;
  const IntrinsicMatrix scaled = scale.asDiagonal() * s * scale.asDiagonal();
  const Eigen::SelfAdjointEigenSolver<IntrinsicMatrix> eigen(scaled);
  if (eigen.info() != Eigen::Success) return std::nullopt;
  IntrinsicVector variances = IntrinsicVector::Zero(ni);
  for (Eigen::Index k = 0; k < ni; ++k) {
    const double lambda = eigen.eigenvalues()(k);
    const auto v = eigen.eigenvectors().col(k);
    if (lambda > kUndeterminedEigenvalue) {
      for (Eigen::Index i = 0; i < ni; ++i) variances(i) += v(i) * v(i) / lambda;
      continue;
    }
    for (Eigen::Index i = 0; i < ni; ++i) {
      if (v(i) * v(i) <= kLoading) continue;
      if (layout.is_camera_matrix(static_cast<std::size_t>(i))) return std::nullopt;
      variances(i) = HUGE_VAL;
    }
  }
  for (Eigen::Index i = 0; i < ni; ++i) variances(i) *= scale(i) * scale(i);
  return variances;
}

}  // namespace morvelin
