#include "radiometry/radiometry.hpp"

#include <cmath>

namespace cirsharp {

double power_gain(std::uint16_t maximum, double exponent) {
    if (maximum == 0) return 0.0;
    const double m = static_cast<double>(maximum);
    const double p = std::pow(m, exponent);
    return m / p;
}

std::uint16_t power_compress(std::uint16_t v, double exponent, double gain) {
    const double x = std::pow(static_cast<double>(v), exponent) * gain;
    return to_sample<std::uint16_t>(x);
}

std::uint8_t byte_stretch(std::uint16_t v, std::uint16_t lo, std::uint16_t hi) {
    if (hi == lo) return 0;
    const double d = static_cast<double>(v) - static_cast<double>(lo);
    const double r = static_cast<double>(hi) - static_cast<double>(lo);
    const double y = (d / r) * 255.0;
    return to_sample<std::uint8_t>(std::floor(y));
}

BandStretch BandStretch::from_raw_limits(std::uint16_t maximum, std::uint16_t minimum,
                                         double exponent) {
    BandStretch band;
    band.exponent = exponent;
    band.gain = power_gain(maximum, exponent);
    band.hi = power_compress(maximum, exponent, band.gain);
    band.lo = power_compress(minimum, exponent, band.gain);
    return band;
}

void build_byte_table(const BandStretch& band, ByteTable& table) {
    for (std::uint32_t v = 0; v < table.size(); ++v)
        table[v] = band.stretch(band.compress(static_cast<std::uint16_t>(v)));
}

}  // namespace cirsharp
