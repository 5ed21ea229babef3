// Camera calibration from views of a known target. Planar targets start
// from focal lengths read off the views' homographies (principal point at
// the image centre); non-planar targets start from the caller's camera
// matrix. Each view then gets a pose by PnP, and Levenberg–Marquardt
// minimises the pixel reprojection error over the intrinsics, the free
// distortion terms and every view's pose together. A view's six pose
// parameters couple only with the intrinsics, so each step solves the small
// Schur complement of the intrinsics instead of the whole normal matrix.
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

inline constexpr std::size_t kMinCalibrationViewPoints = 4;  // a homography or a pose needs 4 points

struct CalibrationSettings {
  // Free distortion coefficients, a prefix of k1, k2, p1, p2, k3, k4, k5,
  // k6, s1, s2, s3, s4: 0, 4, 5, 8 or 12. The others stay 0.
  int distortion_terms = 5;
  bool fix_principal_point = false;  // cx, cy stay at their start value
  bool fix_aspect_ratio = false;     // fx/fy stays at its start value (1 without a camera matrix)
  bool zero_tangent_dist = false;    // p1 = p2 = 0 throughout
  // Rounds of rejecting points whose residual exceeds kOutlierSigmas robust
  // standard deviations (at least kOutlierFloor pixels), refitting after
  // each round until the set of rejected points stops changing.
  bool reject_outliers = false;
  unsigned max_iterations = 100;     // Levenberg–Marquardt iterations per fit, > 0
};

inline constexpr double kOutlierSigmas = 4.0;
inline constexpr double kOutlierFloor = 0.1;  // pixels
inline constexpr int kMaxOutlierRounds = 10;

// One view: matched object points (target frame) and image points (pixels).
struct CalibrationView {
  std::span<const Point3> object_points;
  std::span<const Point2> image_points;
};

struct CalibrationResult {
  CameraModel camera;                 // dist beyond distortion_terms is 0
  int distortion_terms = 0;
  double rms = 0.0;                   // pixels, over the points used
  Vec<Pose> poses;                    // one per view, target frame -> camera
  Vec<double> per_view_errors;        // RMS pixels per view, over its points used
  // fx, fy, cx, cy, then the distortion_terms coefficients: the square
  // roots of the diagonal of σ²·(JᵀJ)⁻¹ restricted to the intrinsics, with
  // σ² = Σr² / (residuals − free parameters); 0 for fixed parameters,
  // infinite for coefficients the views do not determine (redundant terms
  // of the rational model, say).
  Vec<double> std_deviations;
  Vec<Vec<std::size_t>> outliers;     // per view, ascending point indices not used
  bool converged = false;             // false: the last fit stopped at max_iterations
};

// `calibrate_camera`: the argument checks, in this order, then the solve.
//   "distortion_terms must be 0, 4, 5, 8 or 12"
//   "max_iterations must be greater than zero"
//   "image_size must be two integers greater than zero (width, height)"
//   "need at least one view"
//   "object_points and image_points must hold the same number of views"
//   per view i: "view <i>: object_points and image_points must have the same length",
//               "view <i> has <n> points; every view needs at least 4",
//               "view <i>: points must be finite",
//               "view <i>: the object points lie on one line; a view needs them spread over a plane or a volume"
//   the camera-model messages of parse_camera_model, then
//   "camera_matrix must hold finite focal lengths greater than zero and a finite principal point",
//   "dist_coeffs must be finite",
//   "dist_coeffs has non-zero terms beyond the <n> distortion_terms"
//   "<m> residuals cannot determine <p> free parameters: more points or views are needed"
//   without camera_matrix: "view <i> is not planar; a non-planar target needs camera_matrix as a starting guess"
// and the failures of the solve:
//   "cannot estimate the focal lengths from these views: tilt the target in some of them"
//   "view <i>: no initial pose"
//   "the calibration did not reach finite values"
//   planar views with a free principal point:
//   "all views show the target in parallel planes, which leaves the principal point open: turn the target
//    between views (or fix_principal_point)"
//   "the views do not determine the camera matrix (degenerate views)"
Result<CalibrationResult> calibrate_camera(std::span<const CalibrationView> views, std::int64_t width,
                                           std::int64_t height, std::optional<std::span<const Vec<double>>> camera_matrix,
                                           std::optional<std::span<const double>> dist_coeffs,
                                           const CalibrationSettings& settings);

}  // namespace morvelin
