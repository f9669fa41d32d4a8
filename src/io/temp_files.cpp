#include "io/temp_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "io/file.hpp"

namespace cirsharp::io {

TempFiles::~TempFiles() {
    remove_all();
}

int TempFiles::create(const std::string& path, mode_t mode, Descriptor& fd) {
    std::lock_guard lock(mutex_);
    paths_.reserve(paths_.size() + 1);  // listing it below cannot fail
    fd = Descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!fd) return errno;
    paths_.push_back(path);
    return 0;
}

void TempFiles::commit(const std::string& temp, const std::string& target) {
    std::lock_guard lock(mutex_);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        throw FileError(target, "cannot replace", errno);
    std::erase(paths_, temp);
}

void TempFiles::discard(const std::string& temp) noexcept {
    std::lock_guard lock(mutex_);
    ::unlink(temp.c_str());
    std::erase(paths_, temp);
}

void TempFiles::remove_all() noexcept {
    std::lock_guard lock(mutex_);
    for (const auto& p : paths_)
        ::unlink(p.c_str());
    paths_.clear();
}

void TempFiles::remove_all_and_hold() noexcept {
    mutex_.lock();  // never unlocked: the process ends next
    for (const auto& p : paths_)
        ::unlink(p.c_str());
    paths_.clear();
}

}  // namespace cirsharp::io
