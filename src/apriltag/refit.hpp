// Full-resolution refit of decoded markers: the marker's outline is found
// again with the AprilTag quad fitter in a small crop of the full image around
// its current corners, restricted to a band around the marker's border, and
// the fitted corners replace the current ones when they agree within a
// fraction of a cell.
#pragma once

#include <cstdint>
#include <span>

#include "detector/detector_parameters.hpp"
#include "detector/marker.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

// Refits one marker in place. `refit_params` supplies the threshold,
// deglitch, cluster and quad-fit settings and border_cells (decimation and
// blur are not applied); `marker_size` is the dictionary's data cells per
// side. On any failure (non-finite or degenerate corners, empty crop, no
// outline found, rejected fit, a move beyond tolerance) the marker is left
// exactly as it was. Ids are never changed.
void refit_marker_full_resolution(const GrayImage& image, const DetectorParameters& refit_params,
                                  std::uint32_t marker_size, DetectedMarker& marker);

// Refits every marker of one frame in parallel, one task per marker; the
// order and the ids of the markers do not change.
void refit_markers_full_resolution(const GrayImage& image, const DetectorParameters& refit_params,
                                   std::uint32_t marker_size, std::span<DetectedMarker> markers);

}  // namespace morvelin
