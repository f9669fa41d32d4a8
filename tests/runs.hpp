// Helpers for tests that run the converter as a child process and look at
// what it leaves on disk: background runs that can be signalled, whole-file
// comparison and the hidden temporary files of a folder.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support.hpp"

namespace cirsharp::test {

// A child started in the background, its standard output and error going
// to files. The destructor kills and reaps a child still running.
class BackgroundRun {
  public:
    // `ignore_sighup` starts the child with SIGHUP ignored, as nohup does.
    BackgroundRun(const std::string& program, const std::vector<std::string>& args,
                  const std::string& out_path, const std::string& err_path,
                  bool ignore_sighup = false);
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;

    void signal(int sig) const;
    // Waits for the end: the exit status, or 128 + the signal.
    int wait();

  private:
    pid_t pid_ = -1;
};

// True when both files hold exactly the same bytes.
bool same_content(const std::string& a, const std::string& b);

// Names of the hidden temporary files ('.*.part') in `dir`.
std::vector<std::string> hidden_temporaries(const fs::path& dir);

// Writes a small product-like file of `size` bytes, each `fill`.
void write_old_product(const std::string& path, std::uint8_t fill, std::size_t size = 1000);

// The sample inputs in positions 1 and 2, the products in `dir`.
std::vector<std::string> sample_paths(const TempDir& dir);

}  // namespace cirsharp::test
