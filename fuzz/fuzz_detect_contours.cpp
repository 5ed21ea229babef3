// The contour detection path on random small images: adaptive threshold,
// border following, polygon approximation, candidate filtering and
// identification, with random small parameter sets and any dictionary.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contours/border_following.hpp"
#include "detector/detect.hpp"
#include "dictionary/dictionary.hpp"
#include "fuzz_input.hpp"
#include "imgproc/adaptive_threshold.hpp"
#include "imgproc/polygon_approximation.hpp"

using namespace morvelin;

namespace {

// Every traced border lies inside the image and steps to an 8-neighbour.
void check_borders(const GrayImage& image, std::int64_t window, double constant, float epsilon_rate) {
  BinaryImage binary = adaptive_threshold(image, window, constant, Threads::kCallingThread);
  Vec<Point2f> points;
  trace_all_borders(binary, [&](std::span<const ContourPoint> contour) {
    if (contour.empty()) std::abort();
    points.clear();
    for (std::size_t i = 0; i < contour.size(); ++i) {
      const ContourPoint p = contour[i];
      if (p.x < 0 || p.y < 0 || p.x >= static_cast<std::int64_t>(image.width) ||
          p.y >= static_cast<std::int64_t>(image.height))
        std::abort();
      const ContourPoint q = contour[(i + 1) % contour.size()];
      if (contour.size() > 1 && (std::abs(p.x - q.x) > 1 || std::abs(p.y - q.y) > 1)) std::abort();
      points.push_back({static_cast<float>(p.x), static_cast<float>(p.y)});
    }
    const Vec<Point2f> polygon =
        approximate_closed_polygon(points, epsilon_rate * static_cast<float>(contour.size()));
    if (polygon.size() > points.size() || (!points.empty() && polygon.empty())) std::abort();
  });
}

// The image repeated to at least 520 x 520 pixels, large enough for the
// threshold to split its rows into bands on the worker pool.
GrayImage tiled(const GrayImage& tile) {
  if (tile.empty()) return tile;
  const std::uint32_t w = (520 + tile.width - 1) / tile.width * tile.width;
  const std::uint32_t h = (520 + tile.height - 1) / tile.height * tile.height;
  GrayImage big(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) big.row(y)[x] = tile.at(x % tile.width, y % tile.height);
  }
  return big;
}

// Row bands on the pool and one pass on the calling thread agree cell by cell.
void check_threshold_bands(const GrayImage& image, std::int64_t window, double constant) {
  const BinaryImage pooled = adaptive_threshold(image, window, constant, Threads::kWorkerPool);
  const BinaryImage single = adaptive_threshold(image, window, constant, Threads::kCallingThread);
  if (pooled.cells != single.cells) std::abort();
}

// A batch gives every frame what a single-frame call gives it.
void check_batch(const GrayImage& image, const GrayImage& other, const Dictionary& dictionary,
                 const DetectorParameters& params, const MarkerList& single) {
  const GrayView frames[] = {image, other, image};
  const auto batch = detect_markers_batch(frames, dictionary, params);
  if (!batch.ok() || batch->size() != 3) std::abort();
  const auto other_markers = detect_markers(other, dictionary, params);
  const auto same = [](const MarkerList& a, const MarkerList& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i].id != b[i].id) return false;
      for (int k = 0; k < 4; ++k) {
        // Bitwise equality, NaN included.
        if (std::memcmp(&a[i].corners[k], &b[i].corners[k], sizeof(Point2f)) != 0) return false;
      }
    }
    return true;
  };
  if (!same((*batch)[0], single) || !same((*batch)[2], single) || !same((*batch)[1], *other_markers)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  DetectorParameters params;
  fuzz::draw_contour_parameters(in, params);
  fuzz::draw_refinement_parameters(in, params, false);
  const auto name = kPredefinedDictionaryNames[in.ConsumeIntegralInRange<std::size_t>(0, 21)];
  const auto epsilon_rate = static_cast<float>(fuzz::any_double(in, 0.0, 0.2));
  const GrayImage image = fuzz::small_image(in, 96);
  // Drawn last, so that inputs written before these checks existed keep their meaning.
  const int extra_check = in.ConsumeIntegralInRange<int>(0, 7);
  const Dictionary dictionary = *lookup_dictionary(name);
  if (extra_check == 1) {
    check_threshold_bands(tiled(image), params.adaptive_thresh_win_size_min, params.adaptive_thresh_constant);
  }

  check_borders(image, params.adaptive_thresh_win_size_min, params.adaptive_thresh_constant, epsilon_rate);

  const auto markers = detect_markers(image, dictionary, params);
  if (!markers.ok()) {
    // The only failure of the contour path is a zero window step.
    if (params.adaptive_thresh_win_size_step != 0) std::abort();
    return 0;
  }
  if (fuzz::verbose()) std::fprintf(stderr, "%ux%u image: %zu markers\n", image.width, image.height, markers->size());
  for (const DetectedMarker& m : *markers) {
    if (m.id < 0 || static_cast<std::size_t>(m.id) >= dictionary.size()) std::abort();
  }
  if (extra_check == 2) {
    GrayImage flipped = image;
    for (auto& p : flipped.pixels) p = static_cast<std::uint8_t>(255 - p);
    check_batch(image, flipped, dictionary, params, *markers);
  }
  return 0;
}
