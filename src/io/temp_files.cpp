#include "io/temp_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "io/file.hpp"

namespace cirsharp::io {

TempFiles::~TempFiles() {
    remove_all();
}

std::vector<TempFiles::Entry>::iterator TempFiles::find(const std::string& path) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& e) { return e.path == path; });
}

void TempFiles::forget(std::vector<Entry>::iterator entry) noexcept {
    ::close(entry->folder);
    entries_.erase(entry);
}

int TempFiles::create(const std::string& path, mode_t mode, Descriptor& fd) {
    std::lock_guard lock(mutex_);
    entries_.reserve(entries_.size() + 1);  // listing it below cannot fail
    const PathParts parts = split_path(path);
    Descriptor folder(::open(parts.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return errno;
    fd = Descriptor(
        ::openat(folder.get(), parts.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd) return errno;
    entries_.push_back({path, folder.release(), parts.name});
    return 0;
}

void TempFiles::commit(const std::string& temp, const std::string& target) {
    std::lock_guard lock(mutex_);
    const auto entry = find(temp);
    if (entry == entries_.end()) throw std::logic_error(temp + " is not a listed temporary file");
    if (::renameat(entry->folder, entry->name.c_str(), AT_FDCWD, target.c_str()) != 0)
        throw FileError(target, "cannot replace", errno);
    forget(entry);
}

void TempFiles::discard(const std::string& temp) noexcept {
    std::lock_guard lock(mutex_);
    const auto entry = find(temp);
    if (entry == entries_.end()) return;
    ::unlinkat(entry->folder, entry->name.c_str(), 0);
    forget(entry);
}

void TempFiles::remove_all() noexcept {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_) {
        ::unlinkat(e.folder, e.name.c_str(), 0);
        ::close(e.folder);
    }
    entries_.clear();
}

void TempFiles::remove_all_and_hold() noexcept {
    mutex_.lock();  // never unlocked: the process ends next
    for (const Entry& e : entries_)
        ::unlinkat(e.folder, e.name.c_str(), 0);
}

}  // namespace cirsharp::io
