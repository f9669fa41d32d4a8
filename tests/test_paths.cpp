// Same-file detection over the seven paths and the product headers, before
// any file is opened.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "driver/path_checks.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// The message of the refusal, or "" when the paths pass.
std::string refusal(const std::vector<std::string>& paths, bool envi = false) {
    try {
        check_paths(paths, envi);
        return "";
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
}

// Runs in `dir` for the scope, so that bare names and ./names resolve there.
class InFolder {
  public:
    explicit InFolder(const fs::path& dir) : previous_(fs::current_path()) {
        fs::current_path(dir);
    }
    ~InFolder() { fs::current_path(previous_); }

  private:
    fs::path previous_;
};

TEST(SameFile, DistinctPathsPass) {
    TempDir dir;
    auto paths = test::seven_paths(dir);
    test::write_file(paths[0], {1});
    test::write_file(paths[1], {1});
    EXPECT_EQ(refusal(paths), "");
    EXPECT_EQ(refusal(paths, true), "");
}

TEST(SameFile, AHardLinkToAnInputIsThatInput) {
    TempDir dir;
    auto paths = test::seven_paths(dir);
    test::write_file(paths[0], {1});
    test::write_file(paths[1], {1});
    fs::create_hard_link(paths[1], paths[6]);
    EXPECT_EQ(refusal(paths), "the PAN16 file '" + paths[6] +
                                  "' is the same file as the PAN tile file '" + paths[1] + "'");
}

TEST(SameFile, TheTwoInputsMayNotBeOneFile) {
    TempDir dir;
    auto paths = test::seven_paths(dir);
    test::write_file(paths[0], {1});
    fs::create_symlink(paths[0], paths[1]);
    EXPECT_EQ(refusal(paths), "the PAN tile file '" + paths[1] +
                                  "' is the same file as the colour file '" + paths[0] + "'");
}

TEST(SameFile, DotSlashSpellsTheSameFileWhetherItExistsOrNot) {
    TempDir dir;
    const InFolder here(dir.path());
    std::vector<std::string> paths = {"colour.raw", "pantiles.raw", "rgbir16.raw", "cir8.raw",
                                      "pan8.raw",   "sharp.raw",    "pan16.raw"};
    test::write_file("colour.raw", {1});
    test::write_file("pantiles.raw", {1});
    auto named = paths;
    named[3] = "./colour.raw";  // an existing file
    EXPECT_EQ(refusal(named),
              "the CIR8 file './colour.raw' is the same file as the colour file 'colour.raw'");
    named = paths;
    named[5] = "./pan8.raw";  // one still to be created
    EXPECT_EQ(refusal(named),
              "the sharpened CIR file './pan8.raw' is the same file as the PAN8 file 'pan8.raw'");
    named = paths;
    named[2] = "./cir8.raw.hdr";  // the CIR8 file's header, spelt otherwise
    EXPECT_EQ(refusal(named), "");
    EXPECT_EQ(refusal(named, true),
              "the header 'cir8.raw.hdr' of the CIR8 file is the same file as the RGBIR16 file "
              "'./cir8.raw.hdr'");
}

TEST(SameFile, DevicesAreNeverTheSameFileAndGetNoHeader) {
    TempDir dir;
    auto paths = test::seven_paths(dir);
    test::write_file(paths[0], {1});
    test::write_file(paths[1], {1});
    for (int i = 2; i < 7; ++i)
        paths[i] = "/dev/null";
    EXPECT_EQ(refusal(paths, true), "");
}

}  // namespace
}  // namespace cirsharp
