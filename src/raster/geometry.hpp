// The fixed raster geometry of one exposure and the five products it becomes.
// Every layer may include this header; it includes nothing of the project, so
// each of these numbers is written once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace cirsharp {

// ---------------------------------------------------------------- inputs

// Each input file starts with a header of this many bytes, skipped.
inline constexpr std::uint64_t kColourHeaderBytes = 8;
inline constexpr std::uint64_t kPanHeaderBytes = 8;

enum Band : int { kRed = 0, kGreen = 1, kBlue = 2, kNir = 3 };
inline constexpr int kBands = 4;

// The colour image: per row, one line of each band in Band order.
struct ColourGeometry {
    int width;
    int height;
    constexpr std::size_t pixels() const { return std::size_t(width) * std::size_t(height); }
    constexpr std::size_t row_bytes() const {
        return std::size_t(width) * kBands * sizeof(std::uint16_t);
    }
    constexpr std::uint64_t file_bytes() const {
        return kColourHeaderBytes + std::uint64_t(row_bytes()) * std::uint64_t(height);
    }
};

// The PAN image as a grid of square tiles, each stored whole in turn, row of
// tiles after row of tiles; the kept image is the mosaic's top-left corner.
struct PanGeometry {
    int tile;       // tile edge in samples
    int tile_cols;  // tiles across
    int tile_rows;  // tiles down
    int width;      // kept image: the top-left width x height of the mosaic
    int height;

    constexpr std::size_t tile_area() const { return std::size_t(tile) * std::size_t(tile); }
    constexpr std::size_t tile_samples() const {
        return tile_area() * std::size_t(tile_cols) * std::size_t(tile_rows);
    }
    constexpr std::size_t mosaic_width() const {
        return std::size_t(tile) * std::size_t(tile_cols);
    }
    constexpr std::size_t mosaic_height() const {
        return std::size_t(tile) * std::size_t(tile_rows);
    }
    constexpr std::size_t kept_samples() const { return std::size_t(width) * std::size_t(height); }
    // Samples in one row of tiles.
    constexpr std::size_t tile_row_samples() const { return tile_area() * std::size_t(tile_cols); }
    constexpr std::uint64_t file_bytes() const {
        return kPanHeaderBytes + tile_samples() * sizeof(std::uint16_t);
    }
};

inline constexpr ColourGeometry kColourGeometry{3680, 2400};
inline constexpr PanGeometry kPanGeometry{512, 23, 15, 11500, 7500};

// Index of the tile-file sample that lands at mosaic (row, column).
constexpr std::size_t tile_index(const PanGeometry& g, std::size_t row, std::size_t column) {
    const std::size_t edge = std::size_t(g.tile);
    const std::size_t t = (row / edge) * std::size_t(g.tile_cols) + column / edge;
    return t * g.tile_area() + (row % edge) * edge + column % edge;
}

// ---------------------------------------------------------------- fusion

// The composite (colour resolution) sharpened to PAN resolution: 3.125 times
// the composite along each axis.
struct FusionGeometry {
    int source_width;  // composite
    int source_height;
    int width;  // output
    int height;
};
inline constexpr FusionGeometry kFusionGeometry{kColourGeometry.width, kColourGeometry.height,
                                                kPanGeometry.width, kPanGeometry.height};
static_assert(kFusionGeometry.width * 8 == kFusionGeometry.source_width * 25 &&
                  kFusionGeometry.height * 8 == kFusionGeometry.source_height * 25,
              "PAN to colour scale is 3.125 along both axes");

// PAN pixel x (0-based, along either axis) takes composite pixel
// floor((8x + 7) / 25) in the sharpened product: 8 composite pixels fill 25
// PAN pixels, the first seven covering three each and the eighth four. Equal
// to ceil((x + 1) / 3.125) - 1 for every x of the raster.
constexpr int composite_index(int x) {
    return (8 * x + 7) / 25;
}

// ---------------------------------------------------------------- products

enum class Product { kRgbir16, kCir8, kPan8, kSharpened, kPan16 };

// In command-line order: positions 3 to 7.
inline constexpr std::array<Product, 5> kProducts = {
    Product::kRgbir16, Product::kCir8, Product::kPan8, Product::kSharpened, Product::kPan16};

// A product as a raster: size, bands, sample width and band names, for the
// ENVI headers and the quicklooks.
struct ProductLayout {
    std::string_view name;  // short name, also the quicklook's file stem
    int width;
    int height;
    int bytes_per_sample;  // 1 or 2 (unsigned, little-endian)
    int band_count;
    std::array<std::string_view, kBands> band_names;  // pixel-interleaved in this order
    bool false_colour;                                // a NIR, red, green composite

    constexpr int bands() const { return band_count; }
    constexpr std::size_t row_bytes() const {
        return std::size_t(width) * std::size_t(bands()) * std::size_t(bytes_per_sample);
    }
    constexpr std::uint64_t file_bytes() const {
        return std::uint64_t(row_bytes()) * std::uint64_t(height);
    }
};

inline constexpr std::array<ProductLayout, 5> kProductLayouts = {{
    {"rgbir16",
     kColourGeometry.width,
     kColourGeometry.height,
     2,
     4,
     {"Red", "Green", "Blue", "NIR"},
     false},
    {"cir8", kColourGeometry.width, kColourGeometry.height, 1, 3, {"NIR", "Red", "Green"}, true},
    {"pan8", kPanGeometry.width, kPanGeometry.height, 1, 1, {"PAN"}, false},
    {"sharpened-cir8",
     kPanGeometry.width,
     kPanGeometry.height,
     1,
     3,
     {"NIR", "Red", "Green"},
     true},
    {"pan16", kPanGeometry.width, kPanGeometry.height, 2, 1, {"PAN"}, false},
}};

constexpr const ProductLayout& layout_of(Product product) {
    return kProductLayouts[static_cast<std::size_t>(product)];
}

}  // namespace cirsharp
