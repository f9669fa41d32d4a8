#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::run_process;
using test::sample_paths;
using test::TempDir;
namespace fs = std::filesystem;

using test::listing;
using test::with_options;

std::size_t entries(const TempDir& dir) {
    return std::size_t(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

TEST(Cli, UsageErrorsHelpAndVersion) {
    TempDir dir;
    const auto paths = test::seven_paths(dir);
    for (const auto& args :
         {std::vector<std::string>{}, std::vector<std::string>(paths.begin(), paths.end() - 1),
          with_options({"--bogus"}, paths), with_options({"--threads", "0"}, paths),
          with_options({"--io", "mmap"}, paths), with_options({"--io="}, paths),
          with_options({}, {paths[0], "--fsync"})}) {
        const auto r = run_process(CIRSHARP_BIN, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        // The reason and where to read more, not the whole usage.
        EXPECT_TRUE(r.err.starts_with("cirsharp: ")) << r.err;
        EXPECT_TRUE(r.err.ends_with("\nTry 'cirsharp --help' for more information.\n")) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
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

TEST(Cli, SwappedInputsAreNamedAsSuch) {
    TempDir dir;
    auto paths = sample_paths(dir);
    std::swap(paths[0], paths[1]);
    const auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "cirsharp: " + paths[0] +
                         ": colour file is 180879368 bytes long, the size of a PAN tile file: "
                         "are the inputs swapped?\n");
    // The PAN tile file alone in the colour file's place.
    paths = sample_paths(dir);
    fs::copy_file(test::sample_colour(), dir / "copy.raw");
    paths[1] = dir / "copy.raw";
    const auto pan = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(pan.status, 1);
    EXPECT_EQ(pan.err, "cirsharp: " + paths[1] +
                           ": PAN tile file is 70656008 bytes long, the size of a colour file: "
                           "are the inputs swapped?\n");
    EXPECT_EQ(entries(dir), 1u);
}

TEST(Cli, TwoInputsNamingOneFileAreRefused) {
    TempDir dir;
    auto paths = sample_paths(dir);
    fs::create_symlink(test::sample_pan(), dir / "link.raw");
    for (const std::string& second : {test::sample_pan(), dir / "link.raw",
                                      fs::path(test::sample_pan()).parent_path().string() + "/./" +
                                          fs::path(test::sample_pan()).filename().string()}) {
        paths[0] = test::sample_pan();
        paths[1] = second;
        const auto r = run_process(CIRSHARP_BIN, paths);
        EXPECT_EQ(r.status, 2) << second;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(
            r.err.find("the PAN tile file '" + second + "' is the same file as the colour file"),
            std::string::npos)
            << r.err;
    }
    EXPECT_EQ(entries(dir), 1u);  // the link
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

TEST(EnviOption, HeadersNamingAFileOfTheRunAreRefused) {
    TempDir dir;
    auto paths = test::seven_paths(dir);
    test::write_file(paths[0], {1});
    test::write_file(paths[1], {1});
    // The CIR8 product's header would overwrite the colour file.
    paths[0] = paths[3] + ".hdr";
    test::write_file(paths[0], {1});
    std::vector<std::string> args = {"--envi"};
    args.insert(args.end(), paths.begin(), paths.end());
    auto r = run_process(CIRSHARP_BIN, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("header '" + paths[3] + ".hdr'"), std::string::npos) << r.err;
    // Without --envi there is no header, and the short input is what fails.
    r = run_process(CIRSHARP_BIN, std::vector<std::string>(args.begin() + 1, args.end()));
    EXPECT_EQ(r.status, 1);

    // A product named like another product's header.
    paths = test::seven_paths(dir);
    paths[5] = paths[4] + ".hdr";
    args = {"--envi"};
    args.insert(args.end(), paths.begin(), paths.end());
    r = run_process(CIRSHARP_BIN, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("same file as the sharpened CIR file"), std::string::npos) << r.err;
}

TEST(EnviOption, AFailedRunLeavesNoHeader) {
    TempDir dir;
    auto paths = test::seven_paths(dir);
    auto colour = read_file(test::sample_colour());
    colour.pop_back();
    test::write_file(paths[0], colour);
    paths[1] = test::sample_pan();
    std::vector<std::string> args = {"--envi"};
    args.insert(args.end(), paths.begin(), paths.end());
    const auto r = run_process(CIRSHARP_BIN, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"colour.raw"});
}

TEST(QuicklookOption, NeedsAFolderAndTheTool) {
    TempDir dir;
    const auto paths = test::seven_paths(dir);
    std::vector<std::string> empty = {"--quicklook="};
    empty.insert(empty.end(), paths.begin(), paths.end());
    for (const auto& args : {std::vector<std::string>{"--quicklook"}, empty}) {
        const std::string& bad = args[0];
        const auto r = run_process(CIRSHARP_BIN, args);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--quicklook needs a folder"), std::string::npos) << r.err;
    }
    // A converter alone in a folder, with nothing on PATH: refused before any
    // file is opened.
    fs::copy_file(CIRSHARP_BIN, dir.path() / "cirsharp");
    std::string command = "PATH=/nonexistent exec '" + (dir / "cirsharp") + "' --quicklook ql";
    for (const auto& p : paths)
        command += " '" + p + "'";
    const auto r = run_process("/bin/sh", {"-c", command});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("needs cirsharp-quicklook"), std::string::npos) << r.err;
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"cirsharp"});
}

}  // namespace
}  // namespace cirsharp
