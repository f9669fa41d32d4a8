#include "colour/colour_stage.hpp"

#include <algorithm>
#include <string>

#include "io/file.hpp"
#include "io/pipeline.hpp"

namespace cirsharp {

BandLimits merge(const BandLimits& a, const BandLimits& b) {
    BandLimits m;
    for (int band = 0; band < kBands; ++band) {
        m.maximum[band] = std::max(a.maximum[band], b.maximum[band]);
        m.minimum[band] = std::min(a.minimum[band], b.minimum[band]);
    }
    return m;
}

void interleave_row(const std::array<std::span<const std::uint16_t>, kBands>& lines,
                    std::span<std::uint16_t> rgbir, BandLimits& limits) {
    const std::size_t width = lines[0].size();
    for (int band = 0; band < kBands; ++band) {
        const std::uint16_t* in = lines[band].data();
        std::uint16_t* out = rgbir.data() + band;
        std::uint16_t maximum = limits.maximum[band];
        std::uint16_t minimum = limits.minimum[band];
        for (std::size_t c = 0; c < width; ++c) {
            const std::uint16_t v = in[c];
            out[4 * c] = v;
            maximum = std::max(maximum, v);
            minimum = std::min(minimum, v);
        }
        limits.maximum[band] = maximum;
        limits.minimum[band] = minimum;
    }
}

CirStretch CirStretch::from_raw_limits(const BandLimits& raw) {
    // Gains and compressed limits in the order NIR, red, green.
    CirStretch s;
    s.nir = BandStretch::from_raw_limits(raw.maximum[kNir], raw.minimum[kNir], kNirExponent);
    s.red = BandStretch::from_raw_limits(raw.maximum[kRed], raw.minimum[kRed], kRedExponent);
    s.green =
        BandStretch::from_raw_limits(raw.maximum[kGreen], raw.minimum[kGreen], kGreenExponent);
    return s;
}

void composite_pixels(std::span<const std::uint16_t> rgbir, const CirTables& tables,
                      std::size_t begin, std::size_t end, std::span<std::uint8_t> cir) {
    const std::uint16_t* in = rgbir.data();
    std::uint8_t* out = cir.data();
    for (std::size_t p = begin; p < end; ++p) {
        out[3 * p + 0] = tables.nir[in[4 * p + kNir]];
        out[3 * p + 1] = tables.red[in[4 * p + kRed]];
        out[3 * p + 2] = tables.green[in[4 * p + kGreen]];
    }
}

void composite_pixels_reference(std::span<const std::uint16_t> rgbir, const CirStretch& s,
                                std::size_t begin, std::size_t end,
                                std::span<std::uint8_t> cir) {
    for (std::size_t p = begin; p < end; ++p) {
        const std::uint16_t* px = rgbir.data() + 4 * p;
        const std::uint16_t nir = s.nir.compress(px[kNir]);
        const std::uint16_t red = s.red.compress(px[kRed]);
        const std::uint16_t green = s.green.compress(px[kGreen]);
        cir[3 * p + 0] = s.nir.stretch(nir);
        cir[3 * p + 1] = s.red.stretch(red);
        cir[3 * p + 2] = s.green.stretch(green);
    }
}

BandLimits read_colour_image(const ColourStageFiles& files,
                             const std::array<std::span<std::uint16_t>, kBands>& band_rows,
                             std::span<std::uint16_t> rgbir, io::Pipeline& pipeline,
                             const StageOptions&) {
    const ColourGeometry& g = kColourGeometry;
    const std::size_t line_bytes = std::size_t(g.width) * sizeof(std::uint16_t);
    const std::size_t row_samples = std::size_t(g.width) * kBands;
    std::array<iovec, kBands> parts{};
    std::array<std::span<const std::uint16_t>, kBands> lines;
    for (int band = 0; band < kBands; ++band) {
        parts[band] = {band_rows[band].data(), line_bytes};
        lines[band] = band_rows[band].first(std::size_t(g.width));
    }
    BandLimits limits;
    for (int row = 0; row < g.height; ++row) {
        files.colour.read_at(kColourHeaderBytes + std::uint64_t(row) * g.row_bytes(), parts);
        interleave_row(lines, rgbir.subspan(std::size_t(row) * row_samples, row_samples), limits);
    }
    pipeline.write(files.rgbir16, std::as_bytes(rgbir.first(g.pixels() * kBands)));
    pipeline.print("RGBIR uint(16) Written! Proceeding with CIR uint8");
    return limits;
}

void make_cir_composite(BandLimits& limits, std::span<const std::uint16_t> rgbir,
                        std::span<std::uint8_t> cir, const ColourStageFiles& files,
                        io::Pipeline& pipeline, const StageOptions& options) {
    const ColourGeometry& g = kColourGeometry;
    const CirStretch s = CirStretch::from_raw_limits(limits);
    limits.maximum[kNir] = s.nir.hi;
    limits.minimum[kNir] = s.nir.lo;
    limits.maximum[kRed] = s.red.hi;
    limits.minimum[kRed] = s.red.lo;
    limits.maximum[kGreen] = s.green.hi;
    limits.minimum[kGreen] = s.green.lo;

    if (options.reference) {
        io::parallel_for(options.threads_beside_writer(), g.pixels(), [&](std::size_t begin, std::size_t end) {
            composite_pixels_reference(rgbir, s, begin, end, cir);
        });
    } else {
        CirTables tables;
        build_byte_table(s.nir, tables.nir);
        build_byte_table(s.red, tables.red);
        build_byte_table(s.green, tables.green);
        io::parallel_for(options.threads_beside_writer(), g.pixels(), [&](std::size_t begin, std::size_t end) {
            composite_pixels(rgbir, tables, begin, end, cir);
        });
    }

    std::string line;
    for (const int band : {kRed, kGreen, kBlue, kNir}) line += std::to_string(limits.minimum[band]) + ' ';
    for (const int band : {kRed, kGreen, kBlue, kNir}) line += std::to_string(limits.maximum[band]) + ' ';
    line.pop_back();
    pipeline.print(std::move(line));
    pipeline.write(files.cir8, std::as_bytes(cir.first(g.pixels() * 3)));
    pipeline.print("RGB CIR uint8 Written! Proceeding with PANsharpened CIR in RGB uint8");
    files.colour.close();
    pipeline.commit(files.rgbir16, options.durable);
    pipeline.commit(files.cir8, options.durable);
}

}  // namespace cirsharp
