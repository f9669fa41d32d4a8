// cirsharp-flight: the manifest checked as a whole before anything runs, a
// flight converted with GNU parallel and rerun after a repair, the report
// accounting for every line of the manifest, and the Slurm array task's
// slice of the manifest (with a stand-in converter).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "support.hpp"

namespace cirsharp {
namespace {

using test::run_process;
using test::TempDir;
using test::text_of;
namespace fs = std::filesystem;

const auto& quoted = test::shell_quoted;
const std::string kFlight = CIRSHARP_FLIGHT_BIN;
const std::string kFixture = std::string(CIRSHARP_SOURCE_DIR) + "/tests/data/flight";

// cirsharp-flight ARGS run in `dir` with `env` (assignments) before it.
test::ProcessResult flight(const fs::path& dir, const std::string& args,
                           const std::string& env = "") {
    return run_process("/bin/sh", {"-c", "cd " + quoted(dir) + " && " + env + " exec " +
                                             quoted(kFlight) + " " + args});
}

std::size_t lines_in(const std::string& text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

bool have_parallel() {
    return run_process("/bin/sh", {"-c", "command -v parallel"}).status == 0;
}

// One exposure line: the two inputs, then the CIR8 product in o/N/ and the
// others to /dev/null, unless `all` sends all five to o/N/.
std::string exposure(const std::string& inputs, int n, bool all = false) {
    const std::string o = "o/" + std::to_string(n) + "/";
    if (all)
        return inputs + " " + o + "rgbir16.raw " + o + "cir8.raw " + o + "pan8.raw " + o +
               "sharp.raw " + o + "pan16.raw";
    return inputs + " /dev/null " + o + "cir8.raw /dev/null /dev/null /dev/null";
}

// Twelve exposures with one of each problem (`broken`), or the same flight
// mended. Line 7 ends in CRLF, line 10 writes every product (and gets a
// thumbnail), line 11 is blank.
std::string twelve(bool broken) {
    std::string m = "# a flight of twelve\n";
    m += broken ? "c.raw p.raw /dev/null o/2/cir8.raw /dev/null /dev/null\n"  // 6 paths
                : exposure("c.raw p.raw", 2) + "\n";
    m += exposure(broken ? "c.raw c.raw" : "c.raw p.raw", 3) + "\n";  // one file twice
    m += exposure(broken ? "p.raw c.raw" : "c.raw p.raw", 4) + "\n";  // swapped
    m += exposure("c.raw p.raw", 5) + "\n";
    m += (broken ? exposure("c.raw p.raw", 5) : exposure("c.raw p.raw", 6)) + "\n";  // shared
    m += "c.raw p.raw /dev/null o/7/cir8.raw /dev/null /dev/null o/7/pan16.raw\r\n";
    m += exposure(broken ? "--version p.raw" : "-c.raw p.raw", 8) + "\n";  // leading '-'
    m += exposure(broken ? "gone.raw p.raw" : "c.raw p.raw", 9) + "\n";    // missing
    m += exposure("c2.raw p.raw", 10, true) + "\n\n";
    for (const int n : {12, 13, 14})
        m += exposure("c.raw p.raw", n) + (n == 14 ? "" : "\n");  // no newline at the end
    return m;
}

TEST(Flight, CheckListsEveryProblemThenTheMendedFlightConvertsAndARepairRerunsOnlyItsExposure) {
    if (!have_parallel())
        GTEST_SKIP() << "GNU parallel is not installed: install the Debian package parallel "
                        "(scripts/test does)";
    TempDir dir;
    const fs::path d = dir.path();
    for (const auto* name : {"c.raw", "-c.raw", "c2.raw"})
        fs::create_symlink(test::sample_colour(), d / name);
    fs::create_symlink(test::sample_pan(), d / "p.raw");
    std::ofstream(d / "flight.txt") << twelve(true);

    // Every problem with its line number, and nothing started.
    auto r = flight(d, "check flight.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    for (const auto* problem : {
             "flight.txt:2: 6 paths, not 7\n",
             "flight.txt:3: the colour and PAN tile files are one file (c.raw)\n",
             "flight.txt:4: colour and PAN tile files probably swapped",
             "flight.txt:6: CIR8 product o/5/cir8.raw is also an output of line 5\n",
             "flight.txt:6: its record o/5/record.json is also line 5's",
             "flight.txt:8: colour file --version: no such file\n",
             "flight.txt:9: colour file gone.raw: no such file\n",
         })
        EXPECT_NE(r.err.find(problem), std::string::npos) << problem << "\n" << r.err;
    EXPECT_EQ(std::regex_replace(r.err, std::regex("flight.txt:(2|3|4|6|8|9): [^\n]*\n"), ""),
              "cirsharp-flight: flight.txt: 7 problems on 6 of 12 exposure lines; nothing was "
              "run\n");
    r = flight(d, "run --thumbnail 64 flight.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(d / "o"));
    EXPECT_FALSE(fs::exists(d / "flight.txt.joblog"));
    EXPECT_FALSE(fs::exists(d / "report.html"));

    // Mended: all twelve convert.
    std::ofstream(d / "flight.txt") << twelve(false);
    r = flight(d, "run --thumbnail 64 flight.txt");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "cirsharp-flight: 12 of 12 converted, 0 flagged, 0 failed, 0 not run; "
              "report: " +
                  (d / "report.html").string() + "\n");
    EXPECT_EQ(lines_in(r.out), 12 * 19u);
    EXPECT_NE(text_of(d / "report.html").find("<strong>12 of 12 converted</strong>"),
              std::string::npos);
    for (const int n : {2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13, 14}) {
        const fs::path o = d / ("o/" + std::to_string(n));
        EXPECT_TRUE(test::same_content(o / "cir8.raw", test::sample_run().paths[3])) << o;
        EXPECT_NE(text_of(o / "record.json").find("\"status\": 0"), std::string::npos) << o;
    }
    // The carriage return is not part of the last path.
    EXPECT_EQ(test::listing(d / "o/7"),
              (std::vector<std::string>{"cir8.raw", "pan16.raw", "record.json"}));
    EXPECT_TRUE(fs::exists(d / "o/10/sharpened-cir8.png"));

    // Line 10's input gone: the check leaves it out (--keep-going runs the
    // others), and its old thumbnail goes with its old record.
    fs::remove(d / "c2.raw");
    r = flight(d, "run --keep-going --thumbnail 64 flight.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("flight.txt:10: colour file c2.raw: no such file\n"), std::string::npos)
        << r.err;
    EXPECT_TRUE(
        r.err.ends_with("cirsharp-flight: 11 of 12 converted, 0 flagged, 0 failed, 1 "
                        "not run; report: " +
                        (d / "report.html").string() + "\n"))
        << r.err;
    EXPECT_EQ(r.out, "");  // the others had converted already
    EXPECT_FALSE(fs::exists(d / "o/10/sharpened-cir8.png"));
    std::string page = text_of(d / "report.html");
    const std::size_t figure = page.find("<figure id=\"e8\"");
    ASSERT_NE(figure, std::string::npos);
    const std::string tag = page.substr(figure, page.find("</figure>", figure) - figure);
    EXPECT_NE(tag.find("class=\"thumb failed x failed\""), std::string::npos) << tag;
    EXPECT_NE(tag.find("line 10"), std::string::npos) << tag;
    EXPECT_EQ(tag.find("<img"), std::string::npos) << tag;
    const std::size_t problems = page.find("<ol class=\"problems\"");
    EXPECT_NE(page.find("not run: colour file c2.raw: no such file", problems), std::string::npos);

    // Restored: only that exposure runs again.
    fs::create_symlink(test::sample_colour(), d / "c2.raw");
    r = flight(d, "run --thumbnail 64 flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_in(r.out), 19u) << r.out;
    EXPECT_NE(r.out.find("o/10/pan16.raw"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.starts_with("cirsharp-flight: 12 of 12 converted")) << r.err;
    EXPECT_TRUE(fs::exists(d / "o/10/sharpened-cir8.png"));
}

// Shared outputs and records are found through relative paths and links;
// an output reaching an input through a link, a folder that cannot be made
// and a missing quicklook tool are problems too.
TEST(Flight, CheckResolvesLinksAndFindsEveryKindOfClash) {
    TempDir dir;
    const fs::path d = dir.path();
    fs::create_symlink(test::sample_colour(), d / "c.raw");
    fs::create_symlink(test::sample_pan(), d / "p.raw");
    fs::create_directories(d / "o");
    fs::create_directory_symlink("o", d / "link");
    std::ofstream(d / "file") << "not a folder";
    std::ofstream(d / "flight.txt") << exposure("c.raw p.raw", 1) << "\n"
                                    << "c.raw p.raw /dev/null x/../o/1/cir8.raw /dev/null "
                                       "/dev/null /dev/null\n"
                                    << "c.raw p.raw /dev/null link/1/other.raw /dev/null "
                                       "/dev/null /dev/null\n"
                                    << "c.raw p.raw /dev/null o/4/cir8.raw link/../c.raw "
                                       "/dev/null /dev/null\n"
                                    << exposure("c.raw p.raw", 5) + " extra\n"
                                    << "c.raw p.raw /dev/null file/6/cir8.raw /dev/null /dev/null "
                                       "/dev/null\n";
    const std::string missing = d / "missing";
    const auto r =
        flight(d, "check --thumbnail 64 flight.txt", "CIRSHARP_QUICKLOOK=" + quoted(missing));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "flight.txt: the cirsharp-quicklook named by CIRSHARP_QUICKLOOK (" + missing +
                  ") is not an executable file\n"
                  "flight.txt:2: CIR8 product x/../o/1/cir8.raw is also an output of line 1\n"
                  "flight.txt:2: its record x/../o/1/record.json is also line 1's (two exposures "
                  "writing into one folder)\n"
                  "flight.txt:3: its record link/1/record.json is also line 1's (two exposures "
                  "writing into one folder)\n"
                  "flight.txt:4: PAN8 product link/../c.raw names the colour file\n"
                  "flight.txt:5: 8 paths, not 7\n"
                  "flight.txt:6: cannot create the folder file/6: file is not a folder\n"
                  "cirsharp-flight: flight.txt: 7 problems on 5 of 6 exposure lines; nothing was "
                  "run\n");
}

// Options after the manifest, and a file name that looks like an option, are
// usage errors with a short message; nothing is made.
TEST(Flight, AnOptionAfterTheManifestOrAFileNamedLikeAnOptionIsAUsageError) {
    TempDir dir;
    std::ofstream(dir / "flight.txt")
        << exposure(test::sample_colour() + " " + test::sample_pan(), 1);
    for (const auto* args :
         {"run --thumbnail 240 flight.txt --envi", "run --joblog=--envi flight.txt",
          "run --report=-x.html flight.txt", "check flight.txt -- --envi", "check", "frobnicate",
          "run --jobs 0 flight.txt"}) {
        const auto r = flight(dir.path(), args);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.err;
        EXPECT_EQ(lines_in(r.err), 2u) << args << "\n" << r.err;
        EXPECT_TRUE(r.err.ends_with("Try 'cirsharp-flight --help' for more information.\n"))
            << r.err;
    }
    EXPECT_EQ(test::listing(dir.path()), std::vector<std::string>{"flight.txt"});
    const auto help = flight(dir.path(), "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: cirsharp-flight check"), std::string::npos);
}

// The report of a manifest: every line is one exposure, whatever records
// there are. A line with six paths, a line that left no record and two lines
// claiming one record are failed; a converter that cannot be found stops the
// run before it starts.
TEST(Flight, TheReportAccountsForEveryLineOfTheManifest) {
    TempDir dir;
    const fs::path d = dir.path();
    fs::copy(kFixture, d / "o", fs::copy_options::recursive);
    const std::string in = test::sample_colour() + " " + test::sample_pan();
    std::ofstream(d / "flight.txt") << exposure(in, 1) << "\n"  // converted
                                    << exposure(in, 2) << "\n"  // flagged
                                    << exposure(in, 3) << "\n"  // failed
                                    << in << " a b c d\n"       // six paths
                                    << exposure(in, 5) << "\n"  // no record
                                    << in << " /dev/null o/4/x.raw /dev/null /dev/null /dev/null\n"
                                    << exposure(in, 4) << "\n";  // one record, two lines
    for (const auto& [from, to] :
         {std::pair{"0001", "1"}, {"0002", "2"}, {"0003", "3"}, {"0004", "4"}})
        fs::rename(d / "o" / from, d / "o" / to);
    auto r = flight(d, "report -o page.html flight.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "cirsharp-flight: 2 of 7 converted, 1 flagged, 5 failed, 0 not run; report: " +
                         (d / "page.html").string() + "\n");
    const std::string csv = text_of(d / "page.csv");
    EXPECT_EQ(lines_in(csv), 8u) << csv;
    for (const auto* row : {"\n1,converted,", "\n2,flagged,", "\n3,failed,", "\nline 4,failed,",
                            ",\"6 paths, not 7\",", "\n5,failed,",
                            "no record: never ran, or ended before writing one",
                            "is also claimed by line 7", "is also claimed by line 6"})
        EXPECT_NE(csv.find(row), std::string::npos) << row << "\n" << csv;
    EXPECT_NE(text_of(d / "page.html").find("<strong>2 of 7 converted</strong>"),
              std::string::npos);

    // A page that would replace a record or the manifest is refused.
    const std::string before = text_of(d / "o/1/record.json");
    r = flight(d, "report -o o/1/record.json flight.txt");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(text_of(d / "o/1/record.json"), before);
    EXPECT_EQ(flight(d, "report -o flight.html flight.txt").status, 1);  // its CSV is fine
    EXPECT_EQ(flight(d, "report -o flight.txt.html flight.txt").status, 1);
    EXPECT_EQ(flight(d, "report -o flight.txt flight.txt").status, 2);

    // The converter is not to be found: nothing runs.
    r = flight(d, "run flight.txt", "CIRSHARP=/nonexistent/cirsharp");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("flight.txt: the cirsharp named by CIRSHARP (/nonexistent/cirsharp) is "
                         "not an executable file\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(d / "flight.txt.joblog"));
}

// Each array task converts its slice of the manifest's exposures, in order,
// with its CPU count, every path after "--"; a stand-in for the converter
// prints what it was given.
// An exposure's thumbnail is made by the converter from the bytes it writes,
// with the quicklook tool the flight found; a thumbnail that fails fails the
// exposure with a line of its own, the products complete.
TEST(Flight, TheConverterMakesTheThumbnailAndAFailedOneFailsTheExposure) {
    TempDir dir;
    const fs::path d = dir.path();
    fs::create_symlink(test::sample_colour(), d / "c.raw");
    fs::create_symlink(test::sample_pan(), d / "p.raw");
    std::ofstream(d / "flight.txt")
        << "c.raw p.raw /dev/null /dev/null /dev/null o/1/sharp.raw /dev/null\n";
    auto r = flight(d, "exposure --thumbnail 64 flight.txt 1", "CIRSHARP_QUICKLOOK=/bin/false");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("line 1: the thumbnail of o/1/sharp.raw failed\n"), std::string::npos)
        << r.err;
    EXPECT_NE(text_of(d / "o/1/record.json").find("\"status\": 1"), std::string::npos);
    EXPECT_EQ(test::listing(d / "o/1"), (std::vector<std::string>{"record.json", "sharp.raw"}));
    r = flight(d, "exposure --thumbnail 64 flight.txt 1",
               "CIRSHARP_QUICKLOOK=" + quoted(CIRSHARP_QUICKLOOK_BIN));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test::listing(d / "o/1"),
              (std::vector<std::string>{"record.json", "sharp.raw", "sharpened-cir8.png"}));
}

TEST(Flight, ASlurmTaskConvertsItsSliceOfTheManifest) {
    TempDir dir;
    std::ofstream(dir / "flight.txt") << "# five exposures\n"
                                      << "a b o/1/c d e f g\n"
                                      << "\n"
                                      << "  # indented\n"
                                      << "h\ti j k l m n\r\n"
                                      << "-o p q r s t u\n"
                                      << "v w x y z A B\n"
                                      << "C D /dev/null o/5/y o/5/z o/5/A o/5/B";  // no newline
    auto run = [&](const std::string& env, const std::string& args) {
        return flight(dir.path(), args,
                      "PATH=$PWD/bin:$PATH SLURM_CPUS_PER_TASK=6 CIRSHARP=echo " + env);
    };
    auto r = run("SLURM_ARRAY_TASK_ID=1", "task --per-task 3 flight.txt -- --envi");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "--threads 6 --record o/1/record.json --envi -- a b o/1/c d e f g\n"
              "--threads 6 --record record.json --envi -- h i j k l m n\n"
              "--threads 6 --record record.json --envi -- -o p q r s t u\n");
    EXPECT_NE(r.err.find("task 1: exposures 1 to 3 of 5 in flight.txt (--per-task 3)"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(r.err.ends_with("cirsharp-flight: task 1 done\n")) << r.err;
    EXPECT_TRUE(fs::is_directory(dir / "o/1"));

    // A device gets no folder; the record goes beside the first file product.
    r = run("SLURM_ARRAY_TASK_ID=2", "task --per-task 3 flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "--threads 6 --record record.json -- v w x y z A B\n"
              "--threads 6 --record o/5/record.json -- C D /dev/null o/5/y o/5/z o/5/A "
              "o/5/B\n");
    r = run("SLURM_ARRAY_TASK_ID=3", "task --per-task 3 flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.ends_with("cirsharp-flight: task 3 done\n")) << r.err;

    // A failing run fails its task, and the next exposure still runs.
    r = run("SLURM_ARRAY_TASK_ID=1 CIRSHARP=false", "task --per-task 3 flight.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.ends_with("cirsharp-flight: task 1 failed: exposures 1 2 3 (3 of 3)\n"))
        << r.err;

    // The array for a submission, within the cluster's MaxArraySize (a
    // stand-in scontrol reports 4: indices up to 3).
    fs::create_directories(dir / "bin");
    std::ofstream(dir / "bin/scontrol") << "#!/bin/sh\necho 'MaxArraySize            = 4'\n";
    fs::permissions(dir / "bin/scontrol", fs::perms::owner_all);
    r = run("", "submit --tasks flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1-3\n");  // 2, 2 and 1 exposures
    r = run("", "submit --tasks --per-task 4 flight.txt");
    EXPECT_EQ(r.out, "1-2\n");
    r = run("", "submit --tasks --per-task 1 flight.txt");
    EXPECT_EQ(r.status, 2);  // 5 tasks are too many
    std::ofstream(dir / "empty.txt") << "# nothing\n\n";
    r = run("", "submit --tasks empty.txt");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace cirsharp
