// The PAN stage's kernels, private to the stage and its tests: the limit scan
// and the untiling stretch, each beside the per-sample rule it must match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "compute/cpu.hpp"
#include "pan/pan_stage.hpp"
#include "radiometry/radiometry.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

// Raw limits over every sample, the cropped margin included. Samples 0 and 1
// never become the minimum, and it stays 20000 when no sample lies in
// 2..20000.
PanLimits scan_pan_limits(std::span<const std::uint16_t> samples, Simd simd = best_simd());
PanLimits merge(PanLimits a, PanLimits b);

// The limit scan of part of a row of tiles, with counts over the samples of
// the part that reach the products: the first `kept_rows` rows of each tile
// and the first kept columns of the last tile column. The cropped margin
// still takes part in the limits.
PanScan merge(const PanScan& a, const PanScan& b);

// Samples [begin, end) of `tile_row` (one row of tiles,
// g.tile_row_samples() long); vectorised.
PanScan scan_pan_tile_row(std::span<const std::uint16_t> tile_row, const PanGeometry& g,
                          int kept_rows, std::size_t begin, std::size_t end,
                          Simd simd = best_simd());
// The same, sample by sample: the reference the fast path must match.
PanScan scan_pan_tile_row_reference(std::span<const std::uint16_t> tile_row, const PanGeometry& g,
                                    int kept_rows, std::size_t begin, std::size_t end);

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

}  // namespace cirsharp
