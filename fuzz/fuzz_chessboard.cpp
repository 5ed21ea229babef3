// The chessboard finder on random small images and board shapes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "chessboard/find_chessboard_corners.hpp"
#include "fuzz_input.hpp"

using namespace morvelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::uint64_t columns = in.ConsumeIntegralInRange<std::uint64_t>(0, 9);
  std::uint64_t rows = in.ConsumeIntegralInRange<std::uint64_t>(0, 9);
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) columns = std::numeric_limits<std::uint64_t>::max() - columns;
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) rows = std::numeric_limits<std::uint64_t>::max() / 2 + rows;
  const GrayImage image = fuzz::small_image(in, 80);
  const auto found = find_chessboard_corners(image, columns, rows);
  if (!found.ok()) {
    if (columns > 2 && rows > 2) std::abort();  // only a small dimension is an error
    return 0;
  }
  if (fuzz::verbose()) std::fprintf(stderr, "%ux%u image, %llu x %llu corners: %s\n", image.width, image.height,
                                    static_cast<unsigned long long>(columns), static_cast<unsigned long long>(rows),
                                    *found ? "found" : "not found");
  // The search spread over the worker pool gives what the plain loop gives.
  if (*found != *find_chessboard_corners(image, columns, rows, Threads::kCallingThread)) std::abort();
  if (*found) {
    const Vec<Point2f>& corners = **found;
    if (corners.size() != columns * rows) std::abort();
    for (const Point2f& p : corners) {
      if (!(p.x >= 0.0f && p.y >= 0.0f && p.x <= static_cast<float>(image.width) &&
            p.y <= static_cast<float>(image.height)))
        std::abort();
    }
  }
  return 0;
}
