// HSV pan-sharpening: every PAN pixel keeps the hue and saturation of the
// composite pixel that covers it (nearest neighbour, scale 3.125) and takes
// the stretched PAN value as its HSV value.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "compute/options.hpp"

namespace cirsharp {

namespace io {
class ProductWriter;
}  // namespace io

// Builds the sharpened CIR raster band by band into buffers of `sharpened`
// and hands them back in order, from `cir` (the composite) and `pan` (the pan
// intensity plane). Calls `computed` once every pixel is computed, before
// the last bands are handed back.
void sharpen_cir(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                 io::ProductWriter& sharpened, const StageOptions& options,
                 const std::function<void()>& computed);

}  // namespace cirsharp
