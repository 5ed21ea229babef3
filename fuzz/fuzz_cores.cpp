// MORVELIN_CORES and RAYON_NUM_THREADS texts: any bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/worker_pool.hpp"

using namespace morvelin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const CoresVariable parsed = parse_cores_variable(text);
  if (parsed.cores) {
    const CoreList& cores = *parsed.cores;
    if (cores.empty() || cores.size() > kMaxCoreListLength || parsed.invalid) std::abort();
    for (std::size_t i = 1; i < cores.size(); ++i) {
      if (cores[i - 1] >= cores[i]) std::abort();  // ascending, no duplicates
    }
  }
  const auto threads = parse_thread_count(text);
  if (threads && *threads == 0) std::abort();
  return 0;
}
