// The settings of each detection stage, taken from the detector record once
// per call by the driver: a stage's signature shows what it uses.
#pragma once

#include <cstdint>

#include "apriltag/quad_detector.hpp"
#include "apriltag/quad_fit.hpp"
#include "apriltag/refit.hpp"
#include "detector/detector_parameters.hpp"
#include "marker_corners/marker_corners.hpp"

namespace morvelin {

// Cells across a marker: data cells plus the black border on both sides.
std::uint32_t marker_cells(const DetectorParameters& params, std::uint32_t marker_size);

SubpixCornerSettings subpix_corner_settings(const DetectorParameters& params, std::uint32_t marker_size);
QuadFitSettings quad_fit_settings(const DetectorParameters& params);
AprilTagSearchSettings apriltag_search_settings(const DetectorParameters& params);
// The refit runs at full resolution whatever the search's decimation.
RefitSettings refit_settings(const DetectorParameters& params, std::uint32_t marker_size);

}  // namespace morvelin
