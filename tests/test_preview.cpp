#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

#include "preview/preview.hpp"

namespace cirsharp {
namespace {

std::vector<std::byte> le16(const std::vector<std::uint16_t>& samples) {
    std::vector<std::byte> bytes;
    for (const auto s : samples) {
        bytes.push_back(std::byte(s & 0xff));
        bytes.push_back(std::byte(s >> 8));
    }
    return bytes;
}

TEST(Preview, ReductionFactorKeepsTheWidthWithinTheLimit) {
    EXPECT_EQ(reduction_factor(11500, 2000), 6);  // 1917 across
    EXPECT_EQ(reduction_factor(3680, 2000), 2);   // 1840 across
    EXPECT_EQ(reduction_factor(2000, 2000), 1);
    EXPECT_EQ(reduction_factor(2001, 2000), 2);
    EXPECT_THROW(reduction_factor(10, 0), std::invalid_argument);
}

// 5 x 3 pixels of four 16-bit bands, blocks of 2: a 3 x 2 preview whose right
// column and bottom row average fewer pixels. Band 0 rises, band 1 falls,
// band 2 is flat and band 3 is not shown.
TEST(Preview, SixteenBitBandsAreStretchedOverTheirOwnRange) {
    const RasterShape shape{5, 3, 4, 2};
    std::vector<std::uint16_t> samples;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            for (const int v : {10 * y + x, 1000 - (10 * y + x), 7, 65535})
                samples.push_back(std::uint16_t(v));
    const auto bytes = le16(samples);
    PreviewBuilder whole(shape, {0, 1, 2}, 2);
    whole.add(bytes);
    const Preview p = whole.finish();
    ASSERT_EQ(p.width, 3);
    ASSERT_EQ(p.height, 2);
    ASSERT_EQ(p.channels, 3);
    ASSERT_EQ(p.pixels.size(), 18u);
    // (0, 0): band 0 mean 5.5 over 0..24; band 1 mean 994.5 over 976..1000.
    EXPECT_EQ(p.pixels[0], 58);   // 5.5 * 255 / 24 = 58.4
    EXPECT_EQ(p.pixels[1], 197);  // 18.5 * 255 / 24 = 196.6
    EXPECT_EQ(p.pixels[2], 0);    // a flat band
    // (2, 0): column 4 of rows 0 and 1 only: means 9 and 991.
    EXPECT_EQ(p.pixels[6], 96);   // 95.6
    EXPECT_EQ(p.pixels[7], 159);  // 15 * 255 / 24 = 159.4
    // (2, 1): the single pixel (4, 2): the extremes.
    EXPECT_EQ(p.pixels[15], 255);
    EXPECT_EQ(p.pixels[16], 0);

    // Fed a row at a time, the same preview.
    PreviewBuilder rows(shape, {0, 1, 2}, 2);
    for (int y = 0; y < 3; ++y)
        rows.add(std::span(bytes).subspan(std::size_t(y) * shape.row_bytes(), shape.row_bytes()));
    EXPECT_EQ(rows.finish().pixels, p.pixels);
}

TEST(Preview, BytesAreShownAsRoundedBlockMeansInTheChosenOrder) {
    // 3 x 3 grey, blocks of 2.
    const std::vector<std::byte> grey = {std::byte(1), std::byte(2), std::byte(3),
                                         std::byte(2), std::byte(2), std::byte(4),
                                         std::byte(9), std::byte(8), std::byte(250)};
    PreviewBuilder g({3, 3, 1, 1}, {0}, 2);
    g.add(grey);
    const Preview p = g.finish();
    EXPECT_EQ(std::vector<std::uint8_t>(p.pixels.begin(), p.pixels.end()),
              (std::vector<std::uint8_t>{2, 4, 9, 250}));  // 1.75, 3.5, 8.5, 250

    // Three bands with the third shown first; factor 1 keeps every pixel.
    const std::vector<std::byte> rgb = {std::byte(10), std::byte(20), std::byte(30)};
    PreviewBuilder c({1, 1, 3, 1}, {2, 0, 1}, 1);
    c.add(rgb);
    const Preview cp = c.finish();
    EXPECT_EQ(std::vector<std::uint8_t>(cp.pixels.begin(), cp.pixels.end()),
              (std::vector<std::uint8_t>{30, 10, 20}));
}

TEST(Preview, MissingOrExtraRowsOrSplitSamplesAreRefused) {
    PreviewBuilder b({2, 2, 1, 1}, {0}, 2);
    const std::vector<std::byte> row(2, std::byte(5));
    b.add(row);
    EXPECT_THROW(b.finish(), std::logic_error);
    b.add(row);
    EXPECT_THROW(b.add(row), std::logic_error);
    PreviewBuilder words({2, 2, 1, 2}, {0}, 2);
    EXPECT_THROW(words.add(std::span(row).first(1)), std::logic_error);
}

// The preview one sample at a time, straight from the definition: the
// block's sum over its pixel count, rounded for bytes, stretched over the
// band's extremes for 16-bit samples.
Preview reference_preview(const RasterShape& s, const std::vector<int>& channels, int factor,
                          const std::vector<std::byte>& raster) {
    const auto sample = [&](int x, int y, int band) -> std::uint32_t {
        const std::size_t i = (std::size_t(y) * s.row_samples() + std::size_t(x * s.bands + band)) *
                              std::size_t(s.bytes_per_sample);
        const auto b = [&](std::size_t k) { return std::to_integer<std::uint32_t>(raster[k]); };
        return s.bytes_per_sample == 1 ? b(i) : b(i) | b(i + 1) << 8;
    };
    Preview p{(s.width + factor - 1) / factor,
              (s.height + factor - 1) / factor,
              int(channels.size()),
              {}};
    std::vector<std::uint32_t> lo(std::size_t(s.bands), 65535), hi(std::size_t(s.bands), 0);
    const std::size_t blocks = std::size_t(p.width) * std::size_t(p.height);
    std::vector<std::uint64_t> sums(blocks * std::size_t(s.bands)), counts(blocks);
    for (int v = 0; v < s.height; ++v)
        for (int u = 0; u < s.width; ++u) {
            const std::size_t block =
                std::size_t(v / factor) * std::size_t(p.width) + std::size_t(u / factor);
            ++counts[block];
            for (int band = 0; band < s.bands; ++band) {
                const std::uint32_t x = sample(u, v, band);
                lo[std::size_t(band)] = std::min(lo[std::size_t(band)], x);
                hi[std::size_t(band)] = std::max(hi[std::size_t(band)], x);
                sums[block * std::size_t(s.bands) + std::size_t(band)] += x;
            }
        }
    for (std::size_t block = 0; block < blocks; ++block)
        for (const int band : channels) {
            const std::uint64_t sum = sums[block * std::size_t(s.bands) + std::size_t(band)];
            const std::uint64_t count = counts[block];
            const std::uint32_t l = lo[std::size_t(band)], h = hi[std::size_t(band)];
            if (s.bytes_per_sample == 1)
                p.pixels.push_back(std::uint8_t((sum + count / 2) / count));
            else if (h == l)
                p.pixels.push_back(0);
            else
                p.pixels.push_back(
                    std::uint8_t(std::lround((double(sum) / double(count) - l) * 255.0 / (h - l))));
        }
    return p;
}

// Random rasters of bytes and of 16-bit samples, fed in pieces of random
// whole-sample sizes that split rows anywhere, and whole: the same pixels as the
// definition, whatever the factor (blocks whose sums need 16, 32 or 64 bits)
// and however the bytes come.
TEST(Preview, AnyPiecesGiveThePixelsOfTheDefinition) {
    std::mt19937 random(7);
    struct Case {
        RasterShape shape;
        std::vector<int> channels;
        int factor;
    };
    const Case cases[] = {
        {{37, 23, 3, 1}, {0, 1, 2}, 4},
        {{40, 9, 1, 1}, {0}, 1},
        {{300, 270, 1, 1}, {0}, 260},
        {{31, 17, 4, 2}, {0, 1, 2}, 3},
        {{29, 11, 1, 2}, {0}, 29},
        {{270, 258, 1, 2}, {0}, 257},
        {{9, 5, 3, 1}, {2, 0, 1}, 2},
        // The widths of the 2000-pixel previews, each number of bands, and
        // blocks of bytes whose sums need 64 bits.
        {{23, 13, 1, 1}, {0}, 6},
        {{29, 14, 3, 1}, {0, 1, 2}, 6},
        {{17, 7, 4, 2}, {0, 1, 2}, 6},
        {{13, 5, 4, 2}, {0, 1, 2}, 2},
        {{11, 3, 1, 2}, {0}, 2},
        {{4300, 3, 1, 1}, {0}, 4200},
        // 16-bit samples of a narrow range over many blocks, whose pixels
        // are looked up by their sums, and a flat band beside them.
        {{600, 301, 4, 2}, {0, 1, 2}, 2},
        {{2000, 1999, 1, 2}, {0}, 6},
        {{601, 300, 4, 2}, {3, 0, 1}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.shape.width) + " x " + std::to_string(c.shape.height) +
                     " / " + std::to_string(c.factor));
        std::vector<std::byte> raster(c.shape.row_bytes() * std::size_t(c.shape.height));
        // Mostly a narrow range, so that the stretch matters, with rare extremes.
        for (std::size_t i = 0; i < raster.size(); ++i)
            raster[i] = std::byte(i % 2 && c.shape.bytes_per_sample == 2 ? random() % 3 + 100
                                                                         : random() % 256);
        // The fourth band of the third such case reads one value everywhere.
        if (c.channels[0] == 3)
            for (std::size_t i = 6; i < raster.size(); i += 8)
                raster[i] = raster[i + 1] = std::byte(9);
        const Preview want = reference_preview(c.shape, c.channels, c.factor, raster);
        for (const Simd simd : available_simd()) {
            SCOPED_TRACE(name_of(simd));
            PreviewBuilder b(c.shape, c.channels, c.factor, simd);
            const std::size_t sample = std::size_t(c.shape.bytes_per_sample);
            for (std::size_t at = 0; at < raster.size();) {
                const std::size_t n = std::min(
                    raster.size() - at, (random() % (2 * c.shape.row_samples()) + 1) * sample);
                b.add(std::span(raster).subspan(at, n));
                at += n;
            }
            const Preview got = b.finish();
            EXPECT_EQ(got.width, want.width);
            EXPECT_EQ(got.height, want.height);
            EXPECT_EQ(got.pixels, want.pixels);
            // All at once: whole rows go in two at a time.
            PreviewBuilder whole(c.shape, c.channels, c.factor, simd);
            whole.add(raster);
            EXPECT_EQ(whole.finish().pixels, want.pixels);
        }
    }
}

}  // namespace
}  // namespace cirsharp
