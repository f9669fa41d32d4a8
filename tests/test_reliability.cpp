// What a run that cannot finish leaves behind, and how products reach special
// files, links and permissions; the converter runs as a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "runs.hpp"
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

std::vector<std::string> listing(const TempDir& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
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
        const auto before = listing(dir);
        const auto r = run_process(CIRSHARP_BIN, paths);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out, bad + "  Did not Open\n");
        EXPECT_EQ(r.err, "cirsharp: cannot create " + bad + ": " + c.reason + "\n");
        EXPECT_EQ(listing(dir), before) << bad;
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
        const auto before = listing(dir);
        r = run_process(CIRSHARP_BIN, paths);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(paths[which] + ": is " + std::to_string(inputs[which].size() - 1) +
                             " bytes long, but " + std::to_string(inputs[which].size()) +
                             " bytes are needed"),
                  std::string::npos)
            << r.err;
        expect_old_products(paths, "short input");
        EXPECT_EQ(listing(dir), before);
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

// One run under umask 027 with longer inputs than needed, writing through
// links, over existing files and to new ones; its products must equal those
// of a plain run.
TEST(SpecialOutputs, LinksPermissionsAndLongerInputs) {
    TempDir plain;
    const auto reference = test::sample_paths(plain);
    ASSERT_EQ(run_process(CIRSHARP_BIN, reference).status, 0);

    TempDir dir;
    auto paths = test::seven_paths(dir);
    for (int i = 0; i < 2; ++i) {
        auto bytes = read_file(reference[i]);
        bytes.insert(bytes.end(), 4097 + i, 0x5a);
        test::write_file(paths[i], bytes);
    }
    fs::create_directory(dir / "real");
    test::write_old_product(paths[3], 1);  // CIR8 replaces a file of mode 0600
    ::chmod(paths[3].c_str(), 0600);
    test::write_old_product(dir / "real/pan8.raw", 2);  // PAN8 through a link
    ::chmod((dir / "real/pan8.raw").c_str(), 0604);
    fs::create_symlink("real/pan8.raw", paths[4]);
    fs::create_symlink(dir / "real/sharp.raw", paths[5]);  // a dangling absolute link

    const auto r = run_process("/bin/sh", [&] {
        std::vector<std::string> args = {"-c", "umask 027; exec \"$0\" \"$@\"", CIRSHARP_BIN};
        args.insert(args.end(), paths.begin(), paths.end());
        return args;
    }());
    ASSERT_EQ(r.status, 0) << r.err;
    for (int i = 2; i < 7; ++i)
        EXPECT_TRUE(test::same_content(paths[i], reference[i])) << paths[i];
    EXPECT_TRUE(fs::is_symlink(paths[4]));
    EXPECT_TRUE(fs::is_symlink(paths[5]));
    EXPECT_EQ(mode_of(paths[2]), 0640u);
    EXPECT_EQ(mode_of(paths[3]), 0600u);
    EXPECT_EQ(mode_of(dir / "real/pan8.raw"), 0604u);
    EXPECT_EQ(mode_of(dir / "real/sharp.raw"), 0640u);
    EXPECT_EQ(mode_of(paths[6]), 0640u);
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(test::hidden_temporaries(dir.path() / "real"), std::vector<std::string>{});
}

}  // namespace
}  // namespace cirsharp
