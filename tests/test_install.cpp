// The installed tree: the four programs and the man page, and a converter
// that finds the quicklook tool beside itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <set>

#include "driver/command_line.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

TEST(Install, ProgramsAndManPageLandUnderThePrefix) {
    TempDir prefix;
    const auto r = run_process(
        CIRSHARP_CMAKE, {"--install", CIRSHARP_BUILD_DIR, "--prefix", prefix.path().string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const auto* program :
         {"cirsharp", "cirsharp-sample", "cirsharp-quicklook", "cirsharp-report"}) {
        const std::string path = prefix / (std::string("bin/") + program);
        EXPECT_EQ(::access(path.c_str(), X_OK), 0) << path;
    }
    EXPECT_TRUE(fs::exists(prefix / "share/man/man1/cirsharp-report.1"));
    const std::string page = prefix / "share/man/man1/cirsharp.1";
    ASSERT_TRUE(fs::exists(page));
    const auto bytes = test::read_file(page);
    const std::string text(bytes.begin(), bytes.end());
    // Section headings: lines ".SH NAME".
    std::set<std::string> sections;
    for (std::size_t at = 0; (at = text.find("\n.SH ", at)) != std::string::npos;) {
        at += 5;
        sections.insert(text.substr(at, text.find('\n', at) - at));
    }
    for (const auto* s : {"NAME", "SYNOPSIS", "DESCRIPTION", "POSITIONS", "OPTIONS", "EXIT STATUS",
                          "FILES", "EXAMPLES"})
        EXPECT_TRUE(sections.count(s)) << "no section " << s;
    // Every option that --help lists (a "--word" after white space) is
    // documented, in roff as "\-\-word", and so are the positions.
    const std::string usage = usage_text();
    int options = 0;
    for (std::size_t at = 0; (at = usage.find("--", at)) != std::string::npos; at += 2) {
        if (at == 0 || !std::isspace(static_cast<unsigned char>(usage[at - 1]))) continue;
        std::size_t end = at + 2;
        while (end < usage.size() && std::islower(static_cast<unsigned char>(usage[end])))
            ++end;
        if (end == at + 2) continue;  // "--" alone
        const std::string option = usage.substr(at, end - at);
        std::string roff;
        for (const char c : option)
            roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(text.find(roff), std::string::npos) << option << " is not in the man page";
        ++options;
    }
    EXPECT_GE(options, 7);
    const char* positions[] = {"COLOUR", "PANTILES",  "RGBIR16", "CIR8",
                               "PAN8",   "SHARPENED", "PAN16"};
    for (int i = 0; i < 7; ++i) {
        const std::string entry = ".B " + std::to_string(i + 1) + " " + positions[i] + "\n";
        EXPECT_NE(text.find(entry), std::string::npos) << entry;
    }

    // With nothing on PATH the installed converter still finds the tool:
    // the run gets as far as the (empty) inputs.
    TempDir work;
    test::write_file(work / "colour.raw", {});
    std::string command =
        "PATH=/nonexistent exec '" + (prefix / "bin/cirsharp") + "' --quicklook ql";
    for (const auto& p : test::seven_paths(work))
        command += " '" + p + "'";
    const auto run = run_process("/bin/sh", {"-c", command});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.find("cirsharp-quicklook"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(work / "colour.raw"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace cirsharp
