// The run's temporary files, and the removal of them when the run is
// interrupted by SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/file.hpp"

namespace cirsharp::io {

// Every step that creates, renames or removes a listed file holds one lock,
// so an interruption finds each file either listed or not yet created, and
// never a half-renamed product.
class TempFiles {
  public:
    TempFiles() = default;
    TempFiles(const TempFiles&) = delete;
    TempFiles& operator=(const TempFiles&) = delete;
    ~TempFiles();  // removes whatever is still listed

    // Creates `path`, which must not exist yet, with `mode` (less the umask)
    // and lists it. Returns 0 with the open file in `fd`, or the errno.
    int create(const std::string& path, mode_t mode, Descriptor& fd);
    // Renames `temp` over `target` and forgets it.
    void commit(const std::string& temp, const std::string& target);
    // Removes `temp` and forgets it.
    void discard(const std::string& temp) noexcept;
    // Removes every file still listed.
    void remove_all() noexcept;
    // Removes every file still listed and keeps the lock for good: for a
    // process about to end, so that nothing is created or committed after.
    void remove_all_and_hold() noexcept;

  private:
    std::mutex mutex_;
    std::vector<std::string> paths_;
};

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
