#include "io/write_queue.hpp"

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <system_error>

#include "io/file.hpp"

namespace cirsharp::io {

WriteQueue::WriteQueue(std::ostream& out, bool background) : out_(out), background_(background) {
    if (!background_) return;
    // The closer first: the writer reads whether there is one.
    try {
        closer_ = std::thread([this] { close_replaced(); });
    } catch (const std::system_error&) {
    }
    try {
        writer_ = std::thread([this] { run_jobs(); });
    } catch (const std::system_error&) {
        background_ = false;
        stop_closer();
    }
}

WriteQueue::~WriteQueue() {
    if (!background_) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    writer_.join();
    stop_closer();
}

void WriteQueue::stop_closer() {
    {
        std::lock_guard lock(mutex_);
        closing_done_ = true;
    }
    replaced_changed_.notify_all();
    if (closer_.joinable()) closer_.join();
}

WriteQueue::Ticket WriteQueue::push(std::function<void()> job) {
    if (!background_) {
        if (failure_) std::rethrow_exception(failure_);
        try {
            job();
        } catch (...) {
            failure_ = std::current_exception();
            throw;
        }
        done_ = ++queued_;
        return queued_;
    }
    Ticket ticket;
    {
        std::lock_guard lock(mutex_);
        if (failure_) std::rethrow_exception(failure_);
        jobs_.push_back(std::move(job));
        ticket = ++queued_;
    }
    changed_.notify_all();
    return ticket;
}

void WriteQueue::run_jobs() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and everything has run
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        job = nullptr;  // release what the job held before saying it is done
        lock.lock();
        if (failure) {
            failure_ = failure;
            jobs_.clear();
        } else {
            ++done_;
        }
        changed_.notify_all();
    }
}

void WriteQueue::wait(Ticket ticket) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_ >= ticket || failure_; });
    if (failure_) std::rethrow_exception(failure_);
}

bool WriteQueue::has_run(Ticket ticket) {
    std::lock_guard lock(mutex_);
    return done_ >= ticket && !failure_;
}

void WriteQueue::finish() {
    Ticket last;
    {
        std::lock_guard lock(mutex_);
        last = queued_;
    }
    wait(last);
}

void WriteQueue::close_replaced() {
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

WriteQueue::Ticket WriteQueue::write(OutputFile& file, std::span<const std::byte> data, Lead lead) {
    return push([&file, data, lead] { file.write(data, lead); });
}

WriteQueue::Ticket WriteQueue::write(OutputFile& file, std::vector<iovec> parts) {
    return push([&file, parts = std::move(parts)] { file.write(parts); });
}

WriteQueue::Ticket WriteQueue::print(std::string line) {
    // Flushed line by line: in a batch system's log (a file, so fully buffered
    // otherwise) a killed run then shows the last stage it finished.
    return push([this, line = std::move(line)] { out_ << line << '\n' << std::flush; });
}

WriteQueue::Ticket WriteQueue::commit(OutputFile& file, bool durable) {
    return push([this, &file, durable] {
        Descriptor replaced = file.commit(durable);
        if (!background_ || !closer_.joinable() || !replaced) return;
        {
            std::lock_guard lock(mutex_);
            replaced_.push_back(replaced.release());
        }
        replaced_changed_.notify_all();
    });
}

// ---------------------------------------------------------------- ring

BufferRing::BufferRing(WriteQueue& queue, std::size_t count, std::size_t bytes)
    : queue_(queue), bytes_(bytes), slots_(count) {}

BufferRing::BufferRing(WriteQueue& queue, std::span<std::byte> memory, std::size_t bytes)
    : queue_(queue), bytes_(bytes) {
    const std::size_t slot = slot_bytes(bytes);
    for (std::size_t at = 0; at + slot <= memory.size(); at += slot)
        slots_.push_back({memory.data() + at, nullptr, 0});
}

BufferRing::~BufferRing() {
    try {
        wait();
    } catch (...) {
        // The queue keeps its failure and reports it to the next push or wait.
    }
}

void BufferRing::wait() {
    WriteQueue::Ticket last = 0;
    for (const Slot& s : slots_)
        last = std::max(last, s.read_until);
    queue_.wait(last);
}

std::span<std::byte> BufferRing::take(std::size_t offset) {
    Slot* chosen = nullptr;
    // One already made whose jobs have run: its pages are warm.
    for (Slot& s : slots_)
        if (s.base && !s.taken && queue_.has_run(s.read_until)) {
            chosen = &s;
            break;
        }
    // Else a new one, while fewer than `count` are made.
    for (Slot& s : slots_)
        if (!chosen && !s.base) {
            s.storage = std::make_unique_for_overwrite<std::byte[]>(slot_bytes(bytes_));
            s.base = s.storage.get();
            chosen = &s;
        }
    // Else the one whose jobs end first.
    if (!chosen)
        for (Slot& s : slots_)
            if (!s.taken && (!chosen || s.read_until < chosen->read_until)) chosen = &s;
    if (!chosen) throw std::logic_error("every buffer of the ring is taken");
    queue_.wait(chosen->read_until);
    chosen->taken = true;
    // The first address past a block of room that lies `offset` past a
    // multiple of the alignment.
    const auto room = reinterpret_cast<std::uintptr_t>(chosen->base) + kDirectAlignment;
    const std::size_t shift = (offset - room) % kDirectAlignment;
    return {chosen->base + kDirectAlignment + shift, bytes_};
}

BufferRing::Slot& BufferRing::slot_of(std::span<const std::byte> buffer) {
    for (Slot& s : slots_)
        if (s.base && buffer.data() >= s.base && buffer.data() < s.base + slot_bytes(bytes_))
            return s;
    throw std::logic_error("a buffer that is not the ring's");
}

void BufferRing::lend(std::span<const std::byte> buffer, WriteQueue::Ticket ticket) {
    Slot& s = slot_of(buffer);
    s.read_until = std::max(s.read_until, ticket);
    s.taken = false;
}

}  // namespace cirsharp::io
