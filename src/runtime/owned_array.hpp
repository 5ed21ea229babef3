// OwnedArray: a fixed-size, uninitialised buffer of trivially copyable values
// from the module's allocator, for scratch arrays whose size comes from the
// caller (window sizes and the like). Unlike Vec, a request that cannot be
// met throws std::bad_alloc instead of ending the process: sizes that
// overflow, sizes beyond the machine's physical memory (which the system
// would promise and then fail to deliver on first touch) and plain
// allocation failures all take that route.
#pragma once

#include <mimalloc.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

namespace morvelin {

// True when `bytes` fits in the machine's physical memory. Small requests are
// answered without asking the system.
bool fits_in_physical_memory(std::size_t bytes) noexcept;

template <class T>
  requires std::is_trivially_copyable_v<T>
class OwnedArray {
 public:
  OwnedArray() = default;

  // Throws std::bad_alloc when `count` values cannot be allocated.
  explicit OwnedArray(std::size_t count) : size_(count) {
    if (count == 0) return;
    if (count > kMaxBytes / sizeof(T) || !fits_in_physical_memory(count * sizeof(T))) throw std::bad_alloc();
    data_.reset(static_cast<T*>(mi_malloc_aligned(count * sizeof(T), kAlignment)));
    if (!data_) throw std::bad_alloc();
  }

  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  static constexpr std::size_t kMaxBytes = static_cast<std::size_t>(PTRDIFF_MAX);
  static constexpr std::size_t kAlignment = 64;  // one cache line, full vector loads

  struct Free {
    void operator()(T* p) const noexcept { mi_free(p); }
  };
  std::unique_ptr<T[], Free> data_;
  std::size_t size_ = 0;
};

}  // namespace morvelin
