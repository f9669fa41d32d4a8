// Panchromatic stage: the tiled PAN image, its raw limits, the PAN16 and PAN8
// products and the pan intensity plane that fusion reads.
#pragma once

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

struct PanGeometry {
    int tile;       // tile edge in samples
    int tile_cols;  // tiles across
    int tile_rows;  // tiles down
    int width;      // kept image: the top-left width x height of the mosaic
    int height;

    std::size_t tile_area() const { return std::size_t(tile) * tile; }
    std::size_t tile_samples() const { return tile_area() * tile_cols * tile_rows; }
    std::size_t mosaic_width() const { return std::size_t(tile) * tile_cols; }
    std::size_t mosaic_height() const { return std::size_t(tile) * tile_rows; }
    std::size_t kept_samples() const { return std::size_t(width) * height; }
};

inline constexpr PanGeometry kPanGeometry{512, 23, 15, 11500, 7500};
inline constexpr std::uint64_t kPanHeaderBytes = 8;
inline constexpr std::uint16_t kPanMinimumStart = 20000;

struct PanLimits {
    std::uint16_t maximum = 0;
    std::uint16_t minimum = kPanMinimumStart;
};

// Raw limits over every sample, the cropped margin included. Samples 0 and 1
// never become the minimum, and it stays 20000 when no sample lies in
// 2..20000.
PanLimits scan_pan_limits(std::span<const std::uint16_t> samples);
PanLimits merge(PanLimits a, PanLimits b);

// Index of the tile-file sample that lands at mosaic (row, column).
inline std::size_t tile_index(const PanGeometry& g, std::size_t row, std::size_t column) {
    const std::size_t t = (row / g.tile) * g.tile_cols + column / g.tile;
    return t * g.tile_area() + (row % g.tile) * g.tile + column % g.tile;
}

// Kept rows [row_begin, row_end) of the PAN8 image, straight from the tiles
// through a raw-sample-to-byte table. Rows count from the first row of
// `tiles` (which may start at any row of tiles) and index `plane` likewise.
void stretch_pan_rows(std::span<const std::uint16_t> tiles, const PanGeometry& g,
                      const ByteTable& table, int row_begin, int row_end,
                      std::span<std::uint8_t> plane);

// The same rows through the per-sample functions: the reference that the
// table path must match byte for byte.
void stretch_pan_rows_reference(std::span<const std::uint16_t> tiles, const PanGeometry& g,
                                const BandStretch& band, int row_begin, int row_end,
                                std::span<std::uint8_t> plane);

struct PanStageFiles {
    io::InputFile& tiles;
    io::OutputFile& pan16;
    io::OutputFile& pan8;
};

// Samples in one row of tiles.
inline std::size_t tile_row_samples(const PanGeometry& g) {
    return g.tile_area() * std::size_t(g.tile_cols);
}

// Reads the PAN tile file a row of tiles at a time, twice: once for the
// limits, handing the raw rows to the writer as PAN16, and once to stretch
// them into the pan intensity plane (the PAN8 bytes, kPanGeometry.width x
// height) in `plane`, handing each band to the writer as PAN8. Queues the
// progress lines and the commits. `tiles` holds at least two rows of tiles
// and, like `plane`, must outlive the jobs queued here.
void untile_pan_image(const PanStageFiles& files, std::span<std::uint16_t> tiles,
                      std::span<std::uint8_t> plane, io::Pipeline& pipeline,
                      const StageOptions& options);

}  // namespace cirsharp
