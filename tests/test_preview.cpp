#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "preview.hpp"

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
    whole.add_rows(bytes);
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
        rows.add_rows(
            std::span(bytes).subspan(std::size_t(y) * shape.row_bytes(), shape.row_bytes()));
    EXPECT_EQ(rows.finish().pixels, p.pixels);
}

TEST(Preview, BytesAreShownAsRoundedBlockMeansInTheChosenOrder) {
    // 3 x 3 grey, blocks of 2.
    const std::vector<std::byte> grey = {std::byte(1), std::byte(2), std::byte(3),
                                         std::byte(2), std::byte(2), std::byte(4),
                                         std::byte(9), std::byte(8), std::byte(250)};
    PreviewBuilder g({3, 3, 1, 1}, {0}, 2);
    g.add_rows(grey);
    const Preview p = g.finish();
    EXPECT_EQ(p.pixels, (std::vector<std::uint8_t>{2, 4, 9, 250}));  // 1.75, 3.5, 8.5, 250

    // Three bands with the third shown first; factor 1 keeps every pixel.
    const std::vector<std::byte> rgb = {std::byte(10), std::byte(20), std::byte(30)};
    PreviewBuilder c({1, 1, 3, 1}, {2, 0, 1}, 1);
    c.add_rows(rgb);
    EXPECT_EQ(c.finish().pixels, (std::vector<std::uint8_t>{30, 10, 20}));
}

TEST(Preview, MissingOrExtraRowsAreRefused) {
    PreviewBuilder b({2, 2, 1, 1}, {0}, 2);
    const std::vector<std::byte> row(2, std::byte(5));
    b.add_rows(row);
    EXPECT_THROW(b.finish(), std::logic_error);
    b.add_rows(row);
    EXPECT_THROW(b.add_rows(row), std::logic_error);
}

}  // namespace
}  // namespace cirsharp
