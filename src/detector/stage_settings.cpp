#include "detector/stage_settings.hpp"

#include <algorithm>

namespace morvelin {

std::uint32_t marker_cells(const DetectorParameters& params, std::uint32_t marker_size) {
  return static_cast<std::uint32_t>(marker_size + 2 * std::max(params.border_cells, 0));
}

SubpixCornerSettings subpix_corner_settings(const DetectorParameters& params, std::uint32_t marker_size) {
  return {marker_cells(params, marker_size), params.relative_corner_refinement_win_size,
          params.corner_refinement_win_size, params.corner_refinement_max_iterations,
          params.corner_refinement_min_accuracy};
}

QuadFitSettings quad_fit_settings(const DetectorParameters& params) {
  return {params.april_tag_max_nmaxima, params.april_tag_critical_rad, params.april_tag_max_line_fit_mse};
}

AprilTagSearchSettings apriltag_search_settings(const DetectorParameters& params) {
  return {params.april_tag_quad_decimate, params.april_tag_quad_sigma, params.april_tag_min_white_black_diff,
          params.april_tag_deglitch,      params.april_tag_min_cluster_pixels, quad_fit_settings(params)};
}

RefitSettings refit_settings(const DetectorParameters& params, std::uint32_t marker_size) {
  return {marker_size, params.border_cells, params.april_tag_min_white_black_diff, params.april_tag_deglitch,
          params.april_tag_min_cluster_pixels, quad_fit_settings(params)};
}

}  // namespace morvelin
