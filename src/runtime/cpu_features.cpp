#include "runtime/cpu_features.hpp"

#include <cstdlib>

namespace morvelin {

bool cpu_has_avx2() noexcept {
#if MORVELIN_HAVE_AVX2_VARIANTS
  // MORVELIN_NO_AVX2=1 forces the baseline kernels (to compare the paths).
  static const bool available = [] {
    const char* off = std::getenv("MORVELIN_NO_AVX2");
    if (off != nullptr && off[0] != '\0' && off[0] != '0') return false;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return available;
#else
  return false;
#endif
}

}  // namespace morvelin
