// Square-marker candidates for one adaptive-threshold window ("scale"):
// threshold, trace every border, approximate each border of plausible length
// by a polygon and keep the convex quadrilaterals with long enough sides.
#pragma once

#include <cstdint>
#include <span>

#include "detector/detector_parameters.hpp"
#include "geometry/quad.hpp"
#include "image/gray_image.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// Number of threshold windows: (max - min) div step + 1 (truncating
// division), 0 when the quotient is negative. Computed in 64 bits, so extreme
// settings cannot overflow. A step of 0 is an error.
Result<std::uint64_t> threshold_scale_count(const DetectorParameters& params);

// The scale count of a detection: as threshold_scale_count, and an error for
// more than 1024 windows. Each window is a full pass over the image whose
// candidates all join one quadratic grouping, so the millions of windows that
// extreme settings ask for could never finish; they are refused instead of
// hanging the caller. No useful setting comes near.
Result<std::uint64_t> searchable_scale_count(const DetectorParameters& params);

// Window size of scale k: min + k * step, for k below the scale count.
std::int64_t threshold_window_size(const DetectorParameters& params, std::uint64_t scale_index);

// Accepted border lengths, in contour positions, for an image of W x H.
struct ContourLengthLimits {
  std::uint64_t min = 0;
  std::uint64_t max = 0;
};
ContourLengthLimits contour_length_limits(const DetectorParameters& params, std::uint32_t width,
                                          std::uint32_t height);

// True when the shortest side (at most the larger image side D) is at least
// min_side_rate * contour_length.
bool has_long_enough_sides(const Quad& quad, double image_side, std::uint64_t contour_length, double min_side_rate);

// Candidates of one window size, in the order their borders were traced.
CandidateList find_candidates_in_window(GrayView image, const DetectorParameters& params,
                                        std::int64_t window_size);

// One window of one image: the window size of scale k
// (threshold_window_size).
struct WindowSearch {
  GrayView image;
  std::uint64_t scale = 0;
};

// find_candidates_for_scale of every search, on the pool. The windows start
// from the last search to the first (callers put the slowest last), and the
// borders of the last windows traced are fitted by whichever threads are free.
Vec<CandidateList> find_candidates_in_windows(std::span<const WindowSearch> searches,
                                              const DetectorParameters& params);

// Candidates of scale k (window size from threshold_window_size).
CandidateList find_candidates_for_scale(GrayView image, const DetectorParameters& params,
                                        std::uint64_t scale_index);

}  // namespace morvelin
