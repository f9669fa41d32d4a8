// The whole-flight recipes in examples/: GNU parallel over a manifest, with
// only failed exposures rerun, and the Slurm array script's slices of the
// manifest. Both read manifests alike: comments and blank lines skipped, the
// last line kept without its newline, output folders made.
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
const auto& kNames = test::kProductNames;

const auto& quoted = test::shell_quoted;

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
    // A comment, a blank line and an indented comment between exposures, no
    // newline after the last; the output folders do not exist yet.
    std::ofstream manifest(dir / "flight.txt");
    manifest << "# three exposures\n\n";
    for (const int seed : seeds) {
        const fs::path in = dir.path() / ("in" + std::to_string(seed));
        const fs::path out = dir.path() / ("out" + std::to_string(seed));
        fs::create_directories(in);
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
        manifest << exposure_line(in, out) << (seed == 4 ? "" : "\n  # next\n");
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

// Each array task converts its slice of the manifest's exposures, in
// order, with its CPU count; a stand-in for the converter prints what it
// was given.
TEST(Flight, SlurmScriptConvertsItsSliceOfTheManifest) {
    TempDir dir;
    std::ofstream(dir / "flight.txt") << "# five exposures, one of them wrong\n"
                                      << "a b o/1/c d e f g\n"
                                      << "\n"
                                      << "  # indented\n"
                                      << "h\ti j k l m n\n"
                                      << "o p q r s t u\n"
                                      << "too few\n"
                                      << "v w /dev/null o/5/y o/5/z o/5/A o/5/B";  // no newline
    const std::string script = quoted(kExamples + "convert-flight.slurm");
    auto run = [&](const std::string& env, const std::string& args) {
        return run_process("/bin/sh", {"-c", "cd " + quoted(dir.path()) +
                                                 " && PATH=$PWD/bin:$PATH SLURM_CPUS_PER_TASK=6 "
                                                 "CIRSHARP=echo " +
                                                 env + " exec " + script + " " + args});
    };
    const std::string array =
        "SLURM_ARRAY_TASK_COUNT=2 SLURM_ARRAY_TASK_MIN=1 SLURM_ARRAY_TASK_MAX=2 ";

    // --array=1-2: three exposures a task.
    auto r = run(array + "SLURM_ARRAY_TASK_ID=1", "flight.txt --envi");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "--threads 6 --envi a b o/1/c d e f g\n"
              "--threads 6 --envi h i j k l m n\n"
              "--threads 6 --envi o p q r s t u\n");
    EXPECT_NE(r.err.find("task 1: exposures 1 to 3 of 5 in flight.txt (--per-task 3)"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.err.ends_with("convert-flight: task 1 done\n")) << r.err;
    EXPECT_TRUE(fs::is_directory(dir / "o/1"));

    // The wrong line fails the task, the next exposure still runs; a device
    // gets no folder and no record beside it.
    r = run(array + "SLURM_ARRAY_TASK_ID=2", "--record flight.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out,
              "--threads 6 --record o/5/record.json v w /dev/null o/5/y o/5/z o/5/A o/5/B\n");
    EXPECT_NE(r.err.find("exposure 4 has 2 paths, not 7"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("convert-flight: task 2 failed: exposures 4 (1 of 2)\n")) << r.err;
    EXPECT_TRUE(fs::is_directory(dir / "o/5"));

    // A resubmission of some tasks needs the slice given; past the end, nothing.
    const std::string some =
        "SLURM_ARRAY_TASK_COUNT=2 SLURM_ARRAY_TASK_MIN=3 SLURM_ARRAY_TASK_MAX=7 ";
    r = run(some + "SLURM_ARRAY_TASK_ID=3", "flight.txt");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("give --per-task N"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    r = run(some + "SLURM_ARRAY_TASK_ID=3", "--per-task 2 flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "--threads 6 v w /dev/null o/5/y o/5/z o/5/A o/5/B\n");
    r = run(some + "SLURM_ARRAY_TASK_ID=7", "--per-task 2 flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");

    // The array for a submission, within the cluster's MaxArraySize (a
    // stand-in scontrol reports 4: indices up to 3).
    fs::create_directories(dir / "bin");
    std::ofstream(dir / "bin/scontrol") << "#!/bin/sh\necho 'MaxArraySize            = 4'\n";
    fs::permissions(dir / "bin/scontrol", fs::perms::owner_all);
    r = run("", "--tasks flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1-3\n");  // 2, 2 and 1 exposures
    r = run("", "--tasks --per-task 4 flight.txt");
    EXPECT_EQ(r.out, "1-2\n");
    r = run("", "--tasks --per-task 1 flight.txt");
    EXPECT_EQ(r.status, 2);  // 5 tasks are too many
    std::ofstream(dir / "empty.txt") << "# nothing\n\n";
    r = run("", "--tasks empty.txt");
    EXPECT_EQ(r.status, 2);
}

// With --record and --thumbnail, each exposure gets its run record beside
// its first product and a small PNG of its sharpened product.
TEST(Flight, ParallelRecipeWritesThumbnailsAndARecordOfEveryExposureFailedOnesIncluded) {
    TempDir dir;
    std::ofstream(dir / "flight.txt") << test::sample_colour() << " " << test::sample_pan()
                                      << " o/1/a o/1/b o/1/c o/1/sharp.raw o/1/e\n";
    auto recipe = [&](const std::string& options) {
        return run_process(
            "/bin/sh",
            {"-c", "cd " + quoted(dir.path()) + " && CIRSHARP=" + quoted(CIRSHARP_BIN) + " exec " +
                       quoted(kExamples + "convert-flight.sh") + " " + options + " flight.txt"});
    };
    auto r = recipe("--thumbnail 64");
    ASSERT_EQ(r.status, 0) << r.err;
    // A PNG's width is the big-endian word at byte 16.
    const auto png = test::read_file(dir / "o/1/sharpened-cir8.png");
    ASSERT_GE(png.size(), 24u);
    const int width = png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19];
    EXPECT_LE(width, 64);
    EXPECT_GE(width, 32);
    EXPECT_EQ(r.err, "");  // no progress bar without a terminal

    // A flight of three with --record: one record per exposure, the failed
    // one's (its PAN file is missing) included, and the recipe says it failed.
    std::ofstream(dir / "flight.txt")
        << test::sample_colour() << " " << test::sample_pan()
        << " o/1/a o/1/b o/1/c o/1/sharp.raw o/1/e\n"
        << test::sample_colour() << " missing.raw o/2/a o/2/b o/2/c o/2/d o/2/e\n"
        << test::sample_colour() << " " << test::sample_pan() << " /dev/null /dev/null o/3/c "
        << "/dev/null /dev/null\n";
    fs::remove(dir / "flight.txt.joblog");
    r = recipe("--record");
    EXPECT_NE(r.status, 0) << r.err;
    auto record = [&](const std::string& folder) {
        std::ifstream in(dir / (folder + "/record.json"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_NE(record("o/1").find("\"status\": 0"), std::string::npos) << record("o/1");
    const std::string failed = record("o/2");
    EXPECT_NE(failed.find("\"status\": 1"), std::string::npos) << failed;
    EXPECT_NE(failed.find("missing.raw"), std::string::npos) << failed;
    // The first product that is a file is the third one here.
    EXPECT_NE(record("o/3").find("\"status\": 0"), std::string::npos) << record("o/3");
    std::size_t records = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir / "o"))
        records += e.path().filename() == "record.json";
    EXPECT_EQ(records, 3u);
}

}  // namespace
}  // namespace cirsharp
