// Inputs of many sizes and contents: every run ends with status 0, or with
// status 1 and a message; never a crash, a hang or a sanitizer report.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "driver/command_line.hpp"
#include "raster/geometry.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kShortSizes = 12;  // each run starts a sanitized process
#else
constexpr int kShortSizes = 40;
#endif

constexpr std::uint64_t kColourNeeded = kColourGeometry.file_bytes();
constexpr std::uint64_t kPanNeeded = kPanGeometry.file_bytes();

// A file of `size` bytes: random up to `random_bytes`, then zeros (sparse).
void write_input(const std::string& path, std::uint64_t size, std::mt19937_64& rng,
                 std::uint64_t random_bytes = 1 << 16) {
    std::vector<std::uint8_t> head(std::size_t(std::min(size, random_bytes)));
    for (auto& b : head)
        b = std::uint8_t(rng());
    test::write_file(path, head);
    fs::resize_file(path, size);
}

// Inputs shorter than needed, from empty to one byte short: refused before
// any product is created, with a message naming the file and its size.
TEST(Fuzz, ShortInputsOfManySizesAreRefused) {
    std::mt19937_64 rng(20240601);
    TempDir dir;
    auto paths = test::seven_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = dir / ("out/" + test::kProductNames[std::size_t(i - 2)]);
    fs::create_directory(dir / "out");
    for (int which = 0; which < 2; ++which) {
        // Inputs of its own in both positions: the sample is shared.
        paths[0] = dir / "colour.raw";
        paths[1] = dir / "pantiles.raw";
        const std::uint64_t needed = which == 0 ? kColourNeeded : kPanNeeded;
        std::vector<std::uint64_t> sizes = {0, 1, 7, 8, 9, needed / 2, needed - 2, needed - 1};
        while (sizes.size() < std::size_t(kShortSizes / 2))
            sizes.push_back(std::uniform_int_distribution<std::uint64_t>(0, needed - 1)(rng));
        for (const auto size : sizes) {
            write_input(paths[which], size, rng);
            paths[1 - which] = which == 0 ? test::sample_pan() : test::sample_colour();
            const auto r = run_process(CIRSHARP_BIN, paths);
            EXPECT_EQ(r.status, 1) << size;
            EXPECT_EQ(r.out, "") << size;
            EXPECT_EQ(r.err, "cirsharp: " + paths[which] + ": " + kPositionNames[which] + " is " +
                                 std::to_string(size) + " bytes long, but " +
                                 std::to_string(needed) + " bytes are needed\n");
            EXPECT_TRUE(fs::is_empty(dir / "out")) << size;
        }
        fs::remove(paths[which]);
    }
}

// Whole runs over random, constant and endless inputs, longer than needed;
// the products go to /dev/null, except for one run that checks their sizes.
TEST(Fuzz, WholeRunsOverArbitraryInputsSucceed) {
    std::mt19937_64 rng(7);
    TempDir dir;
    auto paths = test::seven_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = "/dev/null";

    // Random samples with a random number of extra bytes.
    write_input(paths[0], kColourNeeded + rng() % 100000, rng, kColourNeeded + 100000);
    write_input(paths[1], kPanNeeded + rng() % 100000, rng, kPanNeeded + 100000);
    auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    // Every sample 0xffff: each band's maximum at the top of the range.
    test::write_file(paths[0], std::vector<std::uint8_t>(kColourNeeded, 0xff));
    test::write_file(paths[1], std::vector<std::uint8_t>(kPanNeeded, 0xff));
    const auto products = test::seven_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = products[i];
    r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 0) << r.err;
    for (int i = 2; i < 7; ++i)
        EXPECT_EQ(fs::file_size(paths[i]), layout_of(kProducts[std::size_t(i - 2)]).file_bytes());

    // Endless zeros from a device that cannot seek: all limits degenerate.
    paths = {"/dev/zero", "/dev/zero", "/dev/null", "/dev/null",
             "/dev/null", "/dev/null", "/dev/null"};
    r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
}  // namespace cirsharp
