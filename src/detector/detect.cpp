#include "detector/detect.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "apriltag/quad_detector.hpp"
#include "apriltag/refit.hpp"
#include "detector/candidate_search.hpp"
#include "detector/identification.hpp"
#include "detector/stage_settings.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

// Windows searched in one parallel loop. Bounded so that the item list and the
// per-item results stay small whatever the number of frames and windows.
constexpr std::size_t kWorkChunk = 256;

// Runs the contour search for every (frame, scale) pair, frame-major; each
// frame's list is the concatenation of its windows' lists in window order.
Vec<CandidateList> search_all_scales(std::span<const GrayView> images, const DetectorParameters& params,
                                     std::uint64_t scales) {
  Vec<CandidateList> per_frame(images.size());
  // Window searches are numbered frame-major: search i is scale i % scales
  // of frame i / scales.
  const std::size_t searches = images.size() * scales;
  Vec<WindowSearch> chunk;
  chunk.reserve(kWorkChunk);
  for (std::size_t first = 0; first < searches; first += chunk.size()) {
    chunk.clear();
    for (std::size_t i = first; i < searches && chunk.size() < kWorkChunk; ++i) {
      chunk.push_back({images[i / scales], i % scales});
    }
    Vec<CandidateList> found = find_candidates_in_windows(chunk, params);
    for (std::size_t i = 0; i < chunk.size(); ++i) {
      CandidateList& target = per_frame[(first + i) / scales];
      if (target.empty()) {
        target = std::move(found[i]);
      } else {
        target.insert(target.end(), found[i].begin(), found[i].end());
      }
    }
  }
  return per_frame;
}

// Contour path: all frames x windows, then identification per frame.
Result<Vec<MarkerList>> detect_with_contours(std::span<const GrayView> images, const Dictionary& dictionary,
                                             const DetectorParameters& params) {
  const auto scales = searchable_scale_count(params);
  if (!scales) return scales.error();
  const Vec<CandidateList> candidates = search_all_scales(images, params, scales.value());
  Vec<MarkerList> markers(images.size());
  parallel_for(images.size(), [&](std::size_t f) {
    markers[f] = identify_markers(images[f], dictionary, candidates[f], params);
  });
  return markers;
}

// AprilTag path: quad search and identification, one task per frame. When
// several frames fail, the first frame's error is reported.
Result<Vec<MarkerList>> detect_with_apriltag_quads(std::span<const GrayView> images, const Dictionary& dictionary,
                                                   const DetectorParameters& params) {
  Vec<MarkerList> markers(images.size());
  Vec<std::optional<Error>> errors(images.size());
  const AprilTagSearchSettings search = apriltag_search_settings(params);
  parallel_for(images.size(), [&](std::size_t f) {
    auto candidates = find_apriltag_candidates(images[f], search);
    if (!candidates) {
      errors[f] = candidates.error();
      return;
    }
    markers[f] = identify_markers(images[f], dictionary, candidates.value(), params);
  });
  for (auto& error : errors) {
    if (error) return std::move(*error);
  }
  return markers;
}

bool needs_full_resolution_refit(const DetectorParameters& params) {
  return params.april_tag_refine_full_resolution &&
         (params.corner_refinement_method != kCornerRefineAprilTag || params.april_tag_quad_decimate > 1.0);
}

// Refits every marker of every frame against its own frame, in parallel over
// frames and, within a frame, over markers; order and ids do not change.
void refit_all(std::span<const GrayView> images, const Dictionary& dictionary, const DetectorParameters& params,
               Vec<MarkerList>& markers) {
  const RefitSettings settings = refit_settings(params, dictionary.marker_size);
  parallel_for(images.size(), [&](std::size_t f) {
    parallel_for(markers[f].size(), [&](std::size_t i) {
      refit_marker_full_resolution(images[f], settings, markers[f][i].corners);
    });
  });
}

}  // namespace

Result<CandidateList> find_contour_candidates(GrayView image, const DetectorParameters& params) {
  const auto scales = searchable_scale_count(params);
  if (!scales) return scales.error();
  auto lists = search_all_scales(std::span<const GrayView>(&image, 1), params, scales.value());
  return std::move(lists[0]);
}

Result<MarkerList> detect_markers(GrayView image, const Dictionary& dictionary,
                                  const DetectorParameters& params) {
  auto frames = detect_markers_batch(std::span<const GrayView>(&image, 1), dictionary, params);
  if (!frames) return frames.error();
  return std::move(frames.value()[0]);
}

Result<Vec<MarkerList>> detect_markers_batch(std::span<const GrayView> images, const Dictionary& dictionary,
                                             const DetectorParameters& params) {
  if (auto error = validate_detector_parameters(params)) return std::move(*error);
  try {
    auto markers = params.corner_refinement_method == kCornerRefineAprilTag
                       ? detect_with_apriltag_quads(images, dictionary, params)
                       : detect_with_contours(images, dictionary, params);
    if (markers && needs_full_resolution_refit(params)) refit_all(images, dictionary, params, markers.value());
    return markers;
  } catch (const std::bad_alloc&) {
    return Error{ErrorKind::kMemory, "out of memory"};
  }
}

}  // namespace morvelin
