// The compute split: work over [0, total) cut into contiguous parts by a
// fixed rule (part i of n covers [i * total / n, (i + 1) * total / n)), so
// results never depend on scheduling.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace cirsharp {

// The number of CPUs this process may run on (affinity, cgroup cpusets).
int available_cpus();

// How many of `wanted` threads could be started at the same time just now
// (all of them, unless a process or memory limit stands in the way), and
// the errno of the first that could not.
struct StartableThreads {
    int count = 0;
    int error = 0;
};
StartableThreads startable_threads(int wanted);

// Runs body(begin, end) over [0, total) in `threads` contiguous parts, the
// first on the calling thread. A part whose thread cannot be started runs on
// the calling thread too. The first exception thrown is rethrown.
void parallel_for(int threads, std::size_t total,
                  const std::function<void(std::size_t, std::size_t)>& body);

// Part results merged in part order: exact for any merge of integers.
template <class T, class Part, class Merge>
T parallel_reduce(int threads, std::size_t total, T init, Part part, Merge merge) {
    const std::size_t n = threads < 1 ? 1 : std::size_t(threads);
    std::vector<T> results(n, init);
    parallel_for(int(n), n, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i)
            results[i] = part(i * total / n, (i + 1) * total / n);
    });
    T acc = init;
    for (const T& r : results)
        acc = merge(acc, r);
    return acc;
}

}  // namespace cirsharp
