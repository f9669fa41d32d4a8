// One conversion: the seven files, the work buffers, a writer per product
// and the stages in order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "colour/colour_stage.hpp"
#include "driver/plan.hpp"
#include "pan/pan_stage.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace io {
class TempFiles;
}
class Transcript;
class RunPreviews;

// What a run found, as far as it got: each value is set once the stage that
// finds it has returned it, so a run that fails still tells how far it got.
struct RunFindings {
    std::array<std::optional<std::uint64_t>, 2> input_sizes;  // once opened
    std::optional<PanScan> pan;                               // the first PAN pass
    std::optional<BandLimits> band_limits;                    // the raw colour limits
    std::optional<CirStretch> stretch;                        // the composite's stretch
    std::array<bool, kProducts.size()> committed{};           // in position order
};

// Converts the exposure that `plan` names, the progress lines through
// `transcript`, making `previews` (if any) of the bytes as they are written.
// Throws on any failure (io::FileError, std::bad_alloc, ...), leaving no
// partial product.
void run_conversion(const RunPlan& plan, io::TempFiles& temps, Transcript& transcript,
                    RunFindings& findings, RunPreviews* previews = nullptr);

}  // namespace cirsharp
