#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "fusion/fusion_kernels.hpp"
#include "fusion/hsv.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using Bytes = std::array<std::uint8_t, 3>;

TEST(HsvFuse, BlackGreyAndZeroPan) {
    for (const int p : {0, 1, 128, 255}) {
        const auto P = std::uint16_t(p);
        const auto b = std::uint8_t(p);
        const Bytes grey{b, b, b};
        EXPECT_EQ(hsv_fuse(0, 0, 0, P), grey);
        EXPECT_EQ(hsv_fuse(77, 77, 77, P), grey);
        EXPECT_EQ(hsv_fuse(255, 255, 255, P), grey);
    }
    EXPECT_EQ(hsv_fuse(200, 100, 50, 0), (Bytes{0, 0, 0}));
    EXPECT_EQ(hsv_fuse(3, 250, 9, 0), (Bytes{0, 0, 0}));
}

TEST(HsvFuse, PureAndTwoChannelColoursCoverEverySector) {
    EXPECT_EQ(hsv_fuse(255, 0, 0, 200), (Bytes{200, 0, 0}));
    EXPECT_EQ(hsv_fuse(0, 255, 0, 200), (Bytes{0, 200, 0}));
    EXPECT_EQ(hsv_fuse(0, 0, 255, 200), (Bytes{0, 0, 200}));
    EXPECT_EQ(hsv_fuse(255, 255, 0, 200), (Bytes{200, 200, 0}));  // h = 60, sector 1
    EXPECT_EQ(hsv_fuse(0, 255, 255, 200), (Bytes{0, 200, 200}));  // h = 180, sector 3
    EXPECT_EQ(hsv_fuse(255, 0, 255, 200), (Bytes{200, 0, 200}));  // h = 300, last row
    EXPECT_DOUBLE_EQ(rgb_to_hsv(1, 1, 0).h, 60);
    EXPECT_DOUBLE_EQ(rgb_to_hsv(0, 1, 1).h, 180);
    EXPECT_DOUBLE_EQ(rgb_to_hsv(1, 0, 1).h, 300);
    EXPECT_EQ(rgb_to_hsv(0, 0, 0).h, -1);
    EXPECT_EQ(rgb_to_hsv(0.5, 0.5, 0.5).h, 0);  // grey: no 0/0
}

TEST(HsvFuse, TruncatesAndKeepsTheHueStepsSeparate) {
    EXPECT_EQ(hsv_fuse(200, 100, 50, 255), (Bytes{255, 127, 63}));
    EXPECT_EQ(hsv_fuse(200, 100, 50, 128), (Bytes{128, 64, 32}));
    EXPECT_EQ(hsv_fuse(100, 50, 50, 255), (Bytes{255, 127, 127}));
    EXPECT_EQ(hsv_fuse(10, 200, 30, 180), (Bytes{8, 180, 26}));
    EXPECT_EQ(hsv_fuse(60, 20, 180, 90), (Bytes{30, 10, 90}));
    // A merged "x 60 then / 60" would give 4 for the second byte.
    EXPECT_EQ(hsv_fuse(0, 1, 51, 255), (Bytes{0, 5, 255}));
}

// Colour triples that exercise every branch: a coarse grid over the cube,
// the edges and diagonals, and near-grey colours.
std::vector<Bytes> colour_set() {
    std::vector<Bytes> set;
    for (int r = 0; r < 256; r += 15)
        for (int g = 0; g < 256; g += 17)
            for (int b = 0; b < 256; b += 13)
                set.push_back({std::uint8_t(r), std::uint8_t(g), std::uint8_t(b)});
    for (int a = 0; a < 256; ++a) {
        const auto x = std::uint8_t(a), y = std::uint8_t(255 - a);
        for (const Bytes c : {Bytes{x, 0, 0}, Bytes{0, x, 0}, Bytes{0, 0, x}, Bytes{x, x, 0},
                              Bytes{0, x, x}, Bytes{x, 0, x}, Bytes{x, y, 0}, Bytes{x, x, x},
                              Bytes{x, std::uint8_t(std::min(255, a + 1)), x}, Bytes{0, 1, x}})
            set.push_back(c);
    }
    return set;
}

TEST(HsvFuse, LargestByteIsAlwaysThePanValue) {
    for (const Bytes& c : colour_set())
        for (int p = 0; p < 256; ++p) {
            const Bytes out = hsv_fuse(c[0], c[1], c[2], std::uint16_t(p));
            ASSERT_EQ(*std::max_element(out.begin(), out.end()), p)
                << int(c[0]) << ',' << int(c[1]) << ',' << int(c[2]) << " P=" << p;
        }
}

TEST(SharpenRows, FactorPathMatchesHsvFuseForEveryPanValue) {
    // A composite of 8 x N pixels and output rows of 25 pixels: each output
    // pixel's pan value cycles through 0..255 as the rows go by.
    const std::vector<Bytes> colours = colour_set();
    const int source_width = 8;
    const int source_height = int((colours.size() + source_width - 1) / source_width);
    const FusionGeometry g{source_width, source_height, 25, int(std::ceil(source_height * 3.125))};
    std::vector<std::uint8_t> cir(std::size_t(source_width) * source_height * 3, 0);
    for (std::size_t i = 0; i < colours.size(); ++i)
        std::copy(colours[i].begin(), colours[i].end(), cir.begin() + std::ptrdiff_t(3 * i));
    std::vector<std::uint8_t> pan(std::size_t(g.width) * g.height);
    std::vector<std::uint8_t> fast(pan.size() * 3), slow(pan.size() * 3);
    for (int shift = 0; shift < 256; shift += 5) {
        for (std::size_t i = 0; i < pan.size(); ++i)
            pan[i] = std::uint8_t((i * 7 + shift) % 256);
        sharpen_rows_reference(cir, pan, g, 0, g.height, slow);
        for (const Simd simd : available_simd()) {
            sharpen_rows(cir, pan, g, 0, g.height, fast, simd);
            ASSERT_EQ(fast, slow) << "shift " << shift << ", " << name_of(simd);
        }
    }
}

// Every vector path of this processor must give channel_factors' doubles bit
// for bit, for every one of the 2^24 colours.
TEST(ChannelFactors, VectorKernelsMatchTheScalarOnesForEveryColour) {
    constexpr std::size_t n = 65536;
    std::vector<std::uint8_t> cir(3 * n);
    std::vector<double> want(3 * n), got(3 * n);
    for (int first = 0; first < 256; ++first) {
        for (std::size_t i = 0; i < n; ++i) {
            cir[3 * i] = std::uint8_t(first);
            cir[3 * i + 1] = std::uint8_t(i >> 8);
            cir[3 * i + 2] = std::uint8_t(i);
            const ChannelFactors f = channel_factors(cir[3 * i], cir[3 * i + 1], cir[3 * i + 2]);
            want[i] = f.c[0];
            want[n + i] = f.c[1];
            want[2 * n + i] = f.c[2];
        }
        for (const Simd simd : available_simd()) {
            // An odd count leaves a tail for the scalar path as well.
            const std::size_t count = first % 2 ? n - 3 : n;
            std::fill(got.begin(), got.end(), -1.0);
            row_channel_factors(cir.data(), count, got.data(), got.data() + n, got.data() + 2 * n,
                                simd);
            for (std::size_t i = 0; i < count; ++i)
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(std::memcmp(&got[c * n + i], &want[c * n + i], sizeof(double)), 0)
                        << "colour " << first << ',' << (i >> 8) << ',' << (i & 255) << " channel "
                        << c << ", " << name_of(simd);
        }
    }
}

// Random composites, a quarter of their bytes 0 or 255 (black, grey and pure
// colours), and random pan values: every path gives the reference's bytes.
TEST(SharpenRows, FastPathsMatchTheReferenceOnRandomComposites) {
    std::mt19937_64 rng(99);
    const FusionGeometry g{8, 4, 25, 12};  // 8 x 4 composite pixels to 25 x 12
    for (int round = 0; round < test::kRandomRounds; ++round) {
        std::vector<std::uint8_t> cir(std::size_t(g.source_width) * g.source_height * 3);
        for (auto& v : cir)
            v = std::uint8_t(rng() % 4 == 0 ? (rng() % 2) * 255 : rng());
        std::vector<std::uint8_t> pan(std::size_t(g.width) * g.height);
        for (auto& v : pan)
            v = std::uint8_t(rng());
        std::vector<std::uint8_t> fast(pan.size() * 3), slow(pan.size() * 3);
        sharpen_rows_reference(cir, pan, g, 0, g.height, slow);
        for (const Simd simd : available_simd()) {
            sharpen_rows(cir, pan, g, 0, g.height, fast, simd);
            ASSERT_EQ(fast, slow) << "round " << round << ", " << name_of(simd);
        }
    }
}

TEST(SourceIndex, EightSourcePixelsFillTwentyFiveAndMatchTheCeilForm) {
    EXPECT_EQ(source_index(0), 0);
    EXPECT_EQ(source_index(2), 0);
    EXPECT_EQ(source_index(3), 1);
    EXPECT_EQ(source_index(20), 6);
    EXPECT_EQ(source_index(21), 7);
    EXPECT_EQ(source_index(24), 7);
    EXPECT_EQ(source_index(25), 8);
    EXPECT_EQ(source_index(11499), 3679);
    EXPECT_EQ(source_index(7499), 2399);
    for (int x = 0; x < kFusionGeometry.width; ++x)
        ASSERT_EQ(source_index(x), int(std::ceil((x + 1) / 3.125)) - 1) << x;
}

TEST(SharpenRows, OutputPixelsTakeTheirCoveringSourcePixel) {
    // Source pixels with distinct pure hues name their own position.
    const FusionGeometry g{16, 16, 50, 50};
    std::vector<std::uint8_t> cir(16 * 16 * 3);
    for (int p = 0; p < 256; ++p) {
        cir[3 * p] = 255;
        cir[3 * p + 1] = std::uint8_t(p);  // hue grows with p, saturation 1
    }
    std::vector<std::uint8_t> pan(50 * 50, 255), out(50 * 50 * 3);
    sharpen_rows_reference(cir, pan, g, 0, 50, out);
    auto takes = [&](int x, int y, int sx, int sy) {
        const Bytes want = hsv_fuse(255, std::uint8_t(sy * 16 + sx), 0, 255);
        const std::uint8_t* o = &out[(std::size_t(y) * 50 + x) * 3];
        return Bytes{o[0], o[1], o[2]} == want;
    };
    EXPECT_TRUE(takes(0, 0, 0, 0));
    EXPECT_TRUE(takes(2, 2, 0, 0));
    EXPECT_TRUE(takes(3, 0, 1, 0));
    EXPECT_TRUE(takes(21, 24, 7, 7));
    EXPECT_TRUE(takes(25, 25, 8, 8));
    EXPECT_TRUE(takes(49, 49, 15, 15));
    EXPECT_FALSE(takes(24, 24, 8, 8));
}

}  // namespace
}  // namespace cirsharp
