#include "detector/candidate_search.hpp"

#include <algorithm>
#include <atomic>
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
    polygon_.approximate(points_, epsilon, vertices_);
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
  ClosedPolygon polygon_;
  Vec<Point2f> points_;
  Vec<Point2f> vertices_;
};

// One window's borders, fitted in runs of about 16k points that run as
// separate tasks; the runs' candidates, joined in run order, are the
// window's candidates in border order.
class WindowFit {
 public:
  void trace(GrayView image, const DetectorParameters& params, std::int64_t window_size) {
    image_side_ = static_cast<double>(std::max(image.width, image.height));
    if (!image.empty()) {
      BinaryImage binary = adaptive_threshold(image, window_size, params.adaptive_thresh_constant);
      const ContourLengthLimits limits = contour_length_limits(params, image.width, image.height);
      // Length limits come before any floating-point work on a border.
      const auto at_least =
          static_cast<std::size_t>(std::min<std::uint64_t>(limits.min, std::numeric_limits<std::size_t>::max()));
      trace_all_borders(
          binary,
          [&](std::span<const ContourPoint> contour) {
            if (contour.size() > limits.max) return;
            borders_.points.insert(borders_.points.end(), contour.begin(), contour.end());
            borders_.starts.push_back(borders_.points.size());
          },
          at_least);
    }
    constexpr std::size_t kPointsPerRun = 1 << 14;
    run_starts_.assign(1, 0);
    for (std::size_t i = 0, since = 0; i < borders_.size(); ++i) {
      since += borders_[i].size();
      if (since >= kPointsPerRun && i + 1 < borders_.size()) {
        run_starts_.push_back(i + 1);
        since = 0;
      }
    }
    run_starts_.push_back(borders_.size());
    found_.resize(run_starts_.size() - 1);
    traced_.store(true, std::memory_order_release);
  }

  bool traced() const { return traced_.load(std::memory_order_acquire); }

  // Fits, on the pool, the runs no other thread has taken yet; returns when
  // those are done.
  void fit_remaining(const DetectorParameters& params) {
    const std::size_t runs = found_.size();
    const std::size_t taken = std::min(runs, next_run_.load());
    parallel_for(runs - taken, [&](std::size_t) {
      const std::size_t r = next_run_.fetch_add(1);
      if (r >= runs) return;
      CandidateFitter fitter(params, image_side_);
      for (std::size_t i = run_starts_[r]; i < run_starts_[r + 1]; ++i) fitter.consider(borders_[i], found_[r]);
    });
  }

  // The candidates, once every run has been fitted.
  CandidateList take() {
    CandidateList candidates = std::move(found_[0]);
    for (std::size_t r = 1; r < found_.size(); ++r) candidates.insert(candidates.end(), found_[r].begin(), found_[r].end());
    return candidates;
  }

 private:
  Borders borders_;
  double image_side_ = 0.0;
  Vec<std::size_t> run_starts_;  // each run's first border, then the border count
  Vec<CandidateList> found_;
  std::atomic<std::size_t> next_run_{0};
  std::atomic<bool> traced_{false};
};

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
  WindowFit window;
  window.trace(image, params, window_size);
  window.fit_remaining(params);
  return window.take();
}

Vec<CandidateList> find_candidates_in_windows(std::span<const WindowSearch> searches,
                                              const DetectorParameters& params) {
  const std::size_t n = searches.size();
  Vec<WindowFit> windows(n);
  std::atomic<std::size_t> next_trace{0};
  const std::size_t threads = std::max<std::size_t>(1, worker_count());
  // Each thread traces the next window not yet taken, last to first. While
  // windows remain for every thread, a traced window is fitted at once; the
  // last few are left to the threads that run out of windows to trace, so
  // that the final traces do not run alone while others wait.
  parallel_for(std::min(n, threads), [&](std::size_t) {
    for (std::size_t t; (t = next_trace.fetch_add(1)) < n;) {
      WindowFit& window = windows[n - 1 - t];
      const WindowSearch& search = searches[n - 1 - t];
      window.trace(search.image, params, threshold_window_size(params, search.scale));
      if (n - std::min(n, next_trace.load()) >= threads) window.fit_remaining(params);
    }
    for (std::size_t t = n; t-- > 0;) {
      if (windows[t].traced()) windows[t].fit_remaining(params);
    }
  });
  Vec<CandidateList> found(n);
  for (std::size_t i = 0; i < n; ++i) found[i] = windows[i].take();
  return found;
}

CandidateList find_candidates_for_scale(GrayView image, const DetectorParameters& params,
                                        std::uint64_t scale_index) {
  return find_candidates_in_window(image, params, threshold_window_size(params, scale_index));
}

}  // namespace morvelin
