#include "runtime/worker_pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <pthread.h>

#if defined(MORVELIN_TSAN_MARKS)
#include <sanitizer/tsan_interface.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

namespace morvelin {
namespace {

// Length in bytes of the Unicode white-space character that starts `s`, or 0.
std::size_t white_space_length(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0d)) return 1;
  if (s.size() >= 2 && b0 == 0xc2) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b1 == 0x85 || b1 == 0xa0) return 2;  // U+0085, U+00A0
  }
  if (s.size() >= 3) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    const auto b2 = static_cast<unsigned char>(s[2]);
    if (b0 == 0xe1 && b1 == 0x9a && b2 == 0x80) return 3;  // U+1680
    if (b0 == 0xe2 && b1 == 0x80 && (b2 <= 0x8a || b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf)) return 3;
    if (b0 == 0xe2 && b1 == 0x81 && b2 == 0x9f) return 3;  // U+205F
    if (b0 == 0xe3 && b1 == 0x80 && b2 == 0x80) return 3;  // U+3000
  }
  return 0;
}

// Length of the white-space character that ends `s`, or 0.
std::size_t trailing_white_space_length(std::string_view s) {
  for (std::size_t len = 1; len <= 3 && len <= s.size(); ++len) {
    const auto tail = s.substr(s.size() - len);
    if (white_space_length(tail) == len) return len;
  }
  return 0;
}

std::string_view trim(std::string_view s) {
  while (std::size_t n = white_space_length(s)) s.remove_prefix(n);
  while (std::size_t n = trailing_white_space_length(s)) s.remove_suffix(n);
  return s;
}

// Unsigned decimal with an optional leading '+'; no other characters.
std::optional<std::uint64_t> parse_unsigned(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

struct Pool {
  std::unique_ptr<tbb::global_control> allow;  // lifts the process limit when more threads are asked for
  tbb::task_arena arena;
  explicit Pool(int threads) {
    if (threads > static_cast<int>(tbb::info::default_concurrency())) {
      allow = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                    static_cast<std::size_t>(threads));
    }
    arena.initialize(threads);
  }
};

std::once_flag g_pool_once;
// Created once, lives until the process ends. Atomic because callers on any
// thread test it before taking the once flag.
std::atomic<Pool*> g_pool{nullptr};

// Fork safety. A child made by fork() has only the forking thread: the
// scheduler's worker threads are gone while its shared state still counts
// them, and may hold locks that no thread of the child will ever release, so
// a parallel loop there can hang. Once the pool has been started (or is being
// started) in a process, every child forked from it runs its parallel loops
// on the calling thread and never touches the scheduler again. A child forked
// before the pool ever started creates its own pool as usual.
std::atomic<bool> g_pool_started{false};
std::atomic<bool> g_forked_after_start{false};

void mark_forked_child() noexcept {
  if (g_pool_started.load(std::memory_order_relaxed)) g_forked_after_start.store(true, std::memory_order_relaxed);
}

bool serial_only() noexcept { return g_forked_after_start.load(std::memory_order_relaxed); }

// The scheduler is not built for ThreadSanitizer, so the checker cannot see
// how it orders a loop's tasks after the caller's writes and before the
// caller's reads of the results. In ThreadSanitizer builds (where this file
// itself stays uninstrumented) these marks tell it, so that it reports races
// between our own tasks only.
#if defined(MORVELIN_TSAN_MARKS)
void loop_handoff(void* sync) { __tsan_release(sync); }
void loop_pickup(void* sync) { __tsan_acquire(sync); }
#else
void loop_handoff(void*) {}
void loop_pickup(void*) {}
#endif

std::size_t default_thread_count() {
  if (const char* text = std::getenv("RAYON_NUM_THREADS")) {
    if (auto n = parse_thread_count(text)) return *n;
  }
  return static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency()));
}

void create_pool(std::size_t threads) {
  // Registered before the scheduler exists, so no fork can slip in between
  // its start and the handler.
  static const int registered = pthread_atfork(nullptr, nullptr, mark_forked_child);
  (void)registered;
  std::call_once(g_pool_once, [threads] {
    g_pool_started.store(true, std::memory_order_relaxed);
    const auto n = static_cast<int>(std::clamp<std::size_t>(threads, 1, kMaxCoreListLength));
    g_pool.store(new Pool(n), std::memory_order_release);
  });
}

Pool& pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (!p) {
    create_pool(default_thread_count());
    p = g_pool.load(std::memory_order_acquire);
  }
  return *p;
}

}  // namespace

CoresVariable parse_cores_variable(std::string_view text) {
  const std::string_view value = trim(text);
  if (equals_ignoring_case(value, "all")) return {};
  // Ranges are kept as intervals and expanded only once their union is known
  // to be short, so "0-18446744073709551615" costs nothing.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> intervals;
  std::string_view rest = value;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = trim(rest.substr(0, comma));
    if (!piece.empty()) {
      const std::size_t dash = piece.find('-');
      if (dash == std::string_view::npos) {
        const auto index = parse_unsigned(piece);
        if (!index) return {std::nullopt, true};
        intervals.emplace_back(*index, *index);
      } else {
        const auto a = parse_unsigned(trim(piece.substr(0, dash)));
        const auto b = parse_unsigned(trim(piece.substr(dash + 1)));
        if (!a || !b || *a > *b) return {std::nullopt, true};
        intervals.emplace_back(*a, *b);
      }
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  std::sort(intervals.begin(), intervals.end());
  CoreList cores;
  std::uint64_t next = 0;  // lowest index not yet covered
  bool any = false;
  for (auto [a, b] : intervals) {
    if (any && b < next) continue;
    const std::uint64_t from = (any && a < next) ? next : a;
    if (b - from >= kMaxCoreListLength - cores.size()) return {std::nullopt, true};
    for (std::uint64_t i = from;; ++i) {
      cores.push_back(i);
      if (i == b) break;
    }
    any = true;
    if (b == UINT64_MAX) break;
    next = b + 1;
  }
  if (cores.empty()) return {};
  return {std::move(cores), false};
}

std::optional<CoreList> scan_fast_cores(const std::filesystem::path& cpu_dir) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> cores;  // (index, max frequency)
  std::error_code ec;
  std::filesystem::directory_iterator it(cpu_dir, ec);
  if (ec) return std::nullopt;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    const std::string name = it->path().filename().string();
    if (name.rfind("cpu", 0) != 0) continue;
    const auto index = parse_unsigned(std::string_view(name).substr(3));
    if (!index) continue;
    std::ifstream file(it->path() / "cpufreq" / "cpuinfo_max_freq");
    if (!file) continue;
    std::ostringstream contents;
    contents << file.rdbuf();
    const auto frequency = parse_unsigned(trim(contents.str()));
    if (!frequency) continue;
    cores.emplace_back(*index, *frequency);
  }
  if (cores.size() < 2) return std::nullopt;
  std::sort(cores.begin(), cores.end());
  std::uint64_t slowest = UINT64_MAX;
  for (const auto& core : cores) slowest = std::min(slowest, core.second);
  CoreList fast;
  for (const auto& [index, frequency] : cores) {
    if (frequency > slowest && (fast.empty() || fast.back() != index)) fast.push_back(index);
  }
  if (fast.size() < 2 || fast.size() == cores.size()) return std::nullopt;
  return fast;
}

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  const auto n = parse_unsigned(text);
  if (!n || *n == 0) return std::nullopt;
  return static_cast<std::size_t>(std::min<std::uint64_t>(*n, kMaxCoreListLength));
}

void configure_worker_pool() {
  if (serial_only()) return;
  try {
    std::optional<CoreList> cores;
    if (const char* text = std::getenv("MORVELIN_CORES")) {
      cores = parse_cores_variable(text).cores;
    } else {
      cores = scan_fast_cores("/sys/devices/system/cpu");
    }
    if (!cores) return;  // the pool is created on first use with its default size
    create_pool(std::getenv("RAYON_NUM_THREADS") ? default_thread_count() : cores->size());
  } catch (...) {
    // Sizing is best effort: the pool keeps its default size.
  }
}

std::size_t worker_count() {
  if (serial_only()) return 1;
  return static_cast<std::size_t>(pool().arena.max_concurrency());
}

bool runs_serially_after_fork() noexcept { return serial_only(); }

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body) {
  if (count == 0) return;
  if (count == 1 || serial_only()) {
    for (std::size_t i = 0; i < count; ++i) body(i);
    return;
  }
  char start = 0, finish = 0;  // addresses for the checker's marks only
  loop_handoff(&start);
  pool().arena.execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count, 1), [&](const tbb::blocked_range<std::size_t>& r) {
      loop_pickup(&start);
      for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
      loop_handoff(&finish);
    });
  });
  loop_pickup(&finish);
}

void for_row_bands(std::uint32_t height, std::uint64_t pixels, std::uint64_t max_bands,
                   const std::function<void(std::uint32_t, std::uint32_t)>& body) {
  constexpr std::uint64_t kMinPixelsPerBand = std::uint64_t{1} << 17;
  const std::uint64_t workers = worker_count();
  const std::uint64_t bands =
      workers < 2 ? 1 : std::max<std::uint64_t>(1, std::min({pixels / kMinPixelsPerBand, max_bands, 2 * workers}));
  if (bands == 1) {
    if (height > 0) body(0, height);
    return;
  }
  const std::uint64_t rows_per_band = (height + bands - 1) / bands;
  parallel_for(static_cast<std::size_t>(bands), [&](std::size_t band) {
    const std::uint64_t first = band * rows_per_band;
    const std::uint64_t end = std::min<std::uint64_t>(height, first + rows_per_band);
    if (first < end) body(static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end));
  });
}

std::size_t first_success(std::size_t count, Threads threads,
                          const std::function<bool(std::size_t, const Superseded&)>& attempt) {
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> found{count};
  const auto work = [&](std::size_t) {
    for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
      if (i > found.load()) return;  // a lower attempt succeeded: nothing left to do
      const Superseded superseded = [&found, i] { return found.load() < i; };
      if (!attempt(i, superseded)) continue;
      std::size_t lowest = found.load();
      while (i < lowest && !found.compare_exchange_weak(lowest, i)) {
      }
    }
  };
  const std::size_t workers = threads == Threads::kCallingThread ? 1 : std::min(count, worker_count());
  parallel_for(workers, work);
  return found.load();
}

}  // namespace morvelin
