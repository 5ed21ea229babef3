// The detection driver: candidate search over all threshold windows (or the
// AprilTag quad search), identification, refinement and the optional
// full-resolution refit, for one frame or a batch of frames.
#pragma once

#include <span>

#include "detector/detector_parameters.hpp"
#include "detector/marker.hpp"
#include "dictionary/dictionary.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// Markers of one frame, in order of decreasing perimeter. Fails only with a
// value error on the contour path (an adaptive_thresh_win_size_step of zero,
// or window settings that give more than 1024 windows) and with an
// out-of-memory error.
Result<MarkerList> detect_markers(GrayView image, const Dictionary& dictionary,
                                  const DetectorParameters& params);

// Markers of every frame, in input order; each entry equals detect_markers
// of that frame. Frames and threshold windows share one level of parallelism.
Result<Vec<MarkerList>> detect_markers_batch(std::span<const GrayView> images, const Dictionary& dictionary,
                                             const DetectorParameters& params);

// Contour candidates of one frame: every threshold window searched in
// parallel, the lists concatenated in window order.
Result<CandidateList> find_contour_candidates(GrayView image, const DetectorParameters& params);

}  // namespace morvelin
