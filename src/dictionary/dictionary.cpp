#include "dictionary/dictionary.hpp"

#include <bit>
#include <cstring>
#include <string>

#include "dictionary/code_tables.hpp"

namespace morvelin {
namespace {

struct PredefinedDictionary {
  std::string_view key;  // upper-cased name without "DICT_"
  const std::uint8_t* table;
  std::uint32_t marker_size;
  std::size_t count;
  std::int32_t max_correction_bits;
};

using namespace code_tables;

constexpr std::array<PredefinedDictionary, 22> kPredefined = {{
    {"4X4_50", k4x4, 4, 50, 1},
    {"4X4_100", k4x4, 4, 100, 1},
    {"4X4_250", k4x4, 4, 250, 1},
    {"4X4_1000", k4x4, 4, 1000, 0},
    {"5X5_50", k5x5, 5, 50, 3},
    {"5X5_100", k5x5, 5, 100, 3},
    {"5X5_250", k5x5, 5, 250, 2},
    {"5X5_1000", k5x5, 5, 1000, 2},
    {"6X6_50", k6x6, 6, 50, 6},
    {"6X6_100", k6x6, 6, 100, 5},
    {"6X6_250", k6x6, 6, 250, 5},
    {"6X6_1000", k6x6, 6, 1000, 4},
    {"7X7_50", k7x7, 7, 50, 9},
    {"7X7_100", k7x7, 7, 100, 8},
    {"7X7_250", k7x7, 7, 250, 8},
    {"7X7_1000", k7x7, 7, 1000, 6},
    {"ARUCO_ORIGINAL", kArucoOriginal, 5, 1024, 1},
    {"ARUCO_MIP_36H12", k36h12, 6, 250, 5},
    {"APRILTAG_16H5", k16h5, 4, 30, 2},
    {"APRILTAG_25H9", k25h9, 5, 35, 4},
    {"APRILTAG_36H10", k36h10, 6, 2320, 4},
    {"APRILTAG_36H11", k36h11, 6, 587, 5},
}};

// The tables follow kPredefinedDictionaryNames, which gives the canonical names.
constexpr bool keys_follow_names() {
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  for (std::size_t i = 0; i < kPredefined.size(); ++i) {
    const std::string_view name = kPredefinedDictionaryNames[i].substr(5);
    if (name.size() != kPredefined[i].key.size()) return false;
    for (std::size_t k = 0; k < name.size(); ++k) {
      if (upper(name[k]) != kPredefined[i].key[k]) return false;
    }
  }
  return true;
}
static_assert(keys_follow_names());

// Bit counts of all bytes: without a hardware population count in the
// baseline instruction set, std::popcount becomes a library call per byte.
constexpr std::array<std::uint8_t, 256> kByteBitCounts = [] {
  std::array<std::uint8_t, 256> counts{};
  for (int i = 0; i < 256; ++i) counts[i] = static_cast<std::uint8_t>(std::popcount(static_cast<unsigned>(i)));
  return counts;
}();

// Bits where a decided cell disagrees with the block.
int distance(std::span<const std::uint8_t> block, std::span<const std::uint8_t> white,
             std::span<const std::uint8_t> decided) noexcept {
  int d = 0;
  for (std::size_t k = 0; k < block.size(); ++k) {
    d += kByteBitCounts[static_cast<std::uint8_t>((block[k] ^ white[k]) & decided[k])];
  }
  return d;
}

// Cells whose colour is undecided; each is an error against every code.
int undecided_cells(std::span<const std::uint8_t> decided, std::uint32_t cells) noexcept {
  int decided_count = 0;
  for (std::uint8_t byte : decided) decided_count += kByteBitCounts[byte];
  return static_cast<int>(cells) - decided_count;
}

}  // namespace

std::optional<Dictionary> lookup_dictionary(std::string_view name) {
  if (name.size() < 5) return std::nullopt;
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  std::string_view key = upper;
  if (key.starts_with("DICT_")) key.remove_prefix(5);
  for (std::size_t i = 0; i < kPredefined.size(); ++i) {
    const PredefinedDictionary& entry = kPredefined[i];
    if (entry.key != key) continue;
    Dictionary dictionary;
    dictionary.name = kPredefinedDictionaryNames[i];
    dictionary.marker_size = entry.marker_size;
    dictionary.max_correction_bits = entry.max_correction_bits;
    const std::size_t bytes = entry.count * dictionary.entry_size();
    dictionary.codes.assign(entry.table, entry.table + bytes);
    return dictionary;
  }
  return std::nullopt;
}

std::optional<CodeMatch> match_code(const Dictionary& dictionary, std::span<const std::uint8_t> white,
                                    std::span<const std::uint8_t> decided, std::int32_t allowed_errors) {
  if (allowed_errors < 0) return std::nullopt;
  const std::uint32_t cells = dictionary.marker_size * dictionary.marker_size;
  const int undecided = undecided_cells(decided, cells);
  // A reading without a single decided cell carries no information.
  if (undecided >= static_cast<int>(cells) || undecided > allowed_errors) return std::nullopt;
  const std::size_t count = dictionary.size();
  for (std::size_t id = 0; id < count; ++id) {
    int best = undecided + distance(dictionary.block(id, 0), white, decided);
    int rotation = 0;
    for (int r = 1; r < 4 && best != 0; ++r) {
      const int d = undecided + distance(dictionary.block(id, r), white, decided);
      if (d < best) {
        best = d;
        rotation = r;
      }
    }
    if (best <= allowed_errors) return CodeMatch{static_cast<std::int32_t>(id), rotation};
  }
  return std::nullopt;
}

}  // namespace morvelin
