// Per-call time of the PnP solvers on the problems of bench/bench_pose.py,
// without the Python call, plus a fingerprint of exact results over many
// random problems (to diff before and after a change of the solver code).
//
// Build with the other tools:
//   cmake -S . -B build/tools -G Ninja -DMORVELIN_BUILD_PYTHON=OFF -DMORVELIN_BUILD_TOOLS=ON && ninja -C build/tools
// Run:  build/bench_pose_ransac            timings (median µs per call)
//       build/bench_pose_ransac fingerprint   exact results, one line per problem
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <span>

#include "pose/camera_model.hpp"
#include "pose/pnp.hpp"
#include "pose/projection.hpp"
#include "pose/ransac_pnp.hpp"
#include "runtime/allocator.hpp"

using namespace morvelin;

namespace {

struct Problem {
  Vec<Point3> object;
  Vec<Point2> image;
};

CameraModel bench_camera(bool distorted) {
  CameraModel cam;
  cam.fx = 800.0;
  cam.fy = 780.0;
  cam.cx = 320.0;
  cam.cy = 240.0;
  if (distorted) {
    const double d[5] = {0.1, -0.05, 0.001, -0.002, 0.01};
    std::copy(std::begin(d), std::end(d), cam.dist.begin());
  }
  return cam;
}

// n points in [-0.3, 0.3]^3 (z = 0 when planar) seen from a fixed pose, with
// 0.3 px Gaussian noise and round(n·outliers) points shifted by 30..100 px.
Problem make_problem(std::size_t n, double outliers, bool planar, const CameraModel& cam, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> coord(-0.3, 0.3);
  std::normal_distribution<double> noise(0.0, 0.3);
  std::uniform_real_distribution<double> shift(30.0, 100.0);
  Problem p;
  p.object.resize(n);
  for (auto& q : p.object) q = {coord(rng), coord(rng), planar ? 0.0 : coord(rng)};
  const Pose truth{{0.2, -0.3, 0.1}, {0.05, -0.02, 1.4}};
  p.image = project_points(p.object, truth, cam);
  for (auto& q : p.image) q = {q[0] + noise(rng), q[1] + noise(rng)};
  Vec<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  const auto bad = static_cast<std::size_t>(static_cast<double>(n) * outliers);
  for (std::size_t j = 0; j < bad; ++j) {
    auto& q = p.image[order[j]];
    q = {q[0] + shift(rng), q[1] + shift(rng)};
  }
  return p;
}

template <class F>
double median_us(F&& call, int calls_per_batch, int batches) {
  Vec<double> times;
  for (int b = 0; b < batches; ++b) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int c = 0; c < calls_per_batch; ++c) call();
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / calls_per_batch);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

volatile double sink = 0.0;

void timings() {
  const CameraModel cam = bench_camera(true);
  const RansacPnpSettings settings{100, 3.0, 0.99, 0};
  const Problem general = make_problem(100, 0.3, false, cam, 1);
  const Problem planar = make_problem(100, 0.3, true, cam, 2);
  const Problem four = make_problem(4, 0.0, true, cam, 3);
  const Problem hundred = make_problem(100, 0.0, false, cam, 4);
  const auto ransac = [&](const Problem& p) {
    return [&] {
      const auto r = solve_pnp_ransac(p.object, p.image, cam, settings);
      sink = sink + (r ? r->reprojection_rmse : 0.0);
    };
  };
  const auto pnp = [&](const Problem& p) {
    return [&] {
      const auto r = solve_pnp(p.object, p.image, cam, std::nullopt, kSolvePnpIterations);
      sink = sink + (r ? r->tvec[2] : 0.0);
    };
  };
  std::printf("solve_pnp_ransac, 100 points, 30%% outliers, general: %8.2f us\n", median_us(ransac(general), 50, 21));
  std::printf("solve_pnp_ransac, 100 points, 30%% outliers, planar:  %8.2f us\n", median_us(ransac(planar), 50, 21));
  std::printf("solve_pnp, 4 planar points:                          %8.2f us\n", median_us(pnp(four), 2000, 21));
  std::printf("solve_pnp, 100 points:                               %8.2f us\n", median_us(pnp(hundred), 200, 21));
}

void print_pose(const Pose& p) {
  for (double v : p.rvec) std::printf(" %a", v);
  for (double v : p.tvec) std::printf(" %a", v);
}

// Exact results over problems that vary size, outlier share, planarity,
// distortion, threshold and seed.
void fingerprint() {
  std::uint64_t problem_seed = 100;
  for (bool distorted : {true, false}) {
    const CameraModel cam = bench_camera(distorted);
    for (bool planar : {false, true}) {
      for (std::size_t n : {4u, 5u, 6u, 7u, 12u, 40u, 100u, 250u}) {
        for (double outliers : {0.0, 0.1, 0.3, 0.6}) {
          const Problem p = make_problem(n, outliers, planar, cam, ++problem_seed);
          std::printf("pnp d%d p%d n%zu o%.1f:", distorted, planar, n, outliers);
          const auto pose = solve_pnp(p.object, p.image, cam, std::nullopt, kSolvePnpIterations);
          if (pose) print_pose(*pose); else std::printf(" none");
          const LmOutcome lm = refine_pose_lm(p.object, p.image, cam, Pose{{0.1, -0.2, 0.0}, {0.0, 0.0, 1.0}}, 6);
          std::printf(" | lm");
          print_pose(lm.pose);
          std::printf(" %a %a %u %d\n", lm.cost, lm.damping, lm.iterations, static_cast<int>(lm.stop));
          if (n < 5) continue;
          for (double threshold : {1.0, 3.0, 8.0}) {
            for (std::uint64_t seed : {0ULL, 7ULL, 12345ULL}) {
              const auto r = solve_pnp_ransac(p.object, p.image, cam, RansacPnpSettings{100, threshold, 0.99, seed});
              std::printf("ransac d%d p%d n%zu o%.1f t%.0f s%llu:", distorted, planar, n, outliers, threshold,
                          static_cast<unsigned long long>(seed));
              if (!r) {
                std::printf(" none\n");
                continue;
              }
              print_pose(r->pose);
              std::printf(" %a [", r->reprojection_rmse);
              for (std::size_t i : r->inliers) std::printf(" %zu", i);
              std::printf(" ]\n");
            }
          }
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "fingerprint") == 0) {
    fingerprint();
  } else {
    timings();
  }
  return 0;
}
