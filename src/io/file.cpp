#include "io/file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

#include "io/temp_files.hpp"

namespace cirsharp::io {

namespace {

// Drops the leading parts of `rest` that are done; false once all are.
bool skip_empty(const std::vector<iovec>& rest, std::size_t& first) {
    while (first < rest.size() && rest[first].iov_len == 0)
        ++first;
    return first < rest.size();
}

// Advances `rest` past the `n` bytes that one call moved.
void consume(std::vector<iovec>& rest, std::size_t& first, std::size_t n) {
    while (n > 0) {
        const std::size_t step = std::min(n, rest[first].iov_len);
        rest[first].iov_base = static_cast<std::byte*>(rest[first].iov_base) + step;
        rest[first].iov_len -= step;
        n -= step;
        if (rest[first].iov_len == 0) ++first;
    }
}

// The staging buffer of a direct write: big enough that each write moves a
// good share of the disk's rate, small beside the products.
constexpr std::size_t kStageBytes = std::size_t(8) << 20;

bool aligned(const void* p) {
    return reinterpret_cast<std::uintptr_t>(p) % kDirectAlignment == 0;
}

}  // namespace

// ---------------------------------------------------------------- input

InputFile InputFile::open(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) throw FileError(path, "cannot open", errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw FileError(path, "cannot open", errno);
    if (S_ISDIR(st.st_mode)) throw FileError(path, "cannot open", EISDIR);
    std::optional<std::uint64_t> size;
    if (S_ISREG(st.st_mode)) size = static_cast<std::uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode)) {
        // A device's size is not in its inode; its end is.
        const off_t end = ::lseek(fd.get(), 0, SEEK_END);
        if (end < 0) throw FileError(path, "cannot open", errno);
        size = static_cast<std::uint64_t>(end);
    }
    const bool seekable = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    InputFile file(path, std::move(fd), size, seekable);
    if (S_ISREG(st.st_mode)) file.stamp_ = Stamp{st.st_size, st.st_mtim, st.st_ctim};
    return file;
}

void InputFile::require_size(std::uint64_t needed, const std::string& role) const {
    if (size_ && *size_ < needed)
        throw FileError(path_, role + " is " + std::to_string(*size_) + " bytes long, but " +
                                   std::to_string(needed) + " bytes are needed");
}

void InputFile::spool(std::uint64_t needed) {
    if (seekable_) return;
    Descriptor copy(::memfd_create("cirsharp-input", MFD_CLOEXEC));
    if (!copy) throw FileError(path_, "cannot buffer", errno);
    std::vector<std::byte> chunk(std::size_t(1) << 20);
    std::uint64_t done = 0;
    while (done < needed) {
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), needed - done));
        const ssize_t n = ::read(fd_.get(), chunk.data(), want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(path_, "cannot read", errno);
        if (n == 0)
            throw FileError(path_, "ends after " + std::to_string(done) + " bytes, but " +
                                       std::to_string(needed) + " bytes are needed");
        for (ssize_t at = 0; at < n;) {
            const ssize_t w = ::write(copy.get(), chunk.data() + at, std::size_t(n - at));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) throw FileError(path_, "cannot buffer", w < 0 ? errno : ENOSPC);
            at += w;
        }
        done += std::uint64_t(n);
    }
    fd_ = std::move(copy);
    seekable_ = true;
    size_ = needed;
}

void InputFile::read_at(std::uint64_t offset, std::span<std::byte> out) {
    const iovec part{out.data(), out.size()};
    read_at(offset, std::span<const iovec>(&part, 1));
}

void InputFile::read_at(std::uint64_t offset, std::span<const iovec> parts) {
    if (!seekable_) throw std::logic_error(path_ + " is a stream: spool it before reading");
    std::vector<iovec> rest(parts.begin(), parts.end());
    std::size_t first = 0;
    std::uint64_t at = offset;
    std::uint64_t total = 0;
    for (const auto& p : parts)
        total += p.iov_len;
    while (skip_empty(rest, first)) {
        const int count = static_cast<int>(std::min<std::size_t>(rest.size() - first, IOV_MAX));
        const ssize_t n = ::preadv(fd_.get(), &rest[first], count, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(path_, "cannot read", errno);
        if (n == 0) {
            // Cut short since it was opened: say how long it is now, which
            // may be less than where this read began.
            struct stat st {};
            const std::uint64_t now = ::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode)
                                          ? std::uint64_t(st.st_size)
                                          : at;
            throw FileError(path_, "ends after " + std::to_string(now) + " bytes, but " +
                                       std::to_string(offset + total) + " bytes are needed");
        }
        at += static_cast<std::uint64_t>(n);
        consume(rest, first, static_cast<std::size_t>(n));
    }
}

void InputFile::drop_pages_when_closed() {
    if (!stamp_ || stamp_->size == 0) return;
    const auto size = static_cast<std::size_t>(stamp_->size);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd_.get(), 0);
    if (map == MAP_FAILED) return;
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((size + page - 1) / page);
    const bool known = ::mincore(map, size, resident.data()) == 0;
    ::munmap(map, size);
    if (!known) return;
    const auto cached = static_cast<std::size_t>(
        std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }));
    drop_pages_ = cached * 2 < resident.size();
}

void InputFile::close() {
    // Each input is read more than once; products made from two versions
    // of it would match neither, so none of them is committed.
    if (stamp_ && fd_) {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0) throw FileError(path_, "cannot read", errno);
        auto same = [](const timespec& a, const timespec& b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        if (st.st_size != stamp_->size || !same(st.st_mtim, stamp_->modified) ||
            !same(st.st_ctim, stamp_->changed))
            throw FileError(path_, "changed while it was being read");
    }
    // A hint only: a file system that cannot drop the pages keeps them.
    if (drop_pages_ && fd_) ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_DONTNEED);
    if (const int err = fd_.close()) throw FileError(path_, "cannot close", err);
}

// ---------------------------------------------------------------- output

bool open_missing_standard_descriptors() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one, as those below are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0) ::close(opened);
            return false;
        }
    }
    return true;
}

OutputFile OutputFile::create(const std::string& path, TempFiles& temps, IoMode mode) {
    const WriteTarget where = write_target(path);
    if (where.kind == PathKind::kFolder) throw FileError(path, "cannot create", EISDIR);
    if (where.kind == PathKind::kSpecial) return open_directly(path, path, temps);
    const std::string& target = where.target;
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    // Only a file that is not there yet may be missing; a link loop, a search
    // permission or a path through a non-folder fails as an open would.
    if (!exists && errno != ENOENT) throw FileError(path, "cannot create", errno);
    if (exists && S_ISDIR(st.st_mode)) throw FileError(path, "cannot create", EISDIR);
    // Became special since the look above.
    if (exists && !S_ISREG(st.st_mode)) return open_directly(path, target, temps);
    // Replacing a file needs no write permission on it, only on its folder;
    // refuse what an ordinary open for writing would refuse.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        throw FileError(path, "cannot open", errno);
    OutputFile file = create_temporary(path, target, temps);
    // A product that replaces a file keeps that file's permissions.
    if (exists && ::fchmod(file.fd_.get(), st.st_mode & 07777) != 0)
        throw FileError(path, "cannot set the permissions of", errno);
    if (mode == IoMode::kDirect) file.start_direct();
    return file;
}

OutputFile OutputFile::open_directly(const std::string& path, const std::string& target,
                                     TempFiles& temps) {
    Descriptor fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) throw FileError(path, "cannot open", errno);
    return OutputFile(path, target, std::string(), std::move(fd), &temps);
}

OutputFile OutputFile::create_temporary(const std::string& path, const std::string& target,
                                        TempFiles& temps) {
    const PathParts parts = split_path(target);
    std::random_device entropy;
    std::mt19937_64 rng((static_cast<std::uint64_t>(entropy()) << 32) ^ entropy() ^
                        static_cast<std::uint64_t>(::getpid()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string letters(kTemporaryLetters, ' ');
        for (char& c : letters)
            c = kTemporaryAlphabet[rng() % kTemporaryAlphabet.size()];
        const std::string temp = parts.folder + "/" + temporary_name(parts.name, letters);
        Descriptor fd;
        const int err = temps.create(temp, 0666, fd);
        if (err == EEXIST) continue;
        if (err != 0) throw FileError(path, "cannot create", err);
        return OutputFile(path, target, temp, std::move(fd), &temps);
    }
    throw FileError(path, "cannot create", EEXIST);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)),
      target_(std::move(other.target_)),
      temp_(std::move(other.temp_)),
      fd_(std::move(other.fd_)),
      temps_(other.temps_),
      committed_(other.committed_),
      in_place_(other.in_place_),
      sidecar_(std::move(other.sidecar_)),
      direct_(other.direct_),
      stage_(std::move(other.stage_)),
      staged_(other.staged_),
      staged_total_(other.staged_total_),
      kept_end_(other.kept_end_),
      kept_run_(other.kept_run_) {
    other.temp_.clear();
    other.committed_ = true;
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() noexcept {
    fd_.close();
    if (!committed_ && !temp_.empty()) temps_->discard(temp_);
    committed_ = true;
}

void OutputFile::write(std::span<const std::byte> data, Lead lead) {
    if (!append_in_place(data.data(), data.size(), lead)) {
        const iovec part{const_cast<std::byte*>(data.data()), data.size()};
        write(std::span<const iovec>(&part, 1));
    }
    if (lead != Lead::kKept) return;
    kept_run_ = (data.data() == kept_end_ ? kept_run_ : 0) + data.size();
    kept_end_ = data.data() + data.size();
}

void OutputFile::write(std::span<const iovec> parts) {
    kept_end_ = nullptr;
    kept_run_ = 0;
    if (!direct_ && staged_ == 0) return write_buffered(parts);
    for (const iovec& part : parts)
        append(static_cast<const std::byte*>(part.iov_base), part.iov_len);
}

// Writes the whole blocks of `data` straight from the caller's memory when
// its bytes lie where they land in a block of the file: the partial block
// pending in front of them is completed in the memory before them (copied
// into the buffer's room, or already there in kept memory) or else in the
// staging buffer from their first bytes, and what is left of a block after
// them waits for the next write. False, with nothing done, where that
// cannot be.
bool OutputFile::append_in_place(const std::byte* data, std::size_t size, Lead lead) {
    if (!direct_) return false;
    std::size_t head = staged_ % kDirectAlignment;
    const bool lands_aligned =
        (reinterpret_cast<std::uintptr_t>(data) - head) % kDirectAlignment == 0;
    if (!lands_aligned || head + size < kDirectAlignment) return false;
    write_staged(staged_ - head);  // whole blocks staged before
    bool in_place = head == 0 || (lead == Lead::kKept && data == kept_end_ && kept_run_ >= head);
    if (!in_place && lead != Lead::kSlack) {
        const std::size_t rest = kDirectAlignment - head;
        std::memcpy(stage_.get() + head, data, rest);
        staged_ = kDirectAlignment;
        write_staged(staged_);
        data += rest;
        size -= rest;
        head = 0;
        in_place = true;
    }
    auto* start = const_cast<std::byte*>(data) - head;
    if (!in_place) std::memcpy(start, stage_.get(), head);
    const std::size_t whole = (head + size) / kDirectAlignment * kDirectAlignment;
    staged_ = 0;
    write_through(start, whole);
    staged_ = head + size - whole;
    std::memcpy(stage_.get(), start + whole, staged_);
    return true;
}

void OutputFile::write_buffered(std::span<const iovec> parts) {
    std::vector<iovec> rest(parts.begin(), parts.end());
    std::size_t first = 0;
    while (skip_empty(rest, first)) {
        const int count = static_cast<int>(std::min<std::size_t>(rest.size() - first, IOV_MAX));
        const ssize_t n = ::writev(fd_.get(), &rest[first], count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw FileError(path_, "cannot write", errno);
        if (n == 0) throw FileError(path_, "cannot write", EIO);  // would never progress
        consume(rest, first, static_cast<std::size_t>(n));
    }
}

void OutputFile::start_direct() {
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    // Refused (tmpfs on older kernels, some network and FUSE file systems):
    // the file is written through the page cache.
    if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_DIRECT) != 0) return;
    stage_.reset(static_cast<std::byte*>(std::aligned_alloc(kDirectAlignment, kStageBytes)));
    if (!stage_) throw std::bad_alloc();
    direct_ = true;
}

void OutputFile::stop_direct() {
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_DIRECT) != 0)
        throw FileError(path_, "cannot write", errno);
    direct_ = false;
}

// Appends in order: whole blocks of aligned memory straight from the
// caller, anything else through the staging buffer; once direct writes are
// off, through the page cache.
void OutputFile::append(const std::byte* data, std::size_t size) {
    while (size > 0) {
        if (!direct_ || (staged_ == 0 && size >= kDirectAlignment && aligned(data))) {
            write_staged(staged_);
            const std::size_t n = direct_ ? size - size % kDirectAlignment : size;
            write_through(data, n);
            data += n;
            size -= n;
            continue;
        }
        const std::size_t n = std::min(size, kStageBytes - staged_);
        std::memcpy(stage_.get() + staged_, data, n);
        staged_ += n;
        staged_total_ += n;
        data += n;
        size -= n;
        if (staged_ == kStageBytes) write_staged(staged_);
    }
}

// Writes the first `bytes` of the staging buffer and keeps the rest at its
// start.
void OutputFile::write_staged(std::size_t bytes) {
    if (bytes == 0) return;
    write_through(stage_.get(), bytes);
    std::memmove(stage_.get(), stage_.get() + bytes, staged_ - bytes);
    staged_ -= bytes;
}

// Writes all of `data`. A direct write refused as invalid (a file system
// that takes no direct writes after all, or an offset left unaligned by a
// short write) turns direct writes off for this file and is retried
// through the page cache.
void OutputFile::write_through(const std::byte* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd_.get(), data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EINVAL && direct_) {
            stop_direct();
            continue;
        }
        if (n < 0) throw FileError(path_, "cannot write", errno);
        if (n == 0) throw FileError(path_, "cannot write", EIO);  // would never progress
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

Descriptor OutputFile::commit(bool durable) {
    // The whole blocks go straight to the disk, the last partial one through
    // the page cache, so the file ends exactly where its bytes do.
    if (direct_) write_staged(staged_ - staged_ % kDirectAlignment);
    if (direct_) stop_direct();
    write_staged(staged_);
    stage_.reset();
    if (durable && ::fsync(fd_.get()) != 0 && errno != EINVAL && errno != EROFS)
        throw FileError(path_, "cannot flush", errno);
    if (const int err = fd_.close()) throw FileError(path_, "cannot close", err);
    if (temp_.empty()) {
        committed_ = in_place_ = true;
        return {};
    }
    // Held open across the rename, the replaced file is not given back yet.
    Descriptor replaced(::open(target_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    temps_->commit(temp_, target_);
    committed_ = in_place_ = true;
    if (durable) {
        const std::string dir = split_path(target_).folder;
        Descriptor dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dfd || (::fsync(dfd.get()) != 0 && errno != EINVAL))
            throw FileError(dir, "cannot flush the folder", errno);
    }
    if (sidecar_) sidecar_->commit(durable);
    return replaced;
}

void OutputFile::set_sidecar(const std::string& suffix, std::string_view text) {
    if (!is_regular()) return;
    auto file = std::make_unique<OutputFile>(create(path_ + suffix, *temps_));
    file->write(std::as_bytes(std::span<const char>(text.data(), text.size())));
    sidecar_ = std::move(file);
}

}  // namespace cirsharp::io
