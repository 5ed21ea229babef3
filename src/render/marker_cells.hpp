// The cells of a marker as printed: a black border `border_bits` cells wide
// around the n x n data cells of the code's first block (the marker as
// printed, row by row, a set bit being a white cell).
#pragma once

#include <cstddef>
#include <cstdint>

#include "dictionary/dictionary.hpp"

namespace morvelin {

class MarkerCells {
 public:
  // `id` must be a valid code index of `dictionary`; border_bits >= 1.
  MarkerCells(const Dictionary& dictionary, std::size_t id, std::uint64_t border_bits) noexcept
      : block_(dictionary.block(id, 0).data()),
        data_cells_(dictionary.marker_size),
        border_(border_bits),
        bits_(static_cast<std::size_t>(dictionary.marker_size) * dictionary.marker_size) {}

  // Cells per side, border included.
  std::uint64_t side() const noexcept { return data_cells_ + 2 * border_; }

  // Cell (row, column) of the printed marker, both below side().
  bool white(std::uint64_t row, std::uint64_t column) const noexcept {
    if (row < border_ || column < border_) return false;
    row -= border_;
    column -= border_;
    if (row >= data_cells_ || column >= data_cells_) return false;
    return data_bit(static_cast<std::size_t>(row * data_cells_ + column));
  }

 private:
  // Bit k of the row-major sequence: most significant bit first, the last
  // partial byte right-aligned.
  bool data_bit(std::size_t k) const noexcept {
    const std::size_t byte = k / 8;
    const std::size_t full_bytes = bits_ / 8;
    const std::size_t width = byte == full_bytes ? bits_ % 8 : 8;
    return ((block_[byte] >> (width - 1 - k % 8)) & 1u) != 0;
  }

  const std::uint8_t* block_;
  std::uint64_t data_cells_;
  std::uint64_t border_;
  std::size_t bits_;
};

}  // namespace morvelin
