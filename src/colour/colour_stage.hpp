// Colour stage: the band-interleaved-by-line colour image, re-interleaved per
// pixel into the RGBIR buffer and product, its band limits, and the 8-bit
// colour-infrared composite of near infrared, red and green.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "io/pipeline.hpp"
#include "radiometry/radiometry.hpp"

namespace cirsharp {

namespace io {
class InputFile;
class OutputFile;
}  // namespace io

enum Band : int { kRed = 0, kGreen = 1, kBlue = 2, kNir = 3 };
inline constexpr int kBands = 4;

struct ColourGeometry {
    int width;
    int height;
    std::size_t pixels() const { return std::size_t(width) * height; }
    std::size_t row_bytes() const { return std::size_t(width) * kBands * sizeof(std::uint16_t); }
};

inline constexpr ColourGeometry kColourGeometry{3680, 2400};
inline constexpr std::uint64_t kColourHeaderBytes = 8;
inline constexpr std::uint16_t kBandMinimumStart = 10000;

// A maximum and a minimum per band, indexed by Band. Minima start at 10000,
// so a band whose samples are all 10000 or more reports 10000.
struct BandLimits {
    std::array<std::uint16_t, kBands> maximum{0, 0, 0, 0};
    std::array<std::uint16_t, kBands> minimum{kBandMinimumStart, kBandMinimumStart,
                                              kBandMinimumStart, kBandMinimumStart};
};

// One row's four band lines (red, green, blue, NIR) into pixel order at
// `rgbir` (4 x width samples), gathering the limits on the way.
void interleave_row(const std::array<std::span<const std::uint16_t>, kBands>& lines,
                    std::span<std::uint16_t> rgbir, BandLimits& limits);

// Compression and stretch of the three composite bands, from raw limits.
struct CirStretch {
    BandStretch nir, red, green;
    static CirStretch from_raw_limits(const BandLimits& raw);
};

// One row of the composite (3 bytes a pixel: NIR, red, green) from the
// row's NIR, red and green lines, each through its band's
// raw-sample-to-byte table.
struct CirTables {
    ByteTable nir, red, green;
};
void composite_row(std::span<const std::uint16_t> nir, std::span<const std::uint16_t> red,
                   std::span<const std::uint16_t> green, const CirTables& tables,
                   std::span<std::uint8_t> cir_row);

// The same through the per-sample functions: the reference that the table
// path must match byte for byte. Blue takes no part.
void composite_row_reference(std::span<const std::uint16_t> nir, std::span<const std::uint16_t> red,
                             std::span<const std::uint16_t> green, const CirStretch& stretch,
                             std::span<std::uint8_t> cir_row);

struct ColourStageFiles {
    io::InputFile& colour;
    io::OutputFile& rgbir16;
    io::OutputFile& cir8;
};

// Rows the colour stage moves per read: each band row buffer holds this many
// lines of its band, and the RGBIR buffer two such bands of pixels.
inline constexpr int kColourBandRows = 100;
inline std::size_t band_row_samples(const ColourGeometry& g) {
    return std::size_t(g.width) * kColourBandRows;
}
inline std::size_t rgbir_band_samples(const ColourGeometry& g) {
    return band_row_samples(g) * kBands;
}

// Reads the colour file a band of rows at a time into the four band row
// buffers, interleaves each band into one half of `rgbir` (two bands long)
// while gathering the limits, and hands it to the writer as RGBIR16.
// Returns the raw band limits; `rgbir` must outlive the queued jobs.
BandLimits read_colour_image(const ColourStageFiles& files,
                             const std::array<std::span<std::uint16_t>, kBands>& band_rows,
                             std::span<std::uint16_t> rgbir, io::Pipeline& pipeline,
                             const StageOptions& options);

// Reads the colour file again through the band row buffers and fills `cir`
// from its NIR, red and green lines; queues the eight stretch limits, the
// writing of CIR8 from `cir` and the commits of RGBIR16 and CIR8. `limits`
// ends holding the compressed limits of NIR, red and green and the raw ones
// of blue.
void make_cir_composite(BandLimits& limits,
                        const std::array<std::span<std::uint16_t>, kBands>& band_rows,
                        std::span<std::uint8_t> cir, const ColourStageFiles& files,
                        io::Pipeline& pipeline, const StageOptions& options);

}  // namespace cirsharp
