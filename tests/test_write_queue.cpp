// The ordered writer and the buffers handed to it: order, the failure rule,
// and buffers never reused while a queued write still reads them.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "io/file.hpp"
#include "io/product_writer.hpp"
#include "io/temp_files.hpp"
#include "io/write_queue.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::TempDir;
namespace fs = std::filesystem;

std::span<const std::byte> bytes_of(const char* text) {
    return std::as_bytes(std::span(text, std::strlen(text)));
}

class WriteQueueTest : public ::testing::TestWithParam<bool> {
  protected:
    bool background() const { return GetParam(); }
};

TEST_P(WriteQueueTest, JobsRunInTheOrderQueued) {
    TempDir dir;
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile a = io::OutputFile::create(dir / "a.raw", temps);
    {
        io::WriteQueue queue(out, background());
        const auto first = queue.print("one");
        queue.write(a, bytes_of("ab"));
        const auto third = queue.write(a, std::vector<iovec>{{const_cast<char*>("cd"), 2}});
        EXPECT_LT(first, third);
        queue.print("two");
        queue.commit(a, false);
        queue.finish();
        EXPECT_EQ(out.str(), "one\ntwo\n");
        EXPECT_EQ(read_file(dir / "a.raw"), (std::vector<std::uint8_t>{'a', 'b', 'c', 'd'}));
    }
}

// The first failing job stops the queue: later jobs never run, and the
// failure reaches the caller at its next wait and its next push.
TEST_P(WriteQueueTest, AFailureStopsLaterJobsAndReachesTheCaller) {
    TempDir dir;
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile full = io::OutputFile::create("/dev/full", temps);
    io::OutputFile later = io::OutputFile::create(dir / "later.raw", temps);
    io::WriteQueue queue(out, background());
    io::WriteQueue::Ticket failing = 0;
    bool thrown = false;  // in the background, a push may already see the failure
    try {
        failing = queue.write(full, bytes_of("x"));
        queue.print("after the failure");
        queue.write(later, bytes_of("y"));
        queue.commit(later, false);
    } catch (const io::FileError&) {
        thrown = true;
    }
    EXPECT_TRUE(thrown || background()) << "without a background the push itself fails";
    EXPECT_THROW(queue.finish(), io::FileError);
    EXPECT_THROW(queue.wait(failing), io::FileError);
    EXPECT_THROW(queue.print("too late"), io::FileError);
    EXPECT_EQ(out.str(), "");
    EXPECT_FALSE(fs::exists(dir / "later.raw"));
}

// A stage that fails after queueing work (a read error, say) leaves the
// queue alone: what it queued before is still written and committed.
TEST_P(WriteQueueTest, WhatWasQueuedBeforeACallerFailureIsCommitted) {
    TempDir dir;
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile done = io::OutputFile::create(dir / "done.raw", temps);
    try {
        io::WriteQueue queue(out, background());
        queue.write(done, bytes_of("kept"));
        queue.commit(done, false);
        queue.print("committed");
        throw std::runtime_error("the next stage fails");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(out.str(), "committed\n");
    EXPECT_EQ(read_file(dir / "done.raw"), (std::vector<std::uint8_t>{'k', 'e', 'p', 't'}));
}

// One buffer filled, written, and filled again at once: the second take must
// wait for the first write, or the file would hold the second content twice.
TEST_P(WriteQueueTest, ARingBufferIsTakenBackOnlyOnceItsWritesHaveRun) {
    TempDir dir;
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile file = io::OutputFile::create(dir / "ring.raw", temps);
    constexpr std::size_t kBytes = 1 << 20;
    constexpr int kRounds = 8;
    {
        io::WriteQueue queue(out, background());
        io::BufferRing ring(queue, 1, kBytes);
        for (int round = 0; round < kRounds; ++round) {
            const auto buffer = ring.take();
            std::memset(buffer.data(), 'a' + round, buffer.size());
            ring.lend(buffer, queue.write(file, buffer));
        }
        queue.commit(file, false);
        queue.finish();
    }
    const auto bytes = read_file(dir / "ring.raw");
    ASSERT_EQ(bytes.size(), kBytes * kRounds);
    for (int round = 0; round < kRounds; ++round)
        EXPECT_EQ(bytes[std::size_t(round) * kBytes + kBytes / 2], 'a' + round) << round;
}

// Taking a buffer from a ring whose queue has failed rethrows the failure
// instead of waiting for a write that will never run.
TEST_P(WriteQueueTest, ARingOverAFailedQueueThrowsInsteadOfWaiting) {
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile full = io::OutputFile::create("/dev/full", temps);
    io::WriteQueue queue(out, background());
    std::vector<std::byte> memory(io::BufferRing::slot_bytes(64));
    io::BufferRing ring(queue, memory, 64);  // one buffer
    const auto buffer = ring.take();
    try {
        ring.lend(buffer, queue.write(full, buffer));
    } catch (const io::FileError&) {
        EXPECT_FALSE(background());
        ring.give_back(buffer);
    }
    EXPECT_THROW(ring.take(), io::FileError);
}

// A buffer whose jobs have run is taken again before a fresh one is made, and
// every buffer given back may be taken again: no more memory than the work
// needs, and never a buffer twice.
TEST_P(WriteQueueTest, ARingReusesWarmBuffersAndNeverHandsOneOutTwice) {
    TempDir dir;
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile file = io::OutputFile::create(dir / "ring.raw", temps);
    io::WriteQueue queue(out, background());
    io::BufferRing ring(queue, 3, 16);
    const auto first = ring.take();
    ring.give_back(first);
    ASSERT_EQ(ring.take().data(), first.data());  // warm, not a new one
    const auto second = ring.take();
    const auto third = ring.take();
    EXPECT_NE(second.data(), first.data());
    EXPECT_NE(third.data(), first.data());
    EXPECT_NE(third.data(), second.data());
    EXPECT_THROW(ring.take(), std::logic_error);  // all three are out
    ring.lend(second, queue.write(file, second));
    EXPECT_EQ(ring.take().data(), second.data());  // once its write has run
    queue.finish();
}

// What a stage hands a product's writer reaches the product in the order
// handed over: a prefix of a buffer, parts of a buffer, kept memory; a
// buffer given back unwritten adds nothing; the product is committed only
// once finished, and with two buffers each is filled again only once its
// bytes are written.
TEST_P(WriteQueueTest, AProductWriterWritesWhatIsHandedOverInOrderAndCommitsWhenFinished) {
    TempDir dir;
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile file = io::OutputFile::create(dir / "p.raw", temps);
    const std::string kept = "KEPT";
    {
        io::WriteQueue queue(out, background());
        io::ProductWriter writer(queue, file, false);
        EXPECT_EQ(writer.path(), dir / "p.raw");
        EXPECT_THROW(writer.next(), std::logic_error);  // no buffers yet
        std::vector<std::byte> memory(io::ProductWriter::buffers_memory(2, 4));
        writer.use_buffers(memory, 4);
        for (const char c : std::string("abcdefgh")) {
            const auto buffer = writer.next();
            std::memset(buffer.data(), c, buffer.size());
            writer.write(buffer.first(2));
        }
        const auto unwritten = writer.next();
        std::memset(unwritten.data(), 'x', unwritten.size());
        writer.give_back(unwritten);
        const auto parts = writer.next();
        std::memcpy(parts.data(), "0123", 4);
        writer.write(parts, {{parts.data() + 3, 1}, {parts.data(), 1}});
        writer.write_kept(std::as_bytes(std::span(kept)));
        writer.drop_buffers();
        EXPECT_THROW(writer.next(), std::logic_error);  // the buffers are gone
        queue.finish();
        EXPECT_FALSE(file.committed());
        writer.finish();
        queue.finish();
        EXPECT_TRUE(file.committed());
    }
    const auto bytes = read_file(dir / "p.raw");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "aabbccddeeffgghh30KEPT");
}

// A writer whose product cannot be written fails the stage at its next
// request instead of waiting for ever.
TEST_P(WriteQueueTest, AProductWriterOverAFailedWriteThrowsAtTheNextRequest) {
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile full = io::OutputFile::create("/dev/full", temps);
    io::WriteQueue queue(out, background());
    io::ProductWriter writer(queue, full, false);
    writer.use_buffers(1, 64);
    EXPECT_THROW(
        {
            for (int i = 0; i < 3; ++i)
                writer.write(writer.next());
        },
        io::FileError);
}

// Direct writes in the products' kind of sequence, every piece landing at an
// offset that is not a multiple of a block: buffers written whole and one
// cut short, several taken before any is written, kept memory handed over
// row after row and then in one piece. Every byte arrives where it belongs,
// and no whole block is copied through the staging buffer on its way.
TEST_P(WriteQueueTest, DirectWritesAtUnalignedOffsetsGoStraightFromTheirBuffers) {
    TempDir dir;
    io::TempFiles temps;
    std::ostringstream out;
    io::OutputFile file = io::OutputFile::create(dir / "d.raw", temps, io::IoMode::kDirect);
    if (!file.writes_directly()) GTEST_SKIP() << dir.path() << " takes no direct writes";
    constexpr std::size_t kBuffer = 3 * 4096 + 1234;
    constexpr std::size_t kRow = 5000;
    // Kept memory lies as the file will: the stages' kept planes start at
    // offset 0 of a product, from memory aligned to a block.
    constexpr std::size_t kKeptAt = 15 * kBuffer - 999;
    std::vector<std::uint8_t> memory(40 * kRow + 77 + 2 * 4096);
    const std::size_t skip = (kKeptAt - reinterpret_cast<std::uintptr_t>(memory.data())) % 4096;
    const std::span<std::uint8_t> kept = std::span(memory).subspan(skip, 40 * kRow + 77);
    for (std::size_t i = 0; i < kept.size(); ++i)
        kept[i] = std::uint8_t(i * 13 + i / 251);
    std::vector<std::uint8_t> expected;
    std::uint8_t next_value = 1;
    auto fill = [&](std::span<std::byte> buffer, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i, next_value = std::uint8_t(next_value * 5 + 3)) {
            buffer[i] = std::byte(next_value);
            expected.push_back(next_value);
        }
    };
    auto keep = [&](std::size_t at, std::size_t bytes, io::ProductWriter& writer) {
        writer.write_kept(std::as_bytes(kept.subspan(at, bytes)));
        expected.insert(expected.end(), kept.begin() + long(at), kept.begin() + long(at + bytes));
    };
    {
        io::WriteQueue queue(out, background());
        io::ProductWriter writer(queue, file, false);
        writer.use_buffers(3, kBuffer);
        for (int i = 0; i < 5; ++i) {
            const auto buffer = writer.next();
            fill(buffer, kBuffer);
            writer.write(buffer);
        }
        const auto short_one = writer.next();
        fill(short_one, kBuffer - 999);
        writer.write(short_one.first(kBuffer - 999));
        for (int round = 0; round < 3; ++round) {
            const std::array<std::span<std::byte>, 3> taken = {writer.next(), writer.next(),
                                                               writer.next()};
            for (const auto& buffer : taken) {
                fill(buffer, kBuffer);
                writer.write(buffer);
            }
        }
        writer.drop_buffers();
        ASSERT_EQ(expected.size(), kKeptAt);
        for (std::size_t row = 0; row < 20; ++row)
            keep(row * kRow, kRow, writer);
        keep(20 * kRow, kept.size() - 20 * kRow, writer);
        writer.finish();
        queue.finish();
    }
    EXPECT_EQ(file.staged_bytes(), 0u);
    EXPECT_EQ(read_file(dir / "d.raw"), expected);
}

INSTANTIATE_TEST_SUITE_P(BackgroundAndForeground, WriteQueueTest, ::testing::Bool(),
                         [](const auto& param) {
                             return param.param ? "Background" : "Foreground";
                         });

}  // namespace
}  // namespace cirsharp
