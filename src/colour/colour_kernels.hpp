// The colour stage's kernels, private to the stage and its tests: the
// re-interleaving with the band limits, and the composite row beside the
// per-sample rule it must match.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "colour/colour_stage.hpp"
#include "radiometry/radiometry.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

// One row's four band lines (red, green, blue, NIR) into pixel order at
// `rgbir` (4 x width samples), gathering the limits on the way.
void interleave_row(const std::array<std::span<const std::uint16_t>, kBands>& lines,
                    std::span<std::uint16_t> rgbir, BandLimits& limits);

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

}  // namespace cirsharp
