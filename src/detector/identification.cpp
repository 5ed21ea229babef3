#include "detector/identification.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

#include "detector/square_sampling.hpp"
#include "detector/stage_settings.hpp"
#include "marker_corners/marker_corners.hpp"
#include "imgproc/otsu_threshold.hpp"
#include "imgproc/homography.hpp"
#include "numeric/conversions.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

// Swaps corners 1 and 3 of a counter-clockwise quadrilateral.
Quad clockwise(Quad q) {
  const float x1 = q[1].x - q[0].x;
  const float y1 = q[1].y - q[0].y;
  const float x2 = q[2].x - q[0].x;
  const float y2 = q[2].y - q[0].y;
  if (x1 * y2 - y1 * x2 < 0.0f) std::swap(q[1], q[3]);
  return q;
}

float perimeter(const Quad& q) {
  return distance(q[0], q[1]) + distance(q[1], q[2]) + distance(q[2], q[3]) + distance(q[3], q[0]);
}

// Smallest mean squared corner distance over the four cyclic shifts.
float corner_distance_sq(const Quad& a, const Quad& b) {
  float best = std::numeric_limits<float>::max();
  for (int s = 0; s < 4; ++s) {
    float sum = 0.0f;
    for (int k = 0; k < 4; ++k) sum += squared_distance(a[k], b[(k + s) % 4]);
    const float mean = sum / 4.0f;
    if (mean < best) best = mean;
  }
  return best;
}

Point2f centroid(const Quad& q) {
  return {(q[0].x + q[1].x + q[2].x + q[3].x) / 4.0f, (q[0].y + q[1].y + q[2].y + q[3].y) / 4.0f};
}

struct SortedCandidates {
  Vec<Quad> quads;  // clockwise, longest perimeter first
  Vec<float> perimeters;
};

SortedCandidates orient_and_sort(std::span<const MarkerCandidate> candidates) {
  const std::size_t n = candidates.size();
  Vec<Quad> oriented(n);
  Vec<float> lengths(n);
  for (std::size_t i = 0; i < n; ++i) {
    oriented[i] = clockwise(candidates[i].corners);
    lengths[i] = perimeter(oriented[i]);
  }
  Vec<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });
  SortedCandidates sorted;
  sorted.quads.reserve(n);
  sorted.perimeters.reserve(n);
  for (std::size_t i : order) {
    sorted.quads.push_back(oriented[i]);
    sorted.perimeters.push_back(lengths[i]);
  }
  return sorted;
}

// Groups of near-duplicate candidates in the order they were opened; each
// group's members ascending. Groups are never merged.
Vec<Vec<std::uint32_t>> group_near_duplicates(const SortedCandidates& sorted, float rate) {
  const std::size_t n = sorted.quads.size();
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  Vec<std::uint32_t> group_of(n, kNone);
  Vec<Vec<std::uint32_t>> groups;
  Vec<Point2f> centres(n);
  for (std::size_t i = 0; i < n; ++i) centres[i] = centroid(sorted.quads[i]);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const float limit = sorted.perimeters[j] * rate;
      // The mean squared corner distance of any shift is at least the squared
      // distance of the centroids; far pairs are rejected on that alone (with
      // a margin well above rounding).
      if (squared_distance(centres[i], centres[j]) > limit * limit * 1.01f + 1e-3f) continue;
      if (!(std::sqrt(corner_distance_sq(sorted.quads[i], sorted.quads[j])) < limit)) continue;
      const std::uint32_t gi = group_of[i];
      const std::uint32_t gj = group_of[j];
      if (gi == kNone && gj == kNone) {
        group_of[i] = group_of[j] = static_cast<std::uint32_t>(groups.size());
        groups.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
      } else if (gi == kNone) {
        group_of[i] = gj;
        groups[gj].push_back(static_cast<std::uint32_t>(i));
      } else if (gj == kNone) {
        group_of[j] = gi;
        groups[gi].push_back(static_cast<std::uint32_t>(j));
      }
    }
    if (group_of[i] == kNone) {
      group_of[i] = static_cast<std::uint32_t>(groups.size());
      groups.push_back({static_cast<std::uint32_t>(i)});
    }
  }
  for (auto& group : groups) std::sort(group.begin(), group.end());
  return groups;
}

// Reads markers of one dictionary from clockwise quadrilaterals. Sizes and
// the allowed error count are fixed per call; the buffers are reused.
class MarkerDecoder {
 public:
  MarkerDecoder(GrayView image, const Dictionary& dictionary, const DetectorParameters& params)
      : image_(image), dictionary_(dictionary), params_(params) {
    n_ = dictionary.marker_size;
    border_ = static_cast<std::uint32_t>(std::max(params.border_cells, 0));
    cells_ = n_ + 2 * border_;
    cell_px_ = static_cast<std::uint32_t>(std::max(params.cell_pixels, 1));
    side_ = cells_ * cell_px_;
    margin_ = saturating_cast<std::uint32_t>(static_cast<double>(cell_px_) * params.cell_margin_rate);
    allowed_errors_ = saturating_cast<std::int32_t>(params.error_correction_rate *
                                                    static_cast<double>(dictionary.max_correction_bits));
    canonical_.resize(static_cast<std::size_t>(side_) * side_);
    cell_values_.resize(static_cast<std::size_t>(cells_) * cells_);
    white_.resize(dictionary.block_size());
    decided_.resize(dictionary.block_size());
  }

  std::optional<DetectedMarker> decode(const Quad& corners) {
    if (!inside_margin(corners)) return std::nullopt;
    if (!sample_canonical(corners)) return std::nullopt;
    read_cells();
    if (!check_border()) return std::nullopt;
    pack_bits();
    const auto match = match_code(dictionary_, white_, decided_, allowed_errors_);
    if (!match) return std::nullopt;
    DetectedMarker marker;
    marker.id = match->id;
    for (int i = 0; i < 4; ++i) marker.corners[i] = corners[(i + 4 - match->rotation) % 4];
    return marker;
  }

 private:
  bool inside_margin(const Quad& corners) const {
    const auto low = static_cast<float>(params_.border_margin_px);
    const auto max_x = static_cast<float>(static_cast<std::int64_t>(image_.width) - 1 - params_.border_margin_px);
    const auto max_y = static_cast<float>(static_cast<std::int64_t>(image_.height) - 1 - params_.border_margin_px);
    return std::all_of(corners.begin(), corners.end(), [&](Point2f p) {
      return low <= p.x && p.x <= max_x && low <= p.y && p.y <= max_y;
    });
  }

  // Nearest-neighbour rectification of the quadrilateral into side_ x side_.
  bool sample_canonical(const Quad& corners) {
    const float last = static_cast<float>(side_) - 1.0f;
    const std::array<Point2f, 4> square = {{{0.0f, 0.0f}, {last, 0.0f}, {last, last}, {0.0f, last}}};
    const auto h = solve_perspective(square, corners);
    if (!h) return false;
    sample_square(image_, h.value(), side_, canonical_.data());
    return true;
  }

  std::uint8_t canonical(std::uint32_t u, std::uint32_t v) const {
    return canonical_[static_cast<std::size_t>(v) * side_ + u];
  }

  void read_cells() {
    const std::uint32_t lo = cell_px_ / 2;
    const std::uint32_t hi = side_ > lo ? side_ - lo : lo;
    std::uint64_t sum = 0;  // as exact as a double's sum of these integers, and no add chain
    std::uint64_t count = 0;
    for (std::uint32_t v = lo; v < hi; ++v) {
      for (std::uint32_t u = lo; u < hi; ++u) {
        sum += canonical(u, v);
        ++count;
      }
    }
    const double mean = count == 0 ? 0.0 : static_cast<double>(sum) / static_cast<double>(count);
    double squares = 0.0;
    for (std::uint32_t v = lo; v < hi; ++v) {
      for (std::uint32_t u = lo; u < hi; ++u) {
        const double d = canonical(u, v) - mean;
        squares += d * d;
      }
    }
    const double std_dev = count == 0 ? 0.0 : std::sqrt(squares / static_cast<double>(count));
    if (std_dev < params_.uniform_std_dev_limit) {
      std::fill(cell_values_.begin(), cell_values_.end(), mean > 127.0 ? 1.0f : 0.0f);
      return;
    }
    const int threshold = otsu_threshold(histogram_of(canonical_));
    const std::uint32_t inner = cell_px_ > 2 * margin_ ? cell_px_ - 2 * margin_ : 0;
    const auto area = static_cast<float>(inner * inner);
    for (std::uint32_t r = 0; r < cells_; ++r) {
      for (std::uint32_t q = 0; q < cells_; ++q) {
        std::uint32_t white = 0;
        for (std::uint32_t v = r * cell_px_ + margin_; v < r * cell_px_ + margin_ + inner; ++v) {
          for (std::uint32_t u = q * cell_px_ + margin_; u < q * cell_px_ + margin_ + inner; ++u) {
            white += canonical(u, v) > threshold ? 1 : 0;
          }
        }
        cell_values_[static_cast<std::size_t>(r) * cells_ + q] = static_cast<float>(white) / area;
      }
    }
  }

  // Counts white or undecided border cells (black or undecided ones for an
  // inverted reading), inverts the grid for a white-bordered marker, and
  // checks the error bound.
  bool check_border() {
    const float white_threshold = params_.cell_white_threshold;
    const float black_threshold = 1.0f - white_threshold;
    std::uint64_t errors_normal = 0;
    std::uint64_t errors_inverted = 0;
    for (std::uint32_t r = 0; r < cells_; ++r) {
      for (std::uint32_t q = 0; q < cells_; ++q) {
        const bool is_border = r < border_ || q < border_ || r >= cells_ - border_ || q >= cells_ - border_;
        if (!is_border) continue;
        const float v = cell_values_[static_cast<std::size_t>(r) * cells_ + q];
        const bool white = v > white_threshold;
        const bool black = v < black_threshold;
        // An undecided cell is an error for either reading.
        errors_normal += (white || white == black) ? 1 : 0;
        errors_inverted += (black || white == black) ? 1 : 0;
      }
    }
    std::uint64_t errors = errors_normal;
    if (params_.detect_inverted_marker && errors_inverted < errors_normal) {
      for (float& v : cell_values_) v = 1.0f - v;
      errors = errors_inverted;
    }
    const double bound = static_cast<double>(n_) * static_cast<double>(n_) * params_.border_error_rate;
    return !(static_cast<double>(errors) > bound);
  }

  // Packs the data cells row by row, most significant bit first, the last
  // partial byte right-aligned.
  void pack_bits() {
    const float white_threshold = params_.cell_white_threshold;
    const float black_threshold = 1.0f - white_threshold;
    std::uint32_t white_byte = 0;
    std::uint32_t decided_byte = 0;
    std::size_t bit = 0;
    for (std::uint32_t r = border_; r < border_ + n_; ++r) {
      for (std::uint32_t q = border_; q < border_ + n_; ++q) {
        const float v = cell_values_[static_cast<std::size_t>(r) * cells_ + q];
        const bool white = v > white_threshold;
        const bool black = v < black_threshold;
        white_byte = (white_byte << 1) | (white ? 1u : 0u);
        decided_byte = (decided_byte << 1) | ((white != black) ? 1u : 0u);
        ++bit;
        if (bit % 8 == 0) {
          white_[bit / 8 - 1] = static_cast<std::uint8_t>(white_byte);
          decided_[bit / 8 - 1] = static_cast<std::uint8_t>(decided_byte);
          white_byte = decided_byte = 0;
        }
      }
    }
    if (bit % 8 != 0) {
      white_[bit / 8] = static_cast<std::uint8_t>(white_byte);
      decided_[bit / 8] = static_cast<std::uint8_t>(decided_byte);
    }
  }

  GrayView image_;
  const Dictionary& dictionary_;
  const DetectorParameters& params_;
  std::uint32_t n_ = 0;
  std::uint32_t border_ = 0;
  std::uint32_t cells_ = 0;
  std::uint32_t cell_px_ = 0;
  std::uint32_t side_ = 0;
  std::uint32_t margin_ = 0;
  std::int32_t allowed_errors_ = 0;
  Vec<std::uint8_t> canonical_;
  Vec<float> cell_values_;
  Vec<std::uint8_t> white_;
  Vec<std::uint8_t> decided_;
};

// CORNER_REFINE_SUBPIX refines the corners of each decoded marker.
void refine_decoded(GrayView image, const Dictionary& dictionary, const DetectorParameters& params,
                    DetectedMarker& marker) {
  if (params.corner_refinement_method != kCornerRefineSubpix) return;
  refine_marker_corners_subpix(image, marker.corners, subpix_corner_settings(params, dictionary.marker_size));
}

}  // namespace

std::optional<DetectedMarker> decode_candidate(GrayView image, const Dictionary& dictionary,
                                               const Quad& corners, const DetectorParameters& params) {
  auto marker = MarkerDecoder(image, dictionary, params).decode(corners);
  if (marker) refine_decoded(image, dictionary, params, *marker);
  return marker;
}

MarkerList identify_markers(GrayView image, const Dictionary& dictionary,
                            std::span<const MarkerCandidate> candidates, const DetectorParameters& params,
                            const IdentificationOptions& options) {
  MarkerList markers;
  if (candidates.empty()) return markers;
  const SortedCandidates sorted = orient_and_sort(candidates);
  const auto groups = group_near_duplicates(sorted, static_cast<float>(params.duplicate_distance_rate));
  // Groups decode independently, each result in its group's slot: every
  // k-th group in one task with one decoder, and a few tasks per worker, so
  // that even a frame's handful of groups spreads over the cores (a group
  // that is no marker tries every member).
  Vec<std::optional<DetectedMarker>> decoded(groups.size());
  const std::size_t tasks = std::min(groups.size(), 4 * worker_count());
  parallel_for(tasks, [&](std::size_t task) {
    MarkerDecoder decoder(image, dictionary, params);
    for (std::size_t g = task; g < groups.size(); g += tasks) {
      const std::size_t tries = options.retry_group_members ? groups[g].size() : 1;
      for (std::size_t t = 0; t < tries && !decoded[g]; ++t) decoded[g] = decoder.decode(sorted.quads[groups[g][t]]);
    }
  });
  for (const auto& marker : decoded) {
    if (marker) markers.push_back(*marker);
  }
  for (DetectedMarker& marker : markers) refine_decoded(image, dictionary, params, marker);
  return markers;
}

}  // namespace morvelin
