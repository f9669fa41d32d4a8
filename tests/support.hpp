// Helpers shared by the tests: temporary folders, crafted input files and
// running the real binaries as child processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
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

// The seven position paths inside `dir` for the usual product names.
std::vector<std::string> seven_paths(const TempDir& dir);
inline const std::vector<std::string> kProductNames = {"rgbir16.raw", "cir8.raw", "pan8.raw",
                                                       "sharp.raw", "pan16.raw"};

// The sample exposure of seed 1, generated once per test program.
const std::string& sample_colour();
const std::string& sample_pan();

}  // namespace cirsharp::test
