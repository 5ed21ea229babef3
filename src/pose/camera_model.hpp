// Pinhole camera with lens distortion, and the parser that every pose entry
// point uses to turn a camera matrix and distortion coefficients into it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// Positions of the distortion coefficients in CameraModel::dist.
enum DistortionTerm : std::size_t {
  kK1 = 0,
  kK2 = 1,
  kP1 = 2,
  kP2 = 3,
  kK3 = 4,
  kK4 = 5,
  kK5 = 6,
  kK6 = 7,
  kS1 = 8,
  kS2 = 9,
  kS3 = 10,
  kS4 = 11,
  kTauX = 12,
  kTauY = 13,
};

inline constexpr std::size_t kDistortionTerms = 14;

// k1..k6 form a rational radial factor, p1 and p2 are tangential, s1..s4
// thin-prism terms. taux and tauy are always 0 in a parsed model.
struct CameraModel {
  double fx = 0.0;  // focal length along x, pixels: camera matrix (0,0)
  double fy = 0.0;  // focal length along y, pixels: camera matrix (1,1)
  double cx = 0.0;  // principal point x: camera matrix (0,2)
  double cy = 0.0;  // principal point y: camera matrix (1,2)
  std::array<double, kDistortionTerms> dist{};

  bool has_distortion() const noexcept {
    for (double d : dist) {
      if (d != 0.0) return true;
    }
    return false;
  }
};

// `camera_matrix` is the matrix as given, row by row (rows may be ragged);
// only fx, fy, cx, cy are read, the skew and the last row are ignored.
// `dist_coeffs` absent means no distortion. Errors, checked in this order:
//   "camera_matrix must be 3x3"
//   "tilted-sensor distortion (taux/tauy) is not supported"   (14 values, taux or tauy not 0)
//   "distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got <n>"
Result<CameraModel> parse_camera_model(std::span<const Vec<double>> camera_matrix,
                                       std::optional<std::span<const double>> dist_coeffs);

}  // namespace morvelin
