// Fusion's kernels, private to the stage and its tests: the nearest-neighbour
// mapping, the vector factor kernels and the row kernels, beside the
// per-pixel reference they must match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "compute/cpu.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

// Output pixel x (0-based) takes source pixel floor((8x + 7) / 25), the
// mapping of the raster geometry.
inline int source_index(int x) {
    return composite_index(x);
}

// channel_factors for `count` composite pixels at `cir` (3 bytes each) into
// three planes, several pixels at a time without branches: the same doubles,
// bit for bit: four pixels at a time with AVX2, two on the baseline, the
// rest through channel_factors itself.
void row_channel_factors(const std::uint8_t* cir, std::size_t count, double* f0, double* f1,
                         double* f2, Simd simd = best_simd());

// Working rows of one thread, kept from band to band.
struct FusionScratch {
    std::vector<int> source_column;  // per output column
    std::vector<double> factor;      // three planes over the composite row
    std::vector<double> spread;      // three planes over the output row
    std::vector<double> value;       // per output column
};

// Output rows [row_begin, row_end) into `out` (3 bytes a pixel; its first
// byte is row_begin's first), from the composite and the pan intensity plane
// (one byte a pixel).
void sharpen_rows(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                  const FusionGeometry& g, int row_begin, int row_end, std::span<std::uint8_t> out,
                  FusionScratch& scratch, Simd simd = best_simd());
void sharpen_rows(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                  const FusionGeometry& g, int row_begin, int row_end, std::span<std::uint8_t> out,
                  Simd simd = best_simd());

// The same, one hsv_fuse call per output pixel: the reference.
void sharpen_rows_reference(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                            const FusionGeometry& g, int row_begin, int row_end,
                            std::span<std::uint8_t> out);

}  // namespace cirsharp
