#include "pan/pan_kernels.hpp"

#include <algorithm>

namespace cirsharp {

namespace {

[[gnu::always_inline]] inline PanLimits scan_samples(const std::uint16_t* v, std::size_t n) {
    // The minimum is taken over s - 2 in 16-bit arithmetic, where 0 and 1
    // wrap to 65534 and 65535, above every sample that may become the
    // minimum: two plain reductions that vectorise.
    std::uint16_t maximum = 0;
    std::uint16_t shifted_minimum = 0xffff;
    for (std::size_t i = 0; i < n; ++i) {
        maximum = std::max(maximum, v[i]);
        shifted_minimum = std::min(shifted_minimum, std::uint16_t(v[i] - 2));
    }
    const std::uint16_t minimum =
        shifted_minimum >= 0xfffe ? kPanMinimumStart
                                  : std::min<std::uint16_t>(shifted_minimum + 2, kPanMinimumStart);
    return {maximum, minimum};
}

CIRSHARP_TARGET_AVX2 PanLimits scan_samples_avx2(const std::uint16_t* v, std::size_t n) {
    return scan_samples(v, n);
}

PanLimits scan_samples_baseline(const std::uint16_t* v, std::size_t n) {
    return scan_samples(v, n);
}

template <class Convert>
void for_kept_rows(std::span<const std::uint16_t> tiles, const PanGeometry& g, int row_begin,
                   int row_end, std::span<std::uint8_t> plane, Convert convert) {
    for (int row = row_begin; row < row_end; ++row) {
        std::uint8_t* out = plane.data() + std::size_t(row) * g.width;
        for (int column = 0; column < g.width; column += g.tile) {
            const std::uint16_t* in = tiles.data() + tile_index(g, row, column);
            const int n = std::min(g.tile, g.width - column);
            for (int i = 0; i < n; ++i)
                out[column + i] = convert(in[i]);
        }
    }
}

}  // namespace

PanLimits scan_pan_limits(std::span<const std::uint16_t> samples, Simd simd) {
    return simd == Simd::avx2 ? scan_samples_avx2(samples.data(), samples.size())
                              : scan_samples_baseline(samples.data(), samples.size());
}

PanLimits merge(PanLimits a, PanLimits b) {
    return {std::max(a.maximum, b.maximum), std::min(a.minimum, b.minimum)};
}

void stretch_pan_rows(std::span<const std::uint16_t> tiles, const PanGeometry& g,
                      const ByteTable& table, int row_begin, int row_end,
                      std::span<std::uint8_t> plane) {
    for_kept_rows(tiles, g, row_begin, row_end, plane,
                  [&table](std::uint16_t v) { return table[v]; });
}

void stretch_pan_rows_reference(std::span<const std::uint16_t> tiles, const PanGeometry& g,
                                const BandStretch& band, int row_begin, int row_end,
                                std::span<std::uint8_t> plane) {
    for_kept_rows(tiles, g, row_begin, row_end, plane,
                  [&band](std::uint16_t v) { return band.stretch(band.compress(v)); });
}

}  // namespace cirsharp
