// HSV pan-sharpening: every PAN pixel keeps the hue and saturation of the
// composite pixel that covers it (nearest neighbour, scale 3.125) and takes
// the stretched PAN value as its HSV value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "io/pipeline.hpp"

namespace cirsharp {

namespace io {
class OutputFile;
}

struct Hsv {
    double h;  // degrees, 0 <= h < 360; -1 for black
    double s;
    double v;
};
struct Rgb {
    double r, g, b;
};

Hsv rgb_to_hsv(double r, double g, double b);
Rgb hsv_to_rgb(double h, double s, double v);

// Three composite bytes (NIR, red, green as display r, g, b) and a pan value
// 0..255 to the three sharpened bytes. The largest of them is always `pan`.
std::array<std::uint8_t, 3> hsv_fuse(std::uint8_t c0, std::uint8_t c1, std::uint8_t c2,
                                     std::uint16_t pan);

// Output pixel x (0-based) takes source pixel floor((8x + 7) / 25): 8 source
// pixels fill 25 output pixels, the first seven covering three each and the
// eighth four. Equal to ceil((x + 1) / 3.125) - 1 for every x of the raster.
inline int source_index(int x) {
    return (8 * x + 7) / 25;
}

struct FusionGeometry {
    int source_width;  // composite
    int source_height;
    int width;  // output, 3.125 times the composite along each axis
    int height;
};
inline constexpr FusionGeometry kFusionGeometry{3680, 2400, 11500, 7500};

// Per composite pixel, the factor that turns the pan value v into each
// channel before the final x 255: 1 for the channel that takes v itself
// (1 x v is exactly v), else (1 - s), (1 - s f) or (1 - (1 - f) s), chosen by
// the hue's sector. Hue and saturation depend on the composite pixel alone,
// so the fast path works them out once per composite pixel, not once for
// each of the ~9.8 output pixels it covers.
struct ChannelFactors {
    double c[3];
};
ChannelFactors channel_factors(std::uint8_t c0, std::uint8_t c1, std::uint8_t c2);

// channel_factors for `count` composite pixels at `cir` (3 bytes each) into
// three planes, several pixels at a time without branches: the same doubles,
// bit for bit. `automatic` takes the widest vectors the processor has.
enum class FactorKernel { automatic, avx2, sse2, scalar };
void row_channel_factors(const std::uint8_t* cir, std::size_t count, double* f0, double* f1,
                         double* f2, FactorKernel kernel = FactorKernel::automatic);

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
                  FusionScratch& scratch);
void sharpen_rows(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                  const FusionGeometry& g, int row_begin, int row_end, std::span<std::uint8_t> out);

// The same, one hsv_fuse call per output pixel: the reference.
void sharpen_rows_reference(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                            const FusionGeometry& g, int row_begin, int row_end,
                            std::span<std::uint8_t> out);

// Builds the sharpened CIR raster band by band and queues on `pipeline` its
// writing, its progress line (once every pixel is computed) and its commit.
// `cir` and `pan` must outlive the queued jobs.
void sharpen_cir(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                 io::OutputFile& file, io::Pipeline& pipeline, const StageOptions& options);

}  // namespace cirsharp
