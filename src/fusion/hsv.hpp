// The HSV model per pixel: the reference arithmetic of pan-sharpening, which
// the row kernels must match bit for bit.
#pragma once

#include <array>
#include <cstdint>

namespace cirsharp {

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

}  // namespace cirsharp
