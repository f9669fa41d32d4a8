#include "driver/quicklook_launch.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "io/signals.hpp"
#include "raster/geometry.hpp"

extern char** environ;

namespace cirsharp {

namespace {

bool is_executable_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

bool is_regular(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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

}  // namespace

std::string find_quicklook_tool() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string exe(self, std::size_t(n));
        const std::string beside = exe.substr(0, exe.rfind('/') + 1) + kQuicklookTool;
        if (is_executable_file(beside)) return beside;
    }
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "";
    std::size_t begin = 0;
    while (begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = end == begin ? "." : dirs.substr(begin, end - begin);
        const std::string candidate = dir + "/" + kQuicklookTool;
        if (!dirs.empty() && is_executable_file(candidate)) return candidate;
        begin = end + 1;
    }
    return {};
}

void run_quicklook_tool(const std::string& tool, const std::string& dir,
                        const std::vector<std::string>& products, io::SignalGuard& guard) {
    std::vector<std::string> args = {tool, "--output", dir};
    for (std::size_t i = 0; i < products.size() && i < kProducts.size(); ++i) {
        if (!is_regular(products[i])) continue;  // a device or a pipe has nothing to show
        args.push_back("--" + std::string(layout_of(kProducts[i]).name));
        args.push_back(products[i]);
    }
    if (args.size() == 3) return;
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

    const pid_t pid = guard.start_child([&] {
        pid_t child = 0;
        if (const int rc = posix_spawn(&child, tool.c_str(), &setup.actions, &setup.attr,
                                       argv.data(), environ))
            throw std::runtime_error("cannot run " + tool + ": " + std::strerror(rc));
        return child;
    });
    const int status = guard.wait_child(pid);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
    const std::string how = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status));
    throw std::runtime_error("the quicklooks were not made (" + tool + " ended with " + how +
                             "); the products are complete");
}

}  // namespace cirsharp
