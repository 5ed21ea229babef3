// Developer tool: detects markers in binary PGM files, prints them and the
// median time per frame. Built with the other tools by
//   cmake -S . -B build/tools -G Ninja -DMORVELIN_BUILD_PYTHON=OFF -DMORVELIN_BUILD_TOOLS=ON && ninja -C build/tools
// Usage: detect_pgm DICT REPEAT [--method=N] [--min-side=N] [--decimate=X] [--no-retry] [--candidates] FILE.pgm...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "detector/detect.hpp"
#include "../../tests/cpp/test_data.hpp"
#include "detector/identification.hpp"
#include "runtime/worker_pool.hpp"

using namespace morvelin;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: detect_pgm DICT REPEAT [--method=N] [--min-side=N] [--decimate=X] [--no-retry] [--candidates] FILE.pgm...\n");
    return 2;
  }
  configure_worker_pool();  // MORVELIN_CORES as in the module
  const auto dictionary = lookup_dictionary(argv[1]);
  if (!dictionary) return 2;
  const int repeat = std::max(1, std::atoi(argv[2]));
  DetectorParameters params;
  IdentificationOptions options;
  bool show_candidates = false;
  for (int a = 3; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg.rfind("--method=", 0) == 0) {
      params.corner_refinement_method = std::atoi(arg.c_str() + 9);
      continue;
    }
    if (arg.rfind("--min-side=", 0) == 0) {
      params.min_side_length_canonical_img = std::atoi(arg.c_str() + 11);
      continue;
    }
    if (arg.rfind("--decimate=", 0) == 0) {
      params.april_tag_quad_decimate = std::atof(arg.c_str() + 11);
      continue;
    }
    if (arg == "--candidates") {
      show_candidates = true;
      continue;
    }
    if (arg == "--no-retry") {
      options.retry_group_members = false;
      continue;
    }
    GrayImage image;
    if (auto loaded = morvelin::test::read_pgm(argv[a])) {
      image = std::move(*loaded);
    } else {
      std::fprintf(stderr, "cannot read %s\n", argv[a]);
      return 1;
    }
    MarkerList markers;
    std::vector<double> times;
    for (int r = 0; r < repeat; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      if (options.retry_group_members) {
        markers = detect_markers(image, *dictionary, params).value();
      } else {
        const auto candidates = find_contour_candidates(image, params).value();
        markers = identify_markers(image, *dictionary, candidates, params, options);
      }
      times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(times.begin(), times.end());
    if (show_candidates) {
      const auto candidates = find_contour_candidates(image, params).value();
      for (const auto& c : candidates) {
        std::printf("candidate");
        for (const auto& p : c.corners) std::printf(" %.0f %.0f", p.x, p.y);
        std::printf("\n");
      }
    }
    std::printf("%s %zu markers %.3f ms\n", argv[a], markers.size(), times[times.size() / 2]);
    for (const auto& m : markers) {
      std::printf("  %d", m.id);
      for (const auto& p : m.corners) std::printf(" %.2f %.2f", p.x, p.y);
      std::printf("\n");
    }
  }
  return 0;
}
