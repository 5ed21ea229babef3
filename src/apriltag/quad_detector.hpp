// The AprilTag quad candidate search: working image (decimation, blur),
// ternary threshold, segmentation into boundary clusters, and one quad fit per
// cluster in parallel. Candidates leave in cluster-key order, in full-image
// pixel coordinates with pixel centres at integer coordinates.
#pragma once

#include <cstdint>

#include "apriltag/quad_fit.hpp"
#include "geometry/quad.hpp"
#include "image/gray_image.hpp"
#include "runtime/status.hpp"

namespace morvelin {

struct AprilTagSearchSettings {
  double decimate = 0.0;                   // > 1 shrinks the working image by this factor
  double blur_sigma = 0.0;                 // Gaussian blur of the working image, pixels; 0 = none, sign ignored
  std::int32_t min_white_black_diff = 5;   // least tile contrast that is thresholded, grey levels
  bool deglitch = false;                   // 3x3 close of the ternary image
  std::int32_t min_cluster_pixels = 5;     // fewest boundary points of a kept cluster (never below 24)
  QuadFitSettings fit;
};

// Every convex quad outline (dark inside, light outside) of `image`. Fails
// with a ValueError only when the working image is too large to label (see
// check_segmentable).
Result<CandidateList> find_apriltag_candidates(GrayView image, const AprilTagSearchSettings& settings);

}  // namespace morvelin
