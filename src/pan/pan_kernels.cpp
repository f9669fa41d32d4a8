#include "pan/pan_kernels.hpp"

#include <algorithm>

namespace cirsharp {

namespace {

// The minimum is taken over s - 2 in 16-bit arithmetic, where 0 and 1 wrap
// to 65534 and 65535, above every sample that may become the minimum: plain
// reductions that vectorise.
struct ScanState {
    std::uint16_t maximum = 0;
    std::uint16_t shifted_minimum = 0xffff;
    std::uint64_t nodata = 0;
    std::uint64_t saturated = 0;
};

PanLimits limits_of(const ScanState& s) {
    const std::uint16_t minimum =
        s.shifted_minimum >= 0xfffe
            ? kPanMinimumStart
            : std::min<std::uint16_t>(std::uint16_t(s.shifted_minimum + 2), kPanMinimumStart);
    return {s.maximum, minimum};
}

// With kCount, blocks that hold a 0, a 1 or a 65535 (their raw minimum or
// maximum says so) are counted in a second pass while they lie in the
// cache; the others cost one more reduction.
template <bool kCount>
[[gnu::always_inline]] inline void scan_samples(const std::uint16_t* v, std::size_t n,
                                                ScanState& state) {
    constexpr std::size_t kBlock = 2048;  // keeps 16-bit counts from wrapping
    std::uint16_t maximum = state.maximum, shifted_minimum = state.shifted_minimum;
    for (std::size_t at = 0; at < n; at += kBlock) {
        const std::uint16_t* b = v + at;
        const std::size_t m = std::min(kBlock, n - at);
        std::uint16_t block_maximum = 0, block_shifted = 0xffff, block_minimum = 0xffff;
        for (std::size_t i = 0; i < m; ++i) {
            block_maximum = std::max(block_maximum, b[i]);
            block_shifted = std::min(block_shifted, std::uint16_t(b[i] - 2));
            if constexpr (kCount) block_minimum = std::min(block_minimum, b[i]);
        }
        maximum = std::max(maximum, block_maximum);
        shifted_minimum = std::min(shifted_minimum, block_shifted);
        if (kCount && (block_minimum <= 1 || block_maximum == 0xffff)) {
            std::uint16_t nodata = 0, saturated = 0;
            for (std::size_t i = 0; i < m; ++i) {
                nodata = std::uint16_t(nodata + (b[i] <= 1));
                saturated = std::uint16_t(saturated + (b[i] == 0xffff));
            }
            state.nodata += nodata;
            state.saturated += saturated;
        }
    }
    state.maximum = maximum;
    state.shifted_minimum = shifted_minimum;
}

CIRSHARP_TARGET_AVX2 void scan_avx2(const std::uint16_t* v, std::size_t n, bool count,
                                    ScanState& state) {
    count ? scan_samples<true>(v, n, state) : scan_samples<false>(v, n, state);
}

void scan_baseline(const std::uint16_t* v, std::size_t n, bool count, ScanState& state) {
    count ? scan_samples<true>(v, n, state) : scan_samples<false>(v, n, state);
}

void scan(const std::uint16_t* v, std::size_t n, bool count, ScanState& state, Simd simd) {
    simd == Simd::avx2 ? scan_avx2(v, n, count, state) : scan_baseline(v, n, count, state);
}

}  // namespace

PanLimits scan_pan_limits(std::span<const std::uint16_t> samples, Simd simd) {
    ScanState state;
    scan(samples.data(), samples.size(), false, state, simd);
    return limits_of(state);
}

PanScan merge(const PanScan& a, const PanScan& b) {
    return {merge(a.limits, b.limits), a.minimum_found || b.minimum_found, a.nodata + b.nodata,
            a.saturated + b.saturated};
}

PanScan scan_pan_tile_row(std::span<const std::uint16_t> tile_row, const PanGeometry& g,
                          int kept_rows, std::size_t begin, std::size_t end, Simd simd) {
    ScanState state;
    // Within [begin, end): kept runs are counted, the margin only scanned.
    auto run = [&](std::size_t from, std::size_t to, bool kept) {
        from = std::max(from, begin);
        to = std::min(to, end);
        if (from < to) scan(tile_row.data() + from, to - from, kept, state, simd);
    };
    const std::size_t area = g.tile_area(), edge = std::size_t(g.tile);
    for (std::size_t t = begin / area; t < std::size_t(g.tile_cols) && t * area < end; ++t) {
        const std::size_t first = t * area;
        const std::size_t kept_end = first + std::size_t(kept_rows) * edge;
        const std::size_t kept_columns = std::size_t(std::min(g.tile, g.width - int(t) * g.tile));
        if (kept_columns == edge) {
            run(first, kept_end, true);
        } else {
            for (std::size_t row = first; row < kept_end; row += edge) {
                if (row + edge <= begin || row >= end) continue;
                run(row, row + kept_columns, true);
                run(row + kept_columns, row + edge, false);
            }
        }
        run(kept_end, first + area, false);
    }
    const bool found = state.shifted_minimum <= kPanMinimumStart - 2;
    return {limits_of(state), found, state.nodata, state.saturated};
}

PanScan scan_pan_tile_row_reference(std::span<const std::uint16_t> tile_row, const PanGeometry& g,
                                    int kept_rows, std::size_t begin, std::size_t end) {
    PanScan scan;
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint16_t v = tile_row[i];
        if (v >= scan.limits.maximum) scan.limits.maximum = v;
        if (v > 1 && v <= scan.limits.minimum) scan.limits.minimum = v;
        if (v > 1 && v <= kPanMinimumStart) scan.minimum_found = true;
        const std::size_t tile = i / g.tile_area(), in_tile = i % g.tile_area();
        const std::size_t row = in_tile / std::size_t(g.tile);
        const std::size_t column = tile * std::size_t(g.tile) + in_tile % std::size_t(g.tile);
        if (row < std::size_t(kept_rows) && column < std::size_t(g.width)) {
            scan.nodata += v <= 1;
            scan.saturated += v == 65535;
        }
    }
    return scan;
}

namespace {

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
