// The module's own memory comes from mimalloc. Core buffers use these
// aliases instead of the default allocator; the process-wide malloc is left
// alone so that memory never crosses between allocators.
#pragma once

#include <mimalloc.h>

#include <string>
#include <vector>

namespace morvelin {

template <class T>
using Allocator = mi_stl_allocator<T>;

template <class T>
using Vec = std::vector<T, Allocator<T>>;

using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

// True when `p` points into memory managed by the module's allocator.
inline bool owned_by_module_allocator(const void* p) noexcept { return mi_is_in_heap_region(p); }

}  // namespace morvelin
