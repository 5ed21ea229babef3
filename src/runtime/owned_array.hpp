// OwnedArray: a fixed-size, uninitialised, cache-line aligned buffer of
// trivially copyable values from the module's allocator, for scratch arrays
// whose size comes from the caller (window sizes and the like). A request
// that cannot be met, including one whose byte size overflows, throws
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

#include "runtime/allocator.hpp"

namespace morvelin {

template <class T>
  requires std::is_trivially_copyable_v<T>
class OwnedArray {
 public:
  OwnedArray() = default;

  // Throws std::bad_alloc when `count` values cannot be allocated.
  explicit OwnedArray(std::size_t count) : size_(count) {
    if (count == 0) return;
    if (count > kMaxBytes / sizeof(T)) throw std::bad_alloc();
    data_ = std::unique_ptr<T[], Free>(static_cast<T*>(module_allocate(count * sizeof(T), kAlignment)),
                                       Free{count * sizeof(T)});
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
    std::size_t bytes = 0;
    void operator()(T* p) const noexcept { module_free(p, bytes); }
  };
  std::unique_ptr<T[], Free> data_;
  std::size_t size_ = 0;
};

}  // namespace morvelin
