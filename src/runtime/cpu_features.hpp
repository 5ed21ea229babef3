// Processor features for the few kernels that carry a wider-vector variant.
// The variants are compiled for that feature alone (GCC/Clang target
// attributes) and chosen at run time, so the module keeps running on any
// x86-64 processor; results are the same bits on either path.
#pragma once

namespace morvelin {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MORVELIN_HAVE_AVX2_VARIANTS 1
// Marks a function compiled for AVX2 with everything it calls inlined into it.
#define MORVELIN_AVX2_VARIANT [[gnu::target("avx2"), gnu::flatten]]
#else
#define MORVELIN_HAVE_AVX2_VARIANTS 0
#endif

// True when the processor (and the operating system) support AVX2. Checked
// once; false where no AVX2 variant exists.
bool cpu_has_avx2() noexcept;

}  // namespace morvelin
