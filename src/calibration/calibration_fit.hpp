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
// iterations. It has converged when an accepted step lowers the cost by less
// than a relative 1e-10, or when no damping finds a lower cost.
FitOutcome fit_calibration(std::span<const CalibrationView> views, const IntrinsicLayout& layout,
                           const CalibrationState& start, unsigned max_iterations);

// Σ r² of each view at `state`.
Vec<double> view_costs(std::span<const CalibrationView> views, const CalibrationState& state);

enum class Determination {
  kDetermined,
  kCameraMatrixUndetermined,  // some combination involving fx, fy, cx or cy
  kDistortionUndetermined,    // some combination of distortion coefficients only
};

struct IntrinsicCovariance {
  Determination determination = Determination::kDetermined;
  IntrinsicMatrix covariance;  // when determined
};

// (JᵀJ)⁻¹ restricted to the free intrinsics at `state`: the inverse of the
// Schur complement of the pose blocks, when that is positive definite to
// working precision; otherwise which parameters the views leave open.
IntrinsicCovariance intrinsic_covariance(std::span<const CalibrationView> views, const IntrinsicLayout& layout,
                                         const CalibrationState& state);

}  // namespace morvelin
