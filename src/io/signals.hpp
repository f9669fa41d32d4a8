// The removal of the run's temporary files when the run is ended by a
// signal.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cirsharp::io {

class TempFiles;

// Blocks every signal whose default action ends the process and that comes
// from outside (SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM,
// SIGVTALRM, SIGPROF, SIGXCPU, SIGIO, SIGPWR, SIGSTKFLT and the real-time
// signals) in the constructing thread, which must be the only thread so far
// (later threads inherit the mask), and waits for them in a thread of its
// own. On one it removes the run's temporary files and ends the process by
// that signal, so the status is the conventional 128 + N. A signal ignored
// when the guard starts (nohup, a background job) stays ignored. The signals
// of a crash (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS) are
// left alone.
//
// SIGPIPE and SIGXFSZ are ignored while the guard lives, so that writing to
// a pipe whose reader has gone, or past the file-size limit, fails like any
// other write (EPIPE, EFBIG) instead of ending the process.
//
// A child started through start_child() is sent the same signal and waited
// for before the process ends, so that it does not go on alone.
class SignalGuard {
  public:
    // Throws std::runtime_error when its thread cannot be started.
    explicit SignalGuard(TempFiles& temps);
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    // Runs `start`, which starts a child and returns its process id (or
    // throws), so that no signal is handled between its start and its
    // listing.
    pid_t start_child(const std::function<pid_t()>& start);
    // Waits for a child started so to end and returns its wait status.
    // Never returns once a signal is ending the process.
    int wait_child(pid_t pid);
    // The signals a child should start with at their default action: those
    // handled or ignored here, not the ones ignored when the guard started.
    const sigset_t& child_defaults() const { return child_defaults_; }

  private:
    void wait_loop();
    void pass_on(int sig);
    void restore() noexcept;

    TempFiles& temps_;
    std::mutex mutex_;
    bool stopping_ = false;
    bool ending_ = false;  // a signal is ending the process
    std::vector<pid_t> children_;
    sigset_t handled_{};  // the signals that end the run
    sigset_t waited_{};   // those, and SIGTERM for the wake-up
    sigset_t child_defaults_{};
    sigset_t previous_mask_{};
    struct sigaction previous_pipe_ {};
    struct sigaction previous_file_size_ {};
    std::thread thread_;
};

}  // namespace cirsharp::io
