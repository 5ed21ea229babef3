// Developer tool: detects a ChArUco board in binary PGM files, prints the
// markers and corners found and the median time per detection. Built with the other tools by
//   cmake -S . -B build/tools -G Ninja -DMORVELIN_BUILD_PYTHON=OFF -DMORVELIN_BUILD_TOOLS=ON && ninja -C build/tools
// Usage: charuco_pgm SQUARES_X SQUARES_Y SQUARE MARKER DICT REPEAT [--legacy] [--min-markers=N]
//                    [--no-check] [--method=N] [--min-side=N] [--accuracy=PX] FILE.pgm...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "charuco/charuco_detection.hpp"
#include "../../tests/cpp/test_data.hpp"

using namespace morvelin;

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: charuco_pgm SQUARES_X SQUARES_Y SQUARE MARKER DICT REPEAT [--legacy] [--min-markers=N] "
                 "[--no-check] [--method=N] [--min-side=N] [--accuracy=PX] FILE.pgm...\n");
    return 2;
  }
  bool legacy = false, check = true;
  int min_markers = 2;
  DetectorParameters params;
  std::vector<const char*> files;
  for (int a = 7; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--legacy") {
      legacy = true;
    } else if (arg == "--no-check") {
      check = false;
    } else if (arg.rfind("--min-markers=", 0) == 0) {
      min_markers = std::atoi(arg.c_str() + 14);
    } else if (arg.rfind("--min-side=", 0) == 0) {
      params.min_side_length_canonical_img = std::atoi(arg.c_str() + 11);
    } else if (arg.rfind("--accuracy=", 0) == 0) {
      params.corner_refinement_min_accuracy = std::atof(arg.c_str() + 11);
    } else if (arg.rfind("--method=", 0) == 0) {
      params.corner_refinement_method = std::atoi(arg.c_str() + 9);
    } else {
      files.push_back(argv[a]);
    }
  }
  auto board = CharucoBoard::create(std::strtoull(argv[1], nullptr, 10), std::strtoull(argv[2], nullptr, 10),
                                    std::atof(argv[3]), std::atof(argv[4]), argv[5], std::nullopt, legacy);
  if (!board) {
    std::fprintf(stderr, "%s\n", board.error().message.c_str());
    return 2;
  }
  const int repeat = std::max(1, std::atoi(argv[6]));
  for (const char* file : files) {
    GrayImage image;
    if (auto loaded = morvelin::test::read_pgm(file)) {
      image = std::move(*loaded);
    } else {
      std::fprintf(stderr, "cannot read %s\n", file);
      return 1;
    }
    std::vector<double> times;
    CharucoDetection found;
    for (int r = 0; r < repeat; ++r) {
      const auto start = std::chrono::steady_clock::now();
      auto result = detect_charuco_board(image, board.value(), params, min_markers, check);
      times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      if (!result) {
        std::fprintf(stderr, "%s\n", result.error().message.c_str());
        return 1;
      }
      found = std::move(result.value());
    }
    std::sort(times.begin(), times.end());
    // The ChArUco stages alone, on the markers already found.
    std::vector<double> stage_times;
    for (int r = 0; r < repeat; ++r) {
      MarkerList markers = found.markers;
      const auto start = std::chrono::steady_clock::now();
      const auto corners = interpolate_charuco_corners(image, board.value(), std::move(markers), params, min_markers, check);
      stage_times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      if (corners.charuco_ids != found.charuco_ids) return 1;
    }
    std::sort(stage_times.begin(), stage_times.end());
    std::printf("%s: %zu markers, %zu corners, median %.3f ms (corner stages %.3f ms)\n", file, found.markers.size(),
                found.charuco_corners.size(), times[times.size() / 2], stage_times[stage_times.size() / 2]);
    std::printf("  marker ids:");
    for (const auto& m : found.markers) std::printf(" %d", m.id);
    std::printf("\n");
    for (std::size_t i = 0; i < found.charuco_ids.size(); ++i) {
      std::printf("  corner %llu: %.3f %.3f\n", static_cast<unsigned long long>(found.charuco_ids[i]),
                  found.charuco_corners[i].x, found.charuco_corners[i].y);
    }
  }
  return 0;
}
