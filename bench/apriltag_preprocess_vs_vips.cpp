// Benchmark that decided how the AprilTag working image is made: the
// separable triangle resize and Gaussian blur of src/apriltag/preprocess
// against libvips (vips_reduce with the linear kernel, vips_gaussblur), each
// call including the per-call image wrap, pipeline and copy-out that a
// detector call would pay. Runs interleaved, reports medians and ratios, the
// largest pixel difference, and whether libvips results change with its
// thread count. Not part of the build (it needs libvips-dev):
//
//   cmake --build build/cpp --target morvelin_core
//   g++ -std=c++20 -O3 -ffp-contract=off -Isrc bench/apriltag_preprocess_vs_vips.cpp \
//       build/cpp/libmorvelin_core.a $(pkg-config --cflags --libs vips) -ltbb -lmimalloc \
//       -o build/bench_preprocess && ./build/bench_preprocess
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "apriltag/preprocess.hpp"

using namespace morvelin;
using Clock = std::chrono::steady_clock;

namespace {

GrayImage test_image(std::uint32_t w, std::uint32_t h) {
  GrayImage img(w, h);
  std::mt19937 rng(42);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const int checker = ((x / 23 + y / 17) % 2) ? 200 : 40;
      img.row(y)[x] = static_cast<std::uint8_t>(std::clamp<int>(checker + static_cast<int>(rng() % 31) - 15, 0, 255));
    }
  }
  return img;
}

GrayImage from_vips(VipsImage* out) {
  std::size_t size = 0;
  auto* data = static_cast<std::uint8_t*>(vips_image_write_to_memory(out, &size));
  GrayImage img(static_cast<std::uint32_t>(vips_image_get_width(out)), static_cast<std::uint32_t>(vips_image_get_height(out)));
  std::copy(data, data + std::min(size, img.size()), img.pixels.begin());
  g_free(data);
  return img;
}

GrayImage vips_decimate(const GrayImage& in, ImageSize size) {
  VipsImage* src = vips_image_new_from_memory(in.pixels.data(), in.size(), static_cast<int>(in.width),
                                              static_cast<int>(in.height), 1, VIPS_FORMAT_UCHAR);
  VipsImage* out = nullptr;
  if (vips_reduce(src, &out, static_cast<double>(in.width) / size.width, static_cast<double>(in.height) / size.height,
                  "kernel", VIPS_KERNEL_LINEAR, nullptr)) {
    vips_error_exit("reduce");
  }
  GrayImage result = from_vips(out);
  g_object_unref(out);
  g_object_unref(src);
  return result;
}

GrayImage vips_blur(const GrayImage& in, double sigma) {
  VipsImage* src = vips_image_new_from_memory(in.pixels.data(), in.size(), static_cast<int>(in.width),
                                              static_cast<int>(in.height), 1, VIPS_FORMAT_UCHAR);
  VipsImage* out = nullptr;
  // min_ampl 0.011 gives about the same +-3 sigma support as ours.
  if (vips_gaussblur(src, &out, sigma, "min_ampl", 0.011, nullptr)) vips_error_exit("gaussblur");
  GrayImage result = from_vips(out);
  g_object_unref(out);
  g_object_unref(src);
  return result;
}

int max_difference(const GrayImage& a, const GrayImage& b) {
  if (a.width != b.width || a.height != b.height) return -1;
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a.pixels[i] - b.pixels[i]));
  return worst;
}

template <class F>
double median_microseconds(F&& f, int repeats) {
  std::vector<double> t;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    f();
    t.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int, char** argv) {
  if (VIPS_INIT(argv[0])) vips_error_exit(nullptr);
  vips_cache_set_max(0);  // every call computes, as a detector call would
  const int repeats = 31;
  const int vips_threads = vips_concurrency_get();
  for (int threads : {vips_threads, 1}) {
  vips_concurrency_set(threads);
  std::printf("libvips with %d thread(s); ours on the calling thread\n", threads);
  std::printf("%-28s %12s %12s %8s %8s\n", "case", "ours [us]", "vips [us]", "ratio", "maxdiff");
  for (auto [w, h] : {std::pair{320u, 240u}, {640u, 480u}, {1280u, 720u}, {1920u, 1080u}}) {
    const GrayImage img = test_image(w, h);
    for (double d : {2.0, 3.0}) {
      const ImageSize size = decimated_size({w, h}, d);
      double ours = 0, theirs = 0;
      for (int round = 0; round < 3; ++round) {  // interleaved
        ours += median_microseconds([&] { (void)resize_triangle(img, size); }, repeats);
        theirs += median_microseconds([&] { (void)vips_decimate(img, size); }, repeats);
      }
      const int diff = max_difference(resize_triangle(img, size), vips_decimate(img, size));
      std::printf("decimate %.0f %4ux%-4u        %12.1f %12.1f %8.2f %8d\n", d, w, h, ours / 3, theirs / 3,
                  theirs / ours, diff);
    }
    for (float sigma : {0.8f, 2.0f}) {
      double ours = 0, theirs = 0;
      for (int round = 0; round < 3; ++round) {
        ours += median_microseconds([&] { (void)gaussian_blur(img, sigma); }, repeats);
        theirs += median_microseconds([&] { (void)vips_blur(img, sigma); }, repeats);
      }
      const int diff = max_difference(gaussian_blur(img, sigma), vips_blur(img, sigma));
      std::printf("blur %.1f %4ux%-4u           %12.1f %12.1f %8.2f %8d\n", sigma, w, h, ours / 3, theirs / 3,
                  theirs / ours, diff);
    }
  }
  }
  // Does the result depend on libvips' own thread count?
  const GrayImage img = test_image(1920, 1080);
  vips_concurrency_set(1);
  const GrayImage blur1 = vips_blur(img, 2.0), dec1 = vips_decimate(img, {640, 360});
  vips_concurrency_set(8);
  const GrayImage blur8 = vips_blur(img, 2.0), dec8 = vips_decimate(img, {640, 360});
  std::printf("vips 1 vs 8 threads: blur maxdiff %d, decimate maxdiff %d\n", max_difference(blur1, blur8),
              max_difference(dec1, dec8));
  vips_shutdown();
  return 0;
}
