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
BandLimits merge(const BandLimits& a, const BandLimits& b);

// One row's four band lines (red, green, blue, NIR) into pixel order at
// `rgbir` (4 x width samples), gathering the limits on the way.
void interleave_row(const std::array<std::span<const std::uint16_t>, kBands>& lines,
                    std::span<std::uint16_t> rgbir, BandLimits& limits);

// Compression and stretch of the three composite bands, from raw limits.
struct CirStretch {
    BandStretch nir, red, green;
    static CirStretch from_raw_limits(const BandLimits& raw);
};

// Pixels [begin, end) of the composite: byte 0 NIR, 1 red, 2 green, each
// through its band's raw-sample-to-byte table.
struct CirTables {
    ByteTable nir, red, green;
};
void composite_pixels(std::span<const std::uint16_t> rgbir, const CirTables& tables,
                      std::size_t begin, std::size_t end, std::span<std::uint8_t> cir);

// The same through the per-sample functions: the reference that the table
// path must match byte for byte. Blue takes no part.
void composite_pixels_reference(std::span<const std::uint16_t> rgbir, const CirStretch& stretch,
                                std::size_t begin, std::size_t end,
                                std::span<std::uint8_t> cir);

struct ColourStageFiles {
    io::InputFile& colour;
    io::OutputFile& rgbir16;
    io::OutputFile& cir8;
};

// Reads the colour file row by row through the four band row buffers into
// `rgbir` and returns the raw band limits; queues on `pipeline` the writing
// of the RGBIR16 product from `rgbir` (which must outlive that job) and its
// progress line.
BandLimits read_colour_image(const ColourStageFiles& files,
                             const std::array<std::span<std::uint16_t>, kBands>& band_rows,
                             std::span<std::uint16_t> rgbir, io::Pipeline& pipeline,
                             const StageOptions& options);

// Fills `cir` from the raw samples in `rgbir`; queues the eight stretch
// limits, the writing of CIR8 from `cir` and the commits of RGBIR16 and
// CIR8. `limits` ends holding the compressed limits of NIR, red and green
// and the raw ones of blue.
void make_cir_composite(BandLimits& limits, std::span<const std::uint16_t> rgbir,
                        std::span<std::uint8_t> cir, const ColourStageFiles& files,
                        io::Pipeline& pipeline, const StageOptions& options);

}  // namespace cirsharp
