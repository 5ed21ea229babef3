// DetectorParameters: the tuning record of marker detection. Detection always
// works on its own copy. Each field states its default and accepted range.
#pragma once

#include <cstdint>
#include <numbers>
#include <optional>

#include "runtime/status.hpp"

namespace morvelin {

constexpr std::int32_t kCornerRefineNone = 0;
constexpr std::int32_t kCornerRefineSubpix = 1;
constexpr std::int32_t kCornerRefineContour = 2;
constexpr std::int32_t kCornerRefineAprilTag = 3;

struct DetectorParameters {
  // Adaptive threshold windows: min + k * step for k = 0 .. (max - min) / step.
  std::int32_t adaptive_thresh_win_size_min = 3;   // any int32
  std::int32_t adaptive_thresh_win_size_max = 23;  // any int32
  std::int32_t adaptive_thresh_win_size_step = 10;  // any int32; 0 is refused by the contour path
  double adaptive_thresh_constant = 7.0;           // grey levels below the local mean; any value
  double polygonal_approx_accuracy_rate = 0.03;    // polygon tolerance per contour position; any value
  double error_correction_rate = 0.6;              // fraction of the dictionary's correction bits; any value
  bool detect_inverted_marker = false;             // also decode white-bordered markers
  std::int32_t min_side_length_canonical_img = 32;  // pixels; 0 selects the perimeter-rate rule
  std::int32_t corner_refinement_method = kCornerRefineNone;  // 0..3
  std::int32_t corner_refinement_win_size = 5;                // pixels, >= 1
  double relative_corner_refinement_win_size = 0.3;           // of a cell, finite and > 0
  std::int32_t corner_refinement_max_iterations = 30;         // >= 1
  double corner_refinement_min_accuracy = 0.1;                // pixels, finite and >= 0
  double april_tag_quad_decimate = 0.0;                       // finite and >= 0; > 1 decimates
  bool april_tag_refine_full_resolution = false;              // refit decoded markers at full resolution
  double april_tag_quad_sigma = 0.0;                          // blur sigma in pixels, finite, sign ignored
  std::int32_t april_tag_min_cluster_pixels = 5;              // >= 1 (at least 24 in effect)
  std::int32_t april_tag_max_nmaxima = 10;                    // >= 4
  double april_tag_critical_rad = std::numbers::pi / 18.0;    // radians, 0 < v < pi/2
  double april_tag_max_line_fit_mse = 10.0;                   // pixels^2, finite and > 0
  std::int32_t april_tag_min_white_black_diff = 5;            // grey levels, 0..255
  bool april_tag_deglitch = false;                            // 3x3 close of the ternary image

  // Fixed fields: not visible from Python, always at these values, except
  // border_cells, which Python sets as marker_border_bits.
  double min_perimeter_rate = 0.03;      // contour length, fraction of the larger image side
  double max_perimeter_rate = 4.0;       // contour length, fraction of the larger image side
  double min_side_rate = 0.05;           // side length relative to contour length
  double duplicate_distance_rate = 0.125;  // corner distance relative to perimeter
  double cell_margin_rate = 0.13;        // fraction of a cell ignored at each side
  double border_error_rate = 0.35;       // wrong border cells per data cell
  double uniform_std_dev_limit = 5.0;    // grey-level standard deviation of a uniform candidate
  std::int32_t border_margin_px = 3;     // minimum corner distance from the image edge
  std::int32_t border_cells = 1;         // width of the black marker border in cells, 1..8
  std::int32_t cell_pixels = 4;          // pixels per cell in the canonical image
  float cell_white_threshold = 0.5f;     // white fraction above which a cell reads white

  bool operator==(const DetectorParameters&) const = default;
};

// Range checks of the settable fields: the message of a rejected value, or
// nullptr when the value is accepted.
const char* check_corner_refinement_method(std::int32_t v);
const char* check_corner_refinement_win_size(std::int32_t v);
const char* check_relative_corner_refinement_win_size(double v);
const char* check_corner_refinement_max_iterations(std::int32_t v);
const char* check_corner_refinement_min_accuracy(double v);
const char* check_april_tag_quad_decimate(double v);
const char* check_april_tag_quad_sigma(double v);
const char* check_april_tag_min_cluster_pixels(std::int32_t v);
const char* check_april_tag_max_nmaxima(std::int32_t v);
const char* check_april_tag_critical_rad(double v);
const char* check_april_tag_max_line_fit_mse(double v);
const char* check_april_tag_min_white_black_diff(std::int32_t v);
const char* check_marker_border_bits(std::int32_t v);  // checks border_cells

// The first reason detection refuses `params`, with the message the setters
// and the detectors give: a settable field outside its range (in property
// order), or, for the contour search (methods 0-2), threshold windows it
// cannot run. Nothing when detection accepts the record.
std::optional<Error> validate_detector_parameters(const DetectorParameters& params);

}  // namespace morvelin
