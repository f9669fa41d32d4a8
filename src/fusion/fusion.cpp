#include "fusion/fusion.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "io/file.hpp"
#include "radiometry/radiometry.hpp"

namespace cirsharp {

Hsv rgb_to_hsv(double r, double g, double b) {
    double max = r;
    if (g > max) max = g;
    if (b > max) max = b;
    double min = r;
    if (g < min) min = g;
    if (b < min) min = b;
    const double v = max;
    const double delta = max - min;
    if (max == 0) return {-1.0, 0.0, v};
    const double s = delta / max;
    if (delta == 0) return {0.0, s, v};  // grey: no hue, and no caller reads one
    double h;
    if (r == max)
        h = (g - b) / delta;
    else if (g == max)
        h = (b - r) / delta + 2;
    else
        h = (r - g) / delta + 4;
    h = h * 60;
    if (h < 0) h = h + 360;
    return {h, s, v};
}

Rgb hsv_to_rgb(double h, double s, double v) {
    if (s == 0) return {v, v, v};
    const double h6 = h / 60;
    const int k = static_cast<int>(std::floor(h6));
    const double f = h6 - k;
    const double p = (1 - s) * v;
    const double q = (1 - s * f) * v;
    const double t = (1 - (1 - f) * s) * v;
    switch (k) {
        case 0: return {v, t, p};
        case 1: return {q, v, p};
        case 2: return {p, v, t};
        case 3: return {p, q, v};
        case 4: return {t, p, v};
        default: return {v, p, q};
    }
}

std::array<std::uint8_t, 3> hsv_fuse(std::uint8_t c0, std::uint8_t c1, std::uint8_t c2,
                                     std::uint16_t pan) {
    const double r = c0 / 255.0;
    const double g = c1 / 255.0;
    const double b = c2 / 255.0;
    const Hsv hsv = rgb_to_hsv(r, g, b);
    const double v = pan / 255.0;
    const Rgb out = hsv_to_rgb(hsv.h, hsv.s, v);
    return {to_sample<std::uint8_t>(out.r * 255.0), to_sample<std::uint8_t>(out.g * 255.0),
            to_sample<std::uint8_t>(out.b * 255.0)};
}

ChannelFactors channel_factors(std::uint8_t c0, std::uint8_t c1, std::uint8_t c2) {
    const Hsv hsv = rgb_to_hsv(c0 / 255.0, c1 / 255.0, c2 / 255.0);
    // 1 * v is exactly v, so the channel that takes v itself has factor 1.
    if (hsv.s == 0) return {{1, 1, 1}};
    const double s = hsv.s;
    const double h6 = hsv.h / 60;
    const int k = static_cast<int>(std::floor(h6));
    const double f = h6 - k;
    const double p = 1 - s;
    const double q = 1 - s * f;
    const double t = 1 - (1 - f) * s;
    switch (k) {
        case 0: return {{1, t, p}};
        case 1: return {{q, 1, p}};
        case 2: return {{p, 1, t}};
        case 3: return {{p, q, 1}};
        case 4: return {{t, p, 1}};
        default: return {{1, p, q}};
    }
}

void sharpen_rows(std::span<const ChannelFactors> factors, std::span<const std::uint8_t> pan,
                  const FusionGeometry& g, int row_begin, int row_end,
                  std::span<std::uint8_t> out) {
    std::array<double, 256> value;
    for (int p = 0; p < 256; ++p) value[p] = p / 255.0;
    std::vector<int> source_column(std::size_t(g.width));
    for (int x = 0; x < g.width; ++x) source_column[x] = source_index(x);
    for (int y = row_begin; y < row_end; ++y) {
        const ChannelFactors* src = factors.data() + std::size_t(source_index(y)) * g.source_width;
        const std::uint8_t* pan_row = pan.data() + std::size_t(y) * g.width;
        std::uint8_t* o = out.data() + std::size_t(y - row_begin) * g.width * 3;
        for (int x = 0; x < g.width; ++x) {
            const ChannelFactors& f = src[source_column[x]];
            const double v = value[pan_row[x]];
            o[3 * x + 0] = to_sample<std::uint8_t>((f.c[0] * v) * 255.0);
            o[3 * x + 1] = to_sample<std::uint8_t>((f.c[1] * v) * 255.0);
            o[3 * x + 2] = to_sample<std::uint8_t>((f.c[2] * v) * 255.0);
        }
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

void sharpen_cir(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                 io::OutputFile& file, std::ostream& out, const StageOptions& options) {
    const FusionGeometry& g = kFusionGeometry;
    const std::size_t source_pixels = std::size_t(g.source_width) * g.source_height;
    const std::size_t row_bytes = std::size_t(g.width) * 3;
    constexpr int kBandRows = 50;

    std::unique_ptr<ChannelFactors[]> factors;
    if (!options.reference) {
        factors.reset(new (std::nothrow) ChannelFactors[source_pixels]);
        if (!factors) throw std::bad_alloc();
        io::parallel_for(options.threads, source_pixels, [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p)
                factors[p] = channel_factors(cir[3 * p], cir[3 * p + 1], cir[3 * p + 2]);
        });
    }
    std::unique_ptr<std::uint8_t[]> band(new (std::nothrow) std::uint8_t[row_bytes * kBandRows]);
    if (!band) throw std::bad_alloc();
    const std::span<std::uint8_t> band_span(band.get(), row_bytes * kBandRows);
    const std::span<const ChannelFactors> factor_span(factors.get(), factors ? source_pixels : 0);

    for (int row = 0; row < g.height; row += kBandRows) {
        const int end = std::min(g.height, row + kBandRows);
        io::parallel_for(options.threads, std::size_t(end - row), [&](std::size_t b, std::size_t e) {
            const auto part = band_span.subspan(b * row_bytes);
            if (options.reference)
                sharpen_rows_reference(cir, pan, g, row + int(b), row + int(e), part);
            else
                sharpen_rows(factor_span, pan, g, row + int(b), row + int(e), part);
        });
        if (end == g.height) out << "Wrinting PANsharpened CIR\n";
        file.write(std::as_bytes(band_span.first(std::size_t(end - row) * row_bytes)));
    }
    file.commit(options.durable);
}

}  // namespace cirsharp
