// The AprilTag quad candidate search: working image (decimation, blur),
// ternary threshold, segmentation into boundary clusters, and one quad fit per
// cluster in parallel. Candidates leave in cluster-key order, in full-image
// pixel coordinates with pixel centres at integer coordinates.
#pragma once

#include "detector/detector_parameters.hpp"
#include "detector/marker.hpp"
#include "image/gray_image.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// Every convex quad outline (dark inside, light outside) of `image` under the
// AprilTag settings of `params`. Fails with a ValueError only when the
// working image is too large to label (see check_segmentable).
Result<CandidateList> find_apriltag_candidates(const GrayImage& image, const DetectorParameters& params);

}  // namespace morvelin
