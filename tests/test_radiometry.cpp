#include <gtest/gtest.h>

#include <cmath>

#include "radiometry/radiometry.hpp"

namespace cirsharp {
namespace {

constexpr double kExponents[] = {kPanExponent, kNirExponent, kRedExponent};

TEST(Radiometry, ConversionTruncatesAndKeepsLowBitsWithoutClamping) {
    EXPECT_EQ(to_sample<std::uint8_t>(254.999), 254);
    EXPECT_EQ(to_sample<std::uint8_t>(256.0), 0);
    EXPECT_EQ(to_sample<std::uint8_t>(-1.0), 255);
    EXPECT_EQ(to_sample<std::uint8_t>(-21.0), 235);
    EXPECT_EQ(to_sample<std::uint8_t>(-0.9), 0);  // toward zero, not floor
    EXPECT_EQ(to_sample<std::uint16_t>(65536.5), 0);
}

TEST(Radiometry, CompressedMaximumIsTheRawMaximumOrOneBelow) {
    for (const double e : kExponents) {
        int below = 0;
        for (int m = 1; m <= 65535; ++m) {
            const auto band = BandStretch::from_raw_limits(std::uint16_t(m), 0, e);
            ASSERT_TRUE(band.hi == m || band.hi == m - 1) << "m=" << m << " e=" << e;
            below += band.hi == m - 1;
        }
        EXPECT_GT(below, 0) << "rounding never pulls a maximum down for e=" << e;
    }
}

TEST(Radiometry, StretchEndsAndWrapBelowTheMinimum) {
    EXPECT_EQ(byte_stretch(300, 300, 5000), 0);
    EXPECT_EQ(byte_stretch(5000, 300, 5000), 255);
    EXPECT_EQ(byte_stretch(299, 300, 5000), 255);  // floor(-0.05...) = -1
    EXPECT_EQ(byte_stretch(99, 100, 200), 253);    // floor(-2.55) = -3
    EXPECT_EQ(byte_stretch(0, 100, 1000), 227);    // floor(-28.33) = -29
    EXPECT_EQ(byte_stretch(201, 100, 200), 1);     // floor(257.55) wraps past 255
    // lo above hi is not guarded either: the quotient is just negative.
    EXPECT_EQ(byte_stretch(150, 200, 100), 127);  // floor(127.5)
}

TEST(Radiometry, DegenerateLimitsGiveZeroNotNaN) {
    EXPECT_EQ(power_gain(0, kPanExponent), 0.0);
    const auto flat = BandStretch::from_raw_limits(0, 0, kNirExponent);
    EXPECT_EQ(flat.hi, 0);
    EXPECT_EQ(flat.lo, 0);
    for (const int v : {0, 1, 500, 65535}) {
        EXPECT_EQ(flat.compress(std::uint16_t(v)), 0);
        EXPECT_EQ(byte_stretch(std::uint16_t(v), 700, 700), 0);
    }
}

// The byte table must equal the per-sample functions for every raw value.
TEST(Radiometry, ByteTableMatchesPerSampleFunctionsExhaustively) {
    const BandStretch bands[] = {
        BandStretch::from_raw_limits(13199, 1300, kPanExponent),  // ordinary
        BandStretch::from_raw_limits(27399, 4297, kNirExponent),
        BandStretch::from_raw_limits(1, 20000, kPanExponent),    // hi < lo
        BandStretch::from_raw_limits(5000, 5000, kRedExponent),  // hi == lo
        BandStretch::from_raw_limits(0, 0, kGreenExponent),      // maximum 0
        BandStretch::from_raw_limits(65535, 0, kRedExponent),
    };
    for (const auto& band : bands) {
        ByteTable table;
        build_byte_table(band, table);
        for (int v = 0; v <= 65535; ++v) {
            const auto raw = std::uint16_t(v);
            ASSERT_EQ(table[raw],
                      byte_stretch(power_compress(raw, band.exponent, band.gain), band.lo, band.hi))
                << "v=" << v << " lo=" << band.lo << " hi=" << band.hi;
        }
    }
}

}  // namespace
}  // namespace cirsharp
