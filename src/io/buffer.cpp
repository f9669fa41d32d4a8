#include "io/buffer.hpp"

#include <sys/mman.h>

namespace cirsharp::io {

void* allocate_bytes(std::size_t bytes) noexcept {
    constexpr std::size_t kHuge = std::size_t(2) << 20;
    if (bytes < kHuge) return std::malloc(bytes ? bytes : 1);
    const std::size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, rounded);
    if (p) ::madvise(p, rounded, MADV_HUGEPAGE);  // a hint; fine if refused
    return p;
}

}  // namespace cirsharp::io
