// One conversion: the seven files, the work buffers and the stages in order.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>

#include "colour/colour_stage.hpp"
#include "driver/command_line.hpp"
#include "pan/pan_stage.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace io {
class TempFiles;
}

// What a run leaves for its record, filled in as the run goes, so that a
// run that fails still tells how far it got.
struct RunFacts {
    std::array<std::optional<std::uint64_t>, 2> input_sizes;  // once opened
    std::array<bool, kProducts.size()> committed{};           // in position order
    PanStatistics pan;  // valid once the PAN limits are printed
    BandLimits limits;  // the eight printed limits, once printed
};

// Converts the exposure named by `cl`, the transcript on `out`. Throws on any
// failure (io::FileError, std::bad_alloc, ...), leaving no partial product.
void run_conversion(const CommandLine& cl, io::TempFiles& temps, std::ostream& out,
                    RunFacts& facts);

}  // namespace cirsharp
