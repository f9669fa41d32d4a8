#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "runs.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::run_process;
using test::sample_paths;
using test::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> with_options(std::vector<std::string> options,
                                      const std::vector<std::string>& paths) {
    options.insert(options.end(), paths.begin(), paths.end());
    return options;
}

std::size_t entries(const TempDir& dir) {
    return std::size_t(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

TEST(Cli, UsageErrorsHelpAndVersion) {
    TempDir dir;
    const auto paths = test::seven_paths(dir);
    for (const auto& args :
         {std::vector<std::string>{}, std::vector<std::string>(paths.begin(), paths.end() - 1),
          with_options({"--bogus"}, paths), with_options({"--threads", "0"}, paths),
          with_options({}, {paths[0], "--fsync"})}) {
        const auto r = run_process(CIRSHARP_BIN, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: cirsharp"), std::string::npos);
    }
    EXPECT_EQ(entries(dir), 0u);
    const auto help = run_process(CIRSHARP_BIN, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    EXPECT_EQ(run_process(CIRSHARP_BIN, {"--version"}).out.rfind("cirsharp ", 0), 0u);
}

TEST(Cli, FilesThatDoNotOpenStopTheRunInPositionOrder) {
    TempDir dir;
    auto paths = sample_paths(dir);
    paths[0] = dir / "missing.raw";
    auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, paths[0] + "  Did not Open\n");
    EXPECT_NE(r.err.find("No such file"), std::string::npos);

    // The third path cannot be created: one line, and nothing later exists.
    paths = sample_paths(dir);
    paths[2] = dir / "no/such/folder/rgbir16.raw";
    r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, paths[2] + "  Did not Open\n");
    EXPECT_EQ(entries(dir), 0u);
}

TEST(Cli, ShortInputsAreRefusedBeforeAnythingIsWritten) {
    TempDir dir;
    const auto colour = read_file(test::sample_colour());
    const auto pan = read_file(test::sample_pan());
    for (int which = 0; which < 2; ++which) {
        TempDir work;
        auto paths = test::seven_paths(work);
        auto bytes = which == 0 ? colour : pan;
        bytes.pop_back();
        test::write_file(paths[which], bytes);
        paths[1 - which] = which == 0 ? test::sample_pan() : test::sample_colour();
        const auto r = run_process(CIRSHARP_BIN, paths);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(paths[which]), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::to_string(bytes.size())), std::string::npos) << r.err;
        EXPECT_EQ(entries(work), 1u);
    }
}

TEST(Cli, OutputsNamingAnInputOrEachOtherAreRefused) {
    TempDir dir;
    auto paths = sample_paths(dir);
    const auto before = fs::file_size(paths[0]);
    paths[5] = paths[0];
    auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("same file"), std::string::npos);
    EXPECT_EQ(fs::file_size(paths[0]), before);
    paths = sample_paths(dir);
    paths[6] = paths[4];
    EXPECT_EQ(run_process(CIRSHARP_BIN, paths).status, 2);
    EXPECT_EQ(entries(dir), 0u);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(Cli, AFailedAllocationIsReportedAndStopsTheRun) {
    TempDir dir;
    std::string command = "ulimit -v 100000; exec '" + std::string(CIRSHARP_BIN) + "'";
    for (const auto& p : sample_paths(dir))
        command += " '" + p + "'";
    const auto r = run_process("/bin/sh", {"-c", command});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Muistinvaraus ei onnistunut\n"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 8);
    EXPECT_NE(r.err.find("memory"), std::string::npos);
    EXPECT_EQ(entries(dir), 0u);
}
#endif

// A whole run: the 19-line transcript, the product sizes, and the same bytes
// whatever the thread count and with the per-sample arithmetic.
TEST(Cli, WholeRunsAgreeAcrossThreadCountsAndTheReference) {
    const std::vector<std::vector<std::string>> variants = {
        {}, {"--threads", "1"}, {"--threads=3"}, {"--reference", "--threads", "2"}};
    std::vector<std::vector<std::uint8_t>> first;
    for (const auto& options : variants) {
        TempDir dir;
        auto paths = sample_paths(dir);
        auto r = run_process(CIRSHARP_BIN, with_options(options, paths));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::istringstream lines(r.out);
        std::vector<std::string> got;
        for (std::string line; std::getline(lines, line);)
            got.push_back(line);
        ASSERT_EQ(got.size(), 19u) << r.out;
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(got[i], "Muistinvaraus onnistui");
        EXPECT_EQ(got[8].rfind("PAN Maximum:  ", 0), 0u);
        EXPECT_EQ(got[11], "With simoultaneous output of  " + paths[6]);
        EXPECT_EQ(got[12], "Done, now writing output of  " + paths[4]);
        EXPECT_EQ(got[18], "Wrinting PANsharpened CIR");
        EXPECT_EQ(entries(dir), 5u);  // no temporary file left behind
        const std::uintmax_t sizes[] = {70'656'000, 26'496'000, 86'250'000, 258'750'000,
                                        172'500'000};
        std::vector<std::vector<std::uint8_t>> products;
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(fs::file_size(paths[2 + i]), sizes[i]);
            products.push_back(read_file(paths[2 + i]));
        }
        if (first.empty()) {
            first = std::move(products);
        } else {
            for (int i = 0; i < 5; ++i)
                EXPECT_TRUE(products[i] == first[i]) << test::kProductNames[i];
        }
    }
}

}  // namespace
}  // namespace cirsharp
