#include "fusion/hsv.hpp"

#include <cmath>

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
        case 0:
            return {v, t, p};
        case 1:
            return {q, v, p};
        case 2:
            return {p, v, t};
        case 3:
            return {p, q, v};
        case 4:
            return {t, p, v};
        default:
            return {v, p, q};
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
        case 0:
            return {{1, t, p}};
        case 1:
            return {{q, 1, p}};
        case 2:
            return {{p, 1, t}};
        case 3:
            return {{p, q, 1}};
        case 4:
            return {{t, p, 1}};
        default:
            return {{1, p, q}};
    }
}

}  // namespace cirsharp
