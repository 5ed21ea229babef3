#include "pose/camera_model.hpp"

#include <algorithm>
#include <string>

namespace morvelin {

namespace {

bool accepted_distortion_count(std::size_t n) { return n == 0 || n == 4 || n == 5 || n == 8 || n == 12 || n == 14; }

}  // namespace

Result<CameraModel> parse_camera_model(std::span<const Vec<double>> camera_matrix,
                                       std::optional<std::span<const double>> dist_coeffs) {
  if (camera_matrix.size() != 3 || std::any_of(camera_matrix.begin(), camera_matrix.end(),
                                               [](const Vec<double>& row) { return row.size() != 3; })) {
    return value_error("camera_matrix must be 3x3");
  }
  CameraModel model;
  model.fx = camera_matrix[0][0];
  model.fy = camera_matrix[1][1];
  model.cx = camera_matrix[0][2];
  model.cy = camera_matrix[1][2];
  if (!dist_coeffs) return model;

  const std::span<const double> coeffs = *dist_coeffs;
  const std::size_t n = coeffs.size();
  // A NaN tilt compares unequal to 0 and is refused with the others.
  if (n == 14 && !(coeffs[kTauX] == 0.0 && coeffs[kTauY] == 0.0)) {
    return value_error("tilted-sensor distortion (taux/tauy) is not supported");
  }
  if (!accepted_distortion_count(n)) {
    return value_error("distortion must have 0, 4, 5, 8, 12 or 14 coefficients, got " + std::to_string(n));
  }
  std::copy(coeffs.begin(), coeffs.end(), model.dist.begin());
  return model;
}

}  // namespace morvelin
