// The run's temporary files: every product is written to one beside its final
// path, and whatever is still listed is removed when the run fails or is
// interrupted. Each is locked (flock) while its run lives, which tells the
// temporaries of a dead run from those of a live one.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>
#include <vector>

namespace cirsharp::io {

class Descriptor;

// Every step that creates, renames or removes a listed file holds one lock,
// so an interruption finds each file either listed or not yet created, and
// never a half-renamed product.
class TempFiles {
  public:
    TempFiles() = default;
    TempFiles(const TempFiles&) = delete;
    TempFiles& operator=(const TempFiles&) = delete;
    ~TempFiles();  // removes whatever is still listed

    // Creates `path`, which must not exist yet, with `mode` (less the umask),
    // locks it and lists it. Returns 0 with the open file in `fd`, or the
    // errno; EEXIST also when another run took the name meanwhile. The lock
    // lasts until the file is renamed or removed.
    int create(const std::string& path, mode_t mode, Descriptor& fd);
    // Renames `temp` over `target` and forgets it.
    void commit(const std::string& temp, const std::string& target);
    // Removes `temp` and forgets it.
    void discard(const std::string& temp) noexcept;
    // Removes every file still listed.
    void remove_all() noexcept;
    // Removes every file still listed and keeps the lock for good: for a
    // process about to end, so that nothing is created or committed after.
    void remove_all_and_hold() noexcept;

  private:
    // A temporary is removed through a descriptor of the folder it was made
    // in, so that it goes even if that folder is renamed meanwhile.
    struct Entry {
        std::string path;
        int folder = -1;  // owned
        int lock = -1;    // owned: holds the flock, also once `fd` is closed
        std::string name;
    };
    std::vector<Entry>::iterator find(const std::string& path);
    void forget(std::vector<Entry>::iterator entry) noexcept;

    std::mutex mutex_;
    std::vector<Entry> entries_;
};

// Claims the files a run is about to write against other runs. While every
// folder they are in is locked (so that runs starting together take turns):
// refuses, naming the file and the other run's process id, when a live run
// holds the lock of a temporary of any of them; else removes the temporaries
// of dead runs. The folders stay locked until release(), which a run calls
// once its own temporaries exist and are locked.
class OutputClaim {
  public:
    // `targets` are final paths, links already followed.
    explicit OutputClaim(const std::vector<std::string>& targets);
    ~OutputClaim();
    OutputClaim(const OutputClaim&) = delete;
    OutputClaim& operator=(const OutputClaim&) = delete;
    void release() noexcept;

  private:
    std::vector<int> folders_;  // owned, each locked
};

// The process holding a flock on the file open as `fd`, from /proc/locks; 0
// when that does not say.
pid_t flock_holder(int fd);

}  // namespace cirsharp::io
