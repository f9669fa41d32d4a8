#include "hostile.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>

namespace cirsharp::test {

namespace {

bool nobody_ids(uid_t& uid, gid_t& gid) {
    const passwd* pw = ::getpwnam("nobody");
    if (!pw) return false;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    return true;
}

bool write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return bool(out);
}

}  // namespace

pid_t start_child(const std::string& program, const std::vector<std::string>& args,
                  const ChildSetup& setup, int out_fd, int err_fd) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    uid_t uid = 0;
    gid_t gid = 0;
    if (setup.as_nobody && !nobody_ids(uid, gid)) throw std::runtime_error("no user nobody");
    std::vector<std::pair<int, int>> given = {{out_fd, 1}, {err_fd, 2}};
    given.insert(given.end(), setup.given.begin(), setup.given.end());
    std::vector<int> kept;
    for (const auto& g : given)
        kept.push_back(g.second);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid > 0) return pid;
    // The child: only calls that are safe between fork and exec.
    if (!setup.cgroup_procs.empty()) {
        const int fd = ::open(setup.cgroup_procs.c_str(), O_WRONLY);
        if (fd < 0 || ::write(fd, "0\n", 2) != 2) ::_exit(120);
        ::close(fd);
    }
    // Moved out of the way first, so that no target overwrites a source.
    std::vector<int> moved;
    for (const auto& g : given)
        moved.push_back(::fcntl(g.first, F_DUPFD, 1024));
    for (std::size_t i = 0; i < given.size(); ++i)
        if (moved[i] < 0 || ::dup2(moved[i], given[i].second) < 0) ::_exit(121);
    for (int fd = 3; fd < 1024 + int(given.size()); ++fd)
        if (std::find(kept.begin(), kept.end(), fd) == kept.end()) ::close(fd);
    for (const int fd : setup.closed)
        ::close(fd);
    for (const int sig : setup.ignored)
        ::signal(sig, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto& [resource, value] : setup.limits) {
        const rlimit limit{value, value};
        if (::setrlimit(resource, &limit) != 0) ::_exit(122);
    }
    if (setup.as_nobody &&
        (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
        ::_exit(123);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

ProcessResult run_child(const std::string& program, const std::vector<std::string>& args,
                        const ChildSetup& setup) {
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = start_child(program, args, setup, out_pipe[1], err_pipe[1]);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    return collect_child(pid, out_pipe[0], err_pipe[0]);
}

bool can_run_as_nobody() {
    uid_t uid = 0;
    gid_t gid = 0;
    return ::geteuid() == 0 && nobody_ids(uid, gid);
}

void share_with_nobody(const TempDir& dir) {
    for (const fs::path& p : {dir.path(), fs::path(sample_colour()).parent_path()})
        fs::permissions(p, fs::perms::all, fs::perm_options::add);
    // Only when needed: a chmod changes an input's change time, which fails
    // the runs of other tests reading it at that moment.
    for (const std::string& p : {sample_colour(), sample_pan()})
        if ((fs::status(p).permissions() & fs::perms::others_read) == fs::perms::none)
            fs::permissions(p, fs::perms::others_read, fs::perm_options::add);
    // Old products are replaced only by a user who may write to them.
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.is_regular_file())
            fs::permissions(e.path(), fs::perms::others_read | fs::perms::others_write,
                            fs::perm_options::add);
}

bool nobody_can_reach(const std::string& program, const std::vector<std::string>& inputs,
                      const std::vector<std::string>& folders, std::string& why_not) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (!nobody_ids(uid, gid)) {
        why_not = "there is no user nobody";
        return false;
    }
    struct Need {
        std::string path;
        int mode;
        const char* verb;
    };
    std::vector<Need> needs = {{fs::absolute(program).string(), X_OK, "run"}};
    for (const auto& p : inputs)
        needs.push_back({fs::absolute(p).string(), R_OK, "read"});
    for (const auto& p : folders)
        needs.push_back({fs::absolute(p).string(), W_OK | X_OK, "write into"});
    // Each path and every folder above it, root first: the first that the
    // user cannot search or use names the obstacle.
    std::vector<std::pair<std::string, int>> checks;
    std::vector<std::size_t> owner;
    for (std::size_t i = 0; i < needs.size(); ++i) {
        std::vector<std::string> chain;
        for (fs::path q = fs::path(needs[i].path).parent_path(); q != q.root_path();
             q = q.parent_path())
            chain.push_back(q.string());
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            checks.emplace_back(*it, X_OK);
            owner.push_back(i);
        }
        checks.emplace_back(needs[i].path, needs[i].mode);
        owner.push_back(i);
    }
    int result[2];
    if (::pipe2(result, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Checked as nobody: the first check that fails, or checks.size().
        std::uint32_t first = std::uint32_t(checks.size());
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(1);
        for (std::size_t i = 0; i < checks.size(); ++i)
            if (::access(checks[i].first.c_str(), checks[i].second) != 0) {
                first = std::uint32_t(i);
                break;
            }
        const bool sent = ::write(result[1], &first, sizeof first) == sizeof first;
        ::_exit(sent ? 0 : 1);
    }
    ::close(result[1]);
    std::uint32_t first = 0;
    const bool got = ::read(result[0], &first, sizeof first) == sizeof first;
    ::close(result[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("cannot check what the user nobody may reach");
    if (first == checks.size()) return true;
    const Need& need = needs[owner[first]];
    why_not = "the user nobody cannot " + std::string(need.verb) + " " + need.path;
    if (checks[first].first != need.path)
        why_not += ": it may not enter " + checks[first].first +
                   " (a folder closed to other users; run the tests from a checkout in /tmp, "
                   "for example)";
    return false;
}

namespace {

// A new cgroup of this process's own under `controller`: in version 1's
// folder of the controller, or in version 2's root with the controller
// turned on for its children (tried first with `prefer_v2`). Empty, saying
// why, where neither can be had.
struct CgroupFolder {
    std::string path;
    bool v2 = false;
};
std::optional<CgroupFolder> make_cgroup(const std::string& controller, const std::string& name,
                                        bool prefer_v2, std::string& why_not) {
    if (::geteuid() != 0) {
        why_not = "not root";
        return std::nullopt;
    }
    const bool v1 = fs::exists("/sys/fs/cgroup/" + controller + "/cgroup.procs");
    const bool v2 =
        text_of("/sys/fs/cgroup/cgroup.controllers").find(controller) != std::string::npos;
    CgroupFolder folder;
    if (v2 && (prefer_v2 || !v1)) {
        const std::string control = "/sys/fs/cgroup/cgroup.subtree_control";
        if (text_of(control).find(controller) == std::string::npos)
            write_text(control, "+" + controller);
        folder = {"/sys/fs/cgroup/" + name, true};
    } else if (v1) {
        folder = {"/sys/fs/cgroup/" + controller + "/" + name, false};
    } else {
        why_not = "no cgroup file system with the " + controller + " controller";
        return std::nullopt;
    }
    if (::mkdir(folder.path.c_str(), 0755) != 0 && errno != EEXIST) {
        why_not = "cannot make the cgroup " + folder.path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return folder;
}

}  // namespace

std::unique_ptr<PidsCgroup> PidsCgroup::make(int max, std::string& why_not) {
    const auto folder =
        make_cgroup("pids", "cirsharp-test-" + std::to_string(::getpid()), false, why_not);
    if (!folder) return nullptr;
    const std::string& path = folder->path;
    std::unique_ptr<PidsCgroup> group(new PidsCgroup(path));
    if (!write_text(path + "/pids.max", std::to_string(max) + "\n")) {
        why_not = "cannot set " + path + "/pids.max";
        return nullptr;
    }
    return group;
}

PidsCgroup::~PidsCgroup() {
    ::rmdir(path_.c_str());
}

std::unique_ptr<MemoryCgroup> MemoryCgroup::make(std::uint64_t max_bytes, std::string& why_not) {
    const auto folder =
        make_cgroup("memory", "cirsharp-test-memory-" + std::to_string(::getpid()), true, why_not);
    if (!folder) return nullptr;
    const std::string& path = folder->path;
    const bool v2 = folder->v2;
    std::unique_ptr<MemoryCgroup> group(new MemoryCgroup(path, v2));
    const std::string limit = path + (v2 ? "/memory.max" : "/memory.limit_in_bytes");
    if (!write_text(limit, std::to_string(max_bytes) + "\n")) {
        why_not = "cannot set " + limit;
        return nullptr;
    }
    if (v2 && !fs::exists(path + "/memory.peak")) {
        why_not = "no memory.peak in " + path + " (a kernel before 5.19)";
        return nullptr;
    }
    return group;
}

MemoryCgroup::~MemoryCgroup() {
    ::rmdir(path_.c_str());
}

std::uint64_t MemoryCgroup::peak_bytes() const {
    return std::stoull(text_of(path_ + (v2_ ? "/memory.peak" : "/memory.max_usage_in_bytes")));
}

std::unique_ptr<LoopDevice> LoopDevice::attach(const std::string& file, std::string& why_not) {
    if (::geteuid() != 0) {
        why_not = "not root";
        return nullptr;
    }
    const auto r = run_process("/bin/sh", {"-c", "exec losetup --find --show \"$0\"", file});
    if (r.status != 0 || r.out.empty() || !r.out.starts_with("/dev/")) {
        why_not = "losetup cannot attach a loop device: " + r.err;
        return nullptr;
    }
    return std::unique_ptr<LoopDevice>(new LoopDevice(r.out.substr(0, r.out.find('\n'))));
}

LoopDevice::~LoopDevice() {
    run_process("/bin/sh", {"-c", "exec losetup -d \"$0\"", path_});
}

std::uintmax_t largest_temporary(const fs::path& dir, const std::string& stem) {
    std::uintmax_t largest = 0;
    std::error_code ec;
    for (const auto& name : hidden_temporaries(dir)) {
        if (!name.starts_with(stem)) continue;
        const auto size = fs::file_size(dir / name, ec);
        if (!ec) largest = std::max(largest, size);
    }
    return largest;
}

}  // namespace cirsharp::test
