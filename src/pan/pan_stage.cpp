#include "pan/pan_stage.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "io/pipeline.hpp"

namespace cirsharp {

namespace {

[[gnu::always_inline]] inline PanLimits scan_samples(const std::uint16_t* v, std::size_t n) {
    // The minimum is taken over s - 2 in 16-bit arithmetic, where 0 and 1
    // wrap to 65534 and 65535, above every sample that may become the
    // minimum: two plain reductions that vectorise.
    std::uint16_t maximum = 0;
    std::uint16_t shifted_minimum = 0xffff;
    for (std::size_t i = 0; i < n; ++i) {
        maximum = std::max(maximum, v[i]);
        shifted_minimum = std::min(shifted_minimum, std::uint16_t(v[i] - 2));
    }
    const std::uint16_t minimum =
        shifted_minimum >= 0xfffe ? kPanMinimumStart
                                  : std::min<std::uint16_t>(shifted_minimum + 2, kPanMinimumStart);
    return {maximum, minimum};
}

[[gnu::target("avx2")]] PanLimits scan_samples_avx2(const std::uint16_t* v, std::size_t n) {
    return scan_samples(v, n);
}

PanLimits scan_samples_sse2(const std::uint16_t* v, std::size_t n) {
    return scan_samples(v, n);
}

}  // namespace

PanLimits scan_pan_limits(std::span<const std::uint16_t> samples) {
    return __builtin_cpu_supports("avx2") ? scan_samples_avx2(samples.data(), samples.size())
                                          : scan_samples_sse2(samples.data(), samples.size());
}

PanLimits merge(PanLimits a, PanLimits b) {
    return {std::max(a.maximum, b.maximum), std::min(a.minimum, b.minimum)};
}

namespace {

template <class Convert>
void for_kept_rows(std::span<const std::uint16_t> tiles, const PanGeometry& g, int row_begin,
                   int row_end, std::span<std::uint8_t> plane, Convert convert) {
    for (int row = row_begin; row < row_end; ++row) {
        std::uint8_t* out = plane.data() + std::size_t(row) * g.width;
        for (int column = 0; column < g.width; column += g.tile) {
            const std::uint16_t* in = tiles.data() + tile_index(g, row, column);
            const int n = std::min(g.tile, g.width - column);
            for (int i = 0; i < n; ++i)
                out[column + i] = convert(in[i]);
        }
    }
}

// The raw samples of one kept row as a list of tile-row segments.
void pan16_row_parts(std::span<const std::uint16_t> tiles, const PanGeometry& g, int row,
                     std::vector<iovec>& parts) {
    for (int column = 0; column < g.width; column += g.tile) {
        const std::uint16_t* in = tiles.data() + tile_index(g, row, column);
        const int n = std::min(g.tile, g.width - column);
        parts.push_back({const_cast<std::uint16_t*>(in), std::size_t(n) * sizeof(std::uint16_t)});
    }
}

}  // namespace

void stretch_pan_rows(std::span<const std::uint16_t> tiles, const PanGeometry& g,
                      const ByteTable& table, int row_begin, int row_end,
                      std::span<std::uint8_t> plane) {
    for_kept_rows(tiles, g, row_begin, row_end, plane,
                  [&table](std::uint16_t v) { return table[v]; });
}

void stretch_pan_rows_reference(std::span<const std::uint16_t> tiles, const PanGeometry& g,
                                const BandStretch& band, int row_begin, int row_end,
                                std::span<std::uint8_t> plane) {
    for_kept_rows(tiles, g, row_begin, row_end, plane,
                  [&band](std::uint16_t v) { return band.stretch(band.compress(v)); });
}

void untile_pan_image(const PanStageFiles& files, std::span<std::uint16_t> tiles,
                      std::span<std::uint8_t> plane, io::Pipeline& pipeline,
                      const StageOptions& options) {
    const PanGeometry& g = kPanGeometry;
    const std::size_t row_samples = tile_row_samples(g);
    const std::size_t row_bytes = row_samples * sizeof(std::uint16_t);
    const int readers = files.tiles.seekable() ? options.threads : 1;
    // Reads row of tiles `tile_row` into `buffer`, each reader its share,
    // and with `scan` returns the limits of that share as it lies warm in
    // the cache.
    auto read_tile_row = [&](int tile_row, std::span<std::uint16_t> buffer, bool scan) {
        const std::uint64_t at = kPanHeaderBytes + std::uint64_t(tile_row) * row_bytes;
        return io::parallel_reduce(
            readers, row_samples, PanLimits{},
            [&](std::size_t begin, std::size_t end) {
                const auto part = buffer.subspan(begin, end - begin);
                files.tiles.read_at(at + begin * sizeof(std::uint16_t),
                                    std::as_writable_bytes(part));
                return scan ? scan_pan_limits(part) : PanLimits{};
            },
            merge);
    };
    auto kept_rows = [&](int tile_row) {
        return std::min(g.tile, g.height - tile_row * g.tile);  // the last row of tiles is cropped
    };

    // Two rows of tiles in turn: one is read while the other is written.
    io::BufferPool halves(std::as_writable_bytes(tiles.first(2 * row_samples)), row_bytes);
    const io::DrainOnUnwind drain_on_unwind(pipeline);
    auto as_samples = [](std::span<std::byte> b) {
        return std::span(reinterpret_cast<std::uint16_t*>(b.data()), b.size() / 2);
    };

    // The cropped margin takes part in the limits, so every row of tiles is
    // read, the last one too.
    PanLimits limits;
    for (int tile_row = 0; tile_row < g.tile_rows; ++tile_row) {
        const auto buffer = halves.acquire(pipeline);
        const auto samples = as_samples(buffer);
        limits = merge(limits, read_tile_row(tile_row, samples, true));
        std::vector<iovec> parts;
        for (int row = 0; row < kept_rows(tile_row); ++row)
            pan16_row_parts(samples, g, row, parts);
        pipeline.write(files.pan16, std::move(parts));
        pipeline.then([&halves, buffer] { halves.release(buffer); });
    }
    pipeline.print("PAN Maximum:  " + std::to_string(limits.maximum));
    pipeline.print("PAN Minimum:  " + std::to_string(limits.minimum));

    const BandStretch band =
        BandStretch::from_raw_limits(limits.maximum, limits.minimum, kPanExponent);
    pipeline.print("Tiilityksen purku");
    pipeline.print("With simoultaneous output of  " + files.pan16.path());

    ByteTable table;
    if (!options.reference) build_byte_table(band, table);
    for (int tile_row = 0; tile_row * g.tile < g.height; ++tile_row) {
        const auto buffer = halves.acquire(pipeline);
        const auto samples = as_samples(buffer);
        read_tile_row(tile_row, samples, false);
        const auto rows = plane.subspan(std::size_t(tile_row) * g.tile * g.width,
                                        std::size_t(kept_rows(tile_row)) * g.width);
        io::parallel_for(options.threads, std::size_t(kept_rows(tile_row)),
                         [&](std::size_t begin, std::size_t end) {
                             if (options.reference)
                                 stretch_pan_rows_reference(samples, g, band, int(begin), int(end),
                                                            rows);
                             else
                                 stretch_pan_rows(samples, g, table, int(begin), int(end), rows);
                         });
        halves.release(buffer);
        if (tile_row == 0) {
            pipeline.print("Done, now writing output of  " + files.pan8.path());
            pipeline.print("Kopioin PAN datan");
        }
        pipeline.write(files.pan8, std::as_bytes(rows));
    }
    files.tiles.close();
    pipeline.print("Copying of PAN Done! Proceeding with CIR, reading it");
    pipeline.commit(files.pan8, options.durable);
    pipeline.commit(files.pan16, options.durable);
    // Both halves back: no queued job refers to them any more.
    halves.acquire(pipeline);
    halves.acquire(pipeline);
}

}  // namespace cirsharp
