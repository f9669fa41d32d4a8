#include "fusion/fusion_kernels.hpp"

#include <array>
#include <cstdint>
#include <vector>

#include "fusion/hsv.hpp"

namespace cirsharp {

namespace {

// x = factor x value x 255 lies in [0, 255.0], where truncation through a
// 32-bit integer gives the same byte as the 64-bit rule and vectorises.
inline std::uint8_t unit_product_byte(double x) {
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(x));
}

template <int N>
struct VectorTypes;
template <>
struct VectorTypes<2> {
    using Lanes = double __attribute__((vector_size(16)));
    using Masks = std::int64_t __attribute__((vector_size(16)));
    using Sectors = std::int32_t __attribute__((vector_size(8)));
};
template <>
struct VectorTypes<4> {
    using Lanes = double __attribute__((vector_size(32)));
    using Masks = std::int64_t __attribute__((vector_size(32)));
    using Sectors = std::int32_t __attribute__((vector_size(16)));
};

// channel_factors for N pixels at a time. Every branch of rgb_to_hsv and of
// the sector choice becomes a select, with the same operations in the same
// order on the path each pixel takes. Divisions by a zero delta or maximum
// are steered to 1 and their lanes discarded, so no NaN is ever formed or
// converted.
template <int N>
[[gnu::always_inline]] inline void factor_lanes(const std::uint8_t* cir, std::size_t count,
                                                const double* unit, double* f0, double* f1,
                                                double* f2) {
    using Lanes = typename VectorTypes<N>::Lanes;
    using Masks = typename VectorTypes<N>::Masks;
    using Sectors = typename VectorTypes<N>::Sectors;
    const Lanes zero = {}, one = zero + 1, two = zero + 2, three = zero + 3, four = zero + 4;
    const Lanes sixty = zero + 60, full_turn = zero + 360;
    for (std::size_t i = 0; i + N <= count; i += N) {
        Lanes r, g, b;
        for (int lane = 0; lane < N; ++lane) {
            r[lane] = unit[cir[3 * (i + lane)]];
            g[lane] = unit[cir[3 * (i + lane) + 1]];
            b[lane] = unit[cir[3 * (i + lane) + 2]];
        }
        Lanes max = r;
        max = g > max ? g : max;
        max = b > max ? b : max;
        Lanes min = r;
        min = g < min ? g : min;
        min = b < min ? b : min;
        const Lanes delta = max - min;
        const Masks coloured = delta != zero;  // false for black and grey
        const Lanes s = (coloured ? delta : zero) / (max != zero ? max : one);
        const Lanes divisor = coloured ? delta : one;
        const Masks r_max = r == max, g_max = g == max;
        const Lanes numerator = r_max ? g - b : (g_max ? b - r : r - g);
        Lanes h = numerator / divisor;
        h = r_max ? h : h + (g_max ? two : four);
        h = h * sixty;
        h = h < zero ? h + full_turn : h;
        const Lanes h6 = h / sixty;
        // h6 lies in [0, 6): truncation is floor there.
        const Lanes k = __builtin_convertvector(__builtin_convertvector(h6, Sectors), Lanes);
        const Lanes f = h6 - k;
        const Lanes p = one - s;
        const Lanes q = one - s * f;
        const Lanes t = one - (one - f) * s;
        const Masks k0 = k == zero, k1 = k == one, k2 = k == two, k3 = k == three, k4 = k == four;
        const Lanes c0 = k1 ? q : (k2 | k3) ? p : k4 ? t : one;
        const Lanes c1 = k0 ? t : (k1 | k2) ? one : k3 ? q : p;
        const Lanes c2 = (k0 | k1) ? p : k2 ? t : (k3 | k4) ? one : q;
        const Lanes out0 = coloured ? c0 : one, out1 = coloured ? c1 : one,
                    out2 = coloured ? c2 : one;
        for (int lane = 0; lane < N; ++lane) {
            f0[i + lane] = out0[lane];
            f1[i + lane] = out1[lane];
            f2[i + lane] = out2[lane];
        }
    }
}

CIRSHARP_TARGET_AVX2 void factor_lanes_avx2(const std::uint8_t* cir, std::size_t count,
                                            const double* unit, double* f0, double* f1,
                                            double* f2) {
    factor_lanes<4>(cir, count, unit, f0, f1, f2);
}

void factor_lanes_baseline(const std::uint8_t* cir, std::size_t count, const double* unit,
                           double* f0, double* f1, double* f2) {
    factor_lanes<2>(cir, count, unit, f0, f1, f2);
}

// One output row from its spread factors and pan values.
[[gnu::always_inline]] inline void fuse_row(const double* e0, const double* e1, const double* e2,
                                            const double* value, std::size_t w, std::uint8_t* o) {
    for (std::size_t x = 0; x < w; ++x) {
        const double v = value[x];
        o[3 * x + 0] = unit_product_byte((e0[x] * v) * 255.0);
        o[3 * x + 1] = unit_product_byte((e1[x] * v) * 255.0);
        o[3 * x + 2] = unit_product_byte((e2[x] * v) * 255.0);
    }
}

CIRSHARP_TARGET_AVX2 void fuse_row_avx2(const double* e0, const double* e1, const double* e2,
                                        const double* value, std::size_t w, std::uint8_t* o) {
    fuse_row(e0, e1, e2, value, w, o);
}

void fuse_row_baseline(const double* e0, const double* e1, const double* e2, const double* value,
                       std::size_t w, std::uint8_t* o) {
    fuse_row(e0, e1, e2, value, w, o);
}

}  // namespace

void row_channel_factors(const std::uint8_t* cir, std::size_t count, double* f0, double* f1,
                         double* f2, Simd simd) {
    std::array<double, 256> unit;
    for (int c = 0; c < 256; ++c)
        unit[c] = c / 255.0;
    std::size_t done;
    if (simd == Simd::avx2) {
        factor_lanes_avx2(cir, count, unit.data(), f0, f1, f2);
        done = count / 4 * 4;
    } else {
        factor_lanes_baseline(cir, count, unit.data(), f0, f1, f2);
        done = count / 2 * 2;
    }
    for (std::size_t i = done; i < count; ++i) {
        const ChannelFactors f = channel_factors(cir[3 * i], cir[3 * i + 1], cir[3 * i + 2]);
        f0[i] = f.c[0];
        f1[i] = f.c[1];
        f2[i] = f.c[2];
    }
}

void sharpen_rows(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                  const FusionGeometry& g, int row_begin, int row_end, std::span<std::uint8_t> out,
                  Simd simd) {
    FusionScratch scratch;
    sharpen_rows(cir, pan, g, row_begin, row_end, out, scratch, simd);
}

void sharpen_rows(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                  const FusionGeometry& g, int row_begin, int row_end, std::span<std::uint8_t> out,
                  FusionScratch& scratch, Simd simd) {
    std::array<double, 256> unit;
    for (int p = 0; p < 256; ++p)
        unit[p] = p / 255.0;
    const std::size_t sw = std::size_t(g.source_width), w = std::size_t(g.width);
    std::vector<int>& source_column = scratch.source_column;
    if (source_column.size() != w) {
        source_column.resize(w);
        for (std::size_t x = 0; x < w; ++x)
            source_column[x] = source_index(int(x));
    }
    // Factors of one composite row, then spread over the output columns.
    std::vector<double>& factor = scratch.factor;
    std::vector<double>& spread = scratch.spread;
    std::vector<double>& value = scratch.value;
    factor.resize(3 * sw);
    spread.resize(3 * w);
    value.resize(w);
    double* f0 = factor.data();
    double* f1 = f0 + sw;
    double* f2 = f1 + sw;
    double* e0 = spread.data();
    double* e1 = e0 + w;
    double* e2 = e1 + w;
    int cached = -1;
    for (int y = row_begin; y < row_end; ++y) {
        const int sy = source_index(y);
        if (sy != cached) {
            row_channel_factors(cir.data() + std::size_t(sy) * sw * 3, sw, f0, f1, f2, simd);
            for (std::size_t x = 0; x < w; ++x) {
                e0[x] = f0[source_column[x]];
                e1[x] = f1[source_column[x]];
                e2[x] = f2[source_column[x]];
            }
            cached = sy;
        }
        const std::uint8_t* pan_row = pan.data() + std::size_t(y) * w;
        for (std::size_t x = 0; x < w; ++x)
            value[x] = unit[pan_row[x]];
        std::uint8_t* o = out.data() + std::size_t(y - row_begin) * w * 3;
        if (simd == Simd::avx2)
            fuse_row_avx2(e0, e1, e2, value.data(), w, o);
        else
            fuse_row_baseline(e0, e1, e2, value.data(), w, o);
    }
}

void sharpen_rows_reference(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                            const FusionGeometry& g, int row_begin, int row_end,
                            std::span<std::uint8_t> out) {
    for (int y = row_begin; y < row_end; ++y) {
        const std::uint8_t* src = cir.data() + std::size_t(source_index(y)) * g.source_width * 3;
        for (int x = 0; x < g.width; ++x) {
            const std::uint8_t* c = src + std::size_t(source_index(x)) * 3;
            const auto fused = hsv_fuse(c[0], c[1], c[2], pan[std::size_t(y) * g.width + x]);
            std::uint8_t* o = out.data() + (std::size_t(y - row_begin) * g.width + x) * 3;
            o[0] = fused[0];
            o[1] = fused[1];
            o[2] = fused[2];
        }
    }
}

}  // namespace cirsharp
