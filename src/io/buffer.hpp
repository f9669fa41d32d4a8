// Large work buffers: uninitialised (every element is written before it is
// read) and, where the kernel allows, backed by huge pages, so filling a
// few hundred megabytes costs hundreds of page faults instead of tens of
// thousands.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace cirsharp::io {

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

template <class T>
using Buffer = std::unique_ptr<T[], FreeDeleter>;

// Null when the memory cannot be had.
void* allocate_bytes(std::size_t bytes) noexcept;

template <class T>
Buffer<T> allocate(std::size_t count) noexcept {
    return Buffer<T>(static_cast<T*>(allocate_bytes(count * sizeof(T))));
}

}  // namespace cirsharp::io
