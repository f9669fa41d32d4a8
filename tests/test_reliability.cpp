// What a run that cannot finish leaves behind, and how products reach special
// files, links and permissions; the converter runs as a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "driver/command_line.hpp"
#include "raster/geometry.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

// Old products at positions 3 to 7, each 1000 bytes of a value of its own.
void place_old_products(const std::vector<std::string>& paths) {
    for (int i = 2; i < 7; ++i)
        test::write_old_product(paths[i], std::uint8_t(0xa0 + i));
}

void expect_old_products(const std::vector<std::string>& paths, const std::string& context) {
    for (int i = 2; i < 7; ++i)
        EXPECT_EQ(read_file(paths[i]), std::vector<std::uint8_t>(1000, std::uint8_t(0xa0 + i)))
            << context << ": " << paths[i];
}

// An output that cannot be created: its " Did not Open" line, a message
// naming it, status 1, and neither a product nor a temporary file touched.
TEST(FailedRuns, OutputsThatCannotBeCreatedStopTheRunBeforeAnyWork) {
    struct Case {
        int position;
        std::string path;  // relative ones lie in the run's folder
        std::string reason;
    };
    std::vector<Case> cases = {{3, "missing/pan8.raw", "No such file or directory"},
                               {2, "folder.raw", "Is a directory"},
                               {6, "pan16.raw/x", "Not a directory"},
                               {5, "loop.raw", "Too many levels of symbolic links"}};
    // sysfs refuses new files even to root, unlike a folder without write
    // permission.
    if (fs::is_directory("/sys/kernel"))
        cases.push_back({4, "/sys/kernel/sharp.raw", "Permission denied"});
    for (const auto& c : cases) {
        TempDir dir;
        auto paths = test::sample_paths(dir);
        place_old_products(paths);
        fs::create_directory(dir / "folder.raw");
        fs::create_symlink("loop2.raw", dir / "loop.raw");
        fs::create_symlink("loop.raw", dir / "loop2.raw");
        const std::string bad = c.path.starts_with('/') ? c.path : dir / c.path;
        paths[c.position] = bad;
        const auto before = test::listing(dir.path());
        const auto r = run_process(CIRSHARP_BIN, paths);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out, bad + "  Did not Open\n");
        EXPECT_EQ(r.err, "cirsharp: cannot create " + bad + ": " + c.reason + "\n");
        EXPECT_EQ(test::listing(dir.path()), before) << bad;
        EXPECT_TRUE(fs::is_symlink(dir / "loop.raw"));
        paths[c.position] = dir / test::kProductNames[std::size_t(c.position - 2)];
        expect_old_products(paths, bad);
    }
}

TEST(FailedRuns, InputsThatAreFoldersOrOneByteShortLeaveTheOldProducts) {
    const std::vector<std::uint8_t> inputs[2] = {read_file(test::sample_colour()),
                                                 read_file(test::sample_pan())};
    for (int which = 0; which < 2; ++which) {
        TempDir dir;
        auto paths = test::seven_paths(dir);
        paths[1 - which] = which == 0 ? test::sample_pan() : test::sample_colour();
        place_old_products(paths);

        fs::create_directory(paths[which]);
        auto r = run_process(CIRSHARP_BIN, paths);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, paths[which] + "  Did not Open\n");
        EXPECT_NE(r.err.find("Is a directory"), std::string::npos) << r.err;
        expect_old_products(paths, "folder input");
        fs::remove(paths[which]);

        test::write_file(paths[which], {inputs[which].begin(), inputs[which].end() - 1});
        const auto before = test::listing(dir.path());
        r = run_process(CIRSHARP_BIN, paths);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(paths[which] + ": " + kPositionNames[which] + " is " +
                             std::to_string(inputs[which].size() - 1) + " bytes long, but " +
                             std::to_string(inputs[which].size()) + " bytes are needed"),
                  std::string::npos)
            << r.err;
        expect_old_products(paths, "short input");
        EXPECT_EQ(test::listing(dir.path()), before);
    }
}

// A write that fails (a full device, a pipe whose reader has gone) ends the
// run with status 1 and a message; no temporary file and no partial product.
TEST(FailedRuns, WriteFailuresEndTheRunAndRemoveTemporaryFiles) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    place_old_products(paths);
    paths[6] = "/dev/full";
    auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cirsharp: cannot write /dev/full: No space left on device\n");
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    paths[6] = dir / "pan16.raw";
    expect_old_products(paths, "/dev/full");

    // A FIFO whose reader takes a few bytes and leaves.
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread reader([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        char few[16];
        if (fd >= 0 && ::read(fd, few, sizeof few) >= 0) ::close(fd);
    });
    paths[6] = fifo;
    r = run_process(CIRSHARP_BIN, paths);
    // Releases a reader still waiting, should the run have failed before.
    const int release = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    reader.join();
    if (release >= 0) ::close(release);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cirsharp: cannot write " + fifo + ": Broken pipe\n");
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    paths[6] = dir / "pan16.raw";
    expect_old_products(paths, "FIFO");
}

TEST(SpecialOutputs, AllProductsToDevNull) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = "/dev/null";
    const auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 19);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Streams are read more than once by the stages, so they are taken in
// whole first: one that ends early is refused before anything is created,
// and a pipe that delivers everything converts like a file.
TEST(Streams, AreTakenInWholeFirst) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    paths[0] = "/dev/null";
    auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cirsharp: /dev/null: ends after 0 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_empty(dir.path()));

    paths = test::sample_paths(dir);
    const std::string fifo = dir / "pan.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string command = "cat '" + paths[1] + "' > '" + fifo + "' & exec '" + CIRSHARP_BIN + "'";
    paths[1] = fifo;
    for (const auto& p : paths)
        command += " '" + p + "'";
    r = run_process("/bin/sh", {"-c", command});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 19);
    EXPECT_EQ(fs::file_size(paths[5]), layout_of(Product::kSharpened).file_bytes());
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace cirsharp
