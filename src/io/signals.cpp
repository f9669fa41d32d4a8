#include "io/signals.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "io/temp_files.hpp"

namespace cirsharp::io {

namespace {

bool ignored(int sig) {
    struct sigaction current {};
    return ::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

std::vector<int> ending_signals() {
    std::vector<int> signals = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGIO};
#ifdef SIGPWR
    signals.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    signals.push_back(SIGSTKFLT);
#endif
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
        signals.push_back(sig);
    return signals;
}

}  // namespace

SignalGuard::SignalGuard(TempFiles& temps) : temps_(temps) {
    sigemptyset(&handled_);
    for (const int sig : ending_signals())
        if (!ignored(sig)) sigaddset(&handled_, sig);
    child_defaults_ = handled_;
    for (const int sig : {SIGPIPE, SIGXFSZ})
        if (!ignored(sig)) sigaddset(&child_defaults_, sig);
    // SIGTERM is waited for even when ignored: it wakes the thread at the end.
    waited_ = handled_;
    sigaddset(&waited_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &waited_, &previous_mask_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &previous_pipe_);
    ::sigaction(SIGXFSZ, &ignore, &previous_file_size_);
    try {
        thread_ = std::thread([this] { wait_loop(); });
    } catch (const std::system_error& e) {
        restore();
        throw std::runtime_error(std::string("cannot start the thread that handles signals: ") +
                                 std::strerror(e.code().value()));
    }
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
    restore();
}

void SignalGuard::restore() noexcept {
    ::sigaction(SIGPIPE, &previous_pipe_, nullptr);
    ::sigaction(SIGXFSZ, &previous_file_size_, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

pid_t SignalGuard::start_child(const std::function<pid_t()>& start) {
    std::unique_lock lock(mutex_);
    if (ending_) {
        lock.unlock();
        for (;;)
            ::pause();  // the signal thread ends the process
    }
    children_.reserve(children_.size() + 1);  // listing it below cannot fail
    const pid_t pid = start();
    children_.push_back(pid);
    return pid;
}

int SignalGuard::wait_child(pid_t pid) {
    // Waits without reaping, so the id stays the child's while it is listed
    // and a signal passed on cannot reach another process.
    siginfo_t info{};
    while (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    std::unique_lock lock(mutex_);
    if (ending_) {
        lock.unlock();
        for (;;)
            ::pause();  // the signal thread ends the process
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::erase(children_, pid);
    return status;
}

void SignalGuard::pass_on(int sig) {
    std::vector<pid_t> children;
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
        children = children_;
        for (const pid_t pid : children)
            ::kill(pid, sig);
    }
    // Reaped here: once ending_ is set, wait_child() no longer does.
    for (const pid_t pid : children) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void SignalGuard::wait_loop() {
    for (;;) {
        siginfo_t info{};
        const int sig = sigwaitinfo(&waited_, &info);
        if (sig < 0) continue;  // EINTR
        {
            std::lock_guard lock(mutex_);
            if (stopping_ && sig == SIGTERM && info.si_pid == ::getpid()) return;
        }
        if (!sigismember(&handled_, sig)) continue;  // ignored by whoever started us
        // The rest of the process may still be writing, but it can no longer
        // create, commit or remove a file.
        temps_.remove_all_and_hold();
        pass_on(sig);
        // End the process by the same signal, with its default action.
        ::signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        ::raise(sig);
        _exit(128 + sig);
    }
}

}  // namespace cirsharp::io
