// Printable images of single markers, drawn from the module's own code
// tables: black border, data cells as printed, white = set bit.
#pragma once

#include <cstdint>
#include <string_view>

#include "dictionary/dictionary.hpp"
#include "image/gray_image.hpp"
#include "runtime/status.hpp"

namespace morvelin {

// A side_pixels x side_pixels image of marker `id`, 0 for black and 255 for
// white. Pixel (x, y) takes the colour of the cell under its centre, so cells
// differ by at most one pixel in size when side_pixels is not a multiple of
// the cell count n + 2 * border_bits.
//
// Errors (ErrorKind::kValue unless stated), naming `dictionary_name`:
//   id outside [0, size), border_bits < 1, side_pixels below the cell count,
//   side_pixels above 2^32 - 1; ErrorKind::kMemory when the image cannot be
//   held in memory.
Result<GrayImage> render_marker_image(const Dictionary& dictionary, std::string_view dictionary_name,
                                      std::int64_t id, std::int64_t side_pixels, std::int64_t border_bits);

}  // namespace morvelin
