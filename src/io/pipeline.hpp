// How the stages share the machine: work split over threads by a fixed rule
// (part i of n covers [i * total / n, (i + 1) * total / n)), so results never
// depend on scheduling, and one ordered queue that writes products, prints
// progress lines and commits files in the background while the next data is
// computed.
#pragma once

#include <sys/uio.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace cirsharp {

// How the stages run; none of it changes a product byte.
struct StageOptions {
    // Threads that compute. With more than one, products are also written,
    // and replaced ones given back, on threads of their own meanwhile.
    int threads = 1;
    bool reference = false;  // per-sample arithmetic instead of lookup tables
    bool durable = false;    // flush products to disk before committing them
};

}  // namespace cirsharp

namespace cirsharp::io {

class OutputFile;

// The number of CPUs this process may run on (affinity, cgroup cpusets).
int available_cpus();

// Runs body(begin, end) over [0, total) in `threads` contiguous parts, the
// first on the calling thread. The first exception thrown is rethrown.
void parallel_for(int threads, std::size_t total,
                  const std::function<void(std::size_t, std::size_t)>& body);

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

// Jobs run one after another in the order queued: on a thread of their own,
// or at once on the caller when not in the background. After a job fails,
// the rest are skipped and the failure is rethrown to the caller by the next
// check() or drain().
class Pipeline {
  public:
    Pipeline(std::ostream& out, bool background);
    ~Pipeline();  // abandons jobs not yet started
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    void then(std::function<void()> job);
    void write(OutputFile& file, std::span<const std::byte> data);
    void write(OutputFile& file, std::vector<iovec> parts);
    void print(std::string line);  // a progress line, '\n' added
    void commit(OutputFile& file, bool durable);

    void check();
    void drain();
    // After a failure elsewhere: runs what is queued (a stage that finished
    // still commits its products), keeps any failure of its own to itself.
    void drain_quietly() noexcept;

  private:
    void run_jobs();
    void close_replaced();

    std::ostream& out_;
    bool background_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool busy_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
    // Files replaced by committed products, closed (and so given back) on a
    // thread of their own, off the writer's path.
    std::vector<int> replaced_;
    bool closing_done_ = false;
    std::condition_variable replaced_changed_;
    std::thread closer_;
};

// Declared after the memory that queued jobs point into: if the scope is
// left by an exception, lets the pipeline finish those jobs first.
class DrainOnUnwind {
  public:
    explicit DrainOnUnwind(Pipeline& pipeline)
        : pipeline_(pipeline), exceptions_(std::uncaught_exceptions()) {}
    ~DrainOnUnwind() {
        if (std::uncaught_exceptions() > exceptions_) pipeline_.drain_quietly();
    }
    DrainOnUnwind(const DrainOnUnwind&) = delete;
    DrainOnUnwind& operator=(const DrainOnUnwind&) = delete;

  private:
    Pipeline& pipeline_;
    int exceptions_;
};

// Equal buffers handed out and given back: up to `count` of them are made as
// producers need them, after which producers wait for the writer to give one
// back instead of holding ever more memory.
class BufferPool {
  public:
    BufferPool(std::size_t count, std::size_t bytes);
    // Buffers cut from memory that the caller owns and keeps.
    BufferPool(std::span<std::byte> memory, std::size_t bytes);
    // Waits for a free buffer; rethrows a failure of `pipeline`, whose jobs
    // give the buffers back, rather than waiting for ever.
    std::span<std::byte> acquire(Pipeline& pipeline);
    void release(std::span<std::byte> buffer);

  private:
    std::size_t bytes_;
    std::size_t count_;
    std::vector<std::unique_ptr<std::byte[]>> storage_;
    std::vector<std::byte*> free_;
    std::mutex mutex_;
    std::condition_variable available_;
};

}  // namespace cirsharp::io
