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
}

void ProductWriter::use_buffers(std::size_t count, std::size_t bytes) {
    ring_.reset();
    ring_.emplace(queue_, count, bytes);
}

BufferRing& ProductWriter::ring() {
    if (!ring_) throw std::logic_error(file_.path() + ": a writer without buffers");
    return *ring_;
}

std::span<std::byte> ProductWriter::next() {
    return ring().take();
}

void ProductWriter::write(std::span<const std::byte> filled) {
    BufferRing& buffers = ring();
    if (see_) see_(filled);
    buffers.lend(filled, queue_.write(file_, filled));
}

void ProductWriter::write(std::span<const std::byte> buffer, std::vector<iovec> parts) {
    BufferRing& buffers = ring();
    if (see_)
        for (const iovec& part : parts)
            see_({static_cast<const std::byte*>(part.iov_base), part.iov_len});
    buffers.lend(buffer, queue_.write(file_, std::move(parts)));
}

void ProductWriter::give_back(std::span<const std::byte> buffer) {
    ring().give_back(buffer);
}

void ProductWriter::write_kept(std::span<const std::byte> data) {
    if (see_) see_(data);
    queue_.write(file_, data);
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
