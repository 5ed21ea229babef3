#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "image/gray_image.hpp"
#include "runtime/allocator.hpp"
#include "runtime/worker_pool.hpp"

using namespace morvelin;

TEST(CoresVariable, ListsRangesAndDuplicates) {
  const auto v = parse_cores_variable(" 0-3 , 6 , 6 ");
  ASSERT_TRUE(v.cores);
  EXPECT_EQ(*v.cores, (CoreList{0, 1, 2, 3, 6}));
  EXPECT_EQ(*parse_cores_variable("+2,1").cores, (CoreList{1, 2}));
  EXPECT_EQ(*parse_cores_variable("5 - 7,,6").cores, (CoreList{5, 6, 7}));
  EXPECT_EQ(*parse_cores_variable("0-3,2-5").cores, (CoreList{0, 1, 2, 3, 4, 5}));
}

TEST(CoresVariable, AllAndEmptyGiveNoListWithoutBeingInvalid) {
  for (const char* text : {"ALL", "all", " All\t", "", "  ", ",,"}) {
    const auto v = parse_cores_variable(text);
    EXPECT_FALSE(v.cores) << text;
    EXPECT_FALSE(v.invalid) << text;
  }
}

TEST(CoresVariable, InvalidTextGivesNoListAndStopsTheScan) {
  for (const char* text : {"3-1", "a", "1,x", "+", "-", "-1", "1-", "1-2-3", "18446744073709551616", "1.5", "0x3"}) {
    const auto v = parse_cores_variable(text);
    EXPECT_FALSE(v.cores) << text;
    EXPECT_TRUE(v.invalid) << text;
  }
}

TEST(CoresVariable, HugeRangesAreRejectedWithoutExpanding) {
  EXPECT_TRUE(parse_cores_variable("0-18446744073709551615").invalid);
  EXPECT_TRUE(parse_cores_variable("0-4096").invalid);  // 4097 entries
  const auto v = parse_cores_variable("0-4095");
  ASSERT_TRUE(v.cores);
  EXPECT_EQ(v.cores->size(), 4096u);
  EXPECT_EQ(parse_cores_variable("0-4095,0-4095").cores->size(), 4096u);
  EXPECT_TRUE(parse_cores_variable("0-4095,5000").invalid);
  EXPECT_EQ(parse_cores_variable("18446744073709551615").cores->front(), UINT64_MAX);
}

TEST(CoresVariable, UnicodeWhiteSpaceIsTrimmed) {
  const auto v = parse_cores_variable("\xc2\xa0" "1,2\xe3\x80\x80");
  ASSERT_TRUE(v.cores);
  EXPECT_EQ(*v.cores, (CoreList{1, 2}));
}

namespace {

class FakeCpuTree {
 public:
  FakeCpuTree() {
    root_ = std::filesystem::temp_directory_path() /
            ("morvelin-cpu-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  ~FakeCpuTree() { std::filesystem::remove_all(root_); }
  void add(const std::string& entry, const std::string& max_freq) {
    std::filesystem::create_directories(root_ / entry / "cpufreq");
    std::ofstream(root_ / entry / "cpufreq" / "cpuinfo_max_freq") << max_freq;
  }
  const std::filesystem::path& path() const { return root_; }

 private:
  std::filesystem::path root_;
};

}  // namespace

TEST(FrequencyScan, FastClassOfAtLeastTwoCores) {
  FakeCpuTree tree;
  tree.add("cpu0", "2000000\n");
  tree.add("cpu1", "2000000\n");
  tree.add("cpu2", "3000000\n");
  tree.add("cpu3", " 3000000 ");
  tree.add("cpufreq", "9000000");  // not a core entry
  std::filesystem::create_directories(tree.path() / "cpu7");  // no frequency file
  const auto cores = scan_fast_cores(tree.path());
  ASSERT_TRUE(cores);
  EXPECT_EQ(*cores, (CoreList{2, 3}));
}

TEST(FrequencyScan, NoListForUniformOrSingleFastCore) {
  {
    FakeCpuTree tree;
    tree.add("cpu0", "2000000");
    tree.add("cpu1", "3000000");
    EXPECT_FALSE(scan_fast_cores(tree.path()));
  }
  {
    FakeCpuTree tree;
    for (int i = 0; i < 4; ++i) tree.add("cpu" + std::to_string(i), "2400000");
    EXPECT_FALSE(scan_fast_cores(tree.path()));
  }
  {
    FakeCpuTree tree;
    tree.add("cpu0", "garbage");
    tree.add("cpu1", "3000000");
    EXPECT_FALSE(scan_fast_cores(tree.path()));
  }
  EXPECT_FALSE(scan_fast_cores("/nonexistent/morvelin/cpu"));
}

TEST(ThreadCount, OnlyPositiveIntegers) {
  EXPECT_EQ(parse_thread_count("4"), 4u);
  EXPECT_FALSE(parse_thread_count("0"));
  EXPECT_FALSE(parse_thread_count("-2"));
  EXPECT_FALSE(parse_thread_count("four"));
}

TEST(WorkerPool, ParallelForVisitsEveryIndexOnce) {
  std::vector<std::atomic<int>> hits(1000);
  parallel_for(hits.size(), [&](std::size_t i) { hits[i]++; });
  for (const auto& h : hits) EXPECT_EQ(h.load(), 1);
  EXPECT_GE(worker_count(), 1u);
  EXPECT_THROW(parallel_for(10, [](std::size_t i) { if (i == 7) throw std::runtime_error("x"); }),
               std::runtime_error);
}

TEST(WorkerPool, FirstSuccessIsTheLowestNotTheEarliest) {
  // Attempts 4 and 9 succeed; 4 holds out until 9 has returned (when they
  // run side by side), so the pool sees 9 succeed first. The answer is 4,
  // every attempt below it ran to its end, and a superseded attempt knows it.
  for (const Threads threads : {Threads::kWorkerPool, Threads::kCallingThread}) {
    std::vector<std::atomic<int>> ended(20);
    std::atomic<bool> nine_returned{false}, nine_superseded{false};
    const std::size_t found = first_success(20, threads, [&](std::size_t i, const Superseded& superseded) {
      if (i == 4 && threads == Threads::kWorkerPool) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!nine_returned.load() && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
      }
      if (i == 9) {
        nine_superseded = superseded();
        nine_returned = true;
      }
      ended[i]++;
      return i == 4 || i == 9;
    });
    EXPECT_EQ(found, 4u);
    for (std::size_t i = 0; i <= 4; ++i) EXPECT_EQ(ended[i].load(), 1) << i;
    EXPECT_FALSE(nine_superseded.load());  // 4 had not returned when 9 asked
    if (threads == Threads::kCallingThread) {
      for (std::size_t i = 5; i < 20; ++i) EXPECT_EQ(ended[i].load(), 0) << i;
    }
  }
  EXPECT_EQ(first_success(0, Threads::kWorkerPool, [](std::size_t, const Superseded&) { return true; }), 0u);
  EXPECT_EQ(first_success(5, Threads::kWorkerPool, [](std::size_t, const Superseded&) { return false; }), 5u);
}

TEST(WorkerPool, ForkedChildRunsLoopsOnItsOwnThread) {
  std::vector<std::atomic<int>> warm(64);
  parallel_for(warm.size(), [&](std::size_t i) { warm[i]++; });
  ASSERT_FALSE(runs_serially_after_fork());
  { const Vec<char> kept_for_reuse(std::size_t{8} << 20); }
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(30);  // a hang ends the child instead of the test run
    const auto caller = std::this_thread::get_id();
    std::vector<int> order;
    parallel_for(100, [&](std::size_t i) {
      if (std::this_thread::get_id() == caller) order.push_back(static_cast<int>(i));
    });
    // The parent's blocks kept for reuse are given back, and none are kept.
    Allocator<char> allocator;
    allocator.deallocate(allocator.allocate(std::size_t{8} << 20), std::size_t{8} << 20);
    const bool ok = runs_serially_after_fork() && worker_count() == 1 && order.size() == 100 &&
                    std::is_sorted(order.begin(), order.end()) && bytes_kept_for_reuse() == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(runs_serially_after_fork());
}

TEST(Allocator, CoreBuffersComeFromMimalloc) {
#if defined(MORVELIN_SYSTEM_MALLOC) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizer builds take module buffers from the system allocator";
#endif
  GrayImage image(640, 480, 7);
  EXPECT_TRUE(owned_by_module_allocator(image.pixels.data()));
  Vec<double> v(1000);
  EXPECT_TRUE(owned_by_module_allocator(v.data()));
  double on_stack = 0;
  EXPECT_FALSE(owned_by_module_allocator(&on_stack));
  EXPECT_STREQ(module_allocator_name(), "mimalloc");
}

TEST(Allocator, SystemAllocatorServesWhenMimallocIsSwitchedOff) {
#ifndef MORVELIN_SYSTEM_MALLOC
  GTEST_SKIP() << "mimalloc build";
#else
  Vec<double> v(1000, 1.0);
  EXPECT_FALSE(owned_by_module_allocator(v.data()));
  EXPECT_STREQ(module_allocator_name(), "system");
  // Over-aligned requests still honour their alignment.
  struct alignas(64) Block { char bytes[64]; };
  Vec<Block> blocks(3);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(blocks.data()) % 64, 0u);
#endif
}

TEST(Allocator, FreedLargeBlocksAreReusedForAboutASecond) {
#if defined(MORVELIN_SYSTEM_MALLOC)
  GTEST_SKIP() << "AddressSanitizer builds free every block at once";
#endif
  Allocator<char> allocator;
  const std::size_t kept = bytes_kept_for_reuse();
  const std::size_t n = std::size_t{8} << 20;
  char* block = allocator.allocate(n);
  allocator.deallocate(block, n);
  EXPECT_EQ(bytes_kept_for_reuse(), kept + n);
  // Smaller blocks are left to the allocator.
  allocator.deallocate(allocator.allocate(n / 4), n / 4);
  EXPECT_EQ(bytes_kept_for_reuse(), kept + n);
  // More than a quarter to spare: a block of its own.
  char* half = allocator.allocate(n / 2);
  EXPECT_NE(half, block);
  char* again = allocator.allocate(n - n / 8);
  EXPECT_EQ(again, block);
  allocator.deallocate(half, n / 2);
  allocator.deallocate(again, n - n / 8);
  // A block over 64 MiB counts as outstanding while it is in use, also when
  // it comes from the cache.
  const std::size_t outstanding = large_blocks_outstanding();
  const std::size_t big = std::size_t{80} << 20;
  char* first = allocator.allocate(big);
  allocator.deallocate(first, big);
  char* second = allocator.allocate(big);
  EXPECT_EQ(second, first);
  EXPECT_EQ(large_blocks_outstanding(), outstanding + big);
  allocator.deallocate(second, big);
  EXPECT_EQ(large_blocks_outstanding(), outstanding);
  // Every block is given back about a second after it was freed.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (bytes_kept_for_reuse() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(bytes_kept_for_reuse(), 0u);
}

namespace {

std::size_t available_bytes() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  std::size_t kilobytes = 0;
  while (meminfo >> key >> kilobytes) {
    if (key == "MemAvailable:") return kilobytes * 1024;
    meminfo.ignore(64, '\n');
  }
  return 0;
}

}  // namespace

TEST(Allocator, LargeRequestsMustFitTheAvailableMemoryTogether) {
  const std::size_t available = available_bytes();
  if (available < (std::size_t{1} << 30)) GTEST_SKIP() << "needs /proc/meminfo and 1 GiB available";
  Allocator<char> allocator;
  const std::size_t before = large_blocks_outstanding();
  // Fits the machine but not what it has free: refused before any page is
  // touched (the blocks below are never written, so they cost no memory).
  const auto physical = static_cast<std::size_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::size_t>(sysconf(_SC_PAGE_SIZE));
  if (physical > available + (std::size_t{256} << 20)) {
    const std::size_t beyond = available + (physical - available) / 2;
    ASSERT_TRUE(fits_in_physical_memory(beyond));
    EXPECT_THROW(allocator.allocate(beyond), std::bad_alloc);
    EXPECT_EQ(large_blocks_outstanding(), before);
  }
  // Two blocks that each fit but not both: the second waits for the first.
  const std::size_t part = available / 10 * 6;
  char* first = allocator.allocate(part);
  EXPECT_EQ(large_blocks_outstanding(), before + part);
  EXPECT_THROW(allocator.allocate(part), std::bad_alloc);
  allocator.deallocate(first, part);
  EXPECT_EQ(large_blocks_outstanding(), before);
  char* second = allocator.allocate(part);
  allocator.deallocate(second, part);
  // Small requests never consult the system.
  Vec<int> small(1000, 1);
  EXPECT_EQ(large_blocks_outstanding(), before);
}
