#include "runtime/allocator.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if __has_include(<mimalloc.h>)
#include <mimalloc.h>  // for its option names only: the library itself is loaded at run time
#define MORVELIN_HAVE_MIMALLOC_HEADER 1
#endif

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define MORVELIN_UNDER_VALGRIND() (RUNNING_ON_VALGRIND != 0)
#else
#define MORVELIN_UNDER_VALGRIND() false
#endif

namespace morvelin {
namespace {

// How long memory that a call frees stays with the process for the next call
// (see RecentBlocks and the mimalloc options below).
constexpr auto kKeepFreedMemoryFor = std::chrono::seconds(1);

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
    if (!f.malloc_aligned || !f.free || !f.in_heap) return Mimalloc{};
#if defined(MORVELIN_HAVE_MIMALLOC_HEADER)
    // mimalloc gives pages freed inside its segments back to the system 25 ms
    // later: with any pause between calls (a camera loop) the next frame
    // takes them back as fresh zero-filled pages, a thousand faults and more
    // for a 1280x720 AprilTag frame. Like the large blocks, they are kept a
    // while; the option is best effort.
    using SetOption = void (*)(mi_option_t, long);
    if (auto set = reinterpret_cast<SetOption>(dlsym(library, "mi_option_set"))) {
      set(mi_option_decommit_delay, std::chrono::milliseconds(kKeepFreedMemoryFor).count());
    }
#endif
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

// The machine's physical memory in bytes, or nothing where it is unknown (or
// beyond a size_t).
std::optional<std::size_t> physical_memory() noexcept {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return std::nullopt;
  const auto page_count = static_cast<std::size_t>(pages);
  const auto page_bytes = static_cast<std::size_t>(page_size);
  if (page_count > SIZE_MAX / page_bytes) return std::nullopt;
  return page_count * page_bytes;
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

// Blocks of 4 MiB or more that a call frees are wanted again, at the same
// sizes, by the next call on the next frame. Handed back to the system, they
// come back as fresh pages that fault and are zeroed on first touch, several
// milliseconds of a 1920x1080 AprilTag frame (more when the system has just
// reclaimed memory). Freed blocks are therefore kept for a second (at most an
// eighth of the machine's memory, and 512 MiB) and handed out again to a
// request they fit with at most a quarter to spare; a thread of its own frees
// the blocks kept longer, so that an idle process holds nothing. Smaller
// blocks are left to mimalloc, which keeps them near the thread that freed
// them (handing them across threads slowed the chessboard search). Callers
// never wait for the cache: a thread that finds it busy allocates or frees as
// if it were absent. A forked child gives the parent's kept blocks back and
// keeps none itself.
class RecentBlocks {
 public:
  static constexpr std::size_t kSmallest = std::size_t{4} << 20;

  explicit RecentBlocks(void (*release)(void*)) : release_(release) {}

  // A kept block for `bytes` at `alignment`, or nullptr.
  void* take(std::size_t bytes, std::size_t alignment) noexcept {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;
    auto best = blocks_.end();
    for (auto b = blocks_.begin(); b != blocks_.end(); ++b) {
      const bool fits = b->bytes >= bytes && b->bytes - bytes <= bytes / 4 &&
                        reinterpret_cast<std::uintptr_t>(b->p) % alignment == 0;
      if (fits && (best == blocks_.end() || b->bytes < best->bytes)) best = b;
    }
    if (best == blocks_.end()) return nullptr;
    void* p = best->p;
    held_ -= best->bytes;
    blocks_.erase(best);
    return p;
  }

  // Keeps a freed block; false when the caller must free it itself.
  bool keep(void* p, std::size_t bytes) noexcept {
    std::vector<void*> evicted;
    {
      std::unique_lock lock(mutex_, std::try_to_lock);
      if (!lock.owns_lock() || off_ || bytes > capacity()) return false;
      try {
        if (!reaper_started_) {
          std::thread([this] { reap(); }).detach();
          reaper_started_ = true;
        }
        blocks_.reserve(blocks_.size() + 1);
        evicted.reserve(blocks_.size());
      } catch (...) {
        return false;
      }
      std::size_t drop = 0;  // oldest first
      for (; held_ + bytes > capacity(); ++drop) {
        held_ -= blocks_[drop].bytes;
        evicted.push_back(blocks_[drop].p);
      }
      blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(drop));
      if (blocks_.empty()) kept_.notify_one();
      blocks_.push_back({p, bytes, Clock::now()});
      held_ += bytes;
    }
    for (void* e : evicted) release_(e);
    return true;
  }

  // Frees every kept block; false when there was none or the cache was busy.
  bool release_all() noexcept {
    std::vector<Block> blocks;
    {
      std::unique_lock lock(mutex_, std::try_to_lock);
      if (!lock.owns_lock()) return false;
      blocks = take_all();
    }
    release(blocks);
    return !blocks.empty();
  }

  std::size_t held() noexcept {
    const std::lock_guard lock(mutex_);
    return held_;
  }

  // Fork handlers: the lock is held across the fork, so the child's copy of
  // the cache is never caught half changed.
  void before_fork() { mutex_.lock(); }
  void after_fork_in_parent() { mutex_.unlock(); }
  void after_fork_in_child() {
    off_ = true;  // the reaper thread was not copied
    const std::vector<Block> blocks = take_all();
    mutex_.unlock();
    release(blocks);
  }

 private:
  using Clock = std::chrono::steady_clock;

  struct Block {
    void* p;
    std::size_t bytes;
    Clock::time_point freed;
  };

  static std::size_t capacity() noexcept {
    constexpr std::size_t kMost = std::size_t{512} << 20;
    static const std::size_t bytes = std::min(kMost, physical_memory().value_or(SIZE_MAX) / 8);
    return bytes;
  }

  // Empties the cache, the lock held; the caller frees the blocks after.
  std::vector<Block> take_all() noexcept {
    held_ = 0;
    return std::exchange(blocks_, {});
  }

  void release(const std::vector<Block>& blocks) const noexcept {
    for (const Block& b : blocks) release_(b.p);
  }

  // The reaper: frees each block a second after it was kept.
  [[noreturn]] void reap() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (blocks_.empty()) {
        kept_.wait(lock);
        continue;
      }
      const Block oldest = blocks_.front();
      if (Clock::now() < oldest.freed + kKeepFreedMemoryFor) {
        kept_.wait_until(lock, oldest.freed + kKeepFreedMemoryFor);
        continue;
      }
      blocks_.erase(blocks_.begin());
      held_ -= oldest.bytes;
      lock.unlock();
      release_(oldest.p);
      lock.lock();
    }
  }

  void (*release_)(void*);
  std::mutex mutex_;
  std::condition_variable kept_;  // a block was kept in an empty cache
  std::vector<Block> blocks_;     // in the order they were kept
  std::size_t held_ = 0;
  bool reaper_started_ = false;
  bool off_ = false;
};

// Gives a block back to the allocator it came from.
void release_block(void* p) noexcept {
  const Mimalloc& mi = mimalloc();
  if (mi.free) {
    mi.free(p);
  } else {
    std::free(p);
  }
}

// The cache, or nullptr in the builds where AddressSanitizer or the memory
// checker must see every block freed.
RecentBlocks* recent_blocks() {
  static RecentBlocks* const blocks = []() -> RecentBlocks* {
#if defined(MORVELIN_SYSTEM_MALLOC)
    return nullptr;
#endif
    if (MORVELIN_UNDER_VALGRIND()) return nullptr;
    auto* cache = new RecentBlocks(release_block);  // never destroyed: frees may come during exit
    pthread_atfork([] { recent_blocks()->before_fork(); }, [] { recent_blocks()->after_fork_in_parent(); },
                   [] { recent_blocks()->after_fork_in_child(); });
    return cache;
  }();
  return blocks;
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
  // Unknown memory size: leave the decision to the allocator.
  const std::optional<std::size_t> physical = physical_memory();
  return !physical || bytes <= *physical;
}

void* module_allocate(std::size_t bytes, std::size_t alignment) {
  const bool large = bytes > kLargeRequest;
  RecentBlocks* cache = bytes >= RecentBlocks::kSmallest ? recent_blocks() : nullptr;
  if (cache) {
    if (void* p = cache->take(bytes, alignment)) {
      if (large) g_large_outstanding.fetch_add(bytes);
      return p;
    }
  }
  // The system promises address space far beyond memory and kills the
  // process when it is touched; a large request that the available memory
  // cannot cover fails here instead, as std::bad_alloc. Blocks the cache
  // holds are given back before the request fails.
  if (large && !reserve_large(bytes)) {
    if (!cache || !cache->release_all() || !reserve_large(bytes)) throw std::bad_alloc();
  }
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
  if (bytes >= RecentBlocks::kSmallest) {
    if (RecentBlocks* cache = recent_blocks(); cache && cache->keep(p, bytes)) return;
  }
  release_block(p);
}

std::size_t large_blocks_outstanding() noexcept { return g_large_outstanding.load(); }

std::size_t bytes_kept_for_reuse() noexcept {
  RecentBlocks* cache = recent_blocks();
  return cache ? cache->held() : 0;
}

bool owned_by_module_allocator(const void* p) noexcept {
  const Mimalloc& mi = mimalloc();
  return mi.in_heap && mi.in_heap(p);
}

const char* module_allocator_name() noexcept { return mimalloc().free ? "mimalloc" : "system"; }

}  // namespace morvelin
