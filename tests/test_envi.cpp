#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "io/envi.hpp"
#include "io/file.hpp"
#include "io/temp_files.hpp"
#include "raster/geometry.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

std::string text_of(const std::string& path) {
    const auto bytes = read_file(path);
    return {bytes.begin(), bytes.end()};
}

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(EnviHeader, DescribesEachProductLayout) {
    EXPECT_EQ(io::envi_header(layout_of(Product::kSharpened)),
              "ENVI\nsamples = 11500\nlines = 7500\nbands = 3\nheader offset = 0\n"
              "file type = ENVI Standard\ndata type = 1\ninterleave = bip\nbyte order = 0\n"
              "band names = {NIR, Red, Green}\ndefault bands = {1, 2, 3}\n");
    EXPECT_EQ(io::envi_header(layout_of(Product::kPan16)),
              "ENVI\nsamples = 11500\nlines = 7500\nbands = 1\nheader offset = 0\n"
              "file type = ENVI Standard\ndata type = 12\ninterleave = bsq\nbyte order = 0\n"
              "band names = {PAN}\n");
    const std::string rgbir = io::envi_header(layout_of(Product::kRgbir16));
    EXPECT_NE(rgbir.find("samples = 3680\nlines = 2400\nbands = 4\n"), std::string::npos);
    EXPECT_NE(rgbir.find("data type = 12\n"), std::string::npos);
    EXPECT_NE(rgbir.find("band names = {Red, Green, Blue, NIR}\n"), std::string::npos);
    EXPECT_EQ(rgbir.find("default bands"), std::string::npos);
    EXPECT_NE(io::envi_header(layout_of(Product::kCir8)).find("default bands = {1, 2, 3}"),
              std::string::npos);
    // The layouts add up to the documented product sizes.
    const std::uint64_t sizes[] = {70'656'000, 26'496'000, 86'250'000, 258'750'000, 172'500'000};
    for (std::size_t i = 0; i < kProducts.size(); ++i)
        EXPECT_EQ(layout_of(kProducts[i]).file_bytes(), sizes[i]);
}

TEST(Sidecar, AppearsExactlyWhenItsProductIsCommitted) {
    TempDir dir;
    io::TempFiles temps;
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        f.set_sidecar(".hdr", "header\n");
        f.write(std::as_bytes(std::span("data", 4)));
        // Before the commit: two temporary files and nothing at a final path.
        const auto names = listing(dir.path());
        ASSERT_EQ(names.size(), 2u);
        for (const auto& n : names)
            EXPECT_TRUE(n.ends_with(".part")) << n;
        io::OutputFile moved = std::move(f);
        moved.commit(true);
    }
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"p.raw", "p.raw.hdr"}));
    EXPECT_EQ(text_of(dir / "p.raw.hdr"), "header\n");

    // Not committed: neither the product nor its header, and the old ones stay.
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        f.set_sidecar(".hdr", "other\n");
    }
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"p.raw", "p.raw.hdr"}));
    EXPECT_EQ(text_of(dir / "p.raw.hdr"), "header\n");
}

TEST(Sidecar, NoneForASpecialFileAndLinksAreFollowed) {
    io::TempFiles temps;
    {
        io::OutputFile f = io::OutputFile::create("/dev/null", temps);
        f.set_sidecar(".hdr", "header\n");
        f.commit(false);
    }
    EXPECT_FALSE(fs::exists("/dev/null.hdr"));

    // The header sits beside the path given; a header path that is a link
    // keeps being a link and its target gets the text.
    TempDir dir;
    fs::create_directory(dir.path() / "real");
    fs::create_symlink("real/p.raw", dir.path() / "p.raw");
    fs::create_symlink("real/h", dir.path() / "p.raw.hdr");
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        f.set_sidecar(".hdr", "header\n");
        f.commit(false);
    }
    EXPECT_TRUE(fs::is_symlink(dir.path() / "p.raw.hdr"));
    EXPECT_EQ(text_of(dir / "real/h"), "header\n");
    EXPECT_EQ(listing(dir.path() / "real"), (std::vector<std::string>{"h", "p.raw"}));
}

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

TEST(QuicklookTool, HelpAndUsageErrors) {
    const auto help = run_process(CIRSHARP_QUICKLOOK_BIN, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--output", "--max-width", "--rgbir16", "--cir8", "--pan8",
                               "--sharpened-cir8", "--pan16"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    TempDir dir;
    for (const auto& args :
         {std::vector<std::string>{"--output", dir / "q"}, std::vector<std::string>{"--pan8", "x"},
          std::vector<std::string>{"--output", dir / "q", "--bogus", "x"},
          std::vector<std::string>{"--max-width", "0", "--pan8", "x"}}) {
        const auto r = run_process(CIRSHARP_QUICKLOOK_BIN, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage: cirsharp-quicklook"), std::string::npos);
    }
    // A product too short for its layout: status 1 and no PNG.
    test::write_file(dir / "pan8.raw", std::vector<std::uint8_t>(1000, 7));
    const auto r =
        run_process(CIRSHARP_QUICKLOOK_BIN, {"--output", dir / "q", "--pan8", dir / "pan8.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("86250000 bytes are needed"), std::string::npos) << r.err;
    EXPECT_TRUE(listing(dir.path() / "q").empty());
}

}  // namespace
}  // namespace cirsharp
