// Power-law compression with a maximum-preserving gain, and the linear
// stretch of compressed values onto 0..255. Both image stages use exactly
// these operations, so their arithmetic cannot drift apart.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace cirsharp {

// The one rule for turning a floating value into a sample: truncate toward
// zero to a 64-bit signed integer and keep its low bits, no clamping.
// Callers guarantee a finite value.
template <class Sample>
inline Sample to_sample(double x) {
    return static_cast<Sample>(static_cast<std::int64_t>(x));
}

inline constexpr double kPanExponent = 0.15;
inline constexpr double kNirExponent = 0.6;
inline constexpr double kRedExponent = 0.2;
inline constexpr double kGreenExponent = 0.2;

// G = M / pow(M, e). A band maximum of 0 gives G = 0 (instead of 0/0), so an
// all-zero band compresses to 0 everywhere.
double power_gain(std::uint16_t maximum, double exponent);

// Low 16 bits of trunc(pow(v, e) * G).
std::uint16_t power_compress(std::uint16_t v, double exponent, double gain);

// Low 8 bits of trunc(floor(((v - lo) / (hi - lo)) * 255)); values outside
// lo..hi wrap modulo 256. Equal limits give 0 rather than a division by zero.
std::uint8_t byte_stretch(std::uint16_t v, std::uint16_t lo, std::uint16_t hi);

// A band's compression and stretch, fixed by its raw limits.
struct BandStretch {
    double exponent = 0;
    double gain = 0;
    std::uint16_t hi = 0;  // compressed maximum; may be one below the raw maximum
    std::uint16_t lo = 0;  // compressed minimum

    static BandStretch from_raw_limits(std::uint16_t maximum, std::uint16_t minimum,
                                       double exponent);
    std::uint16_t compress(std::uint16_t v) const { return power_compress(v, exponent, gain); }
    std::uint8_t stretch(std::uint16_t compressed) const {
        return byte_stretch(compressed, lo, hi);
    }
};

// Raw sample -> display byte for all 65,536 raw values, built from the very
// per-sample functions above, so a lookup gives the same byte by construction.
using ByteTable = std::array<std::uint8_t, 65536>;
void build_byte_table(const BandStretch& band, ByteTable& table);

}  // namespace cirsharp
