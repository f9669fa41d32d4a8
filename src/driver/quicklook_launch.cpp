#include "driver/quicklook_launch.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "io/descriptor.hpp"
#include "io/signals.hpp"
#include "preview/pnm.hpp"

extern char** environ;

namespace cirsharp {

namespace {

// What the pipe to the quicklook tool holds: the most an unprivileged
// process may ask for by default.
constexpr int kPipeBytes = 1 << 20;

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// Writes all of `data` to `fd`; false, with errno set, if it cannot.
bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Hands all of `data` to the pipe `fd` by reference, without copying it
// into the pipe: the memory must stay unchanged until the reader has read
// it (the tool has ended). Where the kernel will not, writes it. False,
// with errno set, if neither can.
bool splice_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        iovec piece{const_cast<char*>(data), size};
        const ssize_t n = ::vmsplice(fd, &piece, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EINVAL || errno == ENOSYS)) return write_all(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Owns a posix_spawn attribute set and file-action list.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// The first program called `name` in a folder of PATH; empty if none.
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    std::size_t begin = 0;
    while (!dirs.empty() && begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end == begin ? "." : dirs.substr(begin, end - begin);
        const std::string candidate = dir + "/" + name;
        if (is_executable_file(candidate)) return candidate;
        begin = end + 1;
    }
    return {};
}

}  // namespace

std::string find_quicklook_tool(const std::string& option) {
    // A name with a slash is a path, one without is looked up on PATH.
    if (const char* named = std::getenv(kQuicklookVariable); named && *named) {
        const std::string tool = std::strchr(named, '/') ? named : on_path(named);
        if (!tool.empty() && is_executable_file(tool)) return tool;
        throw std::runtime_error(option + " needs " + kQuicklookTool + ", but " +
                                 kQuicklookVariable + " names " + named +
                                 ", which is not a program");
    }
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string exe(self, std::size_t(n));
        const std::string beside = exe.substr(0, exe.rfind('/') + 1) + kQuicklookTool;
        if (is_executable_file(beside)) return beside;
    }
    std::string found = on_path(kQuicklookTool);
    if (found.empty())
        throw std::runtime_error(option + " needs " + kQuicklookTool +
                                 ", which is neither beside cirsharp nor on PATH");
    return found;
}

void run_quicklook_tool(const std::string& tool, const std::string& dir, int max_width,
                        const std::vector<std::pair<Product, Preview>>& previews,
                        const std::string& failed, io::SignalGuard& guard) {
    if (previews.empty()) return;
    std::vector<std::string> args = {tool, "--output", dir, "--max-width",
                                     std::to_string(max_width)};
    for (const auto& [product, preview] : previews) {
        args.push_back("--" + std::string(layout_of(product).name));
        args.push_back("-");  // the next preview on standard input
    }
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The converter blocks the termination signals in favour of its own
    // handler thread; the tool starts with them unblocked and at default,
    // except those ignored when the converter started.
    SpawnSetup setup;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &guard.child_defaults());
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    // The previews go through a pipe to the tool's standard input; only the
    // tool keeps its reading end.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error(failed + ": no pipe to " + tool + ": " + std::strerror(errno));
    io::Descriptor reading(ends[0]), writing(ends[1]);
    // A larger pipe hands the previews over in fewer turns between the two
    // processes; the default is kept where the system refuses.
    ::fcntl(writing.get(), F_SETPIPE_SZ, kPipeBytes);
    posix_spawn_file_actions_adddup2(&setup.actions, reading.get(), 0);

    const pid_t pid = guard.start_child([&] {
        pid_t child = 0;
        if (const int rc = posix_spawn(&child, tool.c_str(), &setup.actions, &setup.attr,
                                       argv.data(), environ))
            throw std::runtime_error("cannot run " + tool + ": " + std::strerror(rc));
        return child;
    });
    reading.close();
    // A tool that ends early closes the pipe (EPIPE, as SIGPIPE is ignored):
    // its status then tells why. The pixels stay as they are until the tool
    // has ended, so the pipe may take them by reference.
    int write_error = 0;
    for (const auto& [product, preview] : previews) {
        const std::string header = pnm_header(preview);
        if (!write_all(writing.get(), header.data(), header.size()) ||
            !splice_all(writing.get(), reinterpret_cast<const char*>(preview.pixels.data()),
                        preview.pixels.size())) {
            write_error = errno;
            break;
        }
    }
    writing.close();
    const int status = guard.wait_child(pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (write_error == 0) return;
        throw std::runtime_error(failed + " (cannot hand them to " + tool + ": " +
                                 std::strerror(write_error) + "); the products are complete");
    }
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status));
    throw std::runtime_error(failed + " (" + tool + " ended with " + how +
                             "); the products are complete");
}

}  // namespace cirsharp
