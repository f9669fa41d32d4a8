// One product's writer: all that a stage sees of writing. A stage takes a
// buffer, fills it and hands it back; the writer appends the bytes to the
// product in the order they are handed over (on the write queue's thread
// when there is one), takes the buffer back once no pending write reads it,
// and commits the product once it is finished. How the bytes reach the disk,
// and when, is the writer's business alone.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/write_queue.hpp"

namespace cirsharp::io {

class OutputFile;

class ProductWriter {
  public:
    // Writes `file` through `queue`; with `durable`, flushes it and its
    // folder to disk before it is committed.
    ProductWriter(WriteQueue& queue, OutputFile& file, bool durable);
    // Waits until no pending write reads one of its buffers.
    ~ProductWriter();
    ProductWriter(const ProductWriter&) = delete;
    ProductWriter& operator=(const ProductWriter&) = delete;

    const std::string& path() const;

    // The memory that use_buffers() cuts `count` buffers of `bytes` from.
    static constexpr std::size_t buffers_memory(std::size_t count, std::size_t bytes) {
        return count * BufferRing::slot_bytes(bytes);
    }
    // Shows `see` every piece of bytes handed over by write() and
    // write_kept(), in product order, on the thread that hands it over and
    // before it is queued (the previews are made so).
    void observe(std::function<void(std::span<const std::byte>)> see);

    // The buffers that next() hands out, each `bytes` long: cut from
    // `memory` (buffers_memory() of them), which the caller owns and keeps
    // until drop_buffers() or the writer's end; or `count` of them, made
    // when first needed.
    void use_buffers(std::span<std::byte> memory, std::size_t bytes);
    void use_buffers(std::size_t count, std::size_t bytes);

    // A buffer to fill that no pending write reads; waits for one if need be.
    // Written whole, and after the buffers handed out before it, its bytes
    // go to the disk straight from it.
    std::span<std::byte> next();
    // Appends `filled`, the first bytes of a buffer from next(), which is
    // taken back once they are written.
    void write(std::span<const std::byte> filled);
    // Appends `parts`, all lying in `buffer` (one from next()), in order,
    // and takes `buffer` back once they are written.
    void write(std::span<const std::byte> buffer, std::vector<iovec> parts);
    // Takes back a buffer from next() that is not to be written.
    void give_back(std::span<const std::byte> buffer);
    // Appends `data`, memory of the caller that stays unchanged until the
    // write queue has finished.
    void write_kept(std::span<const std::byte> data);
    // Waits until no pending write reads one of its buffers and lets them
    // go, so that their memory may be freed.
    void drop_buffers();
    // Every byte is handed over: the product is committed once they are
    // written.
    void finish();

  private:
    BufferRing& ring();

    void handed_over(std::size_t bytes);

    WriteQueue& queue_;
    OutputFile& file_;
    bool durable_;
    std::optional<BufferRing> ring_;
    std::size_t buffer_bytes_ = 0;
    std::uint64_t handed_ = 0;  // bytes handed over so far
    std::size_t out_ = 0;       // buffers handed out, not yet handed back
    std::function<void(std::span<const std::byte>)> see_;
};

}  // namespace cirsharp::io
