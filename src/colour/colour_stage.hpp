// Colour stage: the band-interleaved-by-line colour image, re-interleaved per
// pixel into the RGBIR buffer and product, its band limits, and the 8-bit
// colour-infrared composite of near infrared, red and green.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "compute/options.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace io {
class InputFile;
class OutputFile;
class WriteQueue;
}  // namespace io

inline constexpr std::uint16_t kBandMinimumStart = 10000;

// A maximum and a minimum per band, indexed by Band. Minima start at 10000,
// so a band whose samples are all 10000 or more reports 10000.
struct BandLimits {
    std::array<std::uint16_t, kBands> maximum{0, 0, 0, 0};
    std::array<std::uint16_t, kBands> minimum{kBandMinimumStart, kBandMinimumStart,
                                              kBandMinimumStart, kBandMinimumStart};
};

struct ColourStageFiles {
    io::InputFile& colour;
    io::OutputFile& rgbir16;
    io::OutputFile& cir8;
};

// Rows the colour stage moves per read: each band row buffer holds this many
// lines of its band, and the RGBIR buffer two such bands of pixels.
inline constexpr int kColourBandRows = 100;
constexpr std::size_t band_row_samples(const ColourGeometry& g) {
    return std::size_t(g.width) * kColourBandRows;
}
constexpr std::size_t rgbir_band_samples(const ColourGeometry& g) {
    return band_row_samples(g) * kBands;
}

// Reads the colour file a band of rows at a time into the four band row
// buffers, interleaves each band into one half of `rgbir` (two bands long)
// while gathering the limits, and hands it to the writer as RGBIR16.
// Returns the raw band limits once no queued job reads `rgbir`.
BandLimits read_colour_image(const ColourStageFiles& files,
                             const std::array<std::span<std::uint16_t>, kBands>& band_rows,
                             std::span<std::uint16_t> rgbir, io::WriteQueue& queue);

// Reads the colour file again through the band row buffers and fills `cir`
// from its NIR, red and green lines; queues the eight stretch limits, the
// writing of CIR8 from `cir` and the commits of RGBIR16 and CIR8. `limits`
// ends holding the compressed limits of NIR, red and green and the raw ones
// of blue. `cir` must outlive the queued jobs.
void make_cir_composite(BandLimits& limits,
                        const std::array<std::span<std::uint16_t>, kBands>& band_rows,
                        std::span<std::uint8_t> cir, const ColourStageFiles& files,
                        io::WriteQueue& queue, const StageOptions& options);

}  // namespace cirsharp
