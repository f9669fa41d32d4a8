#include "io/signals.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "io/file.hpp"

namespace cirsharp::io {

void TempFiles::add(const std::string& path) {
    std::lock_guard lock(mutex_);
    paths_.push_back(path);
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
    for (const auto& p : paths_) ::unlink(p.c_str());
    paths_.clear();
}

SignalGuard::SignalGuard(TempFiles& temps) : temps_(temps) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    thread_ = std::thread([this] { wait_loop(); });
}

SignalGuard::~SignalGuard() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    // Wake the waiting thread; a signal sent by this process itself is the
    // wake-up, one from any other process is real.
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void SignalGuard::wait_loop() {
    for (;;) {
        siginfo_t info{};
        const int sig = sigwaitinfo(&set_, &info);
        if (sig < 0) continue;  // EINTR
        {
            std::lock_guard lock(mutex_);
            if (stopping_ && info.si_pid == ::getpid()) return;
        }
        temps_.remove_all();
        // End the process by the same signal, with its default action.
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
        _exit(128 + sig);
    }
}

}  // namespace cirsharp::io
