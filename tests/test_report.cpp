// cirsharp-report on a hand-written flight of five run records (one failed,
// one flagged): the CSV and the page's figures from the script alone, records
// that cannot be read, then the page as a real headless Chromium renders it:
// its rows and marks, sorting by the address fragment and by clicks, filters,
// a screenshot that is not blank, and a flight of 5,000 exposures at 800
// pixels across.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support.hpp"

extern char** environ;

namespace cirsharp {
namespace {

using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

const std::string kFixture = std::string(CIRSHARP_SOURCE_DIR) + "/tests/data/flight";

using test::text_of;

// `text` with the first `from` replaced by `to`.
std::string replaced(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << from;
        return text;
    }
    return text.substr(0, at) + to + text.substr(at + from.size());
}

std::size_t lines_of(const std::string& text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// How many times `needle` occurs in `text`.
std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        ++n;
    return n;
}

std::string find_program(const std::string& name) {
    const auto r = run_process("/bin/sh", {"-c", "command -v " + name});
    std::string path = r.out.substr(0, r.out.find('\n'));
    return r.status == 0 ? path : std::string();
}

// A small RGB PNG, a diagonal gradient in a colour of its own.
void write_png(const std::string& path, int width, int height, std::uint8_t red) {
    std::vector<std::uint8_t> pixels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (const int v : {int(red), x * 255 / width, y * 255 / height})
                pixels.push_back(std::uint8_t(v));
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(width);
    image.height = png_uint_32(height);
    image.format = PNG_FORMAT_RGB;
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), width * 3, nullptr))
        << image.message;
}

// Sets the modification time of `path` to `seconds` since the epoch.
void set_mtime(const std::string& path, std::time_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}
// 2026-12-09 02:00 UTC, an hour after the fixture's runs started, and a day
// before them.
constexpr std::time_t kAfterTheRuns = 1796781600, kBeforeTheRuns = 1796688000;

// The fixture flight copied into `dir`, with a sharpened quicklook beside
// three of its five records (not beside the failed one), made after the runs.
fs::path copy_flight(const TempDir& dir) {
    const fs::path flight = dir.path() / "flight";
    fs::copy(kFixture, flight, fs::copy_options::recursive);
    write_png(flight / "0001/sharpened-cir8.png", 96, 62, 40);
    write_png(flight / "0002/sharpened-cir8.png", 96, 62, 250);
    write_png(flight / "0010/sharpened-cir8.png", 96, 62, 140);
    for (const auto* n : {"0001", "0002", "0010"})
        set_mtime(flight / n / "sharpened-cir8.png", kAfterTheRuns);
    return flight;
}

test::ProcessResult report(const std::vector<std::string>& args) {
    return run_process(CIRSHARP_REPORT_BIN, args);
}

// The exposures' names in the order of the table's rows.
std::vector<std::string> row_order(const std::string& dom) {
    std::vector<std::string> names;
    const std::string body = dom.substr(dom.find("<tbody>"));
    for (std::size_t at = body.find("<tr "); at != std::string::npos;
         at = body.find("<tr ", at + 1)) {
        const std::size_t name = body.find("data-name=\"", at) + 11;
        names.push_back(body.substr(name, body.find('"', name) - name));
    }
    return names;
}

// The opening tag of the element whose data-name is `name`, after `from`.
std::string tag_of(const std::string& dom, const std::string& element, const std::string& name) {
    for (std::size_t at = dom.find("<" + element + " "); at != std::string::npos;
         at = dom.find("<" + element + " ", at + 1)) {
        const std::string tag = dom.substr(at, dom.find('>', at) - at + 1);
        if (tag.find("data-name=\"" + name + "\"") != std::string::npos) return tag;
    }
    return {};
}

TEST(Report, CsvHoldsOneRowPerRecordAndEmptyCellsForAFailedRun) {
    TempDir dir;
    const fs::path flight = copy_flight(dir);
    const auto r = report({"--output", dir / "out/flight.html", flight.string()});
    ASSERT_EQ(r.status, 1) << "no output folder: " << r.err;
    fs::create_directory(dir.path() / "out");
    const auto ok = report({"--output", dir / "out/flight.html", flight.string()});
    ASSERT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, (dir.path() / "out/flight.html").string() + "\n");
    EXPECT_EQ(ok.err, "");  // notes.json, not a record, is skipped quietly
    const std::string f = flight.string();
    EXPECT_EQ(text_of(dir / "out/flight.csv"),
              "name,status,pan_max,pan_min,pan_nodata,pan_saturated,red_min,green_min,blue_min,"
              "nir_min,red_max,green_max,blue_max,nir_max,flags,wall_seconds,error,exit_status,"
              "record\n"
              "0001,converted,4095,210,2304,0,812,700,300,900,3990,4001,4095,6010,,0.612,,0," +
                  f + "/0001/record.json\n" +
                  "0002,flagged,65535,231,1980,1048576,820,705,310,912,3985,3998,4090,6003,"
                  "pan_saturated,0.655,,0," +
                  f + "/0002/record.json\n" +
                  "0003,failed,,,,,,,,,,,,,failed,0.004,cannot open /flight/in/0003/colour.raw: No "
                  "such file or directory,1," +
                  f + "/0003/record.json\n" +
                  "0004,converted,4200,198,2210,0,815,702,305,905,3992,4003,4095,6120,,0.598,,0," +
                  f + "/0004/record.json\n" +
                  "0010,converted,3890,250,2500,0,818,699,302,899,3988,4000,4093,5940,,0.601,,0," +
                  f + "/0010/record.json\n");
    // No temporary file is left beside the page.
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path() / "out"))
        names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"flight.csv", "flight.html"}));

    // The summary: 2.47 s in all; the flight spans 1.881 s (from the first
    // start to the last start plus its wall time), 5 exposures in it.
    const std::string page = text_of(dir / "out/flight.html");
    for (const auto* figure :
         {"<div id=\"summary-exposures\" class=\"\"><dt>Exposures</dt><dd>5</dd>",
          "<div id=\"summary-converted\" class=\"\"><dt>Converted</dt><dd>4</dd>",
          "<div id=\"summary-failed\" class=\"bad\"><dt>Failed</dt><dd>1</dd>",
          "<div id=\"summary-flagged\" class=\"warn\"><dt>Flagged</dt><dd>1</dd>",
          "<dt>Total wall time</dt><dd>2.5 s</dd>", "<dt>Mean wall time</dt><dd>0.49 s</dd>",
          "<dt>Exposures per hour</dt><dd>9569</dd>"})
        EXPECT_NE(page.find(figure), std::string::npos) << figure;
    // Self-contained: the three quicklooks are embedded, nothing is fetched.
    EXPECT_EQ(count_of(page, "src=\"data:image/png;base64,"), 3u);
    EXPECT_EQ(page.find("src=\"http"), std::string::npos);
    EXPECT_EQ(page.find("href=\"http"), std::string::npos);
}

TEST(Report, RecordsThatCannotBeReadAreNamedAndTheOthersStillReported) {
    TempDir dir;
    const fs::path flight = copy_flight(dir);
    std::ofstream(flight / "0005.json") << "{\"record\": 1, \"program\": \"cirsharp\", \"stat";
    auto r = report({"--output", dir / "a.html", flight.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find((flight / "0005.json").string() + ": not a JSON record"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("notes.json"), std::string::npos) << r.err;
    const std::string csv = text_of(dir / "a.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 6);

    // A file named on the command line must be a record; a missing one is named.
    r = report({"--output", dir / "b.html", flight / "notes.json", flight / "0004/record.json",
                dir / "missing.json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("notes.json: not a cirsharp record"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("missing.json: no such file or folder"), std::string::npos) << r.err;
    // A single record in a folder of its own is named after the folder.
    EXPECT_NE(text_of(dir / "b.csv").find("\n0004,converted,"), std::string::npos);

    r = report({"--output", dir / "c.html", dir / "missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no run records found"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "c.html"));
    EXPECT_EQ(report({"--no-such-option", flight.string()}).status, 2);
}

// Records that parse but hold values no run gives, or nest too deeply, are
// listed as unreadable; the page is written from the others.
TEST(Report, BadRecordsAreListedAsUnreadableAndThePageIsWrittenFromTheOthers) {
    TempDir dir;
    const fs::path flight = copy_flight(dir);
    const std::string good = text_of(flight / "0001/record.json");
    auto variant = [&](const std::string& name, const std::string& from, const std::string& to) {
        std::ofstream(flight / (name + ".json")) << replaced(good, from, to);
    };
    variant("huge-pan", "\"max\": 4095", "\"max\": 1e400");
    variant("huge-int", "\"max\": 4095", "\"max\": 1" + std::string(400, '0'));
    variant("long-wall", "\"wall_seconds\": 0.612", "\"wall_seconds\": 1e30");
    variant("far-start", "2026-12-09T01:00:00.000Z", "9999-12-31T23:59:59.999Z");
    variant("deep", "\"flags\": []",
            "\"flags\": [], \"deep\": " + std::string(10000, '[') + std::string(10000, ']'));
    auto r = report({"--output", dir / "a.html", flight.string()});
    EXPECT_EQ(r.status, 1) << r.err;
    for (const auto* name : {"huge-pan", "huge-int", "long-wall", "far-start", "deep"})
        EXPECT_NE(r.err.find((flight / name).string() + ".json: "), std::string::npos)
            << name << "\n"
            << r.err;
    EXPECT_NE(r.err.find("deep.json: not a JSON record (nested too deeply)"), std::string::npos);
    EXPECT_NE(r.err.find("long-wall.json: unreadable record: wall_seconds out of range"),
              std::string::npos);
    const std::string page = text_of(dir / "a.html");
    EXPECT_NE(page.find("<strong>4 of 5 converted</strong>"), std::string::npos);
    EXPECT_EQ(count_of(page, "\u2717 unreadable</span>"), 5u);
    EXPECT_EQ(lines_of(text_of(dir / "a.csv")), 6u);

    // A page or CSV that would replace a record is refused; the record stays.
    r = report({"-o", flight / "0001/record.json", flight.string()});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(
        r.err.find("the output " + (flight / "0001/record.json").string() + " names the record"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(text_of(flight / "0001/record.json"), good);
    fs::copy_file(flight / "0004/record.json", dir / "r.csv");
    r = report({"-o", dir / "r.html", dir / "r.csv"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_FALSE(fs::exists(dir / "r.html"));
    EXPECT_EQ(text_of(dir / "r.csv"), text_of(flight / "0004/record.json"));
}

// A quicklook made before its record's run is from an earlier run: not shown.
TEST(Report, AQuicklookOlderThanItsRunIsNotShown) {
    TempDir dir;
    const fs::path flight = copy_flight(dir);
    set_mtime(flight / "0002/sharpened-cir8.png", kBeforeTheRuns);
    const auto r = report({"--output", dir / "a.html", flight.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string page = text_of(dir / "a.html");
    EXPECT_EQ(count_of(page, "src=\"data:image/png;base64,"), 2u);
    EXPECT_NE(page.find("its quicklook is older than the run: not shown"), std::string::npos);
}

// Headless Chromium in a process group of its own with a fresh profile; on
// return no process of it is left.
class Chromium {
  public:
    Chromium() : program_(find_program("chromium")) {}
    bool found() const { return !program_.empty(); }

    // Runs Chromium on `args` plus the page; its standard output as the result.
    std::string run(const std::vector<std::string>& args, const std::string& url) {
        TempDir profile;
        const std::string out = profile / "stdout", err = profile / "stderr";
        std::vector<std::string> all = {program_,
                                        "--headless",
                                        "--no-sandbox",  // needed as root
                                        "--disable-gpu",
                                        "--no-first-run",
                                        "--disable-crash-reporter",
                                        "--disable-breakpad",
                                        "--user-data-dir=" + (profile / "profile")};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back(url);
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        pid_t pid = -1;
        const int rc =
            posix_spawn(&pid, program_.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (rc != 0) {
            ADD_FAILURE() << "cannot start " << program_;
            return {};
        }
        int status = 0;
        bool ended = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            ended = ::waitpid(pid, &status, WNOHANG) == pid;
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(-pid, SIGKILL);  // the whole group, whatever it left running
        if (!ended) {
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "chromium did not finish within 90 s";
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "chromium: status " << status << "\n"
                << text_of(err);
        }
        EXPECT_EQ(survivors(profile / "profile"), 0) << "chromium processes outlived the run";
        return text_of(out);
    }

  private:
    // Kills and counts the processes still naming `profile` on their command
    // line: outside the process group, they escaped the kill above.
    static int survivors(const std::string& profile) {
        int found = 0;
        for (int round = 0; round < 20; ++round) {
            found = 0;
            for (const auto& e : fs::directory_iterator("/proc")) {
                const std::string pid = e.path().filename();
                if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
                std::ifstream in(e.path() / "cmdline", std::ios::binary);
                const std::string cmdline((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
                if (cmdline.find(profile) == std::string::npos) continue;
                std::ifstream stat(e.path() / "stat");
                std::string line;
                std::getline(stat, line);
                if (line.find(") Z ") != std::string::npos) continue;  // a zombie, being reaped
                ::kill(std::stoi(pid), SIGKILL);
                ++found;
            }
            if (found == 0) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return found;
    }
    std::string program_;
};

class ReportInBrowser : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!chromium_.found())
            GTEST_SKIP() << "chromium is not installed: install the Debian package chromium "
                            "(scripts/test does)";
        const fs::path flight = copy_flight(dir_);
        const auto r = report({"--output", page_, flight.string()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string dom(const std::string& fragment = "") {
        return chromium_.run({"--dump-dom"}, "file://" + page_ + fragment);
    }
    // From now on the page is `name`: the page with `script` run at its end.
    void add_script(const std::string& script, const std::string& name) {
        std::string page = text_of(page_);
        page.insert(page.rfind("</body>"), script);
        page_ = dir_ / name;
        std::ofstream(page_) << page;
    }
    TempDir dir_;
    std::string page_ = dir_ / "flight.html";
    Chromium chromium_;
};

TEST_F(ReportInBrowser, RowsCarryTheirStatusAndTheBadExposuresTheirMarks) {
    const std::string d = dom();
    ASSERT_NE(d.find("</html>"), std::string::npos) << d.substr(0, 2000);
    EXPECT_EQ(row_order(d), (std::vector<std::string>{"0001", "0002", "0003", "0004", "0010"}));
    EXPECT_NE(tag_of(d, "tr", "0001").find("class=\"ok mark-ok x\""), std::string::npos);
    EXPECT_NE(tag_of(d, "tr", "0002").find("class=\"flagged mark-pan_saturated x\""),
              std::string::npos)
        << tag_of(d, "tr", "0002");
    EXPECT_NE(tag_of(d, "tr", "0003").find("class=\"failed mark-failed x\""), std::string::npos)
        << tag_of(d, "tr", "0003");
    // Status in words and symbols, not by colour alone.
    EXPECT_NE(d.find("<td>\u2717 failed (1)</td>"), std::string::npos);
    EXPECT_NE(d.find("<td>\u26a0 flagged</td>"), std::string::npos);
    EXPECT_EQ(count_of(d, "<td>\u2713 converted</td>"), 3u);
    // The problems first: the failed exposure, then the flagged one, each
    // linked to its picture on the sheet, its record and its folder.
    const std::size_t problems = d.find("<ol class=\"problems\" id=\"problems\">");
    ASSERT_NE(problems, std::string::npos);
    EXPECT_LT(problems, d.find("id=\"sheet\""));
    const std::string list = d.substr(problems, d.find("</ol>", problems) - problems);
    EXPECT_EQ(count_of(list, "<li "), 2u) << list;
    EXPECT_LT(list.find("<li class=\"failed\">"), list.find("<li class=\"flagged\">")) << list;
    EXPECT_NE(list.find("<a href=\"#e2\">0003</a>: cannot open /flight/in/0003/colour.raw"),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("<a href=\"flight/0003/record.json\">record</a>"), std::string::npos);
    EXPECT_NE(list.find("<a href=\"flight/0002/sharpened-cir8.png\">quicklook</a>"),
              std::string::npos);
    EXPECT_NE(list.find("<a href=\"flight/0002/\">folder</a>"), std::string::npos);
    // On the contact sheet: outlined by why, with a legend of the colours.
    EXPECT_NE(tag_of(d, "figure", "0002").find("class=\"thumb pan_saturated x flagged\""),
              std::string::npos)
        << tag_of(d, "figure", "0002");
    EXPECT_NE(tag_of(d, "figure", "0002").find("border-color:#ff7f0e"), std::string::npos);
    EXPECT_NE(tag_of(d, "figure", "0003").find("class=\"thumb failed x failed\""),
              std::string::npos);
    EXPECT_NE(tag_of(d, "figure", "0003").find("border-color:#d62728"), std::string::npos);
    EXPECT_NE(tag_of(d, "figure", "0004").find("class=\"thumb ok x ok\""), std::string::npos);
    EXPECT_NE(d.find("<span style=\"border-color:#ff7f0e\">\u2600</span>PAN saturated"),
              std::string::npos);
    // The plot: one point per exposure with a PAN maximum, and a band for the failed one.
    EXPECT_EQ(count_of(d, "<circle class=\"pan_max\""), 4u);
    EXPECT_NE(d.find("<rect class=\"failed-mark\""), std::string::npos);

    // The filters: the failed or flagged exposures alone, by a click or the address.
    const std::string visible =
        "<script>function shown(s) { return Array.prototype.filter.call("
        "document.querySelectorAll(s), function (e) { return e.offsetParent !== null; })"
        ".map(function (e) { return e.getAttribute('data-name'); }).join(' '); }"
        "document.body.setAttribute('data-hash', shown('tbody tr'));"
        "document.querySelector('button[data-filter=flagged]').click();"
        "document.body.setAttribute('data-flagged', shown('tbody tr') + '/' + shown('figure'));"
        "document.querySelector('button[data-filter=all]').click();"
        "document.body.setAttribute('data-all', shown('tbody tr'));</script>";
    add_script(visible, "filtered.html");
    const std::string f = dom("#filter=failed");
    const std::string body = f.substr(f.find("<body"), 300);
    EXPECT_NE(body.find("data-hash=\"0003\""), std::string::npos) << body;
    EXPECT_NE(body.find("data-flagged=\"0002/0002\""), std::string::npos) << body;
    EXPECT_NE(body.find("data-all=\"0001 0002 0003 0004 0010\""), std::string::npos) << body;
}

TEST_F(ReportInBrowser, SortingByAColumnReordersTheRows) {
    // Descending PAN maximum; the failed run has none and goes last.
    std::string d = dom("#sort=-pan_max");
    EXPECT_EQ(row_order(d), (std::vector<std::string>{"0002", "0004", "0001", "0010", "0003"}));
    EXPECT_NE(d.find("data-sorted=\"-pan_max\""), std::string::npos);
    d = dom("#sort=nir_max");
    EXPECT_EQ(row_order(d), (std::vector<std::string>{"0010", "0002", "0001", "0004", "0003"}));
    d = dom("#sort=-name");
    EXPECT_EQ(row_order(d), (std::vector<std::string>{"0010", "0004", "0003", "0002", "0001"}));

    // Clicks on a heading: the first sorts up, the second down.
    const std::string clicks =
        "<script>var h = document.querySelector('th[data-key=wall_seconds]');"
        "h.click(); document.body.setAttribute('data-first', "
        "Array.prototype.map.call(document.querySelectorAll('tbody tr'), "
        "function (r) { return r.getAttribute('data-name'); }).join(' ')); h.click();</script>";
    add_script(clicks, "clicked.html");
    d = dom();
    EXPECT_NE(d.find("data-first=\"0003 0004 0010 0001 0002\""), std::string::npos)
        << d.substr(d.find("<body"), 200);
    EXPECT_EQ(row_order(d), (std::vector<std::string>{"0002", "0001", "0010", "0004", "0003"}));
    EXPECT_NE(d.find("aria-sort=\"descending\">Wall s</th>"), std::string::npos);
}

TEST_F(ReportInBrowser, AScreenshotShowsMoreThanABlankPage) {
    const std::string shot = dir_ / "shot.png";
    chromium_.run({"--screenshot=" + shot, "--window-size=1200,1000", "--hide-scrollbars"},
                  "file://" + page_);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, shot.c_str())) << image.message;
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) << image.message;
    EXPECT_EQ(image.width, 1200u);
    EXPECT_EQ(image.height, 1000u);
    std::set<std::uint32_t> colours;
    bool red_outline = false;
    for (std::size_t i = 0; i + 2 < pixels.size(); i += 3) {
        colours.insert(std::uint32_t(pixels[i]) << 16 | std::uint32_t(pixels[i + 1]) << 8 |
                       pixels[i + 2]);
        red_outline |= pixels[i] == 0xd6 && pixels[i + 1] == 0x27 && pixels[i + 2] == 0x28;
    }
    // Text, the three gradients and the outlines: far more than a few colours.
    EXPECT_GT(colours.size(), 500u);
    EXPECT_TRUE(red_outline) << "the failed exposure's outline is not on screen";
}

// A flight of 5,000 exposures, 5 failed and 12 flagged, each converted one
// with a 240-pixel thumbnail: the page stays small (thumbnails linked, not
// embedded) and, 800 pixels across, shows the failed ones on its first
// screen and scrolls only down. (Its time is measured by bench/report.)
TEST_F(ReportInBrowser, AFlightOf5000ExposuresListsTheFailedFirstAndFits800Pixels) {
    const fs::path flight = dir_.path() / "big";
    const std::string good = text_of(kFixture + "/0001/record.json");
    const std::string failed = text_of(kFixture + "/0003/record.json");
    std::vector<std::string> pictures;
    for (const auto* name : {"p0.png", "p1.png", "p2.png", "p3.png", "p4.png", "p5.png"}) {
        pictures.push_back(dir_ / name);
        write_png(pictures.back(), 240, 156, std::uint8_t(pictures.size() * 40));
    }
    std::set<int> bad, flagged;
    for (int i = 7; i < 5000; i += 1000)
        bad.insert(i);
    for (int i = 3; bad.size() + flagged.size() < 17; i += 417)
        flagged.insert(i);
    for (int i = 1; i <= 5000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%04d", i);
        const fs::path folder = flight / name;
        fs::create_directories(folder);
        std::string record = bad.count(i) ? failed : good;
        if (flagged.count(i))
            record = replaced(replaced(record, "\"max\": 4095", "\"max\": 65535"), "\"flags\": []",
                              "\"flags\": [\"pan_saturated\"]");
        std::ofstream(folder / "record.json") << record;
        if (!bad.count(i)) {
            fs::copy_file(pictures[std::size_t(i) % pictures.size()],
                          folder / "sharpened-cir8.png");
            set_mtime(folder / "sharpened-cir8.png", kAfterTheRuns);
        }
    }
    const std::string page = dir_ / "big.html";
    const auto r = report({"--output", page, flight.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(fs::file_size(page), 10u * 1000 * 1000);
    const std::string text = text_of(page);
    EXPECT_NE(text.find("<strong>4995 of 5000 converted</strong>, 12 flagged, 5 failed"),
              std::string::npos);
    EXPECT_EQ(count_of(text, "loading=\"lazy\""), 4995u);
    EXPECT_EQ(count_of(text, "data:image/png"), 0u);

    // In the browser, 800 pixels across: the page and its table (rendered
    // whole) are no wider than the window, and the five failed exposures are
    // the first problems listed, all of them on the first screen.
    const std::string measure =
        "<script>var b = document.body, w = window.innerWidth;"
        "document.querySelector('.tablebox').style.contentVisibility = 'visible';"
        "var wide = Math.max(document.documentElement.scrollWidth, "
        "document.getElementById('exposures').getBoundingClientRect().right);"
        "b.setAttribute('data-fits', wide <= w ? 'yes' : wide + ' > ' + w);"
        "var items = document.querySelectorAll('#problems li');"
        "b.setAttribute('data-first', Array.prototype.slice.call(items, 0, 6).map(function (li) "
        "{ return li.className; }).join(' '));"
        "var low = 0; Array.prototype.forEach.call(document.querySelectorAll('#problems "
        "li.failed'), "
        "function (li) { low = Math.max(low, li.getBoundingClientRect().bottom); });"
        "b.setAttribute('data-on-screen', low > 0 && low <= window.innerHeight ? 'yes' : "
        "String(low));"
        "var plot = document.getElementById('plot').getBoundingClientRect();"
        "b.setAttribute('data-plot', plot.right <= w ? 'yes' : String(plot.right));</script>";
    page_ = page;
    add_script(measure, "measured.html");
    const std::string d =
        chromium_.run({"--dump-dom", "--window-size=800,1000"}, "file://" + page_);
    const std::string body = d.substr(d.find("<body"), 400);
    EXPECT_NE(body.find("data-fits=\"yes\""), std::string::npos) << body;
    EXPECT_NE(body.find("data-first=\"failed failed failed failed failed flagged\""),
              std::string::npos)
        << body;
    EXPECT_NE(body.find("data-on-screen=\"yes\""), std::string::npos) << body;
    EXPECT_NE(body.find("data-plot=\"yes\""), std::string::npos) << body;
}

}  // namespace
}  // namespace cirsharp
