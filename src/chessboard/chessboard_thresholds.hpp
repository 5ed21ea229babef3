// Binarisations tried by the chessboard finder: one global (Otsu) threshold,
// then a schedule of adaptive thresholds, and the one-pixel erosion of the
// dark regions that separates squares touching only at a corner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "image/binary_image.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// Offsets C tried with every adaptive block size, in this order.
inline constexpr std::array<double, 3> kChessboardThresholdOffsets = {0.0, 5.0, 10.0};

// Pixels at or below the Otsu level of the whole image become dark (1).
BinaryImage otsu_binarize(const GrayImage& image);

// Adaptive block sizes for a W x H image, increasing and distinct: about a
// tenth and a fifth of the shorter side (rounded half away from zero, made
// odd, at least 3 once below 5) and 31.
Vec<std::int64_t> adaptive_block_sizes(std::uint32_t width, std::uint32_t height);

// One binarisation of the schedule: the global threshold when `block` is 0,
// otherwise the adaptive threshold with that block size and offset.
struct ChessboardThreshold {
  std::int64_t block = 0;
  double offset = 0.0;
};

// The binarisations tried for an image, in order: the global threshold, then
// for every adaptive block size each offset of kChessboardThresholdOffsets.
// Searches running side by side take the binary images they need; the
// images of one block size are formed together, in one pass over the window
// sums, by whichever search asks for one of them first.
class ChessboardBinarisations {
 public:
  explicit ChessboardBinarisations(const GrayImage& image);

  std::size_t size() const { return 1 + kChessboardThresholdOffsets.size() * blocks_.size(); }
  ChessboardThreshold threshold(std::size_t k) const;

  // Binary image k (on the calling thread). Each may be taken once.
  BinaryImage take(std::size_t k);

 private:
  struct Block {
    std::int64_t size = 0;
    std::once_flag formed;
    Vec<BinaryImage> images;  // one per offset
  };

  const GrayImage& image_;
  Vec<Block> blocks_;
};

// Erodes the dark regions by one pixel: a cell stays dark (1) only when all
// nine cells of its 3 x 3 neighbourhood are non-zero, the zero frame counting
// as light. Any non-zero cell counts as dark, so a binary image already
// re-marked by border following can be eroded without a copy.
BinaryImage erode_dark_regions(const BinaryImage& binary);

}  // namespace morvelin
