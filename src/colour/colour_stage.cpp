#include "colour/colour_stage.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "colour/colour_kernels.hpp"
#include "compute/split.hpp"
#include "io/file.hpp"
#include "io/product_writer.hpp"

namespace cirsharp {

namespace {

// Reads rows [row, row + rows) of the colour file, each row's four band
// lines into the band row buffers at line (r - row).
void read_colour_rows(io::InputFile& colour, const BandRows& band_rows, int row, int rows) {
    const ColourGeometry& g = kColourGeometry;
    std::vector<iovec> parts;
    parts.reserve(std::size_t(rows) * kBands);
    for (int r = 0; r < rows; ++r)
        for (int band = 0; band < kBands; ++band)
            parts.push_back({band_rows[band].data() + std::size_t(r) * g.width,
                             std::size_t(g.width) * sizeof(std::uint16_t)});
    colour.read_at(kColourHeaderBytes + std::uint64_t(row) * g.row_bytes(), parts);
}

std::span<const std::uint16_t> line(const std::span<std::uint16_t>& band_rows, int r) {
    const std::size_t width = std::size_t(kColourGeometry.width);
    return band_rows.subspan(std::size_t(r) * width, width);
}

}  // namespace

BandLimits stretch_limits(const BandLimits& raw, const CirStretch& s) {
    BandLimits limits = raw;
    limits.maximum[kNir] = s.nir.hi;
    limits.minimum[kNir] = s.nir.lo;
    limits.maximum[kRed] = s.red.hi;
    limits.minimum[kRed] = s.red.lo;
    limits.maximum[kGreen] = s.green.hi;
    limits.minimum[kGreen] = s.green.lo;
    return limits;
}

BandLimits read_colour_image(io::InputFile& colour, const BandRows& band_rows,
                             io::ProductWriter& rgbir16) {
    const ColourGeometry& g = kColourGeometry;
    const std::size_t half = rgbir_band_samples(g);
    BandLimits limits;
    for (int row = 0; row < g.height; row += kColourBandRows) {
        const int rows = std::min(kColourBandRows, g.height - row);
        read_colour_rows(colour, band_rows, row, rows);
        const auto buffer = rgbir16.next();
        const std::span pixels(reinterpret_cast<std::uint16_t*>(buffer.data()), half);
        const std::size_t row_samples = std::size_t(g.width) * kBands;
        for (int r = 0; r < rows; ++r)
            interleave_row({line(band_rows[0], r), line(band_rows[1], r), line(band_rows[2], r),
                            line(band_rows[3], r)},
                           pixels.subspan(std::size_t(r) * row_samples, row_samples), limits);
        rgbir16.write(buffer.first(std::size_t(rows) * g.row_bytes()));
    }
    return limits;
}

CirStretch make_cir_composite(io::InputFile& colour, const BandLimits& limits,
                              const BandRows& band_rows, std::span<std::uint8_t> cir,
                              const StageOptions& options) {
    const ColourGeometry& g = kColourGeometry;
    const CirStretch s = CirStretch::from_raw_limits(limits);
    // 192 KiB: on the heap, as a run may be given a small stack.
    const auto tables = std::make_unique<CirTables>();
    if (!options.reference) {
        build_byte_table(s.nir, tables->nir);
        build_byte_table(s.red, tables->red);
        build_byte_table(s.green, tables->green);
    }
    const std::size_t cir_row_bytes = std::size_t(g.width) * 3;
    for (int row = 0; row < g.height; row += kColourBandRows) {
        const int rows = std::min(kColourBandRows, g.height - row);
        read_colour_rows(colour, band_rows, row, rows);
        parallel_for(options.threads, std::size_t(rows), [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                const auto out = cir.subspan((row + r) * cir_row_bytes, cir_row_bytes);
                const auto nir = line(band_rows[kNir], int(r));
                const auto red = line(band_rows[kRed], int(r));
                const auto green = line(band_rows[kGreen], int(r));
                if (options.reference)
                    composite_row_reference(nir, red, green, s, out);
                else
                    composite_row(nir, red, green, *tables, out);
            }
        });
    }
    return s;
}

}  // namespace cirsharp
