#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <vector>

#include "code_bits.hpp"
#include "dictionary/dictionary.hpp"

using namespace morvelin;

namespace {

using morvelin::testing::code_bits;

}  // namespace

TEST(DictionaryLookup, NamesAreCaseInsensitiveWithOptionalPrefix) {
  const auto a = lookup_dictionary("dict_6x6_250");
  const auto b = lookup_dictionary("6X6_250");
  const auto c = lookup_dictionary("DICT_6X6_250");
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->codes, c->codes);
  EXPECT_EQ(b->codes, c->codes);
  EXPECT_EQ(c->size(), 250u);
  EXPECT_EQ(c->max_correction_bits, 5);
  EXPECT_FALSE(lookup_dictionary("DICT_6X6_25"));
  EXPECT_FALSE(lookup_dictionary(" DICT_6X6_250"));
  EXPECT_FALSE(lookup_dictionary("DICT"));
  EXPECT_FALSE(lookup_dictionary("DICT_"));
  EXPECT_TRUE(lookup_dictionary("aruco_original"));
  EXPECT_TRUE(lookup_dictionary("DICT_APRILTAG_36H11"));
}

TEST(DictionaryLookup, EveryPredefinedNameResolvesWithItsSizes) {
  const std::array<std::pair<std::size_t, std::uint32_t>, 22> expected = {{
      {50, 4}, {100, 4}, {250, 4}, {1000, 4}, {50, 5}, {100, 5}, {250, 5}, {1000, 5},
      {50, 6}, {100, 6}, {250, 6}, {1000, 6}, {50, 7}, {100, 7}, {250, 7}, {1000, 7},
      {1024, 5}, {250, 6}, {30, 4}, {35, 5}, {2320, 6}, {587, 6},
  }};
  for (std::size_t i = 0; i < kPredefinedDictionaryNames.size(); ++i) {
    const auto d = lookup_dictionary(kPredefinedDictionaryNames[i]);
    ASSERT_TRUE(d) << kPredefinedDictionaryNames[i];
    EXPECT_EQ(d->size(), expected[i].first) << kPredefinedDictionaryNames[i];
    EXPECT_EQ(d->marker_size, expected[i].second) << kPredefinedDictionaryNames[i];
  }
}

TEST(DictionaryTables, BlocksAreQuarterTurnsAndPaddingBitsAreZero) {
  for (auto name : kPredefinedDictionaryNames) {
    const auto d = lookup_dictionary(name);
    ASSERT_TRUE(d);
    const std::uint32_t n = d->marker_size;
    const std::uint32_t spare = (8 - (n * n) % 8) % 8;
    for (std::size_t id = 0; id < d->size(); ++id) {
      for (int r = 0; r < 4; ++r) {
        if (spare) {
          EXPECT_EQ(d->block(id, r).back() >> (8 - spare), 0) << name << " " << id;
        }
        const auto now = code_bits(*d, id, r);
        const auto next = code_bits(*d, id, (r + 1) % 4);
        for (std::uint32_t i = 0; i < n; ++i)
          for (std::uint32_t j = 0; j < n; ++j) ASSERT_EQ(next[i][j], now[j][n - 1 - i]) << name << " " << id;
      }
    }
  }
}

TEST(DictionaryTables, SmallerSetsArePrefixesOfTheirFamily) {
  const auto small = lookup_dictionary("DICT_5X5_50");
  const auto big = lookup_dictionary("DICT_5X5_1000");
  ASSERT_TRUE(small && big);
  EXPECT_TRUE(std::equal(small->codes.begin(), small->codes.end(), big->codes.begin()));
}

TEST(CodeMatching, ExactCodeInEveryRotation) {
  const auto d = lookup_dictionary("DICT_6X6_250");
  ASSERT_TRUE(d);
  std::vector<std::uint8_t> all(d->block_size(), 0xff);
  all.back() = 0x0f;  // 36 bits: the last byte holds four bits
  for (int r = 0; r < 4; ++r) {
    const auto block = d->block(123, r);
    const std::vector<std::uint8_t> white(block.begin(), block.end());
    const auto m = match_code(*d, white, all, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, 123);
    EXPECT_EQ(m->rotation, r);
  }
}

TEST(CodeMatching, FirstAcceptableCodeWinsOverClosest) {
  const auto d = lookup_dictionary("DICT_6X6_250");
  ASSERT_TRUE(d);
  const std::vector<std::uint8_t> decided = {0xff, 0xff, 0xff, 0xff, 0x0f};
  auto white_of = [&](std::size_t id) {
    const auto b = d->block(id, 0);
    return std::vector<std::uint8_t>(b.begin(), b.end());
  };
  // Take code 7 and flip bits until code 3 is within 3 errors while 7 is closer.
  std::vector<std::uint8_t> obs = white_of(7);
  const auto code3 = white_of(3);
  int flipped = 0;
  for (std::size_t k = 0; k < obs.size() && flipped < 2; ++k) {
    for (int bit = 0; bit < 8 && flipped < 2; ++bit) {
      const std::uint8_t mask = static_cast<std::uint8_t>(1u << bit);
      if ((decided[k] & mask) && ((obs[k] ^ code3[k]) & mask)) {
        obs[k] ^= mask;
        ++flipped;
      }
    }
  }
  const auto m = match_code(*d, obs, decided, 40);
  ASSERT_TRUE(m);
  EXPECT_LE(m->id, 7);  // an earlier acceptable code wins
  const auto exact = match_code(*d, white_of(7), decided, 0);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->id, 7);
}

TEST(CodeMatching, UndecidedCellsCountAsErrorsAndNegativeAllowanceMatchesNothing) {
  const auto d = lookup_dictionary("DICT_4X4_50");
  ASSERT_TRUE(d);
  const auto block = d->block(9, 2);
  std::vector<std::uint8_t> white(block.begin(), block.end());
  std::vector<std::uint8_t> decided(d->block_size(), 0xff);
  // Two cells undecided: a white one (read as not white) and a black one.
  const int white_bit = std::countr_zero(static_cast<unsigned>(white[0]));
  const int black_bit = std::countr_zero(static_cast<unsigned>(~white[1] & 0xffu));
  white[0] = static_cast<std::uint8_t>(white[0] & ~(1u << white_bit));
  decided[0] = static_cast<std::uint8_t>(decided[0] & ~(1u << white_bit));
  decided[1] = static_cast<std::uint8_t>(decided[1] & ~(1u << black_bit));
  EXPECT_FALSE(match_code(*d, white, decided, 1));
  EXPECT_EQ(match_code(*d, white, decided, 2), (CodeMatch{9, 2}));
  // A reading without any decided cell matches nothing, whatever the allowance.
  const std::vector<std::uint8_t> none(d->block_size(), 0);
  EXPECT_FALSE(match_code(*d, none, none, 1000));
  EXPECT_FALSE(match_code(*d, block, none, 1000));
  std::vector<std::uint8_t> all(d->block_size(), 0xff);
  EXPECT_FALSE(match_code(*d, white, all, -1));
  Dictionary empty;
  empty.marker_size = 4;
  EXPECT_FALSE(match_code(empty, white, all, 5));
}

TEST(CodeMatching, EqualSmallestDistancesKeepTheEarlierRotation) {
  // A synthetic one-entry dictionary whose blocks 1 and 3 are both one bit away.
  Dictionary d;
  d.marker_size = 4;
  d.codes = {0x00, 0x00, 0xff, 0x01, 0x00, 0xff, 0xf0, 0xff};
  const std::vector<std::uint8_t> decided = {0xff, 0xff};
  const std::vector<std::uint8_t> obs = {0xff, 0x00};
  const auto m = match_code(d, obs, decided, 16);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->rotation, 1);
}
