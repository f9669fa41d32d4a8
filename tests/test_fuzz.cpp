// Inputs of many sizes and contents: every run ends with status 0, or with
// status 1 and a message; never a crash, a hang or a sanitizer report. And
// the table paths of the stages equal the per-sample paths on random data.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "colour/colour_kernels.hpp"
#include "fusion/fusion_kernels.hpp"
#include "pan/pan_kernels.hpp"
#include "raster/geometry.hpp"
#include "runs.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kShortSizes = 12;  // each run starts a sanitized process
constexpr int kStageRounds = 20;
#else
constexpr int kShortSizes = 40;
constexpr int kStageRounds = 200;
#endif

const std::uint64_t kColourNeeded =
    kColourHeaderBytes + kColourGeometry.row_bytes() * std::uint64_t(kColourGeometry.height);
const std::uint64_t kPanNeeded =
    kPanHeaderBytes + kPanGeometry.tile_samples() * sizeof(std::uint16_t);

// A file of `size` bytes: random up to `random_bytes`, then zeros (sparse).
void write_input(const std::string& path, std::uint64_t size, std::mt19937_64& rng,
                 std::uint64_t random_bytes = 1 << 16) {
    std::vector<std::uint8_t> head(std::size_t(std::min(size, random_bytes)));
    for (auto& b : head)
        b = std::uint8_t(rng());
    test::write_file(path, head);
    fs::resize_file(path, size);
}

// Inputs shorter than needed, from empty to one byte short: refused before
// any product is created, with a message naming the file and its size.
TEST(Fuzz, ShortInputsOfManySizesAreRefused) {
    std::mt19937_64 rng(20240601);
    TempDir dir;
    auto paths = test::seven_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = dir / ("out/" + test::kProductNames[std::size_t(i - 2)]);
    fs::create_directory(dir / "out");
    for (int which = 0; which < 2; ++which) {
        const std::uint64_t needed = which == 0 ? kColourNeeded : kPanNeeded;
        std::vector<std::uint64_t> sizes = {0, 1, 7, 8, 9, needed / 2, needed - 2, needed - 1};
        while (sizes.size() < std::size_t(kShortSizes / 2))
            sizes.push_back(std::uniform_int_distribution<std::uint64_t>(0, needed - 1)(rng));
        for (const auto size : sizes) {
            write_input(paths[which], size, rng);
            paths[1 - which] = which == 0 ? test::sample_pan() : test::sample_colour();
            const auto r = run_process(CIRSHARP_BIN, paths);
            EXPECT_EQ(r.status, 1) << size;
            EXPECT_EQ(r.out, "") << size;
            EXPECT_EQ(r.err, "cirsharp: " + paths[which] + ": is " + std::to_string(size) +
                                 " bytes long, but " + std::to_string(needed) +
                                 " bytes are needed\n");
            EXPECT_TRUE(fs::is_empty(dir / "out")) << size;
        }
        fs::remove(paths[which]);
    }
}

// Whole runs over random, constant and endless inputs, longer than needed;
// the products go to /dev/null, except for one run that checks their sizes.
TEST(Fuzz, WholeRunsOverArbitraryInputsSucceed) {
    std::mt19937_64 rng(7);
    TempDir dir;
    auto paths = test::seven_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = "/dev/null";

    // Random samples with a random number of extra bytes.
    write_input(paths[0], kColourNeeded + rng() % 100000, rng, kColourNeeded + 100000);
    write_input(paths[1], kPanNeeded + rng() % 100000, rng, kPanNeeded + 100000);
    auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    // Every sample 0xffff: each band's maximum at the top of the range.
    test::write_file(paths[0], std::vector<std::uint8_t>(kColourNeeded, 0xff));
    test::write_file(paths[1], std::vector<std::uint8_t>(kPanNeeded, 0xff));
    const auto products = test::seven_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = products[i];
    r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::uintmax_t sizes[] = {70'656'000, 26'496'000, 86'250'000, 258'750'000, 172'500'000};
    for (int i = 2; i < 7; ++i)
        EXPECT_EQ(fs::file_size(paths[i]), sizes[i - 2]);

    // Endless zeros from a device that cannot seek: all limits degenerate.
    paths = {"/dev/zero", "/dev/zero", "/dev/null", "/dev/null",
             "/dev/null", "/dev/null", "/dev/null"};
    r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 0) << r.err;
}

// An input that is not a regular file and ends early is only found short
// while it is read: the PAN products are committed by then, the colour ones
// are not.
// Streams are read more than once by the stages, so they are taken in
// whole first: one that ends early is refused before anything is created,
// and a pipe that delivers everything converts like a file.
TEST(Fuzz, StreamsAreTakenInWholeFirst) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    paths[0] = "/dev/null";
    auto r = run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cirsharp: /dev/null: ends after 0 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_empty(dir.path()));

    paths = test::sample_paths(dir);
    const std::string fifo = dir / "pan.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string command = "cat '" + paths[1] + "' > '" + fifo + "' & exec '" + CIRSHARP_BIN + "'";
    paths[1] = fifo;
    for (const auto& p : paths)
        command += " '" + p + "'";
    r = run_process("/bin/sh", {"-c", command});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 19);
    EXPECT_EQ(fs::file_size(paths[5]), 258'750'000u);
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
}

// Raw limits as the stages may see them, degenerate ones included.
std::pair<std::uint16_t, std::uint16_t> random_limits(std::mt19937_64& rng, std::uint16_t start) {
    const std::uint16_t special[] = {0, 1, 2, 3, start, std::uint16_t(start + 1), 0xfffe, 0xffff};
    auto pick = [&]() -> std::uint16_t {
        return rng() % 3 == 0 ? special[rng() % 8] : std::uint16_t(rng());
    };
    const std::uint16_t maximum = pick();
    const std::uint16_t minimum = std::min(pick(), start);
    return {maximum, minimum};
}

TEST(Fuzz, StageTablePathsEqualThePerSamplePaths) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < kStageRounds; ++round) {
        // PAN, on a small tiled geometry.
        const PanGeometry g{4 + int(rng() % 5), 3, 2, 0, 0};
        const PanGeometry small{g.tile, g.tile_cols, g.tile_rows,
                                int(g.mosaic_width()) - int(rng() % g.tile),
                                int(g.mosaic_height()) - int(rng() % g.tile)};
        std::vector<std::uint16_t> tiles(small.tile_samples());
        for (auto& v : tiles)
            v = std::uint16_t(rng());
        const auto [pmax, pmin] = random_limits(rng, kPanMinimumStart);
        const BandStretch band = BandStretch::from_raw_limits(pmax, pmin, kPanExponent);
        ByteTable table;
        build_byte_table(band, table);
        std::vector<std::uint8_t> fast(small.kept_samples()), slow(small.kept_samples());
        stretch_pan_rows(tiles, small, table, 0, small.height, fast);
        stretch_pan_rows_reference(tiles, small, band, 0, small.height, slow);
        ASSERT_EQ(fast, slow) << "PAN round " << round;

        // Colour composite.
        const std::size_t pixels = 64 + rng() % 64;
        std::vector<std::uint16_t> nir(pixels), red(pixels), green(pixels);
        for (auto* line : {&nir, &red, &green})
            for (auto& v : *line)
                v = std::uint16_t(rng());
        BandLimits raw;
        for (int b = 0; b < kBands; ++b)
            std::tie(raw.maximum[b], raw.minimum[b]) = random_limits(rng, kBandMinimumStart);
        const CirStretch stretch = CirStretch::from_raw_limits(raw);
        CirTables tables;
        build_byte_table(stretch.nir, tables.nir);
        build_byte_table(stretch.red, tables.red);
        build_byte_table(stretch.green, tables.green);
        std::vector<std::uint8_t> cir_fast(pixels * 3), cir_slow(pixels * 3);
        composite_row(nir, red, green, tables, cir_fast);
        composite_row_reference(nir, red, green, stretch, cir_slow);
        ASSERT_EQ(cir_fast, cir_slow) << "colour round " << round;

        // Fusion: 8 x 4 composite pixels to 25 x 12 output pixels.
        const FusionGeometry fg{8, 4, 25, 12};
        std::vector<std::uint8_t> cir(std::size_t(fg.source_width) * fg.source_height * 3);
        for (auto& v : cir)
            v = std::uint8_t(rng() % 4 == 0 ? (rng() % 2) * 255 : rng());
        std::vector<std::uint8_t> pan(std::size_t(fg.width) * fg.height);
        for (auto& v : pan)
            v = std::uint8_t(rng());
        std::vector<std::uint8_t> out_fast(pan.size() * 3), out_slow(pan.size() * 3);
        sharpen_rows(cir, pan, fg, 0, fg.height, out_fast);
        sharpen_rows_reference(cir, pan, fg, 0, fg.height, out_slow);
        ASSERT_EQ(out_fast, out_slow) << "fusion round " << round;
    }
}

}  // namespace
}  // namespace cirsharp
