// Panchromatic stage: the tiled PAN image, read twice. The first pass finds
// its raw limits and counts and hands the kept rows on as PAN16; the second
// stretches them into the pan intensity plane that fusion reads, handed on
// as PAN8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "compute/options.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace io {
class InputFile;
class ProductWriter;
}  // namespace io

inline constexpr std::uint16_t kPanMinimumStart = 20000;

// Raw limits over every sample, the cropped margin included. Samples 0 and 1
// never become the minimum, and it stays 20000 when no sample lies in
// 2..20000.
struct PanLimits {
    std::uint16_t maximum = 0;
    std::uint16_t minimum = kPanMinimumStart;
};

// What the first pass finds: the limits, and counts over the samples that
// reach the products (the cropped margin takes part in the limits only).
struct PanScan {
    PanLimits limits;
    bool minimum_found = false;   // a sample lies in 2..20000
    std::uint64_t nodata = 0;     // kept samples 0 or 1
    std::uint64_t saturated = 0;  // kept samples 65535
};

// The tile file and the two products made from it.
struct PanStageFiles {
    io::InputFile& tiles;
    io::ProductWriter& pan16;
    io::ProductWriter& pan8;
};

// The PAN tile buffers: a row of tiles each, one read while the other is
// written.
inline constexpr std::size_t kPanTileRowBytes =
    kPanGeometry.tile_row_samples() * sizeof(std::uint16_t);

// First pass: reads the tile file a row of tiles at a time into buffers of
// `pan16` (kPanTileRowBytes each) and hands their kept rows back to it.
PanScan scan_pan_image(const PanStageFiles& files, int threads);

// Second pass: reads the tile file again through `pan16`'s buffers (writing
// nothing from them), stretches the kept rows by `limits` into `plane`
// (kPanGeometry.kept_samples() bytes, kept until the products are written)
// and hands it to `pan8` a row of tiles at a time. Calls `first_stretched`
// once the first row of tiles is stretched, before it is handed over.
void stretch_pan_image(const PanStageFiles& files, const PanLimits& limits,
                       std::span<std::uint8_t> plane, const StageOptions& options,
                       const std::function<void()>& first_stretched);

}  // namespace cirsharp
