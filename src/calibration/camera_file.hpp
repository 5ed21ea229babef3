// The text of a camera file: the intrinsics of a calibration as a JSON
// object or as OpenCV-style YAML (`!!opencv-matrix` nodes), the two forms
// the command line's `--camera` option reads. Numbers are written in the
// shortest form that reads back to the same double; an infinite standard
// deviation as null (JSON) or .Inf (YAML).
#pragma once

#include <cstdint>
#include <string>

#include "calibration/calibrate_camera.hpp"

namespace morvelin {

struct CameraFile {
  const CalibrationResult& calibration;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// {"image_size": [w, h], "camera_matrix": [[...], [...], [...]],
//  "dist_coeffs": [...], "rms": r, "std_deviations": [...]}
std::string camera_file_json(const CameraFile& file);

// %YAML:1.0 with image_width, image_height, camera_matrix,
// distortion_coefficients (left out when there are none), rms and
// std_deviations.
std::string camera_file_yaml(const CameraFile& file);

}  // namespace morvelin
