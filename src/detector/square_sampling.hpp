// Nearest-neighbour rectification of a marker candidate into a square of
// side x side samples.
#pragma once

#include <cstdint>

#include "image/gray_image.hpp"
#include "imgproc/homography.hpp"

namespace morvelin {

// Round half away from zero, saturated to 32 bits (NaN gives 0).
std::int32_t round_to_pixel(double x);

// out[v * side + u] is the pixel at (round_to_pixel(x), round_to_pixel(y))
// for (x, y) = apply_homography(h, u, v), or 0 when that lies outside the
// image.
void sample_square(GrayView image, const Homography& h, std::uint32_t side, std::uint8_t* out);

}  // namespace morvelin
