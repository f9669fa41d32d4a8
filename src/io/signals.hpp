// The run's temporary files, and the removal of them when the run is
// interrupted by SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <pthread.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cirsharp::io {

class TempFiles {
public:
    void add(const std::string& path);
    // Renames `temp` over `target` and forgets it, as one step that a signal
    // cannot split.
    void commit(const std::string& temp, const std::string& target);
    // Removes `temp` and forgets it.
    void discard(const std::string& temp) noexcept;
    // Removes every file still listed.
    void remove_all() noexcept;

private:
    std::mutex mutex_;
    std::vector<std::string> paths_;
};

// Blocks SIGINT, SIGTERM and SIGHUP in the constructing thread, which must be
// the only thread so far (later threads inherit the mask), and waits for them
// in a thread of its own. On a signal it removes the run's temporary files and
// ends the process by that signal, so the status is the conventional 128 + N.
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
    sigset_t set_{};
    sigset_t previous_{};
    std::thread thread_;
};

}  // namespace cirsharp::io
