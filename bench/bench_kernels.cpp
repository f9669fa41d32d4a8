// Micro-benchmarks of the kernels, in samples or pixels per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "colour/colour_kernels.hpp"
#include "fusion/fusion_kernels.hpp"
#include "pan/pan_kernels.hpp"
#include "radiometry/radiometry.hpp"
#include "raster/geometry.hpp"
#include "scene.hpp"

namespace {

using namespace cirsharp;

template <class T>
std::vector<T> random_samples(std::size_t n, int lo, int hi) {
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> d(lo, hi);
    std::vector<T> v(n);
    for (auto& x : v)
        x = T(d(rng));
    return v;
}

void BM_ByteTable(benchmark::State& state) {
    const auto band = BandStretch::from_raw_limits(13199, 1300, kPanExponent);
    ByteTable table;
    for (auto _ : state) {
        build_byte_table(band, table);
        benchmark::DoNotOptimize(table.data());
    }
    state.SetItemsProcessed(state.iterations() * 65536);
}
BENCHMARK(BM_ByteTable)->Unit(benchmark::kMillisecond);

const std::vector<std::uint16_t>& pan_tiles() {
    static const auto tiles = random_samples<std::uint16_t>(kPanGeometry.tile_samples(), 0, 14000);
    return tiles;
}

void BM_PanLimitScan(benchmark::State& state) {
    pan_tiles();
    for (auto _ : state)
        benchmark::DoNotOptimize(scan_pan_limits(pan_tiles()));
    state.SetItemsProcessed(state.iterations() * std::int64_t(pan_tiles().size()));
}
BENCHMARK(BM_PanLimitScan)->Unit(benchmark::kMillisecond);

// The scan the PAN stage runs: limits, and the counts of 0, 1 and 65535 over
// the kept image, a row of tiles at a time. Argument 0: the samples above,
// where one 2048-sample block in four holds a 0 or a 1 and is counted again;
// 1: the same with nodata only in the first rows of the first tile, as in the
// sample exposure.
void BM_PanTileRowScan(benchmark::State& state) {
    const PanGeometry& g = kPanGeometry;
    std::vector<std::uint16_t> tiles = pan_tiles();
    if (state.range(0) == 1)
        for (std::size_t i = 0; i < tiles.size(); ++i)
            tiles[i] = i < 48 * 512 ? 0 : std::max<std::uint16_t>(tiles[i], 2);
    const std::size_t row = g.tile_row_samples();
    for (auto _ : state)
        for (int r = 0; r < g.tile_rows; ++r) {
            const std::span<const std::uint16_t> samples(tiles.data() + std::size_t(r) * row, row);
            benchmark::DoNotOptimize(
                scan_pan_tile_row(samples, g, std::min(g.tile, g.height - r * g.tile), 0, row));
        }
    state.SetItemsProcessed(state.iterations() * std::int64_t(tiles.size()));
}
BENCHMARK(BM_PanTileRowScan)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_PanRows(benchmark::State& state) {
    const auto band = BandStretch::from_raw_limits(14000, 2, kPanExponent);
    ByteTable table;
    build_byte_table(band, table);
    std::vector<std::uint8_t> plane(kPanGeometry.kept_samples());
    const int rows = int(state.range(0));
    for (auto _ : state) {
        if (state.range(1))
            stretch_pan_rows_reference(pan_tiles(), kPanGeometry, band, 0, rows, plane);
        else
            stretch_pan_rows(pan_tiles(), kPanGeometry, table, 0, rows, plane);
        benchmark::DoNotOptimize(plane.data());
    }
    state.SetItemsProcessed(state.iterations() * rows * kPanGeometry.width);
}
BENCHMARK(BM_PanRows)->Args({7500, 0})->Args({200, 1})->Unit(benchmark::kMillisecond);

void BM_Composite(benchmark::State& state) {
    const ColourGeometry& g = kColourGeometry;
    static const auto lines = random_samples<std::uint16_t>(std::size_t(g.width) * 3, 0, 30000);
    const std::span<const std::uint16_t> nir(lines.data(), std::size_t(g.width)),
        red(lines.data() + g.width, std::size_t(g.width)),
        green(lines.data() + 2 * g.width, std::size_t(g.width));
    BandLimits raw;
    raw.maximum = {30000, 30000, 30000, 30000};
    raw.minimum = {0, 0, 0, 0};
    const CirStretch s = CirStretch::from_raw_limits(raw);
    CirTables tables;
    build_byte_table(s.nir, tables.nir);
    build_byte_table(s.red, tables.red);
    build_byte_table(s.green, tables.green);
    std::vector<std::uint8_t> cir(std::size_t(g.width) * 3);
    for (auto _ : state) {
        if (state.range(1))
            composite_row_reference(nir, red, green, s, cir);
        else
            composite_row(nir, red, green, tables, cir);
        benchmark::DoNotOptimize(cir.data());
    }
    state.SetItemsProcessed(state.iterations() * g.width);
}
BENCHMARK(BM_Composite)->Args({0, 0})->Args({0, 1});

void BM_Fusion(benchmark::State& state) {
    const FusionGeometry& g = kFusionGeometry;
    static const auto cir =
        random_samples<std::uint8_t>(std::size_t(g.source_width) * g.source_height * 3, 0, 255);
    static const auto pan = random_samples<std::uint8_t>(std::size_t(g.width) * g.height, 0, 255);
    const int rows = int(state.range(0));
    std::vector<std::uint8_t> out(std::size_t(rows) * g.width * 3);
    for (auto _ : state) {
        if (state.range(1))
            sharpen_rows_reference(cir, pan, g, 0, rows, out);
        else
            sharpen_rows(cir, pan, g, 0, rows, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * rows * g.width);
}
BENCHMARK(BM_Fusion)->Args({400, 0})->Args({50, 1})->Unit(benchmark::kMillisecond);

// cirsharp-sample's scene on one thread: every eighth block of seed 1 (its
// PAN rows, and its colour rows where it has any), in PAN pixels per second.
void BM_SceneBlocks(benchmark::State& state) {
    static const sample::Scene scene(1);
    sample::Scene::Workspace work;
    std::vector<std::uint16_t> pan(std::size_t(sample::kBlockPanRows) *
                                   kPanGeometry.mosaic_width());
    std::vector<std::uint16_t> colour(std::size_t(sample::kBlockColourRows) *
                                      std::size_t(kColourGeometry.width) * kBands);
    std::int64_t pixels = 0;
    for (auto _ : state)
        for (int b = 0; b < sample::Scene::blocks(); b += 8) {
            scene.render_block(b, pan, colour, work);
            benchmark::DoNotOptimize(pan.data());
            pixels += sample::Scene::pan_rows(b) * std::int64_t(kPanGeometry.mosaic_width());
        }
    state.SetItemsProcessed(pixels);
}
BENCHMARK(BM_SceneBlocks)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
