#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>

#include "io/file.hpp"
#include "io/product_writer.hpp"
#include "io/temp_files.hpp"
#include "io/write_queue.hpp"
#include "pan/pan_kernels.hpp"
#include "pan/pan_stage.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::TempDir;

TEST(PanLimits, ZeroAndOneNeverBecomeTheMinimumAndItStartsAt20000) {
    const std::vector<std::uint16_t> a = {0, 1, 5000, 1, 2, 0};
    EXPECT_EQ(scan_pan_limits(a).maximum, 5000);
    EXPECT_EQ(scan_pan_limits(a).minimum, 2);
    const std::vector<std::uint16_t> high = {20001, 65535, 30000};
    EXPECT_EQ(scan_pan_limits(high).maximum, 65535);
    EXPECT_EQ(scan_pan_limits(high).minimum, 20000);
    const std::vector<std::uint16_t> ones = {0, 1, 0};
    EXPECT_EQ(scan_pan_limits(ones).maximum, 1);
    EXPECT_EQ(scan_pan_limits(ones).minimum, 20000);
    EXPECT_EQ(merge(scan_pan_limits(a), scan_pan_limits(high)).minimum, 2);
    const std::vector<std::uint16_t> top = {0, 65535, 1};
    EXPECT_EQ(scan_pan_limits(top).minimum, 20000);
}

TEST(PanLimits, VectorScanMatchesTheSampleBySampleRule) {
    std::mt19937 rng(7);
    for (const int spread : {3, 40, 25000, 65536}) {
        std::vector<std::uint16_t> v(100'003);
        for (auto& s : v)
            s = std::uint16_t(rng() % spread);
        std::uint16_t maximum = 0, minimum = 20000;
        for (const std::uint16_t s : v) {
            if (s >= maximum) maximum = s;
            if (s > 1 && s <= minimum) minimum = s;
        }
        for (const Simd simd : available_simd()) {
            const PanLimits got = scan_pan_limits(v, simd);
            EXPECT_EQ(got.maximum, maximum) << spread << ", " << name_of(simd);
            EXPECT_EQ(got.minimum, minimum) << spread << ", " << name_of(simd);
        }
    }
}

// Random tiles on small tiled geometries and random limits, degenerate ones
// included: the table path gives the per-sample bytes.
TEST(PanRows, TablePathMatchesThePerSamplePathOnRandomTiles) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < test::kRandomRounds; ++round) {
        const PanGeometry g{4 + int(rng() % 5), 3, 2, 0, 0};
        const PanGeometry small{g.tile, g.tile_cols, g.tile_rows,
                                int(g.mosaic_width()) - int(rng() % g.tile),
                                int(g.mosaic_height()) - int(rng() % g.tile)};
        std::vector<std::uint16_t> tiles(small.tile_samples());
        for (auto& v : tiles)
            v = std::uint16_t(rng());
        const auto [pmax, pmin] = test::random_limits(rng, kPanMinimumStart);
        const BandStretch band = BandStretch::from_raw_limits(pmax, pmin, kPanExponent);
        ByteTable table;
        build_byte_table(band, table);
        std::vector<std::uint8_t> fast(small.kept_samples()), slow(small.kept_samples());
        stretch_pan_rows(tiles, small, table, 0, small.height, fast);
        stretch_pan_rows_reference(tiles, small, band, 0, small.height, slow);
        ASSERT_EQ(fast, slow) << "round " << round;
    }
}

// The vectorised scan of a row of tiles against the sample-by-sample rule,
// for parts cut anywhere: the limits over every sample, the counts over the
// kept ones only (the last tile column and, in the last row of tiles, the
// last tile rows are cropped).
TEST(PanLimits, TileRowScanCountsOnlyKeptSamplesAndMatchesTheSampleBySampleRule) {
    std::mt19937 rng(11);
    auto check = [&](const PanGeometry& g, int kept_rows, int spread, std::size_t begin,
                     std::size_t end, const std::vector<std::uint16_t>& v) {
        const PanScan want = scan_pan_tile_row_reference(v, g, kept_rows, begin, end);
        for (const Simd simd : available_simd()) {
            const PanScan got = scan_pan_tile_row(v, g, kept_rows, begin, end, simd);
            SCOPED_TRACE(::testing::Message()
                         << name_of(simd) << " tile " << g.tile << " kept rows " << kept_rows
                         << " spread " << spread << " [" << begin << ", " << end << ")");
            EXPECT_EQ(got.limits.maximum, want.limits.maximum);
            EXPECT_EQ(got.limits.minimum, want.limits.minimum);
            EXPECT_EQ(got.minimum_found, want.minimum_found);
            EXPECT_EQ(got.nodata, want.nodata);
            EXPECT_EQ(got.saturated, want.saturated);
        }
    };
    const PanGeometry small{16, 5, 3, 70, 40};  // the last column keeps 6 of 16
    for (const int spread : {2, 3, 40, 30000}) {
        for (const int kept_rows : {16, 8}) {
            std::vector<std::uint16_t> v(small.tile_area() * std::size_t(small.tile_cols));
            for (auto& s : v) {
                s = std::uint16_t(20001 + rng() % std::uint32_t(spread));
                if (rng() % 50 == 0) s = std::uint16_t(rng() % 3 == 0 ? 65535 : rng() % 2);
                if (spread == 40 && rng() % 7 == 0) s = std::uint16_t(2 + rng() % 40);
            }
            for (int cut = 0; cut < 40; ++cut) {
                std::size_t a = rng() % (v.size() + 1), b = rng() % (v.size() + 1);
                if (a > b) std::swap(a, b);
                check(small, kept_rows, spread, a, b, v);
            }
            check(small, kept_rows, spread, 0, v.size(), v);
        }
    }
    // A whole row of tiles of the real geometry: long runs, rare marks.
    const PanGeometry& g = kPanGeometry;
    std::vector<std::uint16_t> v(g.tile_row_samples());
    for (auto& s : v)
        s = std::uint16_t(300 + rng() % 4000);
    for (int i = 0; i < 300; ++i)
        v[rng() % v.size()] = std::uint16_t(i % 3 == 0 ? 65535 : i % 2);
    v[22 * g.tile_area() + 300] = 65535;  // in the cropped margin: a limit, not counted
    for (const int kept_rows : {512, 332})
        for (const std::size_t parts : {1, 3})
            for (std::size_t p = 0; p < parts; ++p)
                check(g, kept_rows, 4000, p * v.size() / parts, (p + 1) * v.size() / parts, v);
    // Equal to 20000 is a minimum found; above it, none.
    const std::vector<std::uint16_t> edge = {20000, 0, 65535};
    const PanGeometry one{3, 1, 1, 3, 1};
    EXPECT_TRUE(scan_pan_tile_row(edge, one, 1, 0, 3).minimum_found);
    const std::vector<std::uint16_t> above = {20001, 1, 0};
    EXPECT_FALSE(scan_pan_tile_row(above, one, 1, 0, 3).minimum_found);
    EXPECT_EQ(scan_pan_tile_row(above, one, 1, 0, 3).nodata, 2u);
}

struct PanRun {
    PanScan found;
    std::vector<std::uint8_t> tiles, pan8, pan16, plane;
};

PanRun run_pan_stage(const std::function<std::uint16_t(int, int)>& value, bool reference = false) {
    TempDir dir;
    test::write_pan_file(dir / "tiles.raw", value, 0xab);
    io::TempFiles temps;
    io::InputFile tiles = io::InputFile::open(dir / "tiles.raw");
    io::OutputFile pan16 = io::OutputFile::create(dir / "pan16.raw", temps);
    io::OutputFile pan8 = io::OutputFile::create(dir / "pan8.raw", temps);
    const PanGeometry& g = kPanGeometry;
    std::vector<std::byte> tile_buffer(io::ProductWriter::buffers_memory(2, kPanTileRowBytes));
    PanRun run;
    run.plane.resize(g.kept_samples());
    std::ostringstream out;
    StageOptions options;
    options.threads = 2;
    options.reference = reference;
    {
        io::WriteQueue queue(out, /*background=*/!reference);
        io::ProductWriter pan16_writer(queue, pan16, false), pan8_writer(queue, pan8, false);
        pan16_writer.use_buffers(tile_buffer, kPanTileRowBytes);
        const PanStageFiles files{tiles, pan16_writer, pan8_writer};
        run.found = scan_pan_image(files, options.threads);
        int called = 0;
        stretch_pan_image(files, run.found.limits, run.plane, options, [&] { ++called; });
        EXPECT_EQ(called, 1);
        pan8_writer.finish();
        pan16_writer.finish();
        queue.finish();
    }
    run.tiles = read_file(dir / "tiles.raw");
    run.pan8 = read_file(dir / "pan8.raw");
    run.pan16 = read_file(dir / "pan16.raw");
    return run;
}

TEST(PanStage, UntilesIntoPlaceAndTakesTheMaximumFromTheCroppedMargin) {
    // Each sample names its mosaic position; one sample hidden in the
    // cropped margin (last tile column, in-tile column 300) is the brightest.
    const int margin_column = 22 * 512 + 300;
    const auto value = [&](int row, int column) -> std::uint16_t {
        if (row == 100 && column == margin_column) return 60000;
        return std::uint16_t(2 + (row * 3 + column * 5) % 40000);
    };
    const PanRun run = run_pan_stage(value);
    EXPECT_EQ(run.found.limits.maximum, 60000);
    EXPECT_EQ(run.found.limits.minimum, 2);

    const PanGeometry& g = kPanGeometry;
    ASSERT_EQ(run.pan16.size(), layout_of(Product::kPan16).file_bytes());
    ASSERT_EQ(run.pan8.size(), layout_of(Product::kPan8).file_bytes());
    // Tile-file byte -> PAN16 byte.
    const std::pair<std::size_t, std::size_t> placements[] = {
        {8, 0}, {1032, 23000}, {524'296, 1024}, {12'058'632, 11'776'000}};
    for (const auto& [from, to] : placements)
        EXPECT_EQ(test::sample_at(run.pan16, to), test::sample_at(run.tiles, from)) << from;
    for (int row = 0; row < g.height; row += 37)
        for (int column = 0; column < g.width; column += 11)
            ASSERT_EQ(test::sample_at(run.pan16, (std::size_t(row) * g.width + column) * 2),
                      value(row, column));
    EXPECT_EQ(test::sample_at(run.pan16, run.pan16.size() - 2), value(7499, 11499));

    // The maximum fixes the stretch although it reaches no product.
    const auto band = BandStretch::from_raw_limits(60000, 2, kPanExponent);
    for (std::size_t i = 0; i < run.pan8.size(); i += 997) {
        const std::size_t row = i / g.width, column = i % g.width;
        ASSERT_EQ(run.pan8[i], band.stretch(band.compress(value(int(row), int(column)))));
    }
    EXPECT_EQ(run.plane, run.pan8);
}

TEST(PanStage, ZerosAndOnesOnlyGiveBytes84And255) {
    // Maximum 1, minimum stays 20000: G = 1, hi = 1, lo = 4, so 0 and 1 lie
    // below lo and wrap.
    const auto value = [](int row, int column) -> std::uint16_t {
        return (row + column) % 3 == 0 ? 1 : 0;
    };
    for (const bool reference : {false, true}) {
        const PanRun run = run_pan_stage(value, reference);
        EXPECT_EQ(run.found.limits.maximum, 1);
        EXPECT_EQ(run.found.limits.minimum, 20000);
        EXPECT_FALSE(run.found.minimum_found);
        for (std::size_t i = 0; i < run.pan8.size(); i += 101) {
            const std::size_t row = i / kPanGeometry.width, column = i % kPanGeometry.width;
            ASSERT_EQ(run.pan8[i], value(int(row), int(column)) ? 255 : 84);
            ASSERT_EQ(test::sample_at(run.pan16, 2 * i), value(int(row), int(column)));
        }
    }
}

TEST(PanStage, MinimumStays20000WhenEverySampleIsAboveIt) {
    const PanRun run = run_pan_stage([](int, int column) { return std::uint16_t(30000 + column); });
    EXPECT_EQ(run.found.limits.maximum, 41775);
    EXPECT_EQ(run.found.limits.minimum, 20000);
    // A sample equal to the maximum would be 255; every kept one is above lo.
    const auto band = BandStretch::from_raw_limits(41775, 20000, kPanExponent);
    EXPECT_EQ(run.pan8[0], band.stretch(band.compress(30000)));
}

}  // namespace
}  // namespace cirsharp
