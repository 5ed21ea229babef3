#include "detector/detect.hpp"

#include <algorithm>
#include <utility>

#include "detector/candidate_search.hpp"
#include "detector/identification.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

// Work items of one parallel loop. Bounded so that the item list and the
// per-item results stay small whatever the number of frames and windows.
constexpr std::size_t kWorkChunk = 256;

struct ScaleItem {
  std::size_t frame;
  std::uint64_t scale;
};

// Runs the contour search for every (frame, scale) pair, frame-major, on one
// flat level of parallelism; each frame's list is the concatenation of its
// windows' lists in window order.
Vec<CandidateList> search_all_scales(std::span<const GrayImage> images, const DetectorParameters& params,
                                     std::uint64_t scales) {
  Vec<CandidateList> per_frame(images.size());
  if (images.empty() || scales == 0) return per_frame;
  Vec<ScaleItem> chunk;
  chunk.reserve(kWorkChunk);
  Vec<CandidateList> found(kWorkChunk);
  ScaleItem next{0, 0};
  while (next.frame < images.size()) {
    chunk.clear();
    while (chunk.size() < kWorkChunk && next.frame < images.size()) {
      chunk.push_back(next);
      if (++next.scale == scales) next = {next.frame + 1, 0};
    }
    parallel_for(chunk.size(), [&](std::size_t i) {
      found[i] = find_candidates_for_scale(images[chunk[i].frame], params, chunk[i].scale);
    });
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      CandidateList& target = per_frame[chunk[i].frame];
      if (target.empty()) {
        target = std::move(found[i]);
      } else {
        target.insert(target.end(), found[i].begin(), found[i].end());
      }
      found[i] = CandidateList();
    }
  }
  return per_frame;
}

}  // namespace

Result<CandidateList> find_contour_candidates(const GrayImage& image, const DetectorParameters& params) {
  const auto scales = threshold_scale_count(params);
  if (!scales) return scales.error();
  auto lists = search_all_scales(std::span<const GrayImage>(&image, 1), params, scales.value());
  return std::move(lists[0]);
}

Result<MarkerList> detect_markers(const GrayImage& image, const Dictionary& dictionary,
                                  const DetectorParameters& params) {
  auto frames = detect_markers_batch(std::span<const GrayImage>(&image, 1), dictionary, params);
  if (!frames) return frames.error();
  return std::move(frames.value()[0]);
}

Result<Vec<MarkerList>> detect_markers_batch(std::span<const GrayImage> images, const Dictionary& dictionary,
                                             const DetectorParameters& params) {
  const auto scales = threshold_scale_count(params);
  if (!scales) return scales.error();
  const Vec<CandidateList> candidates = search_all_scales(images, params, scales.value());
  Vec<MarkerList> markers(images.size());
  parallel_for(images.size(), [&](std::size_t f) {
    markers[f] = identify_markers(images[f], dictionary, candidates[f], params);
  });
  return markers;
}

}  // namespace morvelin
