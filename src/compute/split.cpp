#include "compute/split.hpp"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <mutex>
#include <system_error>
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
    std::size_t started = 1;
    try {
        for (; started < n; ++started)
            workers.emplace_back(run, started);
    } catch (const std::system_error&) {
        // No more threads to be had: the parts are fixed, so who runs them
        // changes no result.
    }
    run(0);
    for (std::size_t i = started; i < n; ++i)
        run(i);
    workers.clear();
    if (failure) std::rethrow_exception(failure);
}

StartableThreads startable_threads(int wanted) {
    // Threads of a small stack, so that counting them takes next to no
    // address space: what is counted is what a process limit allows.
    StartableThreads result;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::max<std::size_t>(PTHREAD_STACK_MIN, 64 << 10));
    std::vector<pthread_t> threads;
    threads.reserve(std::size_t(std::max(wanted, 0)));
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {wanted, 0};  // nothing to count with
    // Each thread waits for the write end to close.
    auto wait = [](void* fd) -> void* {
        char byte;
        while (::read(*static_cast<int*>(fd), &byte, 1) < 0 && errno == EINTR) {
        }
        return nullptr;
    };
    for (; result.count < wanted; ++result.count) {
        pthread_t t;
        if (const int rc = pthread_create(&t, &attr, wait, &pipe_fds[0])) {
            result.error = rc;
            break;
        }
        threads.push_back(t);
    }
    ::close(pipe_fds[1]);
    for (const pthread_t t : threads)
        pthread_join(t, nullptr);
    ::close(pipe_fds[0]);
    pthread_attr_destroy(&attr);
    return result;
}
}  // namespace cirsharp
