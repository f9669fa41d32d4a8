// The one choice of vector instructions: every SIMD kernel takes a Simd, so
// the tests can run each path this processor has against the reference.
#pragma once

#include <vector>

// Marks a function compiled for AVX2; nothing on other processors, where
// the same code is built for the baseline.
#if defined(__x86_64__) || defined(__i386__)
#define CIRSHARP_TARGET_AVX2 [[gnu::target("avx2")]]
#else
#define CIRSHARP_TARGET_AVX2
#endif

namespace cirsharp {

enum class Simd {
    baseline,  // what every build target has (SSE2 on x86-64)
    avx2,      // 256-bit vectors, x86 only
};

// The widest this processor runs, found on the first call and kept.
Simd best_simd();

// Every path this processor runs, the baseline first.
std::vector<Simd> available_simd();

const char* name_of(Simd simd);

}  // namespace cirsharp
