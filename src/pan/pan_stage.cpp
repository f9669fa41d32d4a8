#include "pan/pan_stage.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "compute/split.hpp"
#include "io/file.hpp"
#include "io/product_writer.hpp"
#include "pan/pan_kernels.hpp"

namespace cirsharp {

namespace {

constexpr const PanGeometry& g = kPanGeometry;

// Kept rows in row of tiles `tile_row`: the last row of tiles is cropped.
int kept_rows(int tile_row) {
    return std::min(g.tile, g.height - tile_row * g.tile);
}

std::span<std::uint16_t> as_samples(std::span<std::byte> b) {
    return {reinterpret_cast<std::uint16_t*>(b.data()), b.size() / sizeof(std::uint16_t)};
}

// Reads row of tiles `tile_row` into `buffer`, each thread its share, and
// with `scan` returns the limits and counts of the row as it lies warm in the
// cache.
PanScan read_tile_row(io::InputFile& tiles, int tile_row, std::span<std::uint16_t> buffer,
                      int threads, bool scan) {
    const std::size_t row_samples = g.tile_row_samples();
    const std::uint64_t at =
        kPanHeaderBytes + std::uint64_t(tile_row) * row_samples * sizeof(std::uint16_t);
    return parallel_reduce(
        threads, row_samples, PanScan{},
        [&](std::size_t begin, std::size_t end) {
            const auto part = buffer.subspan(begin, end - begin);
            tiles.read_at(at + begin * sizeof(std::uint16_t), std::as_writable_bytes(part));
            return scan ? scan_pan_tile_row(buffer, g, kept_rows(tile_row), begin, end) : PanScan{};
        },
        [](const PanScan& a, const PanScan& b) { return merge(a, b); });
}

// The raw samples of one kept row as a list of tile-row segments.
void pan16_row_parts(std::span<const std::uint16_t> tiles, int row, std::vector<iovec>& parts) {
    for (int column = 0; column < g.width; column += g.tile) {
        const std::uint16_t* in = tiles.data() + tile_index(g, row, column);
        const int n = std::min(g.tile, g.width - column);
        parts.push_back({const_cast<std::uint16_t*>(in), std::size_t(n) * sizeof(std::uint16_t)});
    }
}

}  // namespace

// Every row of tiles, the cropped margin too, for the limits; the kept rows
// go to PAN16 straight from the buffer they were read into.
PanScan scan_pan_image(const PanStageFiles& files, int threads) {
    PanScan found;
    for (int tile_row = 0; tile_row < g.tile_rows; ++tile_row) {
        const auto buffer = files.pan16.next();
        const auto samples = as_samples(buffer);
        found = merge(found, read_tile_row(files.tiles, tile_row, samples, threads, true));
        std::vector<iovec> parts;
        for (int row = 0; row < kept_rows(tile_row); ++row)
            pan16_row_parts(samples, row, parts);
        files.pan16.write(buffer, std::move(parts));
    }
    return found;
}

void stretch_pan_image(const PanStageFiles& files, const PanLimits& limits,
                       std::span<std::uint8_t> plane, const StageOptions& options,
                       const std::function<void()>& first_stretched) {
    const BandStretch band =
        BandStretch::from_raw_limits(limits.maximum, limits.minimum, kPanExponent);
    // 64 KiB: on the heap, as a run may be given a small stack.
    const auto table = std::make_unique<ByteTable>();
    if (!options.reference) build_byte_table(band, *table);
    for (int tile_row = 0; tile_row * g.tile < g.height; ++tile_row) {
        const auto buffer = files.pan16.next();
        const auto samples = as_samples(buffer);
        read_tile_row(files.tiles, tile_row, samples, options.threads, false);
        const auto rows = plane.subspan(std::size_t(tile_row) * g.tile * g.width,
                                        std::size_t(kept_rows(tile_row)) * g.width);
        parallel_for(options.threads, std::size_t(kept_rows(tile_row)),
                     [&](std::size_t begin, std::size_t end) {
                         if (options.reference)
                             stretch_pan_rows_reference(samples, g, band, int(begin), int(end),
                                                        rows);
                         else
                             stretch_pan_rows(samples, g, *table, int(begin), int(end), rows);
                     });
        files.pan16.give_back(buffer);  // these tiles are not written again
        if (tile_row == 0) first_stretched();
        files.pan8.write_kept(std::as_bytes(rows));
    }
}

}  // namespace cirsharp
