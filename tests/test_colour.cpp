#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <sstream>
#include <tuple>

#include "colour/colour_kernels.hpp"
#include "colour/colour_stage.hpp"
#include "io/file.hpp"
#include "io/product_writer.hpp"
#include "io/temp_files.hpp"
#include "io/write_queue.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::TempDir;

TEST(ColourLimits, StartValuesAndStrictComparisons) {
    const std::vector<std::uint16_t> red = {0, 400, 9}, green = {10000, 10001, 65535},
                                     blue = {65535, 65535, 65535}, nir = {0, 0, 0};
    std::vector<std::uint16_t> rgbir(12);
    BandLimits limits;
    interleave_row({red, green, blue, nir}, rgbir, limits);
    EXPECT_EQ(rgbir, (std::vector<std::uint16_t>{0, 10000, 65535, 0, 400, 10001, 65535, 0, 9, 65535,
                                                 65535, 0}));
    EXPECT_EQ(limits.minimum, (std::array<std::uint16_t, 4>{0, 10000, 10000, 0}));
    EXPECT_EQ(limits.maximum, (std::array<std::uint16_t, 4>{400, 65535, 65535, 0}));
}

// Random lines and random band limits, degenerate ones included: the table
// path gives the per-sample bytes.
TEST(CompositeRow, TablePathMatchesThePerSamplePathOnRandomLimits) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < test::kRandomRounds; ++round) {
        const std::size_t pixels = 64 + rng() % 64;
        std::vector<std::uint16_t> nir(pixels), red(pixels), green(pixels);
        for (auto* line : {&nir, &red, &green})
            for (auto& v : *line)
                v = std::uint16_t(rng());
        BandLimits raw;
        for (int b = 0; b < kBands; ++b)
            std::tie(raw.maximum[b], raw.minimum[b]) = test::random_limits(rng, kBandMinimumStart);
        const CirStretch stretch = CirStretch::from_raw_limits(raw);
        CirTables tables;
        build_byte_table(stretch.nir, tables.nir);
        build_byte_table(stretch.red, tables.red);
        build_byte_table(stretch.green, tables.green);
        std::vector<std::uint8_t> fast(pixels * 3), slow(pixels * 3);
        composite_row(nir, red, green, tables, fast);
        composite_row_reference(nir, red, green, stretch, slow);
        ASSERT_EQ(fast, slow) << "round " << round;
    }
}

struct ColourRun {
    BandLimits raw;
    CirStretch stretch;
    std::vector<std::uint8_t> input, rgbir16, cir8, cir;
};

ColourRun run_colour_stage(const std::function<std::uint16_t(int, int, int)>& value,
                           std::uint8_t header = 0, std::size_t trailing = 0,
                           bool reference = false) {
    TempDir dir;
    test::write_colour_file(dir / "colour.raw", value, header, trailing);
    io::TempFiles temps;
    io::InputFile colour = io::InputFile::open(dir / "colour.raw");
    io::OutputFile rgbir16 = io::OutputFile::create(dir / "rgbir16.raw", temps);
    io::OutputFile cir8 = io::OutputFile::create(dir / "cir8.raw", temps);
    const ColourGeometry& g = kColourGeometry;
    std::array<std::vector<std::uint16_t>, kBands> rows;
    std::array<std::span<std::uint16_t>, kBands> row_spans;
    for (int b = 0; b < kBands; ++b) {
        rows[b].resize(band_row_samples(g));
        row_spans[b] = rows[b];
    }
    const std::size_t half_bytes = rgbir_band_samples(g) * sizeof(std::uint16_t);
    std::vector<std::byte> rgbir(io::ProductWriter::buffers_memory(2, half_bytes));
    ColourRun run;
    run.cir.resize(g.pixels() * 3);
    std::ostringstream out;
    StageOptions options;
    options.threads = 2;
    options.reference = reference;
    {
        io::WriteQueue queue(out, /*background=*/!reference);
        io::ProductWriter rgbir16_writer(queue, rgbir16, false), cir8_writer(queue, cir8, false);
        rgbir16_writer.use_buffers(rgbir, half_bytes);
        run.raw = read_colour_image(colour, row_spans, rgbir16_writer);
        run.stretch = make_cir_composite(colour, run.raw, row_spans, run.cir, options);
        cir8_writer.write_kept(std::as_bytes(std::span(run.cir)));
        rgbir16_writer.finish();
        cir8_writer.finish();
        queue.finish();
    }
    EXPECT_EQ(out.str(), "");
    run.input = read_file(dir / "colour.raw");
    run.rgbir16 = read_file(dir / "rgbir16.raw");
    run.cir8 = read_file(dir / "cir8.raw");
    return run;
}

// Red holds one 0, blue is never below 10000, NIR is all 65535.
std::uint16_t crafted(int band, int row, int column) {
    switch (band) {
        case kRed:
            return row == 5 && column == 7 ? 0 : std::uint16_t(300 + (row * 13 + column) % 20000);
        case kGreen:
            return std::uint16_t(900 + (row * 7 + column * 3) % 30001);
        case kBlue:
            return std::uint16_t(10000 + (row + column) % 5000);
        default:
            return 65535;
    }
}

TEST(ColourStage, InterleavesLimitsAndComposite) {
    const ColourRun run = run_colour_stage(crafted);
    const ColourGeometry& g = kColourGeometry;
    ASSERT_EQ(run.rgbir16.size(), layout_of(Product::kRgbir16).file_bytes());
    ASSERT_EQ(run.cir8.size(), layout_of(Product::kCir8).file_bytes());
    // The first pixel comes from the first sample of each band line of row 0.
    for (int b = 0; b < kBands; ++b)
        EXPECT_EQ(test::sample_at(run.rgbir16, 2 * b), test::sample_at(run.input, 8 + 7360 * b));
    for (int row = 0; row < g.height; row += 29)
        for (int column = 0; column < g.width; column += 17)
            for (int b = 0; b < kBands; ++b)
                ASSERT_EQ(
                    test::sample_at(run.rgbir16, 8 * (std::size_t(row) * g.width + column) + 2 * b),
                    crafted(b, row, column));

    // Red, green and NIR limits print compressed; blue raw, its minimum the
    // start value 10000.
    BandLimits raw;
    for (int row = 0; row < g.height; ++row)
        for (int column = 0; column < g.width; ++column)
            for (int b = 0; b < kBands; ++b) {
                raw.maximum[b] = std::max(raw.maximum[b], crafted(b, row, column));
                raw.minimum[b] = std::min(raw.minimum[b], crafted(b, row, column));
            }
    ASSERT_EQ(raw.minimum[kBlue], 10000);
    const CirStretch s = CirStretch::from_raw_limits(raw);
    EXPECT_EQ(s.red.lo, 0);
    EXPECT_EQ(run.raw.minimum, raw.minimum);
    EXPECT_EQ(run.raw.maximum, raw.maximum);
    // The eight reported limits: the stretch's for the composite's bands,
    // not the raw maxima.
    const BandLimits eight = stretch_limits(run.raw, run.stretch);
    EXPECT_EQ(eight.minimum,
              (std::array<std::uint16_t, kBands>{s.red.lo, s.green.lo, 10000, s.nir.lo}));
    EXPECT_EQ(eight.maximum, (std::array<std::uint16_t, kBands>{s.red.hi, s.green.hi,
                                                                raw.maximum[kBlue], s.nir.hi}));

    for (std::size_t p = 0; p < g.pixels(); p += 131) {
        const int row = int(p / g.width), column = int(p % g.width);
        ASSERT_EQ(run.cir8[3 * p], s.nir.stretch(s.nir.compress(65535)));
        ASSERT_EQ(run.cir8[3 * p + 1], s.red.stretch(s.red.compress(crafted(kRed, row, column))));
        ASSERT_EQ(run.cir8[3 * p + 2],
                  s.green.stretch(s.green.compress(crafted(kGreen, row, column))));
    }
    EXPECT_EQ(run.cir8[3 * (5 * g.width + 7) + 1], 0);  // the red 0 is the red minimum
    EXPECT_EQ(run.cir, run.cir8);
}

TEST(ColourStage, CompositeIgnoresBlueHeaderAndTrailingBytes) {
    const ColourRun a = run_colour_stage(crafted);
    const auto other_blue = [](int band, int row, int column) {
        return band == kBlue ? std::uint16_t((row * column) % 9000) : crafted(band, row, column);
    };
    const ColourRun b = run_colour_stage(other_blue, 0x5a, 12345, /*reference=*/true);
    EXPECT_EQ(a.cir8, b.cir8);
    // Only blue's limits differ, and blue takes no part in the stretch.
    for (const int band : {kRed, kGreen, kNir}) {
        EXPECT_EQ(a.raw.minimum[band], b.raw.minimum[band]) << band;
        EXPECT_EQ(a.raw.maximum[band], b.raw.maximum[band]) << band;
    }
    EXPECT_NE(a.raw.minimum[kBlue], b.raw.minimum[kBlue]);
    for (std::size_t i = 0; i < a.rgbir16.size(); i += 2)
        if ((i / 2) % 4 != kBlue) {
            ASSERT_EQ(a.rgbir16[i], b.rgbir16[i]);
        }
}

}  // namespace
}  // namespace cirsharp
