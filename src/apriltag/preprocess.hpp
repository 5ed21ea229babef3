// Working image of the AprilTag quad detector: optional decimation by a
// triangle-filter resize and optional Gaussian blur. Both filters are
// separable and run one direction after the other on a single float row, so
// each allocates only its output image and one or two rows of scratch (the
// resize one row per band of output rows, which it fills in parallel).
#pragma once

#include <cstdint>

#include "geometry/point.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

struct ImageSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  bool operator==(const ImageSize&) const = default;
};

// Size of the working image for decimation factor `decimate`: round(w / d)
// and round(h / d), half away from zero, each at least 1. Factors of 1.0 or
// less (and NaN) leave the size unchanged.
ImageSize decimated_size(ImageSize input, double decimate);

// Resamples to `size` with a triangle (linear interpolation) filter whose
// support is scaled by the reduction ratio, so every output pixel averages the
// input pixels under its footprint. Output pixel centre i sits at input
// coordinate (i + 0.5) * in / out - 0.5. Rounds half up at the end; there is
// no rounding between the two passes. `image` must not be empty.
GrayImage resize_triangle(GrayView image, ImageSize size);

// Gaussian blur of standard deviation `sigma` pixels (> 0; +inf gives a flat
// kernel). The kernel radius is ceil(3 sigma), bounded by the image extent
// along each axis so that no sigma builds a kernel longer than the image.
// Pixels outside the image repeat the nearest edge pixel.
GrayImage gaussian_blur(GrayView image, float sigma);

// The blur standard deviation for the `april_tag_quad_sigma` setting s: |s|
// in single precision (+inf beyond the float range), and 0.8 when that is 0.
float quad_blur_sigma(double s);

// Maps a point of the decimated working image back to the input image. Both
// use pixel centres at integer coordinates, so the map is
// (p + 0.5) * ratio - 0.5 per axis, with the exact ratio input / working.
Point2f working_to_input(Point2f p, ImageSize input, ImageSize working);

}  // namespace morvelin
