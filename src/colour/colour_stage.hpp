// Colour stage: the band-interleaved-by-line colour image, re-interleaved per
// pixel into the RGBIR16 product, its band limits, and the 8-bit
// colour-infrared composite of near infrared, red and green.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "compute/options.hpp"
#include "radiometry/radiometry.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace io {
class InputFile;
class ProductWriter;
}  // namespace io

inline constexpr std::uint16_t kBandMinimumStart = 10000;

// A maximum and a minimum per band, indexed by Band. Minima start at 10000,
// so a band whose samples are all 10000 or more reports 10000.
struct BandLimits {
    std::array<std::uint16_t, kBands> maximum{0, 0, 0, 0};
    std::array<std::uint16_t, kBands> minimum{kBandMinimumStart, kBandMinimumStart,
                                              kBandMinimumStart, kBandMinimumStart};
};

// Compression and stretch of the three composite bands, from raw limits.
struct CirStretch {
    BandStretch nir, red, green;
    static CirStretch from_raw_limits(const BandLimits& raw);
};

// The eight limits the run reports once the composite is made: the
// compressed limits of NIR, red and green, and the raw ones of blue.
BandLimits stretch_limits(const BandLimits& raw, const CirStretch& stretch);

// Rows the colour stage moves per read: each band row buffer holds this many
// lines of its band, and each RGBIR16 buffer one such band of pixels.
inline constexpr int kColourBandRows = 100;
constexpr std::size_t band_row_samples(const ColourGeometry& g) {
    return std::size_t(g.width) * kColourBandRows;
}
constexpr std::size_t rgbir_band_samples(const ColourGeometry& g) {
    return band_row_samples(g) * kBands;
}

using BandRows = std::array<std::span<std::uint16_t>, kBands>;

// Reads the colour file a band of rows at a time into the four band row
// buffers, interleaves each band into a buffer of `rgbir16` (of
// rgbir_band_samples() samples) while gathering the limits, and hands it
// back. Returns the raw band limits.
BandLimits read_colour_image(io::InputFile& colour, const BandRows& band_rows,
                             io::ProductWriter& rgbir16);

// Reads the colour file again through the band row buffers and fills `cir`
// (3 bytes a pixel) from its NIR, red and green lines, stretched by their
// raw `limits`. Returns the stretch it used.
CirStretch make_cir_composite(io::InputFile& colour, const BandLimits& limits,
                              const BandRows& band_rows, std::span<std::uint8_t> cir,
                              const StageOptions& options);

}  // namespace cirsharp
