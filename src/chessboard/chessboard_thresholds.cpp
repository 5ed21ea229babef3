#include "chessboard/chessboard_thresholds.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "imgproc/adaptive_threshold.hpp"
#include "imgproc/otsu_threshold.hpp"
#include "numeric/conversions.hpp"

namespace morvelin {
namespace {

std::int64_t block_size_from(double side) {
  std::int64_t block = round_saturate<std::int64_t>(side) | 1;
  if (block < 5) block = 3;
  return block;
}

}  // namespace

BinaryImage otsu_binarize(GrayView image) {
  const auto level = static_cast<std::uint8_t>(otsu_threshold(histogram_of(image.span())));
  BinaryImage binary = BinaryImage::with_zero_frame(image.width, image.height);
  // Sizes and pointers in locals here and below: stores through int8_t
  // pointers may alias any record, whose fields would be reloaded per pixel.
  const std::uint32_t width = image.width;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint8_t* in = image.row(y);
    std::int8_t* out = &binary.at(0, y);
    for (std::uint32_t x = 0; x < width; ++x) out[x] = static_cast<std::int8_t>(in[x] <= level);
  }
  return binary;
}

Vec<std::int64_t> adaptive_block_sizes(std::uint32_t width, std::uint32_t height) {
  const auto shorter = static_cast<double>(std::min(width, height));
  Vec<std::int64_t> sizes = {block_size_from(0.1 * shorter), block_size_from(0.2 * shorter), 31};
  std::sort(sizes.begin(), sizes.end());
  sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
  return sizes;
}

ChessboardBinarisations::ChessboardBinarisations(GrayView image) : image_(image) {
  const Vec<std::int64_t> sizes = adaptive_block_sizes(image.width, image.height);
  groups_ = Vec<Group>(1 + sizes.size());
  for (std::size_t i = 0; i < sizes.size(); ++i) groups_[i + 1].block = sizes[i];
}

ChessboardThreshold ChessboardBinarisations::threshold(std::size_t k) const {
  if (k == 0) return {};
  const std::size_t offsets = kChessboardThresholdOffsets.size();
  return {groups_[1 + (k - 1) / offsets].block, kChessboardThresholdOffsets[(k - 1) % offsets]};
}

std::pair<ChessboardBinarisations::Group&, std::size_t> ChessboardBinarisations::locate(std::size_t k) {
  if (k == 0) return {groups_[0], 0};
  const std::size_t offsets = kChessboardThresholdOffsets.size();
  return {groups_[1 + (k - 1) / offsets], (k - 1) % offsets};
}

const BinaryImage& ChessboardBinarisations::image(std::size_t k) {
  const auto located = locate(k);
  Group& group = located.first;  // a plain reference: clang 14 lets no lambda capture a structured binding
  const std::size_t index = located.second;
  std::call_once(group.formed, [&] {
    if (group.block == 0) {
      group.images.push_back(otsu_binarize(image_));
    } else {
      group.images = adaptive_thresholds(image_, group.block, kChessboardThresholdOffsets, Threads::kCallingThread);
    }
  });
  return group.images[index];
}

void ChessboardBinarisations::release(std::size_t k) {
  auto [group, index] = locate(k);
  group.images[index] = BinaryImage();
}

BinaryImage erode_dark_regions(const BinaryImage& binary) {
  BinaryImage eroded = BinaryImage::with_zero_frame(binary.width, binary.height);
  if (binary.width == 0 || binary.height == 0) return eroded;
  const std::size_t stride = binary.stride();
  const std::size_t width = binary.width;
  // dark_columns[i]: cell i of the current row and the rows above and below
  // are all dark; the frame columns stay 0.
  Vec<std::int8_t> dark_columns(stride, 0);
  std::int8_t* dark = dark_columns.data();
  for (std::uint32_t y = 0; y < binary.height; ++y) {
    const std::int8_t* above = binary.cells.data() + static_cast<std::size_t>(y) * stride;
    const std::int8_t* here = above + stride;
    const std::int8_t* below = here + stride;
    for (std::size_t i = 1; i + 1 < stride; ++i) {
      dark[i] = static_cast<std::int8_t>((above[i] != 0) & (here[i] != 0) & (below[i] != 0));
    }
    std::int8_t* out = &eroded.at(0, y);
    for (std::size_t x = 0; x < width; ++x) {
      out[x] = static_cast<std::int8_t>(dark[x] & dark[x + 1] & dark[x + 2]);
    }
  }
  return eroded;
}

}  // namespace morvelin
