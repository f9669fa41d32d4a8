#include "runs.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

extern char** environ;

namespace cirsharp::test {

BackgroundRun::BackgroundRun(const std::string& program, const std::vector<std::string>& args,
                             const std::string& out_path, const std::string& err_path,
                             bool ignore_sighup) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // An ignored signal stays ignored in the child.
    struct sigaction previous {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (ignore_sighup) ::sigaction(SIGHUP, &ignore, &previous);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    if (ignore_sighup) ::sigaction(SIGHUP, &previous, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
}

BackgroundRun::~BackgroundRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void BackgroundRun::signal(int sig) const {
    ::kill(pid_, sig);
}

int BackgroundRun::wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool same_content(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const auto size_a = fs::file_size(a, ea);
    const auto size_b = fs::file_size(b, eb);
    if (ea || eb || size_a != size_b) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount() ||
            !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return fa.eof() && fb.eof();
}

std::vector<std::string> hidden_temporaries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with('.') && name.ends_with(".part")) names.push_back(name);
    }
    return names;
}

void write_old_product(const std::string& path, std::uint8_t fill, std::size_t size) {
    write_file(path, std::vector<std::uint8_t>(size, fill));
}

std::vector<std::string> sample_paths(const TempDir& dir) {
    auto paths = seven_paths(dir);
    paths[0] = sample_colour();
    paths[1] = sample_pan();
    return paths;
}

}  // namespace cirsharp::test
