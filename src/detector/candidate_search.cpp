#include "detector/candidate_search.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "contours/border_following.hpp"
#include "marker_corners/marker_corners.hpp"
#include "imgproc/adaptive_threshold.hpp"
#include "imgproc/polygon_approximation.hpp"
#include "numeric/conversions.hpp"
#include "runtime/worker_pool.hpp"

namespace morvelin {
namespace {

// The borders of acceptable length of one window, in tracing order, kept in
// one flat buffer so that they can be turned into candidates in parallel.
struct Borders {
  Vec<ContourPoint> points;
  Vec<std::size_t> starts{0};  // border i is points[starts[i], starts[i + 1])

  std::size_t size() const { return starts.size() - 1; }
  std::span<const ContourPoint> operator[](std::size_t i) const {
    return {points.data() + starts[i], starts[i + 1] - starts[i]};
  }
};

// Turns borders into candidates; owns the buffers reused from one border to
// the next.
class CandidateFitter {
 public:
  CandidateFitter(const DetectorParameters& params, double image_side) : params_(params), image_side_(image_side) {}

  void consider(std::span<const ContourPoint> contour, CandidateList& out) {
    const std::uint64_t n = contour.size();
    points_.resize(contour.size());
    for (std::size_t i = 0; i < contour.size(); ++i) {
      points_[i] = {static_cast<float>(contour[i].x), static_cast<float>(contour[i].y)};
    }
    const auto epsilon = static_cast<float>(params_.polygonal_approx_accuracy_rate * static_cast<double>(n));
    approximate_closed_polygon(points_, epsilon, vertices_);
    if (vertices_.size() != 4) return;
    const Quad quad = {vertices_[0], vertices_[1], vertices_[2], vertices_[3]};
    if (!is_convex_quad(quad)) return;
    if (!has_long_enough_sides(quad, image_side_, n, params_.min_side_rate)) return;
    out.push_back({refine(quad)});
  }

 private:
  // CORNER_REFINE_CONTOUR refits the corners to this border at once.
  Quad refine(const Quad& quad) const {
    if (params_.corner_refinement_method != kCornerRefineContour) return quad;
    return refine_quad_with_contour(quad, points_);
  }

  const DetectorParameters& params_;
  double image_side_;
  Vec<Point2f> points_;
  Vec<Point2f> vertices_;
};

// Candidates of the borders in order. Borders are fitted in parallel, a run
// of them per task, and the runs' candidates joined in border order.
CandidateList fit_candidates(const Borders& borders, const DetectorParameters& params, double image_side) {
  constexpr std::size_t kPointsPerTask = 1 << 14;
  Vec<std::size_t> task_starts{0};
  for (std::size_t i = 0, since = 0; i < borders.size(); ++i) {
    since += borders[i].size();
    if (since >= kPointsPerTask && i + 1 < borders.size()) {
      task_starts.push_back(i + 1);
      since = 0;
    }
  }
  task_starts.push_back(borders.size());
  Vec<CandidateList> found(task_starts.size() - 1);
  parallel_for(found.size(), [&](std::size_t t) {
    CandidateFitter fitter(params, image_side);
    for (std::size_t i = task_starts[t]; i < task_starts[t + 1]; ++i) fitter.consider(borders[i], found[t]);
  });
  CandidateList candidates = std::move(found[0]);
  for (std::size_t t = 1; t < found.size(); ++t) candidates.insert(candidates.end(), found[t].begin(), found[t].end());
  return candidates;
}

}  // namespace

Result<std::uint64_t> threshold_scale_count(const DetectorParameters& params) {
  const std::int64_t step = params.adaptive_thresh_win_size_step;
  if (step == 0) return value_error("adaptive_thresh_win_size_step must not be zero");
  const std::int64_t range =
      static_cast<std::int64_t>(params.adaptive_thresh_win_size_max) - params.adaptive_thresh_win_size_min;
  const std::int64_t quotient = range / step;
  if (quotient < 0) return std::uint64_t{0};
  return static_cast<std::uint64_t>(quotient) + 1;
}

Result<std::uint64_t> searchable_scale_count(const DetectorParameters& params) {
  constexpr std::uint64_t kMaxThresholdScales = 1024;
  const auto scales = threshold_scale_count(params);
  if (scales && scales.value() > kMaxThresholdScales) {
    return value_error(
        "adaptive_thresh_win_size_min, adaptive_thresh_win_size_max and adaptive_thresh_win_size_step give " +
        std::to_string(scales.value()) + " threshold windows; at most 1024 are supported");
  }
  return scales;
}

std::int64_t threshold_window_size(const DetectorParameters& params, std::uint64_t scale_index) {
  // Below the scale count |k * step| <= |max - min| < 2^33; larger k saturate.
  std::int64_t offset = 0;
  const auto k = static_cast<std::int64_t>(std::min<std::uint64_t>(scale_index, std::uint64_t{1} << 40));
  if (__builtin_mul_overflow(k, static_cast<std::int64_t>(params.adaptive_thresh_win_size_step), &offset)) {
    offset = params.adaptive_thresh_win_size_step < 0 ? std::numeric_limits<std::int64_t>::min() / 2
                                                      : std::numeric_limits<std::int64_t>::max() / 2;
  }
  return params.adaptive_thresh_win_size_min + offset;
}

ContourLengthLimits contour_length_limits(const DetectorParameters& params, std::uint32_t width,
                                          std::uint32_t height) {
  const auto side = static_cast<double>(std::max(width, height));
  ContourLengthLimits limits;
  if (params.min_side_length_canonical_img != 0) {
    // A negative setting wraps to a huge unsigned limit: nothing passes.
    limits.min = static_cast<std::uint64_t>(std::int64_t{4} * params.min_side_length_canonical_img);
  } else {
    limits.min = saturating_cast<std::uint64_t>(params.min_perimeter_rate * side);
  }
  limits.max = saturating_cast<std::uint64_t>(params.max_perimeter_rate * side);
  return limits;
}

bool has_long_enough_sides(const Quad& quad, double image_side, std::uint64_t contour_length, double min_side_rate) {
  float shortest = static_cast<float>(image_side * image_side);
  for (int i = 0; i < 4; ++i) {
    const float squared = squared_distance(quad[(i + 1) % 4], quad[i]);
    if (squared < shortest) shortest = squared;
  }
  const auto limit = static_cast<float>(min_side_rate * static_cast<double>(contour_length));
  return !(shortest < limit * limit);
}

CandidateList find_candidates_in_window(GrayView image, const DetectorParameters& params,
                                        std::int64_t window_size) {
  if (image.empty()) return {};
  BinaryImage binary = adaptive_threshold(image, window_size, params.adaptive_thresh_constant);
  const ContourLengthLimits limits = contour_length_limits(params, image.width, image.height);
  Borders borders;
  trace_all_borders(binary, [&](std::span<const ContourPoint> contour) {
    // Length limits come before any floating-point work on a border.
    if (contour.size() < limits.min || contour.size() > limits.max) return;
    borders.points.insert(borders.points.end(), contour.begin(), contour.end());
    borders.starts.push_back(borders.points.size());
  });
  return fit_candidates(borders, params, static_cast<double>(std::max(image.width, image.height)));
}

CandidateList find_candidates_for_scale(GrayView image, const DetectorParameters& params,
                                        std::uint64_t scale_index) {
  return find_candidates_in_window(image, params, threshold_window_size(params, scale_index));
}

}  // namespace morvelin
