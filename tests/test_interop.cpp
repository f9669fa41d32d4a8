// The products as other tools see them: GDAL through the ENVI headers, and the
// quicklook PNGs through libpng. These tools are installed by scripts/test;
// a missing one fails the test with a message saying so.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "raster/geometry.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

using test::sample_paths;
using test::with_options;

// `count` bytes of `path` from `offset`.
std::vector<std::uint8_t> bytes_at(const std::string& path, std::uint64_t offset,
                                   std::size_t count) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::vector<std::uint8_t> bytes(count);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(count));
    if (!in) throw std::runtime_error("cannot read " + path);
    return bytes;
}

// Sample `band` of pixel (x, y) of a product.
unsigned product_sample(const std::string& path, const ProductLayout& l, int x, int y, int band) {
    const std::uint64_t at = std::uint64_t(y) * l.row_bytes() +
                             (std::uint64_t(x) * std::uint64_t(l.bands()) + std::uint64_t(band)) *
                                 std::uint64_t(l.bytes_per_sample);
    const auto b = bytes_at(path, at, std::size_t(l.bytes_per_sample));
    return l.bytes_per_sample == 1 ? b[0] : unsigned(b[0] | b[1] << 8);
}

// The full path of a program on PATH; empty, with a failure saying what to
// install, when there is none.
std::string find_tool(const std::string& name, const std::string& package) {
    const auto r = run_process("/bin/sh", {"-c", "command -v " + name});
    if (r.status == 0 && !r.out.empty()) return r.out.substr(0, r.out.size() - 1);
    ADD_FAILURE() << name << " is not installed: install the Debian package " << package
                  << " (scripts/test does)";
    return {};
}

// A run with --envi and --quicklook: same transcript and products as a run
// without options, one header and one PNG per product, nothing else.
TEST(Interop, OptionsLeaveTheTranscriptAndTheProductsAlone) {
    const auto& plain = test::sample_run();
    TempDir opted;
    auto paths = sample_paths(opted);
    paths[2] = "/dev/null";  // a device: written, but no header and no quicklook
    const auto b =
        run_process(CIRSHARP_BIN, with_options({"--envi", "--quicklook", opted / "ql"}, paths));
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(b.err, "");
    // The same transcript, but for the folder name in two of its lines.
    const std::string plain_dir = fs::path(plain.paths[2]).parent_path().string();
    EXPECT_EQ(test::moved_transcript(b.out, opted.path().string(), plain_dir), plain.transcript);
    for (const auto& name : {"cir8.raw", "pan8.raw", "sharp.raw", "pan16.raw"}) {
        EXPECT_TRUE(test::same_content(plain_dir + "/" + name, opted / name)) << name;
        EXPECT_TRUE(fs::exists(opted / (std::string(name) + ".hdr"))) << name;
    }
    EXPECT_FALSE(fs::exists("/dev/null.hdr"));
    std::size_t entries = 0;
    for (const auto& e : fs::directory_iterator(opted.path()))
        entries += !e.is_directory();
    EXPECT_EQ(entries, 8u);  // four products, four headers, no temporary file
    std::vector<std::string> pngs;
    for (const auto& e : fs::directory_iterator(opted.path() / "ql"))
        pngs.push_back(e.path().filename());
    std::sort(pngs.begin(), pngs.end());
    EXPECT_EQ(pngs, (std::vector<std::string>{"cir8.png", "pan16.png", "pan8.png",
                                              "sharpened-cir8.png"}));
}

struct Decoded {
    int width = 0, height = 0, channels = 0;
    std::vector<std::uint8_t> pixels;
    unsigned at(int x, int y, int c) const {
        return pixels[(std::size_t(y) * std::size_t(width) + std::size_t(x)) *
                          std::size_t(channels) +
                      std::size_t(c)];
    }
};

Decoded decode_png(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error(path + ": " + image.message);
    Decoded d{
        int(image.width), int(image.height), (image.format & PNG_FORMAT_FLAG_COLOR) ? 3 : 1, {}};
    image.format = d.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    d.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, d.pixels.data(), 0, nullptr))
        throw std::runtime_error(path + ": " + image.message);
    return d;
}

// Every product through GDAL, and the previews through libpng, from one run.
TEST(Interop, GdalAndLibpngReadWhatTheProductsHold) {
    const std::string gdalinfo = find_tool("gdalinfo", "gdal-bin");
    const std::string gdallocationinfo = find_tool("gdallocationinfo", "gdal-bin");
    ASSERT_FALSE(gdalinfo.empty() || gdallocationinfo.empty());
    TempDir dir;
    const auto paths = sample_paths(dir);
    const auto r =
        run_process(CIRSHARP_BIN, with_options({"--envi", "--quicklook", dir / "ql"}, paths));
    ASSERT_EQ(r.status, 0) << r.err;

    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const ProductLayout& l = layout_of(kProducts[i]);
        const std::string& product = paths[2 + i];
        SCOPED_TRACE(product);
        const auto info = run_process(gdalinfo, {product});
        ASSERT_EQ(info.status, 0) << info.err;
        EXPECT_NE(info.out.find("Driver: ENVI/"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("Size is " + std::to_string(l.width) + ", " +
                                std::to_string(l.height) + "\n"),
                  std::string::npos)
            << info.out;
        const std::string type = l.bytes_per_sample == 1 ? "Type=Byte" : "Type=UInt16";
        int bands = 0;
        std::istringstream lines(info.out);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with("Band ")) continue;
            ++bands;
            EXPECT_NE(line.find(type), std::string::npos) << line;
        }
        EXPECT_EQ(bands, l.bands());
        for (int b = 0; b < l.bands(); ++b)
            EXPECT_NE(info.out.find("Description = " + std::string(l.band_names[std::size_t(b)])),
                      std::string::npos);

        const int points[][2] = {
            {0, 0}, {l.width - 1, 0}, {1234, 567}, {l.width - 1, l.height - 1}};
        for (const auto& [x, y] : points) {
            const auto loc = run_process(
                gdallocationinfo, {"-valonly", product, std::to_string(x), std::to_string(y)});
            ASSERT_EQ(loc.status, 0) << loc.err;
            std::string want;
            for (int b = 0; b < l.bands(); ++b)
                want += std::to_string(product_sample(product, l, x, y, b)) + "\n";
            EXPECT_EQ(loc.out, want) << "at " << x << ", " << y;
        }
    }

    // The sharpened CIR preview: blocks of 6, false colour in file order; the
    // last block holds 4 columns and 6 rows (11500 = 1916 * 6 + 4, 7500 = 1250 * 6).
    const ProductLayout& sl = layout_of(Product::kSharpened);
    const Decoded sharp = decode_png(dir / "ql/sharpened-cir8.png");
    ASSERT_EQ(sharp.width, 1917);
    ASSERT_EQ(sharp.height, 1250);
    ASSERT_EQ(sharp.channels, 3);
    for (const auto& [px, py] : {std::pair{0, 0}, std::pair{1916, 1249}, std::pair{700, 300}}) {
        for (int c = 0; c < 3; ++c) {
            unsigned sum = 0, count = 0;
            for (int y = py * 6; y < std::min(py * 6 + 6, sl.height); ++y)
                for (int x = px * 6; x < std::min(px * 6 + 6, sl.width); ++x, ++count)
                    sum += product_sample(paths[5], sl, x, y, c);
            EXPECT_EQ(sharp.at(px, py, c), (sum + count / 2) / count)
                << px << "," << py << "," << c;
        }
    }

    // The PAN16 preview: grey, stretched over the product's range.
    const ProductLayout& pl = layout_of(Product::kPan16);
    const Decoded pan = decode_png(dir / "ql/pan16.png");
    ASSERT_EQ(pan.width, 1917);
    ASSERT_EQ(pan.height, 1250);
    ASSERT_EQ(pan.channels, 1);
    const auto all = test::read_file(paths[6]);
    unsigned lo = 65535, hi = 0;
    for (std::size_t i = 0; i < all.size(); i += 2) {
        const unsigned v = test::sample_at(all, i);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    ASSERT_LT(lo, hi);
    for (const auto& [px, py] : {std::pair{0, 0}, std::pair{1916, 1249}, std::pair{950, 600}}) {
        double sum = 0;
        int count = 0;
        for (int y = py * 6; y < std::min(py * 6 + 6, pl.height); ++y)
            for (int x = px * 6; x < std::min(px * 6 + 6, pl.width); ++x, ++count)
                sum += test::sample_at(all, (std::size_t(y) * 11500 + std::size_t(x)) * 2);
        EXPECT_EQ(pan.at(px, py, 0), unsigned(std::lround((sum / count - lo) * 255.0 / (hi - lo))))
            << px << "," << py;
    }

    // The RGBIR16 preview: true colour from the first three bands, blocks of 2.
    const Decoded rgb = decode_png(dir / "ql/rgbir16.png");
    EXPECT_EQ(rgb.width, 1840);
    EXPECT_EQ(rgb.height, 1200);
    EXPECT_EQ(rgb.channels, 3);
    const Decoded cir = decode_png(dir / "ql/cir8.png");
    EXPECT_EQ(cir.width, 1840);
    const ProductLayout& cl = layout_of(Product::kCir8);
    unsigned sum = 0;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            sum += product_sample(paths[3], cl, 100 + x, 50 + y, 1);
    EXPECT_EQ(cir.at(50, 25, 1), (sum + 2) / 4);
    EXPECT_EQ(decode_png(dir / "ql/pan8.png").channels, 1);
}

// A quicklook run that fails leaves the products committed and says why.
TEST(Interop, AFailedQuicklookRunIsStatusOneWithTheProductsKept) {
    TempDir dir;
    auto paths = sample_paths(dir);
    for (const int i : {2, 4, 5, 6})
        paths[std::size_t(i)] = "/dev/null";  // keep the disk free
    test::write_file(dir / "blocker", {1});   // not a folder, cannot become one
    const auto r = run_process(CIRSHARP_BIN,
                               with_options({"--envi", "--quicklook", dir / "blocker/ql"}, paths));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 19);
    EXPECT_NE(r.err.find("cirsharp-quicklook: cannot create the folder"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("the products are complete"), std::string::npos) << r.err;
    EXPECT_EQ(fs::file_size(paths[3]), layout_of(Product::kCir8).file_bytes());
    EXPECT_TRUE(fs::exists(paths[3] + ".hdr"));
}

}  // namespace
}  // namespace cirsharp
