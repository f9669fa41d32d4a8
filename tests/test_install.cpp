// The installed tree: every program and man page the README's Installation
// names, every option a program's --help lists documented in its man page,
// and a converter that finds the quicklook tool beside itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
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
    // What the README's Installation says is installed: `NAME` in bin/,
    // `NAME.1` in share/man/man1/.
    std::ifstream readme(std::string(CIRSHARP_SOURCE_DIR) + "/README.md");
    const std::string text_of_readme{std::istreambuf_iterator<char>(readme), {}};
    const std::size_t from = text_of_readme.find("\n## Installation\n");
    ASSERT_NE(from, std::string::npos);
    const std::string installation =
        text_of_readme.substr(from, text_of_readme.find("\n## ", from + 1) - from);
    std::set<std::string> programs, pages;
    const std::regex named("`(cirsharp[a-z-]*)(\\.1)?`");
    for (auto it = std::sregex_iterator(installation.begin(), installation.end(), named);
         it != std::sregex_iterator(); ++it)
        ((*it)[2].matched ? pages : programs).insert((*it)[1]);
    EXPECT_EQ(programs, (std::set<std::string>{"cirsharp", "cirsharp-sample", "cirsharp-quicklook",
                                               "cirsharp-report", "cirsharp-flight"}));
    EXPECT_EQ(pages, programs) << "every program has its man page";
    for (const auto& program : programs) {
        const std::string path = prefix / ("bin/" + program);
        EXPECT_EQ(::access(path.c_str(), X_OK), 0) << path;
        EXPECT_TRUE(fs::exists(prefix / ("share/man/man1/" + program + ".1"))) << program;
    }
    // Nothing installed that the README does not name.
    for (const auto* folder : {"bin", "share/man/man1"})
        for (const auto& e : fs::directory_iterator(prefix / folder)) {
            std::string name = e.path().filename();
            if (name.ends_with(".1")) name.resize(name.size() - 2);
            EXPECT_TRUE(programs.count(name)) << e.path() << " is not in the README";
        }
    // Every option a program's --help names is in its man page.
    for (const auto& program : programs) {
        const auto help = run_process(prefix / ("bin/" + program), {"--help"});
        EXPECT_EQ(help.status, 0) << program;
        const auto man = test::read_file(prefix / ("share/man/man1/" + program + ".1"));
        const std::string roff(man.begin(), man.end());
        const std::regex option("(^|[\\s\\[(])(--[a-z][a-z0-9-]*[a-z0-9])");
        int count = 0;
        for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), option);
             it != std::sregex_iterator(); ++it, ++count) {
            std::string escaped;
            for (const char c : (*it)[2].str())
                escaped += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_NE(roff.find(escaped), std::string::npos)
                << program << ": " << (*it)[2] << " is not in its man page";
        }
        EXPECT_GE(count, 1) << program;
    }
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
