// The cells of a dictionary code as printed, read straight from its packed
// block: bits row by row, most significant first, the last byte right-aligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dictionary/dictionary.hpp"

namespace morvelin::testing {

// Cell (r, c) of block `rotation` of code `id`: true is white.
inline bool code_bit(const Dictionary& d, std::size_t id, std::uint32_t r, std::uint32_t c, int rotation = 0) {
  const auto block = d.block(id, rotation);
  const std::uint32_t bits = d.marker_size * d.marker_size;
  const std::uint32_t k = r * d.marker_size + c;
  const std::uint32_t in_byte = (k / 8 == bits / 8) ? bits % 8 : 8;
  return (block[k / 8] >> (in_byte - 1 - k % 8)) & 1;
}

// The whole block as an n x n matrix of 0 (black) and 1 (white).
inline std::vector<std::vector<int>> code_bits(const Dictionary& d, std::size_t id, int rotation = 0) {
  const std::uint32_t n = d.marker_size;
  std::vector<std::vector<int>> m(n, std::vector<int>(n));
  for (std::uint32_t r = 0; r < n; ++r)
    for (std::uint32_t c = 0; c < n; ++c) m[r][c] = code_bit(d, id, r, c, rotation);
  return m;
}

}  // namespace morvelin::testing
