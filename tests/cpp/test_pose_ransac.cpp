// The generic RANSAC loop (with a scripted mock estimator) and RANSAC PnP.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>

#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/ransac.hpp"
#include "pose/ransac_pnp.hpp"
#include "pose_fixtures.hpp"

using namespace morvelin;
using namespace morvelin::testing;

// ---- generator and sampling ------------------------------------------------

TEST(Xorshift, FollowsTheShiftMultiplySequence) {
  Xorshift64 rng(1);
  EXPECT_EQ(rng.next(), 0x47e4ce4b896cdd1dULL);
  EXPECT_EQ(rng.next(), 0xabcfa6a8e079651dULL);
  EXPECT_EQ(rng.next(), 0xb9d10d8feb731f57ULL);
}

TEST(Xorshift, SeedZeroIsTheFixedState) {
  Xorshift64 zero(0), fixed(0x9e3779b97f4a7c15ULL);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(zero.next(), fixed.next());
  Xorshift64 again(0);
  EXPECT_EQ(again.next(), 0x0d83b3e29a21487aULL);
  Xorshift64 indexed(0);
  EXPECT_EQ(indexed.index(7), 0x0d83b3e29a21487aULL % 7);
}

TEST(Sampling, RepeatsAreRedrawnAndDrawOrderKept) {
  for (std::uint64_t seed : {1ULL, 2ULL, 99ULL}) {
    Xorshift64 rng(seed), stream(seed);
    Vec<std::size_t> sample(4);
    draw_sample(rng, 5, sample);
    // The expected sample: the stream's indices in order, skipping repeats.
    Vec<std::size_t> expected;
    while (expected.size() < 4) {
      const std::size_t i = stream.index(5);
      if (std::find(expected.begin(), expected.end(), i) == expected.end()) expected.push_back(i);
    }
    EXPECT_EQ(sample, expected);
    EXPECT_EQ(rng.next(), stream.next());  // both consumed the same outputs
  }
}

// ---- generic loop with a scripted estimator --------------------------------

namespace {

struct Line {
  double center = 0.0;
  int id = 0;
};

// Data are numbers; a model is a centre, and its inliers are the numbers
// within 0.5 of it, scored by squared distance. Hypotheses and refinements
// come from scripts indexed by call, so each scenario is fixed by hand.
class ScriptedEstimator {
 public:
  using Model = Line;

  ScriptedEstimator(Vec<double> data, std::size_t k, Vec<std::optional<Line>> solves,
                    Vec<std::optional<Line>> refines = {})
      : data_(std::move(data)), k_(k), solves_(std::move(solves)), refines_(std::move(refines)) {}

  std::size_t point_count() const { return data_.size(); }
  std::size_t sample_size() const { return k_; }
  std::optional<Line> solve(std::span<const std::size_t> sample) {
    EXPECT_EQ(sample.size(), k_);
    const std::size_t call = solve_calls++;
    return call < solves_.size() ? solves_[call] : std::nullopt;
  }
  double score(const Line& m, Vec<std::size_t>& inliers) {
    inliers.clear();
    double sum = 0.0;
    for (std::size_t i = 0; i < data_.size(); ++i) {
      const double e = data_[i] - m.center;
      if (std::fabs(e) <= 0.5) {
        inliers.push_back(i);
        sum += e * e;
      }
    }
    return sum;
  }
  std::optional<Line> refine(const Line&, std::span<const std::size_t> inliers) {
    refined_sizes.push_back(inliers.size());
    const std::size_t call = refine_calls++;
    return call < refines_.size() ? refines_[call] : std::nullopt;
  }

  std::size_t solve_calls = 0;
  std::size_t refine_calls = 0;
  Vec<std::size_t> refined_sizes;

 private:
  Vec<double> data_;
  std::size_t k_;
  Vec<std::optional<Line>> solves_;
  Vec<std::optional<Line>> refines_;
};

static_assert(RansacEstimator<ScriptedEstimator>);

// Five numbers near 0 and five near 10.
Vec<double> two_clusters() { return {0.0, 0.1, -0.1, 0.2, -0.2, 10.0, 10.1, 9.9, 10.2, 9.8}; }

RansacSettings settings(double confidence = 0.99, std::uint64_t max_draws = 100) { return {max_draws, confidence, 0}; }

}  // namespace

TEST(RansacLoop, CertaintyEndsTheLoopAtOnce) {
  ScriptedEstimator est({0.0, 0.1, 0.2, -0.1}, 2, {Line{0.0, 1}}, {Line{0.05, 2}});
  const auto out = run_ransac(est, settings());
  ASSERT_TRUE(out);
  EXPECT_EQ(out->draws, 1u);
  EXPECT_EQ(est.solve_calls, 1u);
  // The refined model keeps the same inliers: taken, and refinement stops.
  EXPECT_EQ(est.refine_calls, 1u);
  EXPECT_EQ(out->model.id, 2);
  EXPECT_EQ(out->inliers, (Vec<std::size_t>{0, 1, 2, 3}));
}

TEST(RansacLoop, DrawLimitShrinksWithTheInlierRatio) {
  // Failed solves count as draws; the hypothesis of draw 2 has w = 0.5, so
  // ⌈ln(0.01)/ln(0.5)⌉ = 7 draws are enough.
  ScriptedEstimator est(two_clusters(), 1, {std::nullopt, Line{0.0, 1}});
  const auto out = run_ransac(est, settings());
  ASSERT_TRUE(out);
  EXPECT_EQ(out->draws, 7u);
  EXPECT_EQ(est.solve_calls, 7u);

  // The limit never drops below the draws already made...
  ScriptedEstimator low(two_clusters(), 1, {std::nullopt, std::nullopt, Line{0.0, 1}});
  EXPECT_EQ(run_ransac(low, settings(0.5))->draws, 3u);
  // ...and never grows past the caller's bound.
  ScriptedEstimator capped(two_clusters(), 1, {Line{0.0, 1}});
  EXPECT_EQ(run_ransac(capped, settings(0.99, 4))->draws, 4u);
}

TEST(RansacLoop, TiesGoToTheLowerErrorThenToTheEarlier) {
  ScriptedEstimator est(two_clusters(), 1,
                        {Line{0.1, 1}, Line{0.0, 2}, Line{0.0, 3}, Line{10.05, 4}, Line{0.05, 5}});
  const auto out = run_ransac(est, settings());
  ASSERT_TRUE(out);
  EXPECT_EQ(out->model.id, 2);
  EXPECT_EQ(out->inliers, (Vec<std::size_t>{0, 1, 2, 3, 4}));
  EXPECT_NEAR(out->error_sum, 0.1, 1e-15);
}

TEST(RansacLoop, HypothesesBelowTheSampleSizeAreNeverAccepted) {
  // Two inliers each, sample size 3.
  ScriptedEstimator est({0.0, 0.1, 5.0, 5.1, 9.0}, 3, {Line{0.0, 1}, Line{5.0, 2}});
  EXPECT_FALSE(run_ransac(est, settings()));
  EXPECT_EQ(est.refine_calls, 0u);
  ScriptedEstimator none({0.0, 1.0, 2.0}, 1, {});
  EXPECT_FALSE(run_ransac(none, settings(0.99, 25)));
  EXPECT_EQ(none.solve_calls, 25u);
  ScriptedEstimator too_few({0.0, 1.0}, 3, {Line{0.0, 1}});
  EXPECT_FALSE(run_ransac(too_few, settings()));
  EXPECT_EQ(too_few.solve_calls, 0u);
}

TEST(RansacLoop, RefinesAtMostTwiceAndKeepsTheBestWhenRefinementFails) {
  // Every refinement changes the inliers: two rounds, then stop.
  ScriptedEstimator moving(two_clusters(), 1, {Line{0.0, 1}}, {Line{0.35, 2}, Line{0.6, 3}, Line{0.0, 4}});
  auto out = run_ransac(moving, settings());
  ASSERT_TRUE(out);
  EXPECT_EQ(moving.refine_calls, 2u);
  EXPECT_EQ(moving.refined_sizes, (Vec<std::size_t>{5, 4}));
  EXPECT_EQ(out->model.id, 3);
  EXPECT_EQ(out->inliers, (Vec<std::size_t>{1, 3}));

  ScriptedEstimator failing(two_clusters(), 1, {Line{0.0, 1}}, {std::nullopt});
  out = run_ransac(failing, settings());
  ASSERT_TRUE(out);
  EXPECT_EQ(failing.refine_calls, 1u);
  EXPECT_EQ(out->model.id, 1);
}

TEST(RansacLoop, ARefinementThatLosesTheInliersGivesNoResult) {
  // The refined model is taken whatever its count; with no inliers left the
  // second round is skipped and the final count is below the sample size.
  ScriptedEstimator est(two_clusters(), 2, {Line{0.0, 1}}, {Line{100.0, 2}, Line{0.0, 3}});
  EXPECT_FALSE(run_ransac(est, settings()));
  EXPECT_EQ(est.refine_calls, 1u);
}

namespace {

// The scripted estimator with batch solving: each batch records its size
// and solves its samples one by one through the script.
class BatchScriptedEstimator : public ScriptedEstimator {
 public:
  BatchScriptedEstimator(std::size_t capacity, Vec<double> data, std::size_t k, Vec<std::optional<Line>> solves,
                         Vec<std::optional<Line>> refines = {})
      : ScriptedEstimator(std::move(data), k, std::move(solves), std::move(refines)), capacity_(capacity) {}
  std::size_t batch_capacity() const { return capacity_; }
  void solve_batch(std::span<const std::size_t> samples, std::span<std::optional<Line>> hypotheses) {
    batch_sizes.push_back(hypotheses.size());
    EXPECT_EQ(samples.size(), hypotheses.size() * sample_size());
    for (std::size_t b = 0; b < hypotheses.size(); ++b) {
      hypotheses[b] = solve(samples.subspan(b * sample_size(), sample_size()));
    }
  }
  Vec<std::size_t> batch_sizes;

 private:
  std::size_t capacity_;
};

static_assert(BatchRansacEstimator<BatchScriptedEstimator>);
static_assert(!BatchRansacEstimator<ScriptedEstimator>);

}  // namespace

TEST(RansacLoop, BatchesGiveTheOutcomeOfSingleSolves) {
  // Scripts whose limit shrinks in the middle of a batch, ties, failed
  // solves and refinements; batch widths 1 (plain), 3 and 8.
  const Vec<Vec<std::optional<Line>>> scripts = {
      {std::nullopt, Line{0.0, 1}},
      {Line{0.1, 1}, Line{0.0, 2}, Line{0.0, 3}, Line{10.05, 4}, Line{0.05, 5}},
      {std::nullopt, std::nullopt, Line{10.0, 1}, Line{0.0, 2}, std::nullopt, Line{0.1, 3}},
  };
  for (const auto& script : scripts) {
    ScriptedEstimator plain(two_clusters(), 1, script, {Line{0.05, 9}});
    const auto expected = run_ransac(plain, settings());
    ASSERT_TRUE(expected);
    for (std::size_t capacity : {3u, 8u}) {
      BatchScriptedEstimator batched(capacity, two_clusters(), 1, script, {Line{0.05, 9}});
      const auto out = run_ransac(batched, settings());
      ASSERT_TRUE(out);
      EXPECT_EQ(out->model.id, expected->model.id);
      EXPECT_EQ(out->inliers, expected->inliers);
      EXPECT_EQ(out->error_sum, expected->error_sum);
      EXPECT_EQ(out->draws, expected->draws);
      EXPECT_EQ(batched.refined_sizes, plain.refined_sizes);
      // The first sample alone, then full batches, never beyond the limit.
      ASSERT_FALSE(batched.batch_sizes.empty());
      EXPECT_EQ(batched.batch_sizes[0], 1u);
      std::size_t solved = 0;
      for (std::size_t size : batched.batch_sizes) {
        EXPECT_LE(size, capacity);
        solved += size;
      }
      EXPECT_EQ(solved, batched.solve_calls);
      EXPECT_GE(solved, out->draws);
      EXPECT_LT(solved, out->draws + capacity);  // only the last batch may reach past the limit
    }
  }
}

TEST(RansacLoop, DrawLimitUpdateRules) {
  const double lc = std::log(1.0 - 0.99);
  EXPECT_EQ(updated_draw_limit(10, 10, 5, lc, 3, 100), 3u);        // certainty: stop now
  EXPECT_EQ(updated_draw_limit(1, 1000, 6, lc, 3, 100), 100u);     // wᵏ negligible: unchanged
  EXPECT_EQ(updated_draw_limit(5, 10, 1, lc, 2, 100), 7u);
  EXPECT_EQ(updated_draw_limit(5, 10, 1, lc, 9, 100), 9u);         // not below the draws made
  EXPECT_EQ(updated_draw_limit(5, 10, 1, lc, 2, 5), 5u);           // never grows
  EXPECT_EQ(updated_draw_limit(9, 10, 1, std::log(0.5), 1, 100), 1u);  // at least 1
}

// ---- RANSAC PnP ------------------------------------------------------------

namespace {

struct Corrupted {
  Vec<Point3> object;
  Vec<Point2> image;
  Pose truth;
  Vec<std::size_t> inliers;
};

// Exact correspondences of which a share, spread evenly, is moved 20–60 px.
Corrupted corrupted_scene(std::uint64_t seed, bool planar, std::size_t n, double outlier_share) {
  std::mt19937_64 rng(seed);
  Corrupted s;
  s.truth = random_pose(rng);
  s.object = planar ? random_plane_points(rng, n) : random_points(rng, n);
  s.image = project_points(s.object, s.truth, pinhole());
  std::uniform_real_distribution<double> size(20.0, 60.0), angle(0.0, 6.283185307179586);
  const auto outliers = static_cast<std::size_t>(outlier_share * static_cast<double>(n));
  for (std::size_t i = 0; i < n; ++i) {
    if (i % (n / outliers) == 1 && i / (n / outliers) < outliers) {
      const double r = size(rng), a = angle(rng);
      s.image[i] = {s.image[i][0] + r * std::cos(a), s.image[i][1] + r * std::sin(a)};
    } else {
      s.inliers.push_back(i);
    }
  }
  return s;
}

}  // namespace

TEST(RansacPnp, GrossOutliersAreRejected) {
  for (bool planar : {false, true}) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
      const Corrupted s = corrupted_scene(seed, planar, 40, 0.3);
      ASSERT_EQ(s.inliers.size(), 28u);
      RansacPnpSettings settings;
      settings.iterations = 500;
      const auto r = solve_pnp_ransac(s.object, s.image, pinhole(), settings);
      ASSERT_TRUE(r) << planar << seed;
      EXPECT_EQ(r->inliers, s.inliers);
      expect_pose_near(r->pose, s.truth, 1e-8);
      EXPECT_LT(r->reprojection_rmse, 1e-6);
    }
  }
}

TEST(RansacPnp, ResultsDependOnlyOnTheSeed) {
  const Corrupted s = corrupted_scene(4, false, 30, 0.3);
  RansacPnpSettings a;
  a.seed = 0;
  RansacPnpSettings b = a;
  b.seed = 0x9e3779b97f4a7c15ULL;
  const auto ra = solve_pnp_ransac(s.object, s.image, pinhole(), a);
  const auto ra2 = solve_pnp_ransac(s.object, s.image, pinhole(), a);
  const auto rb = solve_pnp_ransac(s.object, s.image, pinhole(), b);
  ASSERT_TRUE(ra && ra2 && rb);
  for (const auto* other : {&*ra2, &*rb}) {
    EXPECT_EQ(ra->pose, other->pose);
    EXPECT_EQ(ra->inliers, other->inliers);
    EXPECT_EQ(ra->reprojection_rmse, other->reprojection_rmse);
  }
}

TEST(RansacPnp, ReportedRmseIsOverTheReturnedInliers) {
  Corrupted s = corrupted_scene(5, true, 30, 0.2);
  std::mt19937_64 rng(9);
  std::normal_distribution<double> noise(0.0, 0.7);
  for (auto& p : s.image) p = {p[0] + noise(rng), p[1] + noise(rng)};
  const auto r = solve_pnp_ransac(s.object, s.image, pinhole(), RansacPnpSettings{});
  ASSERT_TRUE(r);
  const auto projected = project_points(s.object, r->pose, pinhole());
  double sum = 0.0;
  for (std::size_t i : r->inliers) {
    const double du = projected[i][0] - s.image[i][0], dv = projected[i][1] - s.image[i][1];
    EXPECT_LE(du * du + dv * dv, 9.0);
    sum += du * du + dv * dv;
  }
  EXPECT_DOUBLE_EQ(r->reprojection_rmse, std::sqrt(sum / static_cast<double>(r->inliers.size())));
}

TEST(RansacPnp, ExactDataNeedsOneDraw) {
  const Corrupted s = corrupted_scene(6, false, 20, 0.05);
  const Vec<Point3> obj(s.object.begin(), s.object.end());
  Vec<Point2> img = project_points(obj, s.truth, pinhole());
  PnpEstimator estimator(obj, img, pinhole(), 3.0, 6);
  const auto out = run_ransac(estimator, RansacSettings{100, 0.99, 0});
  ASSERT_TRUE(out);
  EXPECT_EQ(out->draws, 1u);
  EXPECT_EQ(out->inliers.size(), 20u);
}

TEST(RansacPnp, ThresholdIsInclusive) {
  const CameraModel cam = pinhole();
  const Point3 p = {0.0, 0.0, 1.0};  // projects exactly onto (cx, cy)
  const Vec<Point3> obj = {p, p, p};
  const Vec<Point2> img = {{cam.cx + 3.0, cam.cy}, {cam.cx, cam.cy - 3.0000001}, {cam.cx + 1.0, cam.cy}};
  Vec<Point2> scratch(3);
  Vec<std::size_t> inliers;
  const double sum = score_pose_inliers(obj, img, Pose{}, cam, 9.0, scratch, inliers);
  EXPECT_EQ(inliers, (Vec<std::size_t>{0, 2}));
  EXPECT_EQ(sum, 10.0);
}

TEST(RansacPnp, PosesBehindTheCameraAreNeverCounted) {
  // Exact data seen from behind: the plain solver fits it at negative depth,
  // RANSAC drops every such hypothesis.
  std::mt19937_64 rng(10);
  const Vec<Point3> obj = random_points(rng, 12);
  const Pose behind{{0.1, -0.2, 0.05}, {0.05, 0.1, -3.0}};
  const Vec<Point2> img = project_points(obj, behind, pinhole());
  const auto plain = solve_pnp(obj, img, pinhole(), behind, 20);
  ASSERT_TRUE(plain);
  EXPECT_LT(plain->tvec[2], 0.0);
  EXPECT_FALSE(solve_pnp_ransac(obj, img, pinhole(), RansacPnpSettings{}));
}

TEST(RansacPnp, SampleSizeFollowsPlanarity) {
  for (bool planar : {true, false}) {
    const Corrupted s = corrupted_scene(11, planar, 10, 0.1);
    const Vec<Point2> img = project_points(s.object, s.truth, pinhole());
    const auto five = solve_pnp_ransac(std::span<const Point3>(s.object).first(5), std::span<const Point2>(img).first(5),
                                       pinhole(), RansacPnpSettings{});
    EXPECT_EQ(five.has_value(), planar);
  }
}

TEST(RansacPnp, ArgumentChecksInOrder) {
  const Corrupted s = corrupted_scene(12, false, 10, 0.1);
  const std::span<const Point3> obj(s.object);
  const std::span<const Point2> img(s.image);
  const auto message = [](std::span<const Point3> o, std::span<const Point2> i, RansacPnpSettings st) {
    const auto e = validate_solve_pnp_ransac_arguments(o, i, st);
    return e ? e->message : std::string("ok");
  };
  RansacPnpSettings bad;
  bad.iterations = 0;
  bad.reprojection_error = 0.0;
  bad.confidence = 1.0;
  EXPECT_EQ(message(obj.first(4), img.first(5), bad), "object_points and image_points must have the same length");
  EXPECT_EQ(message(obj.first(4), img.first(4), bad),
            "solve_pnp_ransac needs at least 5 point correspondences (6 for non-planar geometry)");
  EXPECT_EQ(message(obj, img, bad), "iterations must be greater than zero");
  bad.iterations = 1;
  EXPECT_EQ(message(obj, img, bad), "reprojection_error must be finite and greater than zero");
  for (double e : {-1.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    bad.reprojection_error = e;
    EXPECT_EQ(message(obj, img, bad), "reprojection_error must be finite and greater than zero");
  }
  bad.reprojection_error = 2.0;
  for (double c : {1.0, 0.0, -0.5, std::numeric_limits<double>::quiet_NaN()}) {
    bad.confidence = c;
    EXPECT_EQ(message(obj, img, bad), "confidence must be finite and between 0 and 1");
    EXPECT_FALSE(solve_pnp_ransac(obj, img, pinhole(), bad));
  }
  bad.confidence = 0.5;
  Vec<Point2> nan_image(img.begin(), img.end());
  nan_image[3][1] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(message(obj, nan_image, bad), "object_points and image_points must contain only finite values");
  EXPECT_FALSE(solve_pnp_ransac(obj, nan_image, pinhole(), bad));
  EXPECT_EQ(message(obj, img, bad), "ok");
  RansacPnpSettings zero_draws;
  zero_draws.iterations = 0;
  EXPECT_FALSE(solve_pnp_ransac(obj, img, pinhole(), zero_draws));
}

// ---- exact results ----------------------------------------------------------

namespace {

// Input indices missing from `inliers` (ascending).
Vec<std::size_t> rejected(std::span<const std::size_t> inliers, std::size_t n) {
  Vec<std::size_t> out;
  std::size_t j = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (j < inliers.size() && inliers[j] == i) {
      ++j;
    } else {
      out.push_back(i);
    }
  }
  return out;
}

}  // namespace

// Every bit of these results was recorded from the first version of the
// solver; faster implementations must reproduce them (on this toolchain's
// libm and Eigen: a different platform may legitimately round differently).
TEST(RansacPnp, ResultsAreBitExact) {
  struct Case {
    std::size_t n, outliers;
    bool planar, distorted;
    std::uint64_t scene_seed, seed;
    double threshold;
    Pose pose;
    double rmse;
    Vec<std::size_t> rejected;
  };
  const Case cases[] = {
      {100, 30, false, true, 1, 0, 3.0,
       {{0x1.9a46f38f1f8fbp-3, -0x1.33451f986d296p-2, 0x1.991f78fe6a626p-4},
        {0x1.9968a4f5394eep-5, -0x1.47fe9ab3f3f67p-6, 0x1.6659d388edec8p+0}},
       0x1.bf88e27c31af8p-2,
       {9, 10, 11, 17, 22, 25, 31, 39, 43, 46, 48, 49, 51, 52, 54, 57, 59, 64, 67, 68, 70, 75, 76, 81, 82, 83, 90, 92, 95,
        97}},
      {100, 30, true, true, 2, 0, 3.0,
       {{0x1.98866c39c3b4ap-3, -0x1.33d5f0f7b0291p-2, 0x1.996e44e8342bap-4},
        {0x1.9990419f7679bp-5, -0x1.48e2230d143dbp-6, 0x1.66750c3669abbp+0}},
       0x1.9d7b57ba4e4dp-2,
       {0, 2, 6, 10, 14, 28, 31, 36, 39, 40, 41, 42, 44, 51, 53, 54, 57, 58, 63, 70, 72, 83, 85, 86, 88, 89, 93, 94, 97,
        99}},
      {12, 3, false, true, 3, 7, 1.0,
       {{0x1.980d7211f72ebp-3, -0x1.32af247d30232p-2, 0x1.995fab1394ee8p-4},
        {0x1.9734cd6164252p-5, -0x1.4d3f8777c02c8p-6, 0x1.65c281571ed18p+0}},
       0x1.8e76524fc793bp-2,
       {1, 6, 8}},
      {40, 12, true, false, 4, 99, 3.0,
       {{0x1.99d089f6e6b7ep-3, -0x1.2eb4856c5a6fcp-2, 0x1.9bf48ab5a1436p-4},
        {0x1.980357e1f67abp-5, -0x1.473f48fef4a72p-6, 0x1.654f11f07c97p+0}},
       0x1.ba8d4d25a8ea2p-2,
       {1, 2, 4, 5, 12, 13, 16, 18, 22, 26, 30, 33}},
  };
  for (const Case& c : cases) {
    ReferenceScene s = reference_scene(c.n, c.outliers, c.planar, c.scene_seed);
    if (!c.distorted) s.camera.dist = {};
    const auto r = solve_pnp_ransac(s.object, s.image, s.camera, RansacPnpSettings{100, c.threshold, 0.99, c.seed});
    ASSERT_TRUE(r) << c.n << " points, planar " << c.planar;
    EXPECT_EQ(r->pose, c.pose) << c.n << " points, planar " << c.planar;
    EXPECT_EQ(r->reprojection_rmse, c.rmse) << c.n << " points, planar " << c.planar;
    EXPECT_EQ(rejected(r->inliers, c.n), c.rejected) << c.n << " points, planar " << c.planar;
  }
}
