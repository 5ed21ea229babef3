// Gradient-orthogonality sub-pixel corner refinement: in a square window
// round the estimate every image gradient should be orthogonal to the vector
// from the corner to the gradient's position; the weighted least-squares
// solution of that condition is the next estimate.
#pragma once

#include <cstdint>
#include <span>

#include "geometry/point.hpp"
#include "image/gray_image.hpp"

namespace morvelin {

// Refines one corner. `win` is the half-size of the search window (side
// 2 * win + 1). Never fails on numeric grounds; throws std::bad_alloc when the
// window buffers cannot be allocated.
Point2f corner_sub_pix(GrayView image, Point2f corner, std::uint64_t win, std::int32_t max_iters,
                       double eps);

// Refines every corner of `corners` in place with the same settings; the
// result equals calling corner_sub_pix once per corner.
void corner_sub_pix(GrayView image, std::span<Point2f> corners, std::uint64_t win, std::int32_t max_iters,
                    double eps);

}  // namespace morvelin
