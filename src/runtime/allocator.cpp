#include "runtime/allocator.hpp"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define MORVELIN_UNDER_VALGRIND() (RUNNING_ON_VALGRIND != 0)
#else
#define MORVELIN_UNDER_VALGRIND() false
#endif

namespace morvelin {
namespace {

struct Mimalloc {
  void* (*malloc_aligned)(std::size_t, std::size_t) = nullptr;
  void (*free)(void*) = nullptr;
  bool (*in_heap)(const void*) = nullptr;
};

const Mimalloc& mimalloc() {
  static const Mimalloc functions = [] {
    Mimalloc f;
#if defined(MORVELIN_SYSTEM_MALLOC) || defined(__SANITIZE_THREAD__)
    // Sanitizer builds: buffers must come from the system allocator, which
    // the sanitizer intercepts. AddressSanitizer cannot see heap errors
    // inside mimalloc's arenas, and ThreadSanitizer follows memory reuse only
    // through the allocator it intercepts (a private mimalloc would make every
    // reused block look like a race).
    return f;
#endif
    // Under the memory checker, which replaces mimalloc's free (an alias of
    // mi_free) but not its aligned allocation, and could not see inside its
    // heap anyway, the system allocator serves too.
    if (MORVELIN_UNDER_VALGRIND()) return f;
    void* library = dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!library) return f;
    f.malloc_aligned = reinterpret_cast<void* (*)(std::size_t, std::size_t)>(dlsym(library, "mi_malloc_aligned"));
    f.free = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_free"));
    f.in_heap = reinterpret_cast<bool (*)(const void*)>(dlsym(library, "mi_is_in_heap_region"));
    if (!f.malloc_aligned || !f.free || !f.in_heap) f = Mimalloc{};
    return f;  // the library stays loaded for the life of the process
  }();
  return functions;
}

// Below this size a request can never be the problem worth a system call.
constexpr std::size_t kLargeRequest = std::size_t{64} << 20;

// Bytes of large module blocks currently allocated.
std::atomic<std::size_t> g_large_outstanding{0};

// What the system can still hand out without swapping or killing a process
// (MemAvailable), or nothing where it does not say.
std::optional<std::size_t> available_memory() noexcept {
  try {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::size_t kilobytes = 0;
    while (meminfo >> key >> kilobytes) {
      if (key == "MemAvailable:") return kilobytes > SIZE_MAX / 1024 ? SIZE_MAX : kilobytes * 1024;
      meminfo.ignore(64, '\n');
    }
  } catch (...) {
  }
  return std::nullopt;
}

// Reserves `bytes` of a large request against the available memory. Every
// large block still allocated counts in full, whether or not it has been
// touched yet, so parallel tasks cannot each take the same free memory; a
// block already written to is then counted twice, which errs on the side of
// a clean MemoryError.
bool reserve_large(std::size_t bytes) noexcept {
  if (!fits_in_physical_memory(bytes)) return false;
  const std::size_t before = g_large_outstanding.fetch_add(bytes);
  const std::optional<std::size_t> available = available_memory();
  if (available && (before > *available || bytes > *available - before)) {
    g_large_outstanding.fetch_sub(bytes);
    return false;
  }
  return true;
}

// Blocks of several megabytes (an AprilTag segmentation's labels and boundary
// points) are filled once per call, and with small pages every 4 KiB of them
// costs a fault on first touch: thousands per frame. Transparent huge pages
// make that a handful; the advice is only a hint and its failure is harmless.
void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  constexpr std::size_t kWorthAdvising = std::size_t{4} << 20;
  if (bytes < kWorthAdvising) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

void* allocate_block(std::size_t bytes, std::size_t alignment) {
  const Mimalloc& mi = mimalloc();
  if (bytes == 0) bytes = 1;
  void* p = nullptr;
  if (mi.malloc_aligned) {
    p = mi.malloc_aligned(bytes, alignment);
  } else if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(bytes);
  } else {
    p = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
  }
  if (!p) throw std::bad_alloc();
  advise_huge_pages(p, bytes);
  return p;
}

}  // namespace

bool fits_in_physical_memory(std::size_t bytes) noexcept {
  if (bytes <= kLargeRequest) return true;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  // Unknown memory size: leave the decision to the allocator.
  if (pages <= 0 || page_size <= 0) return true;
  const auto page_count = static_cast<std::size_t>(pages);
  const auto page_bytes = static_cast<std::size_t>(page_size);
  if (page_count > SIZE_MAX / page_bytes) return true;
  return bytes <= page_count * page_bytes;
}

void* module_allocate(std::size_t bytes, std::size_t alignment) {
  // The system promises address space far beyond memory and kills the
  // process when it is touched; a large request that the available memory
  // cannot cover fails here instead, as std::bad_alloc.
  const bool large = bytes > kLargeRequest;
  if (large && !reserve_large(bytes)) throw std::bad_alloc();
  try {
    return allocate_block(bytes, alignment);
  } catch (...) {
    if (large) g_large_outstanding.fetch_sub(bytes);
    throw;
  }
}

void module_free(void* p, std::size_t bytes) noexcept {
  if (!p) return;
  if (bytes > kLargeRequest) g_large_outstanding.fetch_sub(bytes);
  const Mimalloc& mi = mimalloc();
  if (mi.free) {
    mi.free(p);
  } else {
    std::free(p);
  }
}

std::size_t large_blocks_outstanding() noexcept { return g_large_outstanding.load(); }

bool owned_by_module_allocator(const void* p) noexcept {
  const Mimalloc& mi = mimalloc();
  return mi.in_heap && mi.in_heap(p);
}

const char* module_allocator_name() noexcept { return mimalloc().free ? "mimalloc" : "system"; }

}  // namespace morvelin
