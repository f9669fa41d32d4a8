// Starting the converter the way a hostile or unlucky environment does:
// under resource limits, as an unprivileged user, in a cgroup with few
// process ids, with standard descriptors closed or signals ignored.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support.hpp"

namespace cirsharp::test {

struct ChildSetup {
    std::vector<std::pair<int, rlim_t>> limits;  // RLIMIT_* set as soft and hard limit
    bool as_nobody = false;                      // run as the user nobody
    std::vector<int> closed;                     // descriptors the child starts without
    std::vector<std::pair<int, int>> given;      // (descriptor here, descriptor in the child)
    std::vector<int> ignored;                    // signals the child starts with ignored
    std::string cgroup_procs;                    // a cgroup.procs file the child joins
};

// Starts `program` with `args` (fork and exec) as `setup` says, its standard
// output and error on `out_fd` and `err_fd` unless closed. Returns its id.
pid_t start_child(const std::string& program, const std::vector<std::string>& args,
                  const ChildSetup& setup, int out_fd, int err_fd);

// Runs `program` as `setup` says and waits for it, collecting its output.
ProcessResult run_child(const std::string& program, const std::vector<std::string>& args,
                        const ChildSetup& setup);

// Whether the user nobody exists and we may become it (we are root).
bool can_run_as_nobody();
// Opens `dir`, the files in it and the sample inputs to other users, for
// runs as nobody.
void share_with_nobody(const TempDir& dir);
// Whether the user nobody may run `program`, read `inputs` and write into
// `folders`, as access(2) answers for that user. A checkout inside a folder
// that other users cannot enter (mode 700, as mktemp -d makes it, or a home
// folder of mode 750) is out of its reach; then `why_not` says which path
// and which folder above it shuts it out.
bool nobody_can_reach(const std::string& program, const std::vector<std::string>& inputs,
                      const std::vector<std::string>& folders, std::string& why_not);

// A pids cgroup of its own (version 1 or 2) whose pids.max is `max`; removed
// again on destruction. `make` returns null, and says why, where none can be
// made (not root, no writable cgroup file system, no pids controller).
class PidsCgroup {
  public:
    static std::unique_ptr<PidsCgroup> make(int max, std::string& why_not);
    ~PidsCgroup();
    PidsCgroup(const PidsCgroup&) = delete;
    PidsCgroup& operator=(const PidsCgroup&) = delete;
    std::string procs() const { return path_ + "/cgroup.procs"; }

  private:
    explicit PidsCgroup(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

// A memory cgroup of its own (version 2, or version 1 where the memory
// controller is there) whose limit is `max_bytes`; removed again on
// destruction. `make` returns null, and says why, where none can be made.
class MemoryCgroup {
  public:
    static std::unique_ptr<MemoryCgroup> make(std::uint64_t max_bytes, std::string& why_not);
    ~MemoryCgroup();
    MemoryCgroup(const MemoryCgroup&) = delete;
    MemoryCgroup& operator=(const MemoryCgroup&) = delete;
    std::string procs() const { return path_ + "/cgroup.procs"; }
    // The most memory charged to the group at once, page cache included.
    std::uint64_t peak_bytes() const;

  private:
    MemoryCgroup(std::string path, bool v2) : path_(std::move(path)), v2_(v2) {}
    std::string path_;
    bool v2_;
};

// A loop device over a file, detached on destruction.
class LoopDevice {
  public:
    // Null, and why, when losetup is missing or refuses.
    static std::unique_ptr<LoopDevice> attach(const std::string& file, std::string& why_not);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& path() const { return path_; }

  private:
    explicit LoopDevice(std::string path) : path_(std::move(path)) {}
    std::string path_;
};

// The hidden temporaries in `dir` whose product name starts with `stem`
// (".pan16.raw." for PAN16), and the largest size among them.
std::uintmax_t largest_temporary(const fs::path& dir, const std::string& stem);

}  // namespace cirsharp::test
