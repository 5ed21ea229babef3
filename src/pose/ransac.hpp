// Generic RANSAC: seeded random minimal samples, hypothesis scoring by inlier
// count then error sum, an adaptive draw limit from the inlier ratio, and up
// to two rounds of refinement of the best hypothesis on its inliers.
//
// Estimator contract (checked by the RansacEstimator concept):
//   using Model = ...;                  the hypothesis type
//   std::size_t point_count();          N, the number of data points
//   std::size_t sample_size();          k, the size of a minimal sample (> 0)
//   std::optional<Model> solve(std::span<const std::size_t> sample);
//       a hypothesis from the k sampled indices (draw order), or none when
//       the sample gives no valid model (a failed solve still counts as a draw)
//   double score(const Model&, Vec<std::size_t>& inliers);
//       fills `inliers` (ascending indices of all N points that agree with
//       the model) and returns the sum of their errors
//   std::optional<Model> refine(const Model&, std::span<const std::size_t> inliers);
//       a better model from the current inliers, or none to keep the current
// Optionally (checked by the BatchRansacEstimator concept):
//   std::size_t batch_capacity();       B > 0, the most samples solved at once
//   void solve_batch(std::span<const std::size_t> samples, std::span<std::optional<Model>> hypotheses);
//       hypotheses[b] = solve(sample b), the samples lying back to back in
//       `samples` (k indices each); for estimators that solve several
//       samples faster together than one by one.
// The loop owns sampling: the estimator never sees the random generator.
// Samples depend on the generator alone, so a batch estimator gets up to B
// samples drawn ahead; hypotheses drawn beyond the final draw limit are
// discarded unseen, and the outcome is the same as solving one at a time.
#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "numeric/conversions.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// 64-bit xorshift with a multiplicative output. Seed 0 would stay 0
// forever, so it is replaced by a fixed odd constant.
class Xorshift64 {
 public:
  static constexpr std::uint64_t kZeroSeedState = 0x9e3779b97f4a7c15ULL;

  explicit constexpr Xorshift64(std::uint64_t seed) noexcept : state_(seed == 0 ? kZeroSeedState : seed) {}

  constexpr std::uint64_t next() noexcept {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 0x2545f4914f6cdd1dULL;
  }

  // An index in [0, n), n > 0: the next output modulo n.
  constexpr std::size_t index(std::size_t n) noexcept { return static_cast<std::size_t>(next() % n); }

 private:
  std::uint64_t state_;
};

// Fills `sample` with distinct indices in [0, n) in draw order; an index
// already in the sample is discarded and drawn again. Needs sample.size() <= n.
inline void draw_sample(Xorshift64& rng, std::size_t n, std::span<std::size_t> sample) noexcept {
  for (std::size_t slot = 0; slot < sample.size(); ++slot) {
    std::size_t candidate = rng.index(n);
    while (std::find(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(slot), candidate) !=
           sample.begin() + static_cast<std::ptrdiff_t>(slot)) {
      candidate = rng.index(n);
    }
    sample[slot] = candidate;
  }
}

template <class E>
concept RansacEstimator = requires(E& e, std::span<const std::size_t> indices, const typename E::Model& model,
                                   Vec<std::size_t>& inliers) {
  { e.point_count() } -> std::convertible_to<std::size_t>;
  { e.sample_size() } -> std::convertible_to<std::size_t>;
  { e.solve(indices) } -> std::same_as<std::optional<typename E::Model>>;
  { e.score(model, inliers) } -> std::convertible_to<double>;
  { e.refine(model, indices) } -> std::same_as<std::optional<typename E::Model>>;
};

template <class E>
concept BatchRansacEstimator =
    RansacEstimator<E> && requires(E& e, std::span<const std::size_t> samples,
                                   std::span<std::optional<typename E::Model>> hypotheses) {
      { e.batch_capacity() } -> std::convertible_to<std::size_t>;
      e.solve_batch(samples, hypotheses);
    };

struct RansacSettings {
  std::uint64_t max_draws = 100;  // upper bound of samples drawn, > 0
  double confidence = 0.99;       // probability of drawing one all-inlier sample, in (0, 1)
  std::uint64_t seed = 0;         // generator seed; 0 selects Xorshift64::kZeroSeedState
};

template <class Model>
struct RansacOutcome {
  Model model;
  Vec<std::size_t> inliers;  // ascending
  double error_sum = 0.0;    // score of `model` over `inliers`
  std::uint64_t draws = 0;   // samples drawn by the main loop
};

// Draws needed so that, with inlier ratio w, a sample of k inliers has been
// seen with probability `confidence`: ⌈ln(1 − confidence)/ln(1 − wᵏ)⌉, at
// least 1, kept between the draws made and the current limit. Certainty ends
// the loop at once; a negligible wᵏ leaves the limit alone.
inline std::uint64_t updated_draw_limit(std::size_t inliers, std::size_t n, std::size_t k, double log_failure,
                                        std::uint64_t draws, std::uint64_t limit) noexcept {
  const double w = static_cast<double>(inliers) / static_cast<double>(n);
  const double p = std::pow(w, static_cast<double>(k));
  if (p >= 1.0 - kDoubleEpsilon) return draws;
  if (!(p > kDoubleEpsilon)) return limit;
  const double needed = std::max(std::ceil(log_failure / std::log(1.0 - p)), 1.0);
  const std::uint64_t n_draws = saturating_cast<std::uint64_t>(needed);
  return std::min(std::max(n_draws, draws), limit);
}

template <RansacEstimator E>
std::optional<RansacOutcome<typename E::Model>> run_ransac(E& estimator, const RansacSettings& settings) {
  using Model = typename E::Model;
  const std::size_t n = estimator.point_count();
  const std::size_t k = estimator.sample_size();
  if (k == 0 || n < k) return std::nullopt;

  Xorshift64 rng(settings.seed);
  const double log_failure = std::log(1.0 - settings.confidence);
  std::size_t capacity = 1;
  if constexpr (BatchRansacEstimator<E>) capacity = std::max<std::size_t>(estimator.batch_capacity(), 1);
  Vec<std::size_t> samples(k * capacity);
  Vec<std::optional<Model>> hypotheses(capacity);
  Vec<std::size_t> inliers;
  Vec<std::size_t> best_inliers;
  std::optional<Model> best;
  double best_sum = std::numeric_limits<double>::infinity();
  std::uint64_t limit = settings.max_draws;
  std::uint64_t draws = 0;

  while (draws < limit) {
    // The first sample is solved alone: with clean data its hypothesis is
    // certain and ends the loop at once. Later batches run at full width.
    const std::uint64_t width = std::min<std::uint64_t>({draws == 0 ? 1 : capacity, limit - draws});
    const auto batch = static_cast<std::size_t>(width);
    const std::span<const std::size_t> drawn(samples.data(), batch * k);
    for (std::size_t b = 0; b < batch; ++b) draw_sample(rng, n, std::span<std::size_t>(samples).subspan(b * k, k));
    if constexpr (BatchRansacEstimator<E>) {
      estimator.solve_batch(drawn, std::span<std::optional<Model>>(hypotheses).first(batch));
    } else {
      hypotheses[0] = estimator.solve(drawn);
    }
    for (std::size_t b = 0; b < batch && draws < limit; ++b) {
      std::optional<Model>& hypothesis = hypotheses[b];
      ++draws;
      if (!hypothesis) continue;
      const double sum = estimator.score(*hypothesis, inliers);
      const std::size_t count = inliers.size();
      if (count < std::max(best_inliers.size(), k)) continue;
      if (count > best_inliers.size() || sum < best_sum) {
        best = std::move(hypothesis);
        std::swap(best_inliers, inliers);
        best_sum = sum;
        limit = updated_draw_limit(best_inliers.size(), n, k, log_failure, draws, limit);
      }
    }
  }
  if (!best) return std::nullopt;

  constexpr int kRefinementRounds = 2;
  for (int round = 0; round < kRefinementRounds && best_inliers.size() >= k; ++round) {
    std::optional<Model> refined = estimator.refine(*best, std::span<const std::size_t>(best_inliers));
    if (!refined) break;
    estimator.score(*refined, inliers);
    const bool settled = inliers == best_inliers;
    best = std::move(refined);
    std::swap(best_inliers, inliers);
    if (settled) break;
  }

  RansacOutcome<Model> outcome{std::move(*best), {}, 0.0, draws};
  outcome.error_sum = estimator.score(outcome.model, outcome.inliers);
  if (outcome.inliers.size() < k) return std::nullopt;
  return outcome;
}

}  // namespace morvelin
