// Dictionary names (any bytes) and code matching of random observations.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dictionary/dictionary.hpp"
#include "fuzz_input.hpp"

using namespace morvelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string name = in.ConsumeRandomLengthString(64);
  const auto by_name = lookup_dictionary(name);
  if (by_name && (by_name->size() == 0 || by_name->marker_size < 4 || by_name->marker_size > 7)) std::abort();

  const auto known = kPredefinedDictionaryNames[in.ConsumeIntegralInRange<std::size_t>(0, 21)];
  const Dictionary dictionary = *lookup_dictionary(known);
  const auto allowed = fuzz::any_int32(in, -2, 12);
  Vec<std::uint8_t> white(dictionary.block_size()), decided(dictionary.block_size());
  for (auto& b : white) b = in.ConsumeIntegral<std::uint8_t>();
  for (auto& b : decided) b = in.ConsumeBool() ? 0xff : in.ConsumeIntegral<std::uint8_t>();
  const auto match = match_code(dictionary, white, decided, allowed);
  if (match && (match->id < 0 || static_cast<std::size_t>(match->id) >= dictionary.size() || match->rotation < 0 ||
                match->rotation > 3 || allowed < 0))
    std::abort();
  return 0;
}
