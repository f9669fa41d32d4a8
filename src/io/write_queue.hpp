// The ordered writer: products written, progress lines printed and files
// committed in the order they are queued, on a thread of its own while the
// stages compute the next data, or at once on the caller when not in the
// background.
//
// What a failure does to queued work: the first job that fails stops the
// queue. The jobs queued after it are dropped without running, and every
// later push or wait rethrows that failure. A failure of the caller leaves
// the queue alone: what was queued before it still runs, in the destructor
// at the latest, so a stage that finished still commits its products.
#pragma once

#include <sys/uio.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
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

#include "io/file.hpp"

namespace cirsharp::io {

class WriteQueue {
  public:
    // A job's place in the queue, counted from 1; 0 comes before every job.
    using Ticket = std::uint64_t;

    // Without a thread of its own to be had, the queue runs its jobs on the
    // caller; without the second, replaced files are closed by the writer.
    WriteQueue(std::ostream& out, bool background);
    // Runs what is still queued (nothing, after a failure), then stops. So
    // declare it after every file and buffer that its jobs use.
    ~WriteQueue();
    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    // `data` and `parts` must stay valid until the job has run.
    Ticket write(OutputFile& file, std::span<const std::byte> data, Lead lead = Lead::kNone);
    Ticket write(OutputFile& file, std::vector<iovec> parts);
    Ticket print(std::string line);  // a progress line, '\n' added
    Ticket commit(OutputFile& file, bool durable);

    // Waits until the job of `ticket` and every one before it have run, or
    // the queue has failed, whose failure it then rethrows.
    void wait(Ticket ticket);
    // Whether that wait would return at once without a failure.
    bool has_run(Ticket ticket);
    // wait() for every job queued so far.
    void finish();

  private:
    Ticket push(std::function<void()> job);
    void run_jobs();
    void close_replaced();
    void stop_closer();

    std::ostream& out_;
    bool background_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    Ticket queued_ = 0;  // tickets handed out
    Ticket done_ = 0;    // jobs run
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::thread writer_;
    // Files replaced by committed products, closed (and so given back) on a
    // thread of their own, off the writer's path.
    std::vector<int> replaced_;
    bool closing_done_ = false;
    std::condition_variable replaced_changed_;
    std::thread closer_;
};

// Equal buffers that their owner fills and hands to a WriteQueue. The owner
// takes one, and gives it back either at once or lent to the queued jobs
// that read it; taking one waits, if none is free, until the jobs that read
// the one given back first have run, and the destructor waits so for all of
// them: no queued job ever reads freed memory.
//
// Each buffer lies in a slot with room around it: a buffer may be handed
// out at any offset within a block of memory (so that its bytes lie as they
// will within the file's blocks), and a block of room in front of it is
// the buffer's own, for a direct write to complete a partial block in.
class BufferRing {
  public:
    // The memory of one slot for buffers of `bytes`.
    static constexpr std::size_t slot_bytes(std::size_t bytes) {
        return (bytes + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment +
               2 * kDirectAlignment;
    }

    // `count` buffers of `bytes`, each made when first taken.
    BufferRing(WriteQueue& queue, std::size_t count, std::size_t bytes);
    // Buffers of `bytes` cut from `memory`, which the caller owns and keeps,
    // slot_bytes(bytes) for each.
    BufferRing(WriteQueue& queue, std::span<std::byte> memory, std::size_t bytes);
    ~BufferRing();
    BufferRing(const BufferRing&) = delete;
    BufferRing& operator=(const BufferRing&) = delete;

    // A free buffer: one already made whose jobs have run, else a new one
    // while fewer than `count` are made, else the first given back once its
    // jobs have run. Its address is `offset` past a multiple of
    // kDirectAlignment, with a block of room in front of it.
    std::span<std::byte> take(std::size_t offset = 0);
    // Gives `buffer`, one taken from this ring, back once the queued jobs up
    // to `ticket` have run.
    void lend(std::span<const std::byte> buffer, WriteQueue::Ticket ticket);
    // Gives `buffer` back now: no queued job reads it.
    void give_back(std::span<const std::byte> buffer) { lend(buffer, 0); }
    // Waits until no queued job reads a buffer, rethrowing the queue's
    // failure.
    void wait();

  private:
    struct Slot {
        std::byte* base = nullptr;  // the slot, room included
        std::unique_ptr<std::byte[]> storage;
        WriteQueue::Ticket read_until = 0;
        bool taken = false;
    };
    Slot& slot_of(std::span<const std::byte> buffer);

    WriteQueue& queue_;
    std::size_t bytes_;
    std::vector<Slot> slots_;
};

}  // namespace cirsharp::io
