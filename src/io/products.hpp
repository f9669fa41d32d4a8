// The five products as rasters: size, bands, sample width and band names, for
// the ENVI headers and the quicklooks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace cirsharp {

enum class Product { kRgbir16, kCir8, kPan8, kSharpened, kPan16 };

// In command-line order: positions 3 to 7.
inline constexpr std::array<Product, 5> kProducts = {
    Product::kRgbir16, Product::kCir8, Product::kPan8, Product::kSharpened, Product::kPan16};

struct ProductLayout {
    std::string_view name;  // short name, also the quicklook's file stem
    int width;
    int height;
    int bytes_per_sample;                      // 1 or 2 (unsigned, little-endian)
    std::vector<std::string_view> band_names;  // pixel-interleaved in this order
    bool false_colour;                         // a NIR, red, green composite

    int bands() const { return int(band_names.size()); }
    std::size_t row_bytes() const {
        return std::size_t(width) * std::size_t(bands()) * std::size_t(bytes_per_sample);
    }
    std::uint64_t file_bytes() const { return std::uint64_t(row_bytes()) * std::uint64_t(height); }
};

const ProductLayout& layout_of(Product product);

}  // namespace cirsharp
