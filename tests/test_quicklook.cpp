// cirsharp-quicklook on its own: options, usage errors, products that do not
// fit their layout.
#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "png_writer.hpp"
#include "raster/geometry.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::listing;
using test::run_process;
using test::TempDir;

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
    // A product shorter or longer than its layout (another product, say):
    // status 1, both sizes named, and no PNG.
    test::write_file(dir / "pan8.raw", std::vector<std::uint8_t>(1000, 7));
    auto r =
        run_process(CIRSHARP_QUICKLOOK_BIN, {"--output", dir / "q", "--pan8", dir / "pan8.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is 1000 bytes long, but a pan8 product has 86250000 bytes"),
              std::string::npos)
        << r.err;
    std::filesystem::resize_file(dir / "pan8.raw", 86250000);
    r = run_process(CIRSHARP_QUICKLOOK_BIN, {"--output", dir / "q", "--cir8", dir / "pan8.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is 86250000 bytes long, but a cir8 product has 26496000 bytes"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(listing(dir.path() / "q").empty());
}

// An RGB PNG's pixels, row-major.
std::vector<std::uint8_t> rgb_pixels(const std::string& path, int& width, int& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error(path + ": " + image.message);
    width = int(image.width);
    height = int(image.height);
    image.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
        throw std::runtime_error(path + ": " + image.message);
    return pixels;
}

// The tool's PNG encoder: libpng reads back the very pixels, grey and RGB,
// of one row or one column, of widths that are a multiple of nothing, of
// pictures whose filtered bytes are flat, random, smooth, so skewed that
// their Huffman code must be cut to 13 bits, or hold a value only where the
// counting of a block's bytes does not look, and of several coded blocks.
TEST(QuicklookTool, PngWriterKeepsEveryPixel) {
    std::mt19937 random(19);
    struct Case {
        int width, height, channels;
        const char* kind;
    };
    const Case cases[] = {
        {1, 1, 1, "random"},      {1, 1, 3, "flat"},           {1, 97, 1, "random"},
        {1, 61, 3, "smooth"},     {53, 1, 3, "random"},        {53, 1, 1, "flat"},
        {97, 61, 1, "smooth"},    {1917, 100, 3, "smooth"},    {611, 113, 3, "random"},
        {28654, 1, 1, "skewed"},  {4001, 40, 1, "skewed"},     {28654, 40, 1, "skewed"},
        {1200, 400, 3, "random"}, {100003, 1, 1, "unsampled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + " x " +
                     std::to_string(c.channels) + " " + c.kind);
        const std::size_t row = std::size_t(c.width) * std::size_t(c.channels);
        std::vector<std::uint8_t> pixels(row * std::size_t(c.height), 77);
        const std::string kind = c.kind;
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            if (kind == "random") pixels[i] = std::uint8_t(random());
            if (kind == "smooth") pixels[i] = std::uint8_t(i / row + i % row / 7 + random() % 3);
            // One row: its filter byte, then pixel i at byte i + 1 of the
            // block, so the 200s lie at bytes 2, 6, 10, ..., of which
            // every fourth (0, 4, 8, ...) is counted.
            if (kind == "unsampled") pixels[i] = i % 4 == 1 ? 200 : 77;
        }
        if (kind == "skewed") {
            // Values 3, 4, 5, ... in 2, 3, 5, ... bytes (Fibonacci numbers): with
            // the one filter byte 2 and the end of the block a Huffman code of
            // 20 bits.
            std::vector<std::uint8_t> run;
            for (std::size_t v = 3, a = 2, b = 3; run.size() < row;
                 ++v, a = std::exchange(b, a + b))
                run.insert(run.end(), std::min(a, row - run.size()), std::uint8_t(v));
            for (std::size_t i = 0; i < pixels.size(); ++i)  // each row less the one above: `run`
                pixels[i] = std::uint8_t(run[i % row] * (i / row + 1));
        }
        std::vector<std::uint8_t> file;
        int pieces = 0;
        PngWriter png(c.width, c.height, c.channels, [&](std::span<const std::byte> bytes) {
            const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
            file.insert(file.end(), b, b + bytes.size());
            ++pieces;
        });
        // The rows in uneven batches.
        for (int y = 0; y < c.height;) {
            const int n = std::min(c.height - y, int(random() % 7) + 1);
            png.rows(pixels.data() + std::size_t(y) * row, n);
            y += n;
        }
        png.end();
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&image, file.data(), file.size()))
            << image.message;
        EXPECT_EQ(image.width, png_uint_32(c.width));
        EXPECT_EQ(image.height, png_uint_32(c.height));
        image.format = c.channels == 1 ? PNG_FORMAT_GRAY : PNG_FORMAT_RGB;
        std::vector<std::uint8_t> read(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, read.data(), 0, nullptr))
            << image.message;
        EXPECT_EQ(read, pixels);
        if (pixels.size() > (std::size_t(1) << 19)) {
            EXPECT_GT(pieces, 2) << "one block only";
        }
    }
}

// A crop shows the same ground of every product at full PAN resolution: the
// sharpened product's own bytes, and the CIR8 pixel its hue comes from.
TEST(QuicklookTool, CropShowsTheSameGroundAtFullResolution) {
    TempDir dir;
    const auto& paths = test::sample_run().paths;
    const int x0 = 5001, y0 = 2999, w = 40, h = 30;
    const std::string crop = std::to_string(x0) + "," + std::to_string(y0) + "," +
                             std::to_string(w) + "," + std::to_string(h);
    const auto r = run_process(
        CIRSHARP_QUICKLOOK_BIN,
        {"--crop", crop, "--output", dir / "c", "--cir8", paths[3], "--sharpened-cir8", paths[5]});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dir / "c/cir8.png" + "\n" + dir / "c/sharpened-cir8.png" + "\n");
    const auto cir8 = test::read_file(paths[3]);
    const auto sharp = test::read_file(paths[5]);
    int width = 0, height = 0;
    const auto cir8_crop = rgb_pixels(dir / "c/cir8.png", width, height);
    ASSERT_EQ(width, w);
    ASSERT_EQ(height, h);
    const auto sharp_crop = rgb_pixels(dir / "c/sharpened-cir8.png", width, height);
    ASSERT_EQ(width, w);
    ASSERT_EQ(height, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const std::size_t at = (std::size_t(y) * w + std::size_t(x)) * 3 + std::size_t(c);
                const std::size_t pan =
                    (std::size_t(y0 + y) * kPanGeometry.width + std::size_t(x0 + x)) * 3 +
                    std::size_t(c);
                const std::size_t colour =
                    (std::size_t(composite_index(y0 + y)) * kColourGeometry.width +
                     std::size_t(composite_index(x0 + x))) *
                        3 +
                    std::size_t(c);
                ASSERT_EQ(sharp_crop[at], sharp[pan]) << x << ", " << y;
                ASSERT_EQ(cir8_crop[at], cir8[colour]) << x << ", " << y;
            }
    // A crop that does not fit the PAN image, or is not four numbers.
    for (const char* bad :
         {"11000,0,501,10", "0,7499,1,2", "0,0,0,5", "1,2,3", "1,2,3,4,5", "-1,0,5,5", "a,b,c,d"}) {
        const auto e = run_process(CIRSHARP_QUICKLOOK_BIN,
                                   {"--crop", bad, "--output", dir / "e", "--pan8", paths[4]});
        EXPECT_EQ(e.status, 2) << bad;
        EXPECT_NE(e.err.find("--crop"), std::string::npos) << bad << ": " << e.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "e"));
}

// The PNGs that the converter makes of the bytes it writes (--quicklook,
// --thumbnail) have the pixels of those the tool makes of the products it
// reads, at 1 and 2 threads; the transcript is that of a plain run.
TEST(QuicklookTool, TheConvertersPreviewsAreThoseOfItsProducts) {
    TempDir dir;
    const auto& plain = test::sample_run();
    std::vector<std::string> args = {"--output", dir / "ref"};
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        args.push_back("--" + std::string(layout_of(kProducts[i]).name));
        args.push_back(plain.paths[2 + i]);
    }
    ASSERT_EQ(run_process(CIRSHARP_QUICKLOOK_BIN, args).status, 0);
    ASSERT_EQ(run_process(CIRSHARP_QUICKLOOK_BIN, {"--output", dir / "ref240", "--max-width", "240",
                                                   "--sharpened-cir8", plain.paths[5]})
                  .status,
              0);
    const std::string plain_dir = std::filesystem::path(plain.paths[2]).parent_path();
    for (const std::string threads : {"1", "2"}) {
        SCOPED_TRACE(threads + " threads");
        TempDir run;
        const auto paths = test::sample_paths(run);
        const auto r = run_process(
            CIRSHARP_BIN,
            test::with_options(
                {"--threads", threads, "--quicklook", run / "ql", "--thumbnail", "240"}, paths));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(test::moved_transcript(r.out, run.path().string(), plain_dir), plain.transcript);
        std::vector<std::string> pngs;
        for (const Product p : kProducts) {
            const std::string name = std::string(layout_of(p).name) + ".png";
            pngs.push_back(name);
            int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
            EXPECT_EQ(rgb_pixels(run.path() / "ql" / name, w1, h1),
                      rgb_pixels(dir.path() / "ref" / name, w2, h2))
                << name;
            EXPECT_EQ(w1, w2);
            EXPECT_EQ(h1, h2);
        }
        std::sort(pngs.begin(), pngs.end());
        EXPECT_EQ(listing(run.path() / "ql"), pngs);
        int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
        EXPECT_EQ(rgb_pixels(run / "sharpened-cir8.png", w1, h1),
                  rgb_pixels(dir / "ref240/sharpened-cir8.png", w2, h2));
        EXPECT_EQ(w1, 240);
        EXPECT_EQ(w2, 240);
    }
}

// cirsharp-quicklook FILE - : a preview on standard input, of the size that
// --max-width makes; anything else is refused without a PNG or a temporary.
TEST(QuicklookTool, PreviewsOnStandardInput) {
    TempDir dir;
    const std::string tool = test::shell_quoted(CIRSHARP_QUICKLOOK_BIN);
    const auto piped = [&](const std::string& input, const std::string& options) {
        return run_process("/bin/sh", {"-c", "printf '" + input + "' | " + tool + " --output " +
                                                 test::shell_quoted(dir / "q") + " " + options});
    };
    // PAN8 at --max-width 4000: blocks of 3, 3834 x 2500.
    auto r = piped("P5\\n3834 2500\\n255\\n", "--max-width 4000 --pan8 -");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the image ends early"), std::string::npos) << r.err;
    r = piped("P5\\n2 2\\n255\\nabcd", "--max-width 4000 --pan8 -");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the pan8 preview is 2 x 2 grey, not 3834 x 2500 grey as --max-width "
                         "4000 makes it"),
              std::string::npos)
        << r.err;
    r = piped("P6\\n1 1\\n255\\nabc", "--max-width 1 --pan8 -");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not 1 x 1 grey"), std::string::npos) << r.err;
    r = piped("", "--max-width 1 --pan8 -");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no image where one was expected"), std::string::npos) << r.err;
    EXPECT_TRUE(listing(dir.path() / "q").empty());
    // Two in turn; a byte preview is shown as it is.
    r = piped("P5 1\\n1 255\\n\\141P6\\n1 1\\n255\\nabc", "--max-width 1 --pan8 - --cir8 -");
    ASSERT_EQ(r.status, 0) << r.err;
    int w = 0, h = 0;
    EXPECT_EQ(rgb_pixels(dir / "q/pan8.png", w, h), (std::vector<std::uint8_t>{97, 97, 97}));
    EXPECT_EQ(rgb_pixels(dir / "q/cir8.png", w, h), (std::vector<std::uint8_t>{97, 98, 99}));
    r = run_process(CIRSHARP_QUICKLOOK_BIN,
                    {"--crop", "0,0,1,1", "--output", dir / "c", "--pan8", "-"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--crop reads products"), std::string::npos) << r.err;
}

// --thumbnail with a quicklook tool that is not there stops the run before
// anything is made; one that fails makes the run fail (status 1) after the
// products are complete, without a PNG.
TEST(QuicklookTool, AThumbnailThatCannotBeMadeIsStatusOne) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    for (const int i : {2, 4, 6})
        paths[std::size_t(i)] = "/dev/null";  // keep the disk free
    const auto run = [&](const std::string& tool) {
        std::string command = "CIRSHARP_QUICKLOOK=";
        command += test::shell_quoted(tool);
        command += " exec ";
        command += test::shell_quoted(CIRSHARP_BIN);
        command += " --thumbnail 64";
        for (const auto& p : paths) {
            command += ' ';
            command += test::shell_quoted(p);
        }
        return run_process("/bin/sh", {"-c", command});
    };
    auto r = run(dir / "missing");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("--thumbnail needs cirsharp-quicklook, but CIRSHARP_QUICKLOOK names " +
                         dir / "missing" + ", which is not a program"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(listing(dir.path()).empty());
    r = run("/bin/false");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 19);
    EXPECT_NE(r.err.find("the thumbnail was not made (/bin/false ended with exit status 1); the "
                         "products are complete"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"cir8.raw", "sharp.raw"}));
    r = run(CIRSHARP_QUICKLOOK_BIN);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(dir.path()),
              (std::vector<std::string>{"cir8.raw", "sharp.raw", "sharpened-cir8.png"}));
    for (const char* bad : {"0", "-3", "x", "12px"}) {
        r = run_process(CIRSHARP_BIN, test::with_options({"--thumbnail", bad}, paths));
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--thumbnail takes a width in pixels"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace cirsharp
