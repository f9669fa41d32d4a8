#include "colour/colour_kernels.hpp"

#include <algorithm>

namespace cirsharp {

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

void composite_row(std::span<const std::uint16_t> nir, std::span<const std::uint16_t> red,
                   std::span<const std::uint16_t> green, const CirTables& tables,
                   std::span<std::uint8_t> cir_row) {
    std::uint8_t* out = cir_row.data();
    for (std::size_t c = 0; c < nir.size(); ++c) {
        out[3 * c + 0] = tables.nir[nir[c]];
        out[3 * c + 1] = tables.red[red[c]];
        out[3 * c + 2] = tables.green[green[c]];
    }
}

void composite_row_reference(std::span<const std::uint16_t> nir, std::span<const std::uint16_t> red,
                             std::span<const std::uint16_t> green, const CirStretch& s,
                             std::span<std::uint8_t> cir_row) {
    for (std::size_t c = 0; c < nir.size(); ++c) {
        cir_row[3 * c + 0] = s.nir.stretch(s.nir.compress(nir[c]));
        cir_row[3 * c + 1] = s.red.stretch(s.red.compress(red[c]));
        cir_row[3 * c + 2] = s.green.stretch(s.green.compress(green[c]));
    }
}

}  // namespace cirsharp
