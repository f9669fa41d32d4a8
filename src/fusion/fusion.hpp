// HSV pan-sharpening: every PAN pixel keeps the hue and saturation of the
// composite pixel that covers it (nearest neighbour, scale 3.125) and takes
// the stretched PAN value as its HSV value.
#pragma once

#include <cstdint>
#include <span>

#include "compute/options.hpp"

namespace cirsharp {

namespace io {
class OutputFile;
class WriteQueue;
}  // namespace io

// Builds the sharpened CIR raster band by band and queues its writing, its
// progress line (once every pixel is computed) and its commit. `cir` (the
// composite) and `pan` (the pan intensity plane) must outlive the queued
// jobs.
void sharpen_cir(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                 io::OutputFile& file, io::WriteQueue& queue, const StageOptions& options);

}  // namespace cirsharp
