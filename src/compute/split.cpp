#include "compute/split.hpp"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

namespace cirsharp {

int available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? int(n) : 1;
}

void parallel_for(int threads, std::size_t total,
                  const std::function<void(std::size_t, std::size_t)>& body) {
    const std::size_t n =
        threads < 1 ? 1 : std::min<std::size_t>(std::size_t(threads), total ? total : 1);
    if (n == 1) {
        body(0, total);
        return;
    }
    std::exception_ptr failure;
    std::mutex failure_mutex;
    auto run = [&](std::size_t i) {
        try {
            body(i * total / n, (i + 1) * total / n);
        } catch (...) {
            std::lock_guard lock(failure_mutex);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::jthread> workers;
    workers.reserve(n - 1);
    for (std::size_t i = 1; i < n; ++i)
        workers.emplace_back(run, i);
    run(0);
    workers.clear();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace cirsharp
