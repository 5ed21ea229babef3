#include "calibration/camera_file.hpp"

#include <charconv>
#include <cmath>
#include <span>
#include <system_error>

namespace morvelin {

namespace {

enum class Syntax { kJson, kYaml };

// The shortest text that reads back to `value`; an infinite standard
// deviation (the only non-finite value a calibration holds) is JSON's null
// or YAML's .Inf.
std::string number(double value, Syntax syntax = Syntax::kJson) {
  if (!std::isfinite(value)) return syntax == Syntax::kJson ? "null" : (value > 0 ? ".Inf" : "-.Inf");
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

std::string number_list(std::span<const double> values, Syntax syntax = Syntax::kJson) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += number(values[i], syntax);
  }
  return out;
}

std::array<double, 9> camera_matrix_values(const CameraModel& c) {
  return {c.fx, 0.0, c.cx, 0.0, c.fy, c.cy, 0.0, 0.0, 1.0};
}

std::span<const double> coefficients(const CalibrationResult& r) {
  return std::span<const double>(r.camera.dist).first(static_cast<std::size_t>(r.distortion_terms));
}

std::string yaml_matrix(const char* name, std::size_t rows, std::size_t cols, std::span<const double> values) {
  return std::string(name) + ": !!opencv-matrix\n   rows: " + std::to_string(rows) + "\n   cols: " +
         std::to_string(cols) + "\n   dt: d\n   data: [ " + number_list(values, Syntax::kYaml) + " ]\n";
}

}  // namespace

std::string camera_file_json(const CameraFile& file) {
  const CalibrationResult& r = file.calibration;
  const auto k = camera_matrix_values(r.camera);
  std::string out = "{\n  \"image_size\": [" + std::to_string(file.width) + ", " + std::to_string(file.height) + "],\n";
  out += "  \"camera_matrix\": [[" + number_list(std::span(k).first(3)) + "], [" + number_list(std::span(k).subspan(3, 3)) +
         "], [" + number_list(std::span(k).subspan(6, 3)) + "]],\n";
  out += "  \"dist_coeffs\": [" + number_list(coefficients(r)) + "],\n";
  out += "  \"rms\": " + number(r.rms) + ",\n";
  out += "  \"std_deviations\": [" + number_list(r.std_deviations) + "]\n}\n";
  return out;
}

std::string camera_file_yaml(const CameraFile& file) {
  const CalibrationResult& r = file.calibration;
  std::string out = "%YAML:1.0\n---\n";
  out += "image_width: " + std::to_string(file.width) + "\nimage_height: " + std::to_string(file.height) + "\n";
  out += yaml_matrix("camera_matrix", 3, 3, camera_matrix_values(r.camera));
  if (r.distortion_terms > 0) {
    out += yaml_matrix("distortion_coefficients", 1, static_cast<std::size_t>(r.distortion_terms), coefficients(r));
  }
  out += "rms: " + number(r.rms, Syntax::kYaml) + "\n";
  out += yaml_matrix("std_deviations", 1, r.std_deviations.size(), r.std_deviations);
  return out;
}

}  // namespace morvelin
