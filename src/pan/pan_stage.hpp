// Panchromatic stage: the tiled PAN image, its raw limits, the PAN16 and PAN8
// products and the pan intensity plane that fusion reads.
#pragma once

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

struct PanStageFiles {
    io::InputFile& tiles;
    io::OutputFile& pan16;
    io::OutputFile& pan8;
};

// The PAN tile buffer: two rows of tiles, one read while the other is written.
inline constexpr std::size_t kPanTileBufferSamples = 2 * kPanGeometry.tile_row_samples();

// What the limit scan found: the raw limits as printed, and counts over the
// kept image (the cropped margin takes part in the limits only).
struct PanStatistics {
    std::uint16_t maximum = 0;
    std::uint16_t minimum = 0;
    bool minimum_found = false;   // a sample lies in 2..20000
    std::uint64_t nodata = 0;     // kept samples 0 or 1
    std::uint64_t saturated = 0;  // kept samples 65535
};

// Reads the PAN tile file a row of tiles at a time, twice: once for the
// limits, handing the kept rows to the writer as PAN16, and once to stretch
// them into the pan intensity plane (the PAN8 bytes, kPanGeometry.width x
// height) in `plane`, handing each band to the writer as PAN8. Queues the
// progress lines and the commits. Returns once no queued job reads `tiles`
// (kPanTileBufferSamples long); `plane` must outlive the queued jobs.
// `statistics` is filled before the limits are printed.
void untile_pan_image(const PanStageFiles& files, std::span<std::uint16_t> tiles,
                      std::span<std::uint8_t> plane, io::WriteQueue& queue,
                      const StageOptions& options, PanStatistics& statistics);

}  // namespace cirsharp
