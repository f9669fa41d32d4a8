#include "io/product_writer.hpp"

#include <stdexcept>

#include "io/file.hpp"

namespace cirsharp::io {

ProductWriter::ProductWriter(WriteQueue& queue, OutputFile& file, bool durable)
    : queue_(queue), file_(file), durable_(durable) {}

ProductWriter::~ProductWriter() = default;  // the buffers wait for their writes

const std::string& ProductWriter::path() const {
    return file_.path();
}

void ProductWriter::observe(std::function<void(std::span<const std::byte>)> see) {
    see_ = std::move(see);
}

void ProductWriter::use_buffers(std::span<std::byte> memory, std::size_t bytes) {
    ring_.reset();
    ring_.emplace(queue_, memory, bytes);
    buffer_bytes_ = bytes;
    out_ = 0;
}

void ProductWriter::use_buffers(std::size_t count, std::size_t bytes) {
    ring_.reset();
    ring_.emplace(queue_, count, bytes);
    buffer_bytes_ = bytes;
    out_ = 0;
}

BufferRing& ProductWriter::ring() {
    if (!ring_) throw std::logic_error(file_.path() + ": a writer without buffers");
    return *ring_;
}

// Where the buffer's bytes will land in the file, if each buffer out before
// it is written whole first: a buffer starting at that offset within a
// block of memory goes to the disk straight from where it is. (A guess that
// turns out wrong costs a copy, never a byte.)
std::span<std::byte> ProductWriter::next() {
    BufferRing& buffers = ring();
    const std::uint64_t lands = handed_ + std::uint64_t(out_) * buffer_bytes_;
    const auto buffer = buffers.take(std::size_t(lands % kDirectAlignment));
    ++out_;
    return buffer;
}

void ProductWriter::handed_over(std::size_t bytes) {
    handed_ += bytes;
    if (out_ > 0) --out_;
}

void ProductWriter::write(std::span<const std::byte> filled) {
    BufferRing& buffers = ring();
    if (see_) see_(filled);
    buffers.lend(filled, queue_.write(file_, filled, Lead::kSlack));
    handed_over(filled.size());
}

void ProductWriter::write(std::span<const std::byte> buffer, std::vector<iovec> parts) {
    BufferRing& buffers = ring();
    std::size_t bytes = 0;
    for (const iovec& part : parts)
        bytes += part.iov_len;
    if (see_)
        for (const iovec& part : parts)
            see_({static_cast<const std::byte*>(part.iov_base), part.iov_len});
    buffers.lend(buffer, queue_.write(file_, std::move(parts)));
    handed_over(bytes);
}

void ProductWriter::give_back(std::span<const std::byte> buffer) {
    ring().give_back(buffer);
    if (out_ > 0) --out_;
}

void ProductWriter::write_kept(std::span<const std::byte> data) {
    if (see_) see_(data);
    queue_.write(file_, data, Lead::kKept);
    handed_ += data.size();
}

void ProductWriter::drop_buffers() {
    if (!ring_) return;
    ring_->wait();
    ring_.reset();
}

void ProductWriter::finish() {
    queue_.commit(file_, durable_);
}

}  // namespace cirsharp::io
