// cirsharp-quicklook on its own: options, usage errors, products that do not
// fit their layout.
#include <gtest/gtest.h>

#include <png.h>

#include <filesystem>
#include <stdexcept>

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

}  // namespace
}  // namespace cirsharp
