// The module's own memory comes from mimalloc. Core buffers use the Vec and
// String aliases below instead of the default allocator.
//
// mimalloc is loaded privately (dlopen with RTLD_LOCAL) instead of being
// linked: its shared library also replaces malloc and operator new, and linked
// into an extension module those replacements would capture allocations made
// by other libraries of the process (libstdc++, NumPy), which then free them
// with the system allocator. Loaded privately, only the calls below reach it.
// Should the library be missing, the system allocator serves instead; builds
// with MORVELIN_SYSTEM_MALLOC defined (the sanitizer and fuzzing builds)
// always use the system allocator, so that the sanitizers see every buffer.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace morvelin {

// True when `bytes` fits in the machine's physical memory.
bool fits_in_physical_memory(std::size_t bytes) noexcept;

// Allocates `bytes` aligned to `alignment`; throws std::bad_alloc on failure.
// A request over 64 MiB must also fit, together with every other such block
// still allocated, in the memory the system reports available; otherwise it
// fails rather than leaving the system to kill the process once it is used.
void* module_allocate(std::size_t bytes, std::size_t alignment);
// Frees a block of module_allocate; `bytes` is the size it was asked for.
void module_free(void* p, std::size_t bytes) noexcept;

// Bytes in blocks over 64 MiB currently allocated.
std::size_t large_blocks_outstanding() noexcept;

// Bytes in freed blocks of 4 MiB or more that are kept for reuse: such a
// block is handed out again for about a second after it was freed, to a
// request it fits with at most a quarter to spare.
std::size_t bytes_kept_for_reuse() noexcept;

// True when `p` points into memory managed by mimalloc.
bool owned_by_module_allocator(const void* p) noexcept;

// Name of the allocator serving module memory ("mimalloc" or "system").
const char* module_allocator_name() noexcept;

template <class T>
struct Allocator {
  using value_type = T;
  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}  // NOLINT: converting by design

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(module_allocate(n * sizeof(T), alignof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { module_free(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const Allocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using Vec = std::vector<T, Allocator<T>>;

// Like Allocator, but elements constructed without a value are left
// uninitialised (default-initialised): for large buffers that are written in
// full right after they are sized. Sizing with an explicit value still fills.
template <class T>
struct UninitializedAllocator : Allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() noexcept = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}  // NOLINT: converting by design

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UninitializedVec = std::vector<T, UninitializedAllocator<T>>;

using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

}  // namespace morvelin
