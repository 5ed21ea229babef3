// Developer tool: time of each detection stage on binary PGM files, on the
// calling thread alone (median of REPEAT runs, milliseconds), for the
// contour path with the default windows and for the AprilTag quad path at
// full resolution and decimated by 2. bench/run.py builds it and puts its
// table in the report.
// Usage: stage_profile DICT REPEAT FILE.pgm...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../../tests/cpp/test_data.hpp"
#include "apriltag/edge_refine.hpp"
#include "apriltag/preprocess.hpp"
#include "apriltag/quad_fit.hpp"
#include "apriltag/quad_threshold.hpp"
#include "apriltag/segmentation.hpp"
#include "contours/border_following.hpp"
#include "detector/candidate_search.hpp"
#include "detector/identification.hpp"
#include "detector/stage_settings.hpp"
#include "imgproc/adaptive_threshold.hpp"

using namespace morvelin;

namespace {

// Median time of `work`, each run after an untimed `prepare`.
double median_ms(int repeat, const std::function<void()>& work, const std::function<void()>& prepare = [] {}) {
  std::vector<double> times;
  for (int r = 0; r < repeat; ++r) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
  return times[times.size() / 2];
}

void row(const char* stage, double ms) { std::printf("| %s | %.3f |\n", stage, ms); }

void contour_path(const GrayImage& image, const Dictionary& dictionary, int repeat) {
  const DetectorParameters params;
  double threshold = 0, tracing = 0;
  CandidateList candidates;
  for (std::uint64_t k = 0; k < threshold_scale_count(params).value(); ++k) {
    const std::int64_t window = threshold_window_size(params, k);
    threshold += median_ms(repeat, [&] {
      adaptive_threshold(image, window, params.adaptive_thresh_constant, Threads::kCallingThread);
    });
    const BinaryImage binary =
        adaptive_threshold(image, window, params.adaptive_thresh_constant, Threads::kCallingThread);
    // Tracing consumes its image: each run traces a fresh binary image,
    // made just before its clock starts, as the search does (copying the
    // cells, or reading them back from memory, costs more than tracing a
    // clean frame).
    BinaryImage fresh;
    const double window_tracing = median_ms(
        repeat, [&] { trace_all_borders(fresh, [](std::span<const ContourPoint>) {}); },
        [&] { fresh = adaptive_threshold(image, window, params.adaptive_thresh_constant, Threads::kCallingThread); });
    std::size_t borders = 0, positions = 0;
    BinaryImage copy = binary;
    trace_all_borders(copy, [&](std::span<const ContourPoint> border) {
      ++borders;
      positions += border.size();
    });
    std::printf("| contour: border tracing, window %lld (%zu borders, %zu positions) | %.3f |\n",
                static_cast<long long>(window), borders, positions, window_tracing);
    tracing += window_tracing;
    const CandidateList found = find_candidates_in_window(image, params, window);
    candidates.insert(candidates.end(), found.begin(), found.end());
  }
  const double whole = median_ms(repeat, [&] {
    for (std::uint64_t k = 0; k < threshold_scale_count(params).value(); ++k) {
      find_candidates_in_window(image, params, threshold_window_size(params, k));
    }
  });
  row("contour: box thresholds (3 windows)", threshold);
  row("contour: border tracing", tracing);
  row("contour: polygons and candidate filters", std::max(0.0, whole - threshold - tracing));
  row("contour: identification", median_ms(repeat, [&] { identify_markers(image, dictionary, candidates, params); }));
}

void apriltag_path(const GrayImage& image, double decimate, int repeat) {
  DetectorParameters params;
  params.april_tag_quad_decimate = decimate;
  const std::string tag = decimate > 1 ? "apriltag /2: " : "apriltag: ";
  const ImageSize input{image.width, image.height};
  const ImageSize size = decimated_size(input, decimate);
  GrayImage working = image;
  if (size != input) {
    row((tag + "decimation").c_str(), median_ms(repeat, [&] { resize_triangle(image, size); }));
    working = resize_triangle(image, size);
  }
  row((tag + "tile threshold").c_str(), median_ms(repeat, [&] { threshold_tiles(working, 5); }));
  const TernaryImage ternary = threshold_tiles(working, 5);
  row((tag + "segmentation").c_str(), median_ms(repeat, [&] { segment(ternary).value(); }));
  const Segmentation segmentation = segment(ternary).value();
  BoundaryClusters clusters;
  row((tag + "boundary clusters").c_str(), median_ms(repeat, [&] { clusters = cluster_boundary(segmentation, 5); }));
  std::size_t points = 0, largest = 0;
  for (std::size_t i = 0; i < clusters.size(); ++i) {
    points += clusters[i].points.size();
    largest = std::max(largest, clusters[i].points.size());
  }
  std::printf("| %s%zu clusters, %zu points, largest %zu | |\n", tag.c_str(), clusters.size(), points, largest);
  const QuadFitSettings settings = quad_fit_settings(params);
  Vec<std::optional<Quad>> quads;
  row((tag + "quad fits").c_str(), median_ms(repeat, [&] {
    quads.assign(clusters.size(), std::nullopt);
    for (std::size_t i = 0; i < clusters.size(); ++i) quads[i] = fit_quad(clusters[i].points, working, settings);
  }));
  row((tag + "edge refinement").c_str(), median_ms(repeat, [&] {
    for (const auto& quad : quads) {
      if (quad) refine_quad_edges(image, *quad, edge_search_radius(decimate));
    }
  }));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: stage_profile DICT REPEAT FILE.pgm...\n");
    return 2;
  }
  const auto dictionary = lookup_dictionary(argv[1]);
  if (!dictionary) return 2;
  const int repeat = std::max(1, std::atoi(argv[2]));
  for (int a = 3; a < argc; ++a) {
    const auto image = morvelin::test::read_pgm(argv[a]);
    if (!image) {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 2;
    }
    std::printf("\n%s (%ux%u), one thread, median ms\n\n| stage | ms |\n|---|---|\n", argv[a], image->width,
                image->height);
    contour_path(*image, *dictionary, repeat);
    apriltag_path(*image, 1.0, repeat);
    apriltag_path(*image, 2.0, repeat);
  }
  return 0;
}
