#include "io/pipeline.hpp"

#include <sched.h>

#include <chrono>
#include <ostream>

#include "io/file.hpp"

namespace cirsharp::io {

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

// ---------------------------------------------------------------- pipeline

Pipeline::Pipeline(std::ostream& out, bool background) : out_(out), background_(background) {
    if (!background_) return;
    thread_ = std::thread([this] { run_jobs(); });
    closer_ = std::thread([this] { close_replaced(); });
}

Pipeline::~Pipeline() {
    if (!background_) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    changed_.notify_all();
    thread_.join();
    {
        std::lock_guard lock(mutex_);
        closing_done_ = true;
    }
    replaced_changed_.notify_all();
    closer_.join();
}

void Pipeline::close_replaced() {
    std::unique_lock lock(mutex_);
    for (;;) {
        replaced_changed_.wait(lock, [this] { return closing_done_ || !replaced_.empty(); });
        if (replaced_.empty()) return;
        const int fd = replaced_.back();
        replaced_.pop_back();
        lock.unlock();
        Descriptor closing(fd);  // closed here, off the writer's path
        closing.close();
        lock.lock();
    }
}

void Pipeline::then(std::function<void()> job) {
    if (!background_) {
        check();
        try {
            job();
        } catch (...) {
            failure_ = std::current_exception();
            throw;
        }
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (failure_) std::rethrow_exception(failure_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void Pipeline::run_jobs() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        job = nullptr;  // release what the job held before saying it is done
        lock.lock();
        busy_ = false;
        if (failure && !failure_) failure_ = failure;
        if (failure_) jobs_.clear();
        changed_.notify_all();
    }
}

void Pipeline::check() {
    std::lock_guard lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
}

void Pipeline::drain() {
    if (background_) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
    }
    check();
}

void Pipeline::drain_quietly() noexcept {
    if (!background_) return;
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void Pipeline::write(OutputFile& file, std::span<const std::byte> data) {
    then([&file, data] { file.write(data); });
}

void Pipeline::write(OutputFile& file, std::vector<iovec> parts) {
    then([&file, parts = std::move(parts)] { file.write(parts); });
}

void Pipeline::print(std::string line) {
    then([this, line = std::move(line)] { out_ << line << '\n'; });
}

void Pipeline::commit(OutputFile& file, bool durable) {
    then([this, &file, durable] {
        Descriptor replaced = file.commit(durable);
        if (!background_ || !replaced) return;
        {
            std::lock_guard lock(mutex_);
            replaced_.push_back(replaced.release());
        }
        replaced_changed_.notify_all();
    });
}

// ---------------------------------------------------------------- pool

BufferPool::BufferPool(std::size_t count, std::size_t bytes) : bytes_(bytes), count_(count) {}

BufferPool::BufferPool(std::span<std::byte> memory, std::size_t bytes) : bytes_(bytes), count_(0) {
    for (std::size_t at = 0; at + bytes <= memory.size(); at += bytes)
        free_.push_back(memory.data() + at);
}

std::span<std::byte> BufferPool::acquire(Pipeline& pipeline) {
    std::unique_lock lock(mutex_);
    if (free_.empty() && storage_.size() < count_) {
        storage_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes_));
        return {storage_.back().get(), bytes_};
    }
    while (!available_.wait_for(lock, std::chrono::milliseconds(20),
                                [this] { return !free_.empty(); })) {
        lock.unlock();
        pipeline.check();
        lock.lock();
    }
    std::byte* p = free_.back();
    free_.pop_back();
    return {p, bytes_};
}

void BufferPool::release(std::span<std::byte> buffer) {
    {
        std::lock_guard lock(mutex_);
        free_.push_back(buffer.data());
    }
    available_.notify_one();
}

}  // namespace cirsharp::io
