// The 22 predefined marker dictionaries: name lookup and code matching.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "runtime/allocator.hpp"

namespace morvelin {

// One predefined dictionary, copied out of its family table by lookup.
struct Dictionary {
  std::string_view name;          // canonical name, e.g. "DICT_6X6_250"
  Vec<std::uint8_t> codes;        // entry k at k * entry_size(): four rotation blocks
  std::uint32_t marker_size = 0;  // data cells per side, n
  std::int32_t max_correction_bits = 0;

  // Bytes of one rotation block: ceil(n^2 / 8).
  std::size_t block_size() const noexcept { return (marker_size * marker_size + 7) / 8; }
  std::size_t entry_size() const noexcept { return 4 * block_size(); }
  std::size_t size() const noexcept { return entry_size() == 0 ? 0 : codes.size() / entry_size(); }
  std::span<const std::uint8_t> block(std::size_t id, int rotation) const noexcept {
    return {codes.data() + id * entry_size() + static_cast<std::size_t>(rotation) * block_size(), block_size()};
  }
};

constexpr std::array<std::string_view, 22> kPredefinedDictionaryNames = {
    "DICT_4X4_50",          "DICT_4X4_100",         "DICT_4X4_250",       "DICT_4X4_1000",
    "DICT_5X5_50",          "DICT_5X5_100",         "DICT_5X5_250",       "DICT_5X5_1000",
    "DICT_6X6_50",          "DICT_6X6_100",         "DICT_6X6_250",       "DICT_6X6_1000",
    "DICT_7X7_50",          "DICT_7X7_100",         "DICT_7X7_250",       "DICT_7X7_1000",
    "DICT_ARUCO_ORIGINAL",  "DICT_ARUCO_MIP_36h12", "DICT_APRILTAG_16h5", "DICT_APRILTAG_25h9",
    "DICT_APRILTAG_36h10",  "DICT_APRILTAG_36h11",
};

// Case-insensitive lookup; the "DICT_" prefix is optional. Unknown names give
// nothing. The result carries the canonical name.
std::optional<Dictionary> lookup_dictionary(std::string_view name);

struct CodeMatch {
  std::int32_t id = 0;
  int rotation = 0;  // the observation equals stored block `rotation`

  bool operator==(const CodeMatch&) const = default;
};

// The first code, in id order, whose best rotation is within
// `allowed_errors` bits of the observation. `white` and `decided` are packed
// like one rotation block. An undecided cell counts as one error against every
// code and rotation, so a reading with no decided cell matches nothing.
std::optional<CodeMatch> match_code(const Dictionary& dictionary, std::span<const std::uint8_t> white,
                                    std::span<const std::uint8_t> decided, std::int32_t allowed_errors);

}  // namespace morvelin
