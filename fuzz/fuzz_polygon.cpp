// Closed polygon approximation of random point sets: contour-like integer
// chains and arbitrary floats (NaN and infinities included), any tolerance;
// the coarsest of several tolerances against trying each.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.hpp"
#include "imgproc/polygon_approximation.hpp"

using namespace morvelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto epsilon = static_cast<float>(fuzz::any_double(in, 0.0, 20.0));
  const int mode = in.ConsumeIntegralInRange<int>(0, 2);
  Vec<Point2f> points;
  const auto count = in.ConsumeIntegralInRange<std::size_t>(0, 600);
  std::int32_t x = 0, y = 0;
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    if (mode == 0) {
      // A chain of 8-neighbour steps, as border following produces.
      const auto step = in.ConsumeIntegralInRange<int>(0, 7);
      constexpr int dx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
      constexpr int dy[8] = {0, 1, 1, 1, 0, -1, -1, -1};
      x += dx[step];
      y += dy[step];
      points.push_back({static_cast<float>(x), static_cast<float>(y)});
    } else if (mode == 1) {
      points.push_back({in.ConsumeFloatingPointInRange<float>(-100.0f, 100.0f),
                        in.ConsumeFloatingPointInRange<float>(-100.0f, 100.0f)});
    } else {
      points.push_back({static_cast<float>(fuzz::any_double(in, -1e3, 1e3)),
                        static_cast<float>(fuzz::any_double(in, -1e3, 1e3))});
    }
  }
  const Vec<Point2f> polygon = approximate_closed_polygon(points, epsilon);
  if (fuzz::verbose()) std::fprintf(stderr, "%zu points: %zu vertices\n", points.size(), polygon.size());
  if (polygon.size() > points.size()) std::abort();
  if (points.size() <= 2 && polygon.size() != points.size()) std::abort();

  // The coarsest of several tolerances equals trying them one by one.
  const std::size_t most = in.ConsumeIntegralInRange<std::size_t>(0, 8);
  const float tolerances[] = {epsilon, epsilon + 1.0f, epsilon + 3.0f};
  Vec<Point2f> expected;
  bool fits = false;
  for (const float t : tolerances) {
    expected = approximate_closed_polygon(points, t);
    if ((fits = expected.size() <= most)) break;
  }
  Vec<Point2f> coarsest;
  if (CoarsestPolygon().approximate(points, tolerances, most, coarsest) != fits) std::abort();
  // Both copy input points, NaN included: compare the bits.
  if (fits && (coarsest.size() != expected.size() ||
               (!coarsest.empty() &&
                std::memcmp(coarsest.data(), expected.data(), coarsest.size() * sizeof(Point2f)) != 0)))
    std::abort();
  return 0;
}
