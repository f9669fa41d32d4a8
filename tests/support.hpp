// Helpers shared by the tests: temporary folders, crafted input files, the
// sample exposure and its plain run, running the real binaries as child
// processes and looking at what they leave on disk.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace cirsharp::test {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    fs::path path_;
};

std::vector<std::uint8_t> read_file(const std::string& path);
// The whole file as text; empty when it cannot be read.
std::string text_of(const std::string& path);
// `s` quoted for a POSIX shell.
std::string shell_quoted(const std::string& s);
void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> as_le_bytes(const std::vector<std::uint16_t>& samples);
std::uint16_t sample_at(const std::vector<std::uint8_t>& bytes, std::size_t byte_offset);

// A PAN tile file whose sample at mosaic (row, column) is value(row, column),
// after the 8-byte header `header_byte` repeated.
void write_pan_file(const std::string& path,
                    const std::function<std::uint16_t(int row, int column)>& value,
                    std::uint8_t header_byte = 0);
// A colour file whose sample of band b at (row, column) is value(b, row, column).
void write_colour_file(const std::string& path,
                       const std::function<std::uint16_t(int band, int row, int column)>& value,
                       std::uint8_t header_byte = 0, std::size_t trailing_bytes = 0);

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// Runs `program` with `args` and waits for it.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args);
// Waits for child `pid`: its exit status, or 128 + the signal; -1 when it
// cannot be waited for.
int wait_child(pid_t pid);
// Reads the child's standard output and error from the read ends `out_fd`
// and `err_fd` to their ends, closes them and waits for the child.
ProcessResult collect_child(pid_t pid, int out_fd, int err_fd);

// The seven position paths inside `dir` for the usual product names.
std::vector<std::string> seven_paths(const TempDir& dir);
inline const std::vector<std::string> kProductNames = {"rgbir16.raw", "cir8.raw", "pan8.raw",
                                                       "sharp.raw", "pan16.raw"};

// The sample exposure of seed 1: the one the test fixture generated in the
// build folder, else one generated once per test program.
const std::string& sample_colour();
const std::string& sample_pan();

// A plain run of the sample exposure (no options): the seven paths and the
// transcript. The fixture's in the build folder, else one made once per test
// program. Only to be read.
struct SampleRun {
    std::vector<std::string> paths;
    std::string transcript;
};
const SampleRun& sample_run();

// `transcript` with every occurrence of folder `from` replaced by `to`.
std::string moved_transcript(std::string transcript, const std::string& from,
                             const std::string& to);

// `options` followed by `paths`: a command line.
std::vector<std::string> with_options(std::vector<std::string> options,
                                      const std::vector<std::string>& paths);

// The names in `dir`, sorted.
std::vector<std::string> listing(const fs::path& dir);

// Raw (maximum, minimum) limits as a stage may see them, degenerate ones
// included; the minimum is never above `start`.
std::pair<std::uint16_t, std::uint16_t> random_limits(std::mt19937_64& rng, std::uint16_t start);

// How many rounds a randomised test makes: fewer under the sanitizers.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kRandomRounds = 20;
#else
inline constexpr int kRandomRounds = 200;
#endif

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
    pid_t pid() const { return pid_; }
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
