// The whole-flight recipes in examples/: GNU parallel over a manifest, with
// only failed exposures rerun, and the Slurm array script's line mapping.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string_view>

#include "support.hpp"

namespace cirsharp {
namespace {

using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

const std::string kExamples = std::string(CIRSHARP_SOURCE_DIR) + "/examples/";
const std::vector<std::string> kNames = {"rgbir16.raw", "cir8.raw", "pan8.raw", "sharp.raw",
                                         "pan16.raw"};

std::string quoted(const std::string& s) {
    return "'" + s + "'";
}

// Size and a hash of the contents: enough to tell two products apart.
std::pair<std::uintmax_t, std::size_t> digest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string buffer(1 << 20, '\0');
    std::size_t h = 0;
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        h = h * 1000003u ^ std::hash<std::string_view>{}(
                               std::string_view(buffer.data(), std::size_t(in.gcount())));
    }
    return {fs::file_size(path), h};
}

std::string exposure_line(const fs::path& in, const fs::path& out) {
    std::vector<fs::path> paths = {in / "colour.raw", in / "pantiles.raw"};
    for (const auto& n : kNames)
        paths.push_back(out / n);
    std::string line;
    for (const auto& p : paths)
        line.append(line.empty() ? "" : " ").append(p.string());
    return line;
}

TEST(Flight, ParallelRecipeConvertsEveryExposureAndRerunsOnlyFailedOnes) {
    const auto have = run_process("/bin/sh", {"-c", "command -v parallel"});
    ASSERT_EQ(have.status, 0) << "GNU parallel is not installed: install the Debian package "
                                 "parallel (scripts/test does)";
    TempDir dir;
    const std::vector<int> seeds = {2, 3, 4};
    std::vector<std::vector<std::pair<std::uintmax_t, std::size_t>>> want;
    std::ofstream manifest(dir / "flight.txt");
    for (const int seed : seeds) {
        const fs::path in = dir.path() / ("in" + std::to_string(seed));
        const fs::path out = dir.path() / ("out" + std::to_string(seed));
        fs::create_directories(in);
        fs::create_directories(out);
        auto r = run_process(CIRSHARP_SAMPLE_BIN, {"--seed", std::to_string(seed),
                                                   in / "colour.raw", in / "pantiles.raw"});
        ASSERT_EQ(r.status, 0) << r.err;
        // A single run of the exposure, kept only as digests.
        const fs::path single = dir.path() / "single";
        fs::create_directories(single);
        std::vector<std::string> args = {in / "colour.raw", in / "pantiles.raw"};
        for (const auto& n : kNames)
            args.push_back(single / n);
        r = run_process(CIRSHARP_BIN, args);
        ASSERT_EQ(r.status, 0) << r.err;
        want.emplace_back();
        for (const auto& n : kNames)
            want.back().push_back(digest(single / n));
        fs::remove_all(single);
        manifest << exposure_line(in, out) << '\n';
    }
    manifest.close();

    // First pass with the second exposure's colour file missing: it fails,
    // the others are converted.
    const std::string broken = dir / "in3/colour.raw";
    fs::rename(broken, broken + ".away");
    const std::string command = "CIRSHARP=" + quoted(CIRSHARP_BIN) + " JOBS=2 exec " +
                                quoted(kExamples + "convert-flight.sh") + " " +
                                quoted(dir / "flight.txt") + " " + quoted(dir / "flight.log");
    auto r = run_process("/bin/sh", {"-c", command});
    EXPECT_EQ(r.status, 1) << r.err;  // one failed run
    EXPECT_NE(r.out.find(broken + "  Did not Open"), std::string::npos) << r.out;
    for (const int i : {0, 2}) {
        const fs::path out = dir.path() / ("out" + std::to_string(seeds[std::size_t(i)]));
        for (std::size_t p = 0; p < kNames.size(); ++p)
            EXPECT_EQ(digest(out / kNames[p]), want[std::size_t(i)][p]) << out / kNames[p];
        fs::remove_all(out);  // also shows that the second pass leaves them alone
        fs::create_directories(out);
    }
    EXPECT_TRUE(fs::is_empty(dir.path() / "out3"));

    // Second pass, the input back: only the failed exposure runs again.
    fs::rename(broken + ".away", broken);
    r = run_process("/bin/sh", {"-c", command});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 19) << r.out;
    for (std::size_t p = 0; p < kNames.size(); ++p)
        EXPECT_EQ(digest(dir / ("out3/" + kNames[p])), want[1][p]) << kNames[p];
    EXPECT_TRUE(fs::is_empty(dir.path() / "out2"));
    EXPECT_TRUE(fs::is_empty(dir.path() / "out4"));
}

// The array task picks its manifest line and its CPU count; a stand-in for
// the converter prints what it was given.
TEST(Flight, SlurmScriptMapsTheTaskToItsManifestLine) {
    TempDir dir;
    test::write_file(dir / "flight.txt", {});
    std::ofstream(dir / "flight.txt") << "a b c d e f g\n"
                                      << "h\ti j k l m n\n"
                                      << "too few\n";
    const std::string script = quoted(kExamples + "convert-flight.slurm");
    auto run_task = [&](int task) {
        return run_process("/bin/sh",
                           {"-c", "SLURM_ARRAY_TASK_ID=" + std::to_string(task) +
                                      " SLURM_CPUS_PER_TASK=6 CIRSHARP=echo exec " + script + " " +
                                      quoted(dir / "flight.txt") + " --envi"});
    };
    auto r = run_task(2);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "--threads 6 --envi h i j k l m n\n");
    r = run_task(3);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("line 3"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace cirsharp
