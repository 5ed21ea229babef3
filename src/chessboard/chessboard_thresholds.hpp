// Binarisations tried by the chessboard finder: one global (Otsu) threshold,
// then a schedule of adaptive thresholds, and the one-pixel erosion of the
// dark regions that separates squares touching only at a corner.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

#include "image/binary_image.hpp"
#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"

namespace morvelin {

// Offsets C tried with every adaptive block size, in this order.
inline constexpr std::array<double, 3> kChessboardThresholdOffsets = {0.0, 5.0, 10.0};

// Pixels at or below the Otsu level of the whole image become dark (1).
BinaryImage otsu_binarize(GrayView image);

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
// Searches running side by side share the binary images: an image is formed
// when a search first asks for it, the images of one block size together, in
// one pass over the window sums, and freed when released.
class ChessboardBinarisations {
 public:
  explicit ChessboardBinarisations(GrayView image);

  std::size_t size() const { return 1 + kChessboardThresholdOffsets.size() * (groups_.size() - 1); }
  ChessboardThreshold threshold(std::size_t k) const;

  // Binary image k, formed on first use (on the calling thread); it stays
  // unchanged until released.
  const BinaryImage& image(std::size_t k);

  // Frees binary image k; no search may use it any more.
  void release(std::size_t k);

 private:
  // The global threshold (one image), or one block size (one per offset).
  struct Group {
    std::int64_t block = 0;
    std::once_flag formed;
    Vec<BinaryImage> images;
  };

  std::pair<Group&, std::size_t> locate(std::size_t k);

  GrayView image_;
  Vec<Group> groups_;
};

// Erodes the dark regions by one pixel: a cell stays dark (1) only when all
// nine cells of its 3 x 3 neighbourhood are non-zero, the zero frame counting
// as light. Any non-zero cell counts as dark, so a binary image already
// re-marked by border following can be eroded without a copy.
BinaryImage erode_dark_regions(const BinaryImage& binary);

}  // namespace morvelin
