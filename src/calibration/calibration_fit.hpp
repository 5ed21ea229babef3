// Levenberg–Marquardt over the intrinsics and the poses of all views of a
// calibration. The normal matrix has one small dense block per view's pose,
// coupled only with the intrinsics; each step eliminates the pose blocks
// (Schur complement), solves for the intrinsics, then for each pose.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include <Eigen/Core>

#include "calibration/calibrate_camera.hpp"
#include "pose/camera_model.hpp"
#include "pose/pixel_mapping.hpp"
#include "pose/pose.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

inline constexpr std::size_t kMaxIntrinsics = 16;  // fx, fy, cx, cy and 12 distortion terms

using IntrinsicMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, 0, kMaxIntrinsics, kMaxIntrinsics>;
using IntrinsicVector = Eigen::Matrix<double, Eigen::Dynamic, 1, 0, kMaxIntrinsics, 1>;

// The free intrinsic parameters in a fixed order (fx, fy, cx, cy, then the
// free distortion coefficients in CameraModel::dist order), and how they
// set a CameraModel. With a fixed aspect ratio fx = aspect·fy and only fy
// is free.
class IntrinsicLayout {
 public:
  IntrinsicLayout(const CalibrationSettings& settings, double aspect);

  std::size_t size() const noexcept { return size_; }
  IntrinsicVector read(const CameraModel& camera) const;
  void write(const IntrinsicVector& a, CameraModel& camera) const noexcept;
  // ∂u/∂a and ∂v/∂a of one point with distortion `d` under `camera`.
  void pixel_derivatives(const Distortion<double>& d, const CameraModel& camera, double* du, double* dv) const noexcept;
  // True for the slots of fx, fy, cx and cy.
  bool is_camera_matrix(std::size_t slot) const noexcept { return slots_[slot].kind != Kind::kDist; }
  // Standard deviations of fx, fy, cx, cy and the first `distortion_terms`
  // coefficients from those of the free parameters (0 where fixed).
  Vec<double> expand_deviations(const IntrinsicVector& free_deviations, int distortion_terms) const;

 private:
  enum class Kind { kFx, kFy, kCx, kCy, kDist };
  struct Slot {
    Kind kind = Kind::kFx;
    std::size_t dist = 0;  // kDist: index into CameraModel::dist
  };
  std::array<Slot, kMaxIntrinsics> slots_{};
  std::size_t size_ = 0;
  bool fixed_aspect_ = false;
  double aspect_ = 1.0;
};

// The parameters a fit moves.
struct CalibrationState {
  CameraModel camera;
  Vec<Pose> poses;
};

struct FitOutcome {
  CalibrationState state;
  double cost = 0.0;  // Σ r² over all points
  bool converged = false;
};

// Levenberg–Marquardt from `start` for at most `max_iterations`
// iterations. Each step solves (JᵀJ + λ·diag(JᵀJ))·δ = Jᵀr; after an accepted
// step λ shrinks by up to 3 as far as the linear model predicted the decrease
// well (ρ = actual / predicted decrease, factor max(1/3, 1 − (2ρ − 1)³)),
// after a rejected one it grows by 2, 4, 8, ... It has converged when an
// accepted step lowers the cost by less than a relative 1e-10, or when no
// damping finds a lower cost.
FitOutcome fit_calibration(std::span<const CalibrationView> views, const IntrinsicLayout& layout,
                           const CalibrationState& start, unsigned max_iterations);

// Σ r² of each view at `state`.
Vec<double> view_costs(std::span<const CalibrationView> views, const CalibrationState& state);

// The diagonal of (JᵀJ)⁻¹ restricted to the free intrinsics at `state`: of
// the inverse of the Schur complement S of the pose blocks. Combinations of
// parameters that the views leave open (eigenvalues of S, scaled to a unit
// diagonal, of at most 1e-14) give an infinite variance to the distortion
// coefficients they involve; none when they involve fx, fy, cx or cy.
std::optional<IntrinsicVector> intrinsic_variances(std::span<const CalibrationView> views,
                                                   const IntrinsicLayout& layout, const CalibrationState& state);

}  // namespace morvelin
