#include "runtime/owned_array.hpp"

#include <unistd.h>

#include <cstdint>

namespace morvelin {

bool fits_in_physical_memory(std::size_t bytes) noexcept {
  // Below this size a request can never be the problem worth a system call.
  constexpr std::size_t kAlwaysFine = std::size_t{64} << 20;
  if (bytes <= kAlwaysFine) return true;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  // Unknown memory size: leave the decision to the allocator.
  if (pages <= 0 || page_size <= 0) return true;
  const auto page_count = static_cast<std::size_t>(pages);
  const auto page_bytes = static_cast<std::size_t>(page_size);
  if (page_count > SIZE_MAX / page_bytes) return true;
  return bytes <= page_count * page_bytes;
}

}  // namespace morvelin
