// Helpers shared by the fuzz targets: small images and parameter sets drawn
// from the fuzzer's bytes. Sizes are kept small so every input runs in
// milliseconds; values that the public interface accepts without a range
// check (thresholds, rates) are drawn from the whole double range, NaN and
// infinities included.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "detector/detector_parameters.hpp"
#include "image/gray_image.hpp"

namespace morvelin::fuzz {

// With MORVELIN_FUZZ_VERBOSE set, each input reports what it reached, so a
// seed can be checked for the scene it is meant to show.
inline bool verbose() {
  static const bool on = std::getenv("MORVELIN_FUZZ_VERBOSE") != nullptr;
  return on;
}

// A double that is often special: NaN, ±infinity, ±0, tiny, huge, or any bit
// pattern; otherwise a value in [lo, hi].
inline double any_double(FuzzedDataProvider& in, double lo, double hi) {
  switch (in.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -std::numeric_limits<double>::infinity();
    case 3: return in.ConsumeBool() ? -0.0 : std::numeric_limits<double>::denorm_min();
    case 4: return in.ConsumeBool() ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
    case 5: {
      const auto bits = in.ConsumeIntegral<std::uint64_t>();
      double d;
      static_assert(sizeof d == sizeof bits);
      __builtin_memcpy(&d, &bits, sizeof d);
      return d;
    }
    default: return in.ConsumeFloatingPointInRange<double>(lo, hi);
  }
}

// An int32 that is often extreme; otherwise in [lo, hi].
inline std::int32_t any_int32(FuzzedDataProvider& in, std::int32_t lo, std::int32_t hi) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: return std::numeric_limits<std::int32_t>::min();
    case 1: return std::numeric_limits<std::int32_t>::max();
    case 2: return in.ConsumeIntegral<std::int32_t>();
    default: return in.ConsumeIntegralInRange<std::int32_t>(lo, hi);
  }
}

// An image of at most max_side x max_side pixels. Its pixels come either
// straight from the input or as blocks of a coarser pattern, so that short
// inputs still make large dark and light regions (squares, borders, grids).
inline GrayImage small_image(FuzzedDataProvider& in, std::uint32_t max_side) {
  const auto width = in.ConsumeIntegralInRange<std::uint32_t>(0, max_side);
  const auto height = in.ConsumeIntegralInRange<std::uint32_t>(0, max_side);
  const auto block = in.ConsumeIntegralInRange<std::uint32_t>(1, 8);
  const bool two_level = in.ConsumeBool();
  GrayImage image(width, height, 0);
  const std::uint32_t coarse_w = (width + block - 1) / block;
  const std::uint32_t coarse_h = (height + block - 1) / block;
  for (std::uint32_t cy = 0; cy < coarse_h; ++cy) {
    for (std::uint32_t cx = 0; cx < coarse_w; ++cx) {
      std::uint8_t v = in.ConsumeIntegral<std::uint8_t>();
      if (two_level) v = v & 1 ? 230 : 20;
      for (std::uint32_t y = cy * block; y < std::min(height, (cy + 1) * block); ++y) {
        for (std::uint32_t x = cx * block; x < std::min(width, (cx + 1) * block); ++x) image.row(y)[x] = v;
      }
    }
  }
  return image;
}

// Settings of the contour candidate search and identification. The window
// range allows at most a few dozen threshold scales.
inline void draw_contour_parameters(FuzzedDataProvider& in, DetectorParameters& p) {
  p.adaptive_thresh_win_size_min = in.ConsumeIntegralInRange<std::int32_t>(-8, 40);
  p.adaptive_thresh_win_size_max = p.adaptive_thresh_win_size_min + in.ConsumeIntegralInRange<std::int32_t>(-8, 40);
  p.adaptive_thresh_win_size_step = in.ConsumeIntegralInRange<std::int32_t>(-4, 20);
  if (in.ConsumeBool()) {
    // Extreme windows, with a step large enough to keep the scale count small.
    p.adaptive_thresh_win_size_min = any_int32(in, -100, 100);
    p.adaptive_thresh_win_size_max = any_int32(in, -100, 100);
    p.adaptive_thresh_win_size_step = in.ConsumeBool() ? std::numeric_limits<std::int32_t>::max()
                                                       : std::numeric_limits<std::int32_t>::min();
  }
  p.adaptive_thresh_constant = any_double(in, -20.0, 40.0);
  p.polygonal_approx_accuracy_rate = any_double(in, -0.1, 0.3);
  p.error_correction_rate = any_double(in, -1.0, 2.0);
  p.detect_inverted_marker = in.ConsumeBool();
  p.min_side_length_canonical_img = any_int32(in, -4, 40);
  p.border_cells = in.ConsumeIntegralInRange<std::int32_t>(1, 8);  // marker_border_bits
}

// Settings of corner refinement, within their accepted ranges.
inline void draw_refinement_parameters(FuzzedDataProvider& in, DetectorParameters& p, bool allow_apriltag) {
  p.corner_refinement_method = in.ConsumeIntegralInRange<std::int32_t>(0, allow_apriltag ? 3 : 2);
  p.corner_refinement_win_size = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(1, 12)
                                                  : std::numeric_limits<std::int32_t>::max();
  p.relative_corner_refinement_win_size =
      in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(1e-6, 3.0) : std::numeric_limits<double>::max();
  p.corner_refinement_max_iterations = in.ConsumeIntegralInRange<std::int32_t>(1, 100);
  p.corner_refinement_min_accuracy =
      in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(0.0, 2.0) : std::numeric_limits<double>::max();
}

// AprilTag settings, within their accepted ranges.
inline void draw_apriltag_parameters(FuzzedDataProvider& in, DetectorParameters& p) {
  p.april_tag_quad_decimate = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(0.0, 4.0)
                                               : in.ConsumeFloatingPointInRange<double>(0.0, 1e300);
  p.april_tag_refine_full_resolution = in.ConsumeBool();
  p.april_tag_quad_sigma = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(-3.0, 3.0)
                                            : in.ConsumeFloatingPointInRange<double>(-1e300, 1e300);
  p.april_tag_min_cluster_pixels = any_int32(in, 1, 200);
  if (p.april_tag_min_cluster_pixels < 1) p.april_tag_min_cluster_pixels = 1;
  p.april_tag_max_nmaxima = any_int32(in, 4, 20);
  if (p.april_tag_max_nmaxima < 4) p.april_tag_max_nmaxima = 4;
  p.april_tag_critical_rad =
      in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(1e-300, 1.5707963267948963) : std::numeric_limits<double>::denorm_min();
  p.april_tag_max_line_fit_mse = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(1e-12, 100.0)
                                                  : std::numeric_limits<double>::max();
  p.april_tag_min_white_black_diff = in.ConsumeIntegralInRange<std::int32_t>(0, 255);
  p.april_tag_deglitch = in.ConsumeBool();
  p.border_cells = in.ConsumeIntegralInRange<std::int32_t>(1, 8);  // marker_border_bits
}

}  // namespace morvelin::fuzz
