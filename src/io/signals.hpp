// The removal of the run's temporary files when the run is interrupted by
// SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <mutex>
#include <thread>

namespace cirsharp::io {

class TempFiles;

// Blocks SIGINT, SIGTERM and SIGHUP in the constructing thread, which must be
// the only thread so far (later threads inherit the mask), and waits for them
// in a thread of its own. On a signal it removes the run's temporary files and
// ends the process by that signal, so the status is the conventional 128 + N.
// A signal ignored when the guard starts (nohup, a background job) stays
// ignored. SIGPIPE is ignored while the guard lives, so that writing to a
// pipe whose reader has gone fails like any other write.
class SignalGuard {
  public:
    explicit SignalGuard(TempFiles& temps);
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

  private:
    void wait_loop();

    TempFiles& temps_;
    std::mutex mutex_;
    bool stopping_ = false;
    sigset_t handled_{};  // the signals that end the run
    sigset_t waited_{};   // those, and SIGTERM for the wake-up
    sigset_t previous_mask_{};
    struct sigaction previous_pipe_ {};
    std::thread thread_;
};

}  // namespace cirsharp::io
