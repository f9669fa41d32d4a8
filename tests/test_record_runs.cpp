// The run record of real runs: its values against the transcript and the
// input files, failed runs, an over-exposed PAN, a path that is not UTF-8 and
// the temporary file that makes the record appear whole or not at all.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "driver/record.hpp"
#include "driver/run.hpp"
#include "driver/transcript.hpp"
#include "io/temp_files.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using Json = nlohmann::json;
using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

constexpr int kTileEdge = 512, kTileCols = 23, kWidth = 11500, kHeight = 7500;

Json read_record(const std::string& path) {
    const auto bytes = test::read_file(path);
    return Json::parse(std::string(bytes.begin(), bytes.end()));  // throws on invalid UTF-8
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> with_record(const std::string& record, std::vector<std::string> paths,
                                     std::vector<std::string> options = {}) {
    options.push_back("--record");
    options.push_back(record);
    options.insert(options.end(), paths.begin(), paths.end());
    return options;
}

// Counts over the kept image of a PAN tile file, sample by sample in mosaic
// order: the plain rule the converter's scan must agree with.
struct KeptCounts {
    std::uint64_t nodata = 0, saturated = 0;
};
KeptCounts count_kept(const std::string& pan_path) {
    const auto bytes = test::read_file(pan_path);
    KeptCounts c;
    for (int row = 0; row < kHeight; ++row)
        for (int column = 0; column < kWidth; ++column) {
            const std::size_t tile = std::size_t(row / kTileEdge) * kTileCols + column / kTileEdge;
            const std::size_t index = tile * kTileEdge * kTileEdge +
                                      std::size_t(row % kTileEdge) * kTileEdge + column % kTileEdge;
            const std::uint16_t v = test::sample_at(bytes, 8 + 2 * index);
            c.nodata += v <= 1;
            c.saturated += v == 65535;
        }
    return c;
}

TEST(RecordRun, ValuesAgreeWithTheTranscriptAndTheInputs) {
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    const std::string record = dir / "run.json";
    const auto before = std::chrono::system_clock::now();
    const auto r =
        run_process(CIRSHARP_BIN, with_record(record, paths, {"--threads", "2", "--envi"}));
    const auto after = std::chrono::system_clock::now();
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 19u);  // the transcript is unchanged
    const Json j = read_record(record);

    EXPECT_EQ(j["record"], 1);
    EXPECT_EQ(j["program"], "cirsharp");
    EXPECT_EQ(j["options"],
              Json::parse(R"({"threads": 2, "fsync": false, "io": "direct", "reference": false,
                                            "envi": true, "quicklook": null, "thumbnail": null})"));
    EXPECT_EQ(j["status"], 0);
    EXPECT_TRUE(j["error"].is_null());
    // Lines 9 and 10, and line 17 by band.
    EXPECT_EQ("PAN Maximum:  " + std::to_string(int(j["pan"]["max"])), lines[8]);
    EXPECT_EQ("PAN Minimum:  " + std::to_string(int(j["pan"]["min"])), lines[9]);
    std::ostringstream eight;
    const auto& l = j["limits"];
    eight << l["red"]["min"] << ' ' << l["green"]["min"] << ' ' << l["blue"]["min"] << ' '
          << l["nir"]["min"] << ' ' << l["red"]["max"] << ' ' << l["green"]["max"] << ' '
          << l["blue"]["max"] << ' ' << l["nir"]["max"];
    EXPECT_EQ(eight.str(), lines[16]);
    // The counts over the kept image: the sample's nodata corner and column
    // stub; the zeros it puts in the cropped margin do not count.
    const KeptCounts want = count_kept(paths[1]);
    EXPECT_EQ(want.nodata, 48u * 48u + 64u);
    EXPECT_EQ(j["pan"]["samples"], 86250000);
    EXPECT_EQ(j["pan"]["nodata"], want.nodata);
    EXPECT_EQ(j["pan"]["saturated"], 0);
    EXPECT_EQ(j["flags"], Json::array());

    ASSERT_EQ(j["inputs"].size(), 2u);
    EXPECT_EQ(j["inputs"][0], Json({{"position", 1},
                                    {"name", "colour"},
                                    {"path", paths[0]},
                                    {"size", fs::file_size(paths[0])}}));
    EXPECT_EQ(j["inputs"][1]["size"], fs::file_size(paths[1]));
    const char* names[] = {"rgbir16", "cir8", "pan8", "sharpened_cir8", "pan16"};
    ASSERT_EQ(j["products"].size(), 5u);
    for (int i = 0; i < 5; ++i) {
        const auto& p = j["products"][std::size_t(i)];
        EXPECT_EQ(p["position"], i + 3);
        EXPECT_EQ(p["name"], names[i]);
        EXPECT_EQ(p["path"], paths[std::size_t(i) + 2]);
        EXPECT_EQ(p["committed"], true);
        EXPECT_EQ(p["size"], fs::file_size(paths[std::size_t(i) + 2]));
    }
    // The start lies within the run; the times are plausible.
    auto parse_ms = [](const std::string& iso) {
        std::tm t{};
        std::istringstream in(iso);
        in >> std::get_time(&t, "%Y-%m-%dT%H:%M:%S");
        return std::chrono::system_clock::from_time_t(::timegm(&t)) +
               std::chrono::milliseconds(std::stoi(iso.substr(20, 3)));
    };
    const std::string start = j["start"];
    ASSERT_EQ(start.size(), 24u) << start;
    EXPECT_EQ(start.back(), 'Z');
    EXPECT_GE(parse_ms(start), std::chrono::floor<std::chrono::milliseconds>(before));
    EXPECT_LE(parse_ms(start), after);
    const double wall = j["wall_seconds"], cpu = j["cpu_seconds"];
    EXPECT_GT(wall, 0.05);
    EXPECT_LE(wall, std::chrono::duration<double>(after - before).count());
    EXPECT_GT(cpu, 0.05);
    EXPECT_TRUE(test::hidden_temporaries(dir.path()).empty());
}

// A transcript with a line more before every line, and without the PAN
// minimum: as if a stage had gained and lost progress lines.
class EditedTranscript : public Transcript {
  public:
    using Transcript::Transcript;

  protected:
    void say(std::string line) override {
        if (line.starts_with("PAN Minimum:")) return;
        Transcript::say("one more line");
        Transcript::say(std::move(line));
    }
};

// The record of a whole run made in process, without its times.
std::string record_text(Transcript& transcript, const TempDir& dir, int threads) {
    RunPlan plan;
    plan.paths = test::sample_paths(dir);
    plan.threads = threads;
    io::TempFiles temps;
    RunFindings found;
    run_conversion(plan, temps, transcript, found);
    return record_json(record_of(plan, found));
}

TEST(RecordRun, ProgressLinesAddedOrRemovedLeaveTheRecordAsItWas) {
    for (const int threads : {1, 2}) {
        TempDir dir;
        std::ostringstream plain_lines, edited_lines;
        Transcript plain(plain_lines);
        EditedTranscript edited(edited_lines);
        const std::string want = record_text(plain, dir, threads);
        EXPECT_EQ(record_text(edited, dir, threads), want);
        const auto lines = lines_of(edited_lines.str());
        EXPECT_EQ(lines.size(), 2 * 19u - 2);
        EXPECT_EQ(lines_of(plain_lines.str()).size(), 19u);
        const Json j = Json::parse(want);
        EXPECT_FALSE(j["pan"].is_null());
        EXPECT_FALSE(j["limits"].is_null());
    }
}

TEST(RecordRun, OverExposedPanIsFlaggedAndOnlyKeptSamplesCount) {
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    // A copy of the sample PAN with in-tile rows 100..199 of tile 0 at 65535
    // (51,200 kept samples) and a few more in the cropped margin of tile 22.
    const std::string pan = dir / "bright.raw";
    auto bytes = test::read_file(paths[1]);
    for (std::size_t i = 100 * 512; i < 200 * 512; ++i)
        bytes[8 + 2 * i] = bytes[8 + 2 * i + 1] = 0xff;
    const std::size_t tile22 = 22u * 512 * 512;
    for (std::size_t x = 300; x < 310; ++x)
        bytes[8 + 2 * (tile22 + x)] = bytes[8 + 2 * (tile22 + x) + 1] = 0xff;
    test::write_file(pan, bytes);
    auto args = paths;
    args[1] = pan;
    const auto r = run_process(CIRSHARP_BIN, with_record(dir / "r.json", args));
    ASSERT_EQ(r.status, 0) << r.err;
    const Json j = read_record(dir / "r.json");
    EXPECT_EQ(j["pan"]["max"], 65535);
    EXPECT_EQ(count_kept(pan).saturated, 51200u);
    EXPECT_EQ(j["pan"]["saturated"], 51200);
    EXPECT_EQ(j["flags"], Json::parse(R"(["pan_saturated"])"));
}

TEST(RecordRun, AFailedRunSaysWhyAndWhichProductsItCommitted) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    // An input that is not there: nothing is created, the message is the one
    // on standard error.
    auto missing = paths;
    missing[0] = dir / "no-such-colour.raw";
    auto r = run_process(CIRSHARP_BIN, with_record(dir / "missing.json", missing));
    ASSERT_EQ(r.status, 1);
    Json j = read_record(dir / "missing.json");
    EXPECT_EQ(j["status"], 1);
    EXPECT_EQ("cirsharp: " + std::string(j["error"]) + "\n", r.err);
    EXPECT_TRUE(j["inputs"][0]["size"].is_null());
    EXPECT_TRUE(j["inputs"][1]["size"].is_null());  // never opened
    for (const auto& p : j["products"]) {
        EXPECT_EQ(p["committed"], false);
        EXPECT_TRUE(p["size"].is_null());
    }
    EXPECT_TRUE(j["pan"].is_null());
    EXPECT_TRUE(j["limits"].is_null());
    EXPECT_EQ(j["flags"], Json::parse(R"(["failed"])"));

    // A full disk under the sharpened product: the four products before it
    // are committed, the limits were printed.
    auto full = paths;
    full[5] = "/dev/full";
    r = run_process(CIRSHARP_BIN, with_record(dir / "full.json", full));
    ASSERT_EQ(r.status, 1);
    j = read_record(dir / "full.json");
    EXPECT_EQ("cirsharp: " + std::string(j["error"]) + "\n", r.err);
    EXPECT_NE(std::string(j["error"]).find("/dev/full"), std::string::npos) << j["error"];
    for (const int i : {0, 1, 2, 4}) {
        EXPECT_EQ(j["products"][std::size_t(i)]["committed"], true) << i;
        EXPECT_EQ(j["products"][std::size_t(i)]["size"], fs::file_size(full[std::size_t(i) + 2]));
    }
    EXPECT_EQ(j["products"][3]["committed"], false);
    EXPECT_TRUE(j["products"][3]["size"].is_null());
    EXPECT_FALSE(j["pan"].is_null());
    EXPECT_FALSE(j["limits"].is_null());
    EXPECT_EQ(j["flags"], Json::parse(R"(["failed"])"));

    // A full disk under PAN16, written first: nothing committed, and the run
    // never printed the PAN limits.
    TempDir other;
    auto early = test::sample_paths(other);
    early[6] = "/dev/full";
    r = run_process(CIRSHARP_BIN, with_record(other / "early.json", early));
    ASSERT_EQ(r.status, 1);
    j = read_record(other / "early.json");
    for (const auto& p : j["products"])
        EXPECT_EQ(p["committed"], false);
    EXPECT_TRUE(j["pan"].is_null()) << r.out;
    EXPECT_TRUE(j["limits"].is_null());

    // A usage error found after the arguments were read: status 2, recorded.
    auto same = paths;
    same[4] = paths[0];
    r = run_process(CIRSHARP_BIN, with_record(dir / "same.json", same));
    ASSERT_EQ(r.status, 2);
    j = read_record(dir / "same.json");
    EXPECT_EQ(j["status"], 2);
    EXPECT_EQ(
        "cirsharp: " + std::string(j["error"]) + "\nTry 'cirsharp --help' for more information.\n",
        r.err);
    EXPECT_TRUE(test::hidden_temporaries(dir.path()).empty());
}

TEST(RecordRun, PathsThatAreNotUtf8AreKeptAsHex) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    const std::string odd = dir / "colour-\xff\xfe.raw";
    fs::create_symlink(paths[0], odd);
    paths[0] = odd;
    paths[3] = dir / "cir8-\xe9.raw";  // Latin-1, not UTF-8
    const auto r = run_process(CIRSHARP_BIN, with_record(dir / "r\xff.json", paths));
    ASSERT_EQ(r.status, 0) << r.err;
    const Json j = read_record(dir / "r\xff.json");
    auto hex = [](const std::string& s) {
        std::string h;
        char b[3];
        for (const unsigned char c : s) {
            std::snprintf(b, sizeof b, "%02x", c);
            h += b;
        }
        return h;
    };
    EXPECT_EQ(j["inputs"][0]["path"], dir / "colour-\xef\xbf\xbd\xef\xbf\xbd.raw");
    EXPECT_EQ(j["inputs"][0]["path_hex"], hex(odd));
    EXPECT_EQ(j["products"][1]["path"], dir / "cir8-\xef\xbf\xbd.raw");
    EXPECT_EQ(j["products"][1]["path_hex"], hex(paths[3]));
    EXPECT_FALSE(j["inputs"][1].contains("path_hex"));
    EXPECT_FALSE(j["products"][0].contains("path_hex"));
}

TEST(RecordRun, TheRecordAppearsWholeOrNotAtAll) {
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    const std::string record = dir / "r.json";
    std::ofstream(record) << "old record\n";
    {
        // While the run goes on, the old record stays as it was and the new
        // one is a hidden temporary beside it; SIGTERM removes that.
        test::BackgroundRun run(CIRSHARP_BIN, with_record(record, paths, {"--threads", "1"}),
                                dir / "out", dir / "err");
        bool seen = false;
        for (int i = 0; i < 400 && !seen; ++i) {
            for (const auto& t : test::hidden_temporaries(dir.path()))
                seen = seen || t.starts_with(".r.json.");
            if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(seen) << "no temporary record";
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait(), 143);
    }
    EXPECT_EQ(test::read_file(record),
              (std::vector<std::uint8_t>{'o', 'l', 'd', ' ', 'r', 'e', 'c', 'o', 'r', 'd', '\n'}));
    EXPECT_TRUE(test::hidden_temporaries(dir.path()).empty());

    // Completed: replaced in one step, nothing left beside it.
    const auto r = run_process(CIRSHARP_BIN, with_record(record, paths));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_record(record)["status"], 0);
    EXPECT_TRUE(test::hidden_temporaries(dir.path()).empty());
}

TEST(RecordRun, ARecordThatCannotBeWrittenStopsTheRunFirst) {
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    // In a folder that does not exist: refused before any product is made.
    auto r = run_process(CIRSHARP_BIN, with_record(dir / "none/r.json", paths));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(dir / "none/r.json"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    for (std::size_t i = 2; i < paths.size(); ++i)
        EXPECT_FALSE(fs::exists(paths[i])) << paths[i];
    // Naming an input or a product: a usage error, and the input untouched.
    const auto colour = test::read_file(paths[0]);
    r = run_process(CIRSHARP_BIN, with_record(paths[0], paths));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("record"), std::string::npos) << r.err;
    EXPECT_TRUE(test::read_file(paths[0]) == colour);
    r = run_process(CIRSHARP_BIN, with_record(paths[6], paths));
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(fs::exists(paths[6]));
    r = run_process(CIRSHARP_BIN, with_record(paths[3] + ".hdr", paths, {"--envi"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(test::hidden_temporaries(dir.path()).empty());
}

}  // namespace
}  // namespace cirsharp
