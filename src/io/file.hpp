// Checked file access. Every system call that fails becomes a FileError that
// names the file, what was being done and the system's reason; nothing here
// ever passes over a short read or a failed write.
//
// Products are written to a hidden temporary file beside their final path and
// renamed over it only once complete, so a failed or killed run never leaves
// a partial product at a final path.
//
// A product may be written around the page cache (O_DIRECT): whole aligned
// blocks go straight to the disk, from the caller's memory where its bytes
// lie at the same offset within a block of memory as within a block of the
// file, and through an aligned staging buffer where they do not; the last
// partial block is written through the page cache at the commit, so the
// file's bytes are the same either way. A file system that refuses direct
// writes gets buffered ones for that file instead.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "io/descriptor.hpp"
#include "io/paths.hpp"

namespace cirsharp::io {

class TempFiles;

// How a file's bytes travel between the disk and the program: through the
// page cache, or around it as far as the file system allows.
enum class IoMode { kBuffered, kDirect };

// The alignment of direct writes, in memory and in the file: 4096 covers
// the logical block size of every disk in use.
inline constexpr std::size_t kDirectAlignment = 4096;

// What a direct write may do with the memory just before the bytes it is
// given, where the file's last partial block has to be completed in front
// of them so that they go to the disk from where they are.
enum class Lead {
    kNone,   // nothing: it is someone else's
    kSlack,  // overwrite up to kDirectAlignment bytes: the buffer's own room
    kKept,   // read it: the bytes are memory that stays unchanged until the
             // commit, so the same memory's previous bytes are still there
};

class InputFile {
  public:
    // Opens for reading; a folder is refused as EISDIR.
    static InputFile open(const std::string& path);

    const std::string& path() const { return path_; }
    // Size of a regular file or a block device; empty for a pipe, a
    // terminal or a character device.
    std::optional<std::uint64_t> size() const { return size_; }
    // Whether reads may come at any offsets (from several threads at once).
    bool seekable() const { return seekable_; }
    // Refuses a regular file or block device shorter than `needed` bytes;
    // the message names the file's `role` ("colour file").
    void require_size(std::uint64_t needed, const std::string& role) const;
    // Makes a stream (a pipe, a character device) readable at any offset, as
    // the stages read their inputs more than once: its first `needed` bytes
    // are copied into an anonymous in-memory file, and a stream that ends
    // sooner is refused like a short file. Regular files are left alone.
    void spool(std::uint64_t needed);
    // Fills `out` from byte `offset`; a file that ends first is an error.
    // Streams must be spooled first.
    void read_at(std::uint64_t offset, std::span<std::byte> out);
    // Several buffers from consecutive bytes starting at `offset`.
    void read_at(std::uint64_t offset, std::span<const iovec> parts);
    // Asks that the pages of a regular file be dropped from the page cache
    // when it is closed, unless most of them are there already now: those
    // were read by someone else, who may read them again.
    void drop_pages_when_closed();
    // Refuses a regular file that changed since it was opened (so between
    // reads of the same bytes), then closes it.
    void close();

  private:
    InputFile(std::string path, Descriptor fd, std::optional<std::uint64_t> size, bool seekable)
        : path_(std::move(path)), fd_(std::move(fd)), size_(size), seekable_(seekable) {}

    std::string path_;
    Descriptor fd_;
    std::optional<std::uint64_t> size_;
    bool seekable_ = true;
    // What a regular file looked like when opened: its size and its times of
    // modification and change.
    struct Stamp {
        off_t size;
        timespec modified, changed;
    };
    std::optional<Stamp> stamp_;
    bool drop_pages_ = false;
};

class OutputFile {
  public:
    // Creates the temporary file for `path` (or opens a special file such as
    // /dev/null directly). A symbolic link is followed: the product replaces
    // the link's final target and the link stays a link.
    // With IoMode::kDirect, a regular file is written around the page cache
    // where its file system allows; a special file is always written as is.
    static OutputFile create(const std::string& path, TempFiles& temps,
                             IoMode mode = IoMode::kBuffered);

    OutputFile(OutputFile&&) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    ~OutputFile();  // an uncommitted temporary file is removed

    const std::string& path() const { return path_; }
    bool is_regular() const { return !temp_.empty(); }
    // Whether commit() succeeded: the product is in place (renamed over its
    // path, or fully written to a special file).
    bool committed() const { return in_place_; }
    // Whether whole blocks are still written around the page cache.
    bool writes_directly() const { return direct_; }

    // Appends all of `data`.
    void write(std::span<const std::byte> data, Lead lead = Lead::kNone);
    void write(std::span<const iovec> parts);
    // Bytes that went to the disk through the staging buffer rather than
    // from the caller's memory (not counted: less than a block at either end
    // of a write whose bytes lie where they land in a block).
    std::uint64_t staged_bytes() const { return staged_total_; }
    // Flushes (to disk with `durable`), closes and renames over the final path.
    //
    // Returns the file that the product replaced, still open: the last close
    // of a replaced product gives back its pages, which costs time in
    // proportion to its size, so a caller may close it on another thread.
    Descriptor commit(bool durable);

    // A small companion file at path() + `suffix` (an ENVI header, say): its
    // temporary file is written now and renamed into place right after the
    // product, so it exists exactly when the product is committed. A special
    // file gets none. Its path follows links as the product's does.
    void set_sidecar(const std::string& suffix, std::string_view text);

  private:
    OutputFile(std::string path, std::string target, std::string temp, Descriptor fd,
               TempFiles* temps)
        : path_(std::move(path)),
          target_(std::move(target)),
          temp_(std::move(temp)),
          fd_(std::move(fd)),
          temps_(temps) {}
    void discard() noexcept;
    void start_direct();
    void stop_direct();
    void append(const std::byte* data, std::size_t size);
    bool append_in_place(const std::byte* data, std::size_t size, Lead lead);
    void write_through(const std::byte* data, std::size_t size);
    void write_staged(std::size_t bytes);
    void write_buffered(std::span<const iovec> parts);
    static OutputFile open_directly(const std::string& path, const std::string& target,
                                    TempFiles& temps);
    static OutputFile create_temporary(const std::string& path, const std::string& target,
                                       TempFiles& temps);

    std::string path_;    // as given on the command line
    std::string target_;  // the file the product ends up in
    std::string temp_;    // empty when writing the target directly
    Descriptor fd_;
    TempFiles* temps_ = nullptr;
    bool committed_ = false;  // committed or discarded: nothing left to clean up
    bool in_place_ = false;
    std::unique_ptr<OutputFile> sidecar_;
    bool direct_ = false;  // O_DIRECT is set on fd_
    // Bytes waiting for a whole aligned block (direct writes only).
    std::unique_ptr<std::byte, void (*)(void*)> stage_{nullptr, std::free};
    std::size_t staged_ = 0;
    std::uint64_t staged_total_ = 0;
    // Kept memory ending at kept_end_ whose last kept_run_ bytes are the
    // file's last bytes.
    const std::byte* kept_end_ = nullptr;
    std::size_t kept_run_ = 0;
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no
// file the program opens later becomes its standard input, output or error.
// To be called first thing in main; false if /dev/null cannot be opened.
bool open_missing_standard_descriptors() noexcept;

}  // namespace cirsharp::io
