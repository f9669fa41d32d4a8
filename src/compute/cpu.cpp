#include "compute/cpu.hpp"

namespace cirsharp {

namespace {

Simd detect() {
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx2")) return Simd::avx2;
#endif
    return Simd::baseline;
}

}  // namespace

Simd best_simd() {
    static const Simd best = detect();
    return best;
}

std::vector<Simd> available_simd() {
    std::vector<Simd> paths = {Simd::baseline};
    if (best_simd() == Simd::avx2) paths.push_back(Simd::avx2);
    return paths;
}

const char* name_of(Simd simd) {
    return simd == Simd::avx2 ? "avx2" : "baseline";
}

}  // namespace cirsharp
