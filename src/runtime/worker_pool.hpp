// The one process-wide work-stealing pool, its sizing, and the parallel loop
// every stage uses. Results are always written by index, so output never
// depends on scheduling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace morvelin {

using CoreList = std::vector<std::uint64_t>;

// Longest core list accepted from MORVELIN_CORES; longer lists are invalid.
constexpr std::size_t kMaxCoreListLength = 4096;

// What MORVELIN_CORES asks for. `cores` is set only for a valid, non-empty
// list of indices; "all", an empty list and invalid text give none, and
// `invalid` tells the caller not to fall back to the frequency scan.
struct CoresVariable {
  std::optional<CoreList> cores;
  bool invalid = false;
};

// Parses the value of MORVELIN_CORES: "all" (any case), or comma-separated
// indices and inclusive ranges "a-b" with optional white space, e.g.
// "0-3, 6 , 6". The result is ascending and free of duplicates.
CoresVariable parse_cores_variable(std::string_view text);

// Looks for a fast class of cores under `cpu_dir` (normally
// /sys/devices/system/cpu): entries cpuN with cpufreq/cpuinfo_max_freq. The
// cores faster than the slowest are the list, when there are at least two and
// not all of them.
std::optional<CoreList> scan_fast_cores(const std::filesystem::path& cpu_dir);

// Parses a positive decimal integer as RAYON_NUM_THREADS holds it.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// Sizes the pool from the environment. Runs once at module import; silent on
// every failure; later calls do nothing.
void configure_worker_pool();

// Number of threads of the pool (creating it with its default size if needed);
// 1 in a process forked after the pool started.
std::size_t worker_count();

// True in a process forked (directly or not) from one whose pool had started:
// there parallel loops run on the calling thread, as the scheduler's state
// inherited through fork() cannot be trusted.
bool runs_serially_after_fork() noexcept;

// Where a stage runs: spread over the worker pool, or on the calling thread
// alone. The result is the same either way.
enum class Threads { kWorkerPool, kCallingThread };

// Runs body(i) for every i in [0, count) on the pool; the calling thread takes
// part and returns when all are done. Exceptions thrown by a task reach the
// caller. In a process forked after the pool started, the loop runs on the
// calling thread in index order.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& body);

// Runs body(first, end) over bands of rows that cover [0, height) once, in
// order: one band per 128k of the image's `pixels`, at most `max_bands` and
// two per worker, on the pool; a single band (also on a one-worker pool) runs
// on the calling thread. For row passes whose rows are independent.
void for_row_bands(std::uint32_t height, std::uint64_t pixels, std::uint64_t max_bands,
                   const std::function<void(std::uint32_t, std::uint32_t)>& body);

// Tells a running attempt of first_success whether a lower-numbered attempt
// has already succeeded, so that it may give up: its result will not be used.
using Superseded = std::function<bool()>;

// Runs attempt(i, superseded) for i = 0, 1, ..., count - 1, started in this
// order, until one returns true; returns the lowest i whose attempt returned
// true, or count when none did. Every attempt below the one returned has run
// to its end, so the answer is the one a plain loop in index order gives,
// however the attempts are spread over the threads. Attempts above a success
// may be skipped or give up early.
std::size_t first_success(std::size_t count, Threads threads,
                          const std::function<bool(std::size_t, const Superseded&)>& attempt);

}  // namespace morvelin
