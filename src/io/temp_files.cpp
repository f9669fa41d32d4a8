#include "io/temp_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <tuple>

#include "io/descriptor.hpp"
#include "io/paths.hpp"

namespace cirsharp::io {

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Takes an exclusive flock on `fd`, waiting for it when `wait`; false when
// another open file holds it (or, not waiting, anything else went wrong).
bool lock_exclusive(int fd, bool wait) {
    while (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

pid_t flock_holder(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    // "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234567 0 EOF"; the device is
    // major:minor in hex, a waiting lock's line starts with "->".
    char device[64];
    std::snprintf(device, sizeof device, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, pid, where;
        if (!(fields >> id >> kind >> mode >> access >> pid >> where)) continue;
        if (kind != "FLOCK" || where != device) continue;
        try {
            return static_cast<pid_t>(std::stol(pid));
        } catch (const std::exception&) {
            return 0;
        }
    }
    return 0;
}

TempFiles::~TempFiles() {
    remove_all();
}

std::vector<TempFiles::Entry>::iterator TempFiles::find(const std::string& path) {
    return std::find_if(entries_.begin(), entries_.end(),
                        [&](const Entry& e) { return e.path == path; });
}

void TempFiles::forget(std::vector<Entry>::iterator entry) noexcept {
    ::close(entry->folder);
    ::close(entry->lock);
    entries_.erase(entry);
}

int TempFiles::create(const std::string& path, mode_t mode, Descriptor& fd) {
    std::lock_guard lock(mutex_);
    entries_.reserve(entries_.size() + 1);  // listing it below cannot fail
    const PathParts parts = split_path(path);
    Descriptor folder(::open(parts.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return errno;
    Descriptor file(
        ::openat(folder.get(), parts.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (!file) return errno;
    // Until it is locked the file looks like a dead run's, and another run
    // starting may take its lock for a moment and remove it. Once it is
    // locked, it is still ours if the name still leads to it.
    // (A file system without flock leaves it unlocked, and other runs'
    // attempts to lock it fail too, so they leave it alone.)
    struct stat made {
    }, named{};
    lock_exclusive(file.get(), true);
    if (::fstat(file.get(), &made) != 0) return errno;
    if (::fstatat(folder.get(), parts.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !same_file(made, named))
        return EEXIST;
    // The lock belongs to the open file, which this second descriptor keeps
    // after `fd` is closed and until the file is renamed or removed.
    Descriptor holder(::fcntl(file.get(), F_DUPFD_CLOEXEC, 3));
    if (!holder) {
        const int err = errno;
        ::unlinkat(folder.get(), parts.name.c_str(), 0);
        return err;
    }
    fd = std::move(file);
    entries_.push_back({path, folder.release(), holder.release(), parts.name});
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
        ::close(e.lock);
    }
    entries_.clear();
}

void TempFiles::remove_all_and_hold() noexcept {
    mutex_.lock();  // never unlocked: the process ends next
    for (const Entry& e : entries_)
        ::unlinkat(e.folder, e.name.c_str(), 0);
}

// ---------------------------------------------------------------- claims

namespace {

// A folder that claimed files are in, and those files.
struct ClaimedFolder {
    Descriptor fd;
    struct stat st {};
    std::vector<std::pair<std::size_t, std::string>> files;  // (position in paths, name)
};

// The folders of the paths written through a temporary, each once, in the
// same order for every run, so that two runs never wait for each other.
std::vector<ClaimedFolder> claimed_folders(const std::vector<std::string>& paths) {
    std::vector<ClaimedFolder> folders;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const WriteTarget target = write_target(paths[i]);
        if (target.kind != PathKind::kFile) continue;
        const PathParts parts = split_path(target.target);
        ClaimedFolder folder;
        // A folder that cannot be opened is left to the creation of the file
        // to report; one that cannot be read has no temporaries to be seen.
        folder.fd = Descriptor(::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folder.fd || ::fstat(folder.fd.get(), &folder.st) != 0) continue;
        const auto known = std::find_if(folders.begin(), folders.end(),
                                        [&](const auto& f) { return same_file(f.st, folder.st); });
        if (known != folders.end()) {
            known->files.emplace_back(i, parts.name);
            continue;
        }
        folder.files.emplace_back(i, parts.name);
        folders.push_back(std::move(folder));
    }
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
        return std::tie(a.st.st_dev, a.st.st_ino) < std::tie(b.st.st_dev, b.st.st_ino);
    });
    return folders;
}

// A dead run's temporary, its lock taken.
struct Stale {
    int folder;
    std::string name;
    Descriptor fd;  // holding its lock
};

// The first of the paths that a live run is writing, and that run.
struct Busy {
    std::size_t position;
    pid_t pid = 0;
};

// Sorts the temporaries of `folder`'s files into dead runs' (`stale`) and
// live runs' (the first in `busy`).
void find_temporaries(const ClaimedFolder& folder, std::vector<Stale>& stale, Busy& busy) {
    DIR* listing = ::fdopendir(::fcntl(folder.fd.get(), F_DUPFD_CLOEXEC, 3));
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        const auto owner =
            std::find_if(folder.files.begin(), folder.files.end(),
                         [&](const auto& f) { return is_temporary_of(name, f.second); });
        if (owner == folder.files.end()) continue;
        Descriptor fd(::openat(folder.fd.get(), entry->d_name,
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st {};
        // One that cannot be opened (a product's mode may forbid reading)
        // cannot be shown to be dead, so it stays.
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!lock_exclusive(fd.get(), false)) {
            if (errno == EWOULDBLOCK && owner->first < busy.position)
                busy = {owner->first, flock_holder(fd.get())};
            continue;
        }
        stale.push_back({folder.fd.get(), std::string(name), std::move(fd)});
    }
    ::closedir(listing);
}

}  // namespace

OutputClaim::OutputClaim(const std::vector<std::string>& paths) {
    std::vector<ClaimedFolder> folders = claimed_folders(paths);
    for (ClaimedFolder& folder : folders)
        lock_exclusive(folder.fd.get(), true);  // where folders cannot be locked, runs go unordered
    std::vector<Stale> stale;
    Busy busy{paths.size()};
    for (const ClaimedFolder& folder : folders)
        find_temporaries(folder, stale, busy);
    if (busy.position < paths.size())
        throw FileError(paths[busy.position], busy.pid > 0 ? "process " + std::to_string(busy.pid) +
                                                                 " is writing it already"
                                                           : "another run is writing it already");
    // Dead runs' temporaries, each removed only while its name still leads to
    // the file whose lock was taken.
    for (const Stale& s : stale) {
        struct stat locked {
        }, named{};
        if (::fstat(s.fd.get(), &locked) == 0 &&
            ::fstatat(s.folder, s.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            same_file(locked, named))
            ::unlinkat(s.folder, s.name.c_str(), 0);
    }
    for (ClaimedFolder& folder : folders)
        folders_.push_back(folder.fd.release());
}

OutputClaim::~OutputClaim() {
    release();
}

void OutputClaim::release() noexcept {
    for (const int fd : folders_)
        ::close(fd);
    folders_.clear();
}

}  // namespace cirsharp::io
