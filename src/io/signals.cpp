#include "io/signals.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "io/temp_files.hpp"

namespace cirsharp::io {

SignalGuard::SignalGuard(TempFiles& temps) : temps_(temps) {
    sigemptyset(&handled_);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&handled_, sig);
    }
    // SIGTERM is waited for even when ignored: it wakes the thread at the end.
    waited_ = handled_;
    sigaddset(&waited_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &waited_, &previous_mask_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &previous_pipe_);
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
    ::sigaction(SIGPIPE, &previous_pipe_, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
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
