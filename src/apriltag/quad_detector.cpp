#include "apriltag/quad_detector.hpp"

#include <optional>

#include "apriltag/edge_refine.hpp"
#include "apriltag/preprocess.hpp"
#include "apriltag/quad_fit.hpp"
#include "apriltag/quad_threshold.hpp"
#include "apriltag/segmentation.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {

Result<CandidateList> find_apriltag_candidates(GrayView image, const AprilTagSearchSettings& settings) {
  if (image.empty()) return CandidateList{};
  const ImageSize input{image.width, image.height};
  const ImageSize size = decimated_size(input, settings.decimate);
  if (auto error = check_segmentable(size.width, size.height)) return *error;

  // The working image is the input itself unless it is decimated or blurred.
  GrayImage own;
  GrayView working = image;
  if (size != input) {
    own = resize_triangle(image, size);
    working = own;
  }
  if (settings.blur_sigma != 0.0) {
    own = gaussian_blur(working, quad_blur_sigma(settings.blur_sigma));
    working = own;
  }

  TernaryImage ternary = threshold_tiles(working, settings.min_white_black_diff);
  if (settings.deglitch) deglitch(ternary);
  auto segmentation = segment(ternary);
  if (!segmentation) return segmentation.error();
  const BoundaryClusters clusters = cluster_boundary(*segmentation, settings.min_cluster_pixels);

  const Vec<std::optional<Quad>> quads = fit_quads(clusters, working, settings.fit);

  CandidateList candidates;
  for (const auto& quad : quads) {
    if (!quad) continue;
    MarkerCandidate candidate{*quad};
    if (size != input) {
      for (Point2f& corner : candidate.corners) corner = working_to_input(corner, input, size);
    }
    candidates.push_back(candidate);
  }
  // The fitted sides follow the working image's pixel grid; each is moved
  // onto its edge in the input image.
  const double radius = edge_search_radius(static_cast<double>(input.width) / size.width);
  parallel_for(candidates.size(), [&](std::size_t i) {
    candidates[i].corners = refine_quad_edges(image, candidates[i].corners, radius);
  });
  return candidates;
}

}  // namespace morvelin
