#include "detector/detector_parameters.hpp"

#include <cmath>

#include "detector/candidate_search.hpp"

namespace morvelin {

const char* check_corner_refinement_method(std::int32_t v) {
  return v >= 0 && v <= 3 ? nullptr : "corner_refinement_method must be 0, 1, 2, or 3";
}
const char* check_corner_refinement_win_size(std::int32_t v) {
  return v >= 1 ? nullptr : "corner_refinement_win_size must be positive";
}
const char* check_relative_corner_refinement_win_size(double v) {
  return std::isfinite(v) && v > 0.0 ? nullptr : "relative_corner_refinement_win_size must be positive and finite";
}
const char* check_corner_refinement_max_iterations(std::int32_t v) {
  return v >= 1 ? nullptr : "corner_refinement_max_iterations must be positive";
}
const char* check_corner_refinement_min_accuracy(double v) {
  return std::isfinite(v) && v >= 0.0 ? nullptr : "corner_refinement_min_accuracy must be nonnegative and finite";
}
const char* check_april_tag_quad_decimate(double v) {
  return std::isfinite(v) && v >= 0.0 ? nullptr : "april_tag_quad_decimate must be nonnegative and finite";
}
const char* check_april_tag_quad_sigma(double v) {
  return std::isfinite(v) ? nullptr : "april_tag_quad_sigma must be finite";
}
const char* check_april_tag_min_cluster_pixels(std::int32_t v) {
  return v >= 1 ? nullptr : "april_tag_min_cluster_pixels must be positive";
}
const char* check_april_tag_max_nmaxima(std::int32_t v) {
  return v >= 4 ? nullptr : "april_tag_max_nmaxima must be at least four";
}
const char* check_april_tag_critical_rad(double v) {
  return std::isfinite(v) && v > 0.0 && v < std::numbers::pi / 2.0 ? nullptr
                                                                    : "april_tag_critical_rad must be between 0 and pi/2";
}
const char* check_april_tag_max_line_fit_mse(double v) {
  return std::isfinite(v) && v > 0.0 ? nullptr : "april_tag_max_line_fit_mse must be positive and finite";
}
const char* check_april_tag_min_white_black_diff(std::int32_t v) {
  return v >= 0 && v <= 255 ? nullptr : "april_tag_min_white_black_diff must be in 0..=255";
}

const char* check_marker_border_bits(std::int32_t v) {
  return v >= 1 && v <= 8 ? nullptr : "marker_border_bits must be in 1..=8";
}

std::optional<Error> validate_detector_parameters(const DetectorParameters& p) {
  const char* const field_errors[] = {
      check_corner_refinement_method(p.corner_refinement_method),
      check_corner_refinement_win_size(p.corner_refinement_win_size),
      check_relative_corner_refinement_win_size(p.relative_corner_refinement_win_size),
      check_corner_refinement_max_iterations(p.corner_refinement_max_iterations),
      check_corner_refinement_min_accuracy(p.corner_refinement_min_accuracy),
      check_april_tag_quad_decimate(p.april_tag_quad_decimate),
      check_april_tag_quad_sigma(p.april_tag_quad_sigma),
      check_april_tag_min_cluster_pixels(p.april_tag_min_cluster_pixels),
      check_april_tag_max_nmaxima(p.april_tag_max_nmaxima),
      check_april_tag_critical_rad(p.april_tag_critical_rad),
      check_april_tag_max_line_fit_mse(p.april_tag_max_line_fit_mse),
      check_april_tag_min_white_black_diff(p.april_tag_min_white_black_diff),
      check_marker_border_bits(p.border_cells),
  };
  for (const char* message : field_errors) {
    if (message) return value_error(message);
  }
  if (p.corner_refinement_method != kCornerRefineAprilTag) {
    if (const auto scales = searchable_scale_count(p); !scales) return scales.error();
  }
  return std::nullopt;
}

}  // namespace morvelin
