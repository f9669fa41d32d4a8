// cirsharp-sample: writes a deterministic synthetic exposure (a colour file
// and a PAN tile file of the converter's exact geometry) for a given seed:
// fields, forest, a river, roads and roofs, vegetation bright in near
// infrared, and a few nodata 0s and 1s in the PAN. With --saturate, the PAN
// also has an over-exposed patch, as a glint off a glass roof gives.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "io/temp_files.hpp"
#include "raster/geometry.hpp"

namespace {

using namespace cirsharp;

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

enum Cover { kSoil, kCrop, kForest, kWater, kRoad, kRoof, kCovers };

// Red, green, blue and NIR radiance of each cover, in sensor counts.
constexpr double kRadiance[kCovers][kBands] = {
    {5200, 4800, 4100, 6200},   // bare soil
    {2200, 3600, 2000, 14000},  // crop: bright in near infrared
    {1500, 2600, 1400, 11000},  // forest
    {1200, 1800, 2400, 600},    // water
    {7500, 7400, 7200, 7800},   // road
    {9800, 5200, 4200, 9000},   // tiled roof
};

class Scene {
  public:
    explicit Scene(std::uint64_t seed) : seed_(mix(seed + 0x9e3779b97f4a7c15ull)) {}

    // Ground cover and a brightness factor at PAN pixel coordinates.
    Cover cover(double x, double y, double& shade) const {
        shade = 1.0 + 0.06 * std::sin(x / 37.0) * std::cos(y / 53.0);
        const double river = 3700 + 600 * std::sin(x / 1500.0 + double(seed_ % 7));
        if (std::fabs(y - river) < 110) return kWater;
        if (std::fmod(x + double(seed_ % 900), 2300) < 20 || std::fmod(y + 0.2 * x, 1900) < 16)
            return kRoad;
        const auto cx = std::int64_t(x / 700), cy = std::int64_t(y / 600);
        const std::uint64_t house = hash(cx, cy, 1);
        if (house % 3 == 0) {
            const double hx = double(cx * 700 + std::int64_t(house >> 8) % 500);
            const double hy = double(cy * 600 + std::int64_t(house >> 20) % 450);
            if (x >= hx && x < hx + 120 && y >= hy && y < hy + 90) return kRoof;
        }
        const auto fx = std::int64_t(x / 410), fy = std::int64_t(y / 330);
        const std::uint64_t field = hash(fx, fy, 2);
        shade *= 0.85 + 0.3 * double(field % 1000) / 1000.0;
        switch (field % 5) {
            case 0:
                return kSoil;
            case 1:
            case 2:
                return kCrop;
            default:
                return (fy % 4 == 0) ? kForest : kCrop;
        }
    }
    double noise(std::int64_t x, std::int64_t y, int band, double amplitude) const {
        return (double(hash(x, y, 10 + band) % 2001) / 1000.0 - 1.0) * amplitude;
    }

  private:
    std::uint64_t hash(std::int64_t a, std::int64_t b, int salt) const {
        return mix(seed_ ^ mix(std::uint64_t(a) * 0x100000001b3ull ^ std::uint64_t(b) << 21 ^
                               std::uint64_t(salt)));
    }
    std::uint64_t seed_;
};

std::uint16_t clamp16(double v) {
    return static_cast<std::uint16_t>(v < 0 ? 0 : (v > 65535 ? 65535 : v));
}

void write_colour(const Scene& scene, io::OutputFile& file) {
    const ColourGeometry& g = kColourGeometry;
    const std::byte header[kColourHeaderBytes] = {std::byte{'C'}, std::byte{'I'}, std::byte{'R'},
                                                  std::byte{'C'}, std::byte{1}};
    file.write(header);
    std::vector<std::uint16_t> row(std::size_t(g.width) * kBands);
    for (int r = 0; r < g.height; ++r) {
        for (int c = 0; c < g.width; ++c) {
            double shade;
            const Cover k = scene.cover(c * 3.125, r * 3.125, shade);
            for (int b = 0; b < kBands; ++b)
                row[std::size_t(b) * g.width + c] =
                    clamp16(kRadiance[k][b] * shade + scene.noise(c, r, b, 120));
        }
        file.write(std::as_bytes(std::span(row)));
    }
}

// The over-exposed patch of --saturate, in kept PAN pixels.
constexpr int kGlintX = 6000, kGlintY = 3000, kGlintWidth = 600, kGlintHeight = 400;

void write_pan(const Scene& scene, bool saturate, io::OutputFile& file) {
    const PanGeometry& g = kPanGeometry;
    const std::byte header[kPanHeaderBytes] = {std::byte{'P'}, std::byte{'A'}, std::byte{'N'},
                                               std::byte{'T'}, std::byte{1}};
    file.write(header);
    std::vector<std::uint16_t> tile(g.tile_area());
    for (int t = 0; t < g.tile_cols * g.tile_rows; ++t) {
        const int tile_row = t / g.tile_cols, tile_col = t % g.tile_cols;
        for (int y = 0; y < g.tile; ++y)
            for (int x = 0; x < g.tile; ++x) {
                const int X = tile_col * g.tile + x, Y = tile_row * g.tile + y;
                double shade;
                const Cover k = scene.cover(X, Y, shade);
                const double* rad = kRadiance[k];
                double v =
                    (0.3 * rad[kRed] + 0.35 * rad[kGreen] + 0.1 * rad[kBlue] + 0.25 * rad[kNir]) *
                        1.2 * shade +
                    scene.noise(X, Y, 4, 180);
                if (X < 48 && Y < 48) v = 0;    // nodata corner
                if (X == 200 && Y < 64) v = 1;  // a dead column stub
                if ((X >= g.width || Y >= g.height) && (X + Y) % 5 == 0) v = 0;  // margin
                if (saturate && X >= kGlintX && X < kGlintX + kGlintWidth && Y >= kGlintY &&
                    Y < kGlintY + kGlintHeight)
                    v = 65535;
                tile[std::size_t(y) * g.tile + x] = clamp16(v);
            }
        file.write(std::as_bytes(std::span(tile)));
    }
}

}  // namespace

constexpr const char* kUsage =
    "usage: cirsharp-sample [--seed N] [--saturate] COLOUR_OUT PANTILES_OUT\n";

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::uint64_t seed = 1;
    bool saturate = false;
    if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
        std::cout
            << kUsage
            << "Writes a deterministic synthetic exposure for cirsharp. --saturate adds an\n"
               "over-exposed PAN patch: 600 x 400 samples of 65535 at column 6000, row 3000.\n";
        return 0;
    }
    while (!args.empty() && args[0].starts_with("--")) {
        if (args[0] == "--saturate") {
            saturate = true;
            args.erase(args.begin());
            continue;
        }
        if (args[0] != "--seed" || args.size() < 2) {
            std::cerr << kUsage;
            return 2;
        }
        try {
            seed = std::stoull(args[1]);
        } catch (const std::exception&) {
            std::cerr << "cirsharp-sample: --seed takes a whole number\n";
            return 2;
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 2) {
        std::cerr << kUsage;
        return 2;
    }
    try {
        io::TempFiles temps;
        const Scene scene(seed);
        io::OutputFile colour = io::OutputFile::create(args[0], temps);
        io::OutputFile pan = io::OutputFile::create(args[1], temps);
        write_colour(scene, colour);
        write_pan(scene, saturate, pan);
        colour.commit(false);
        pan.commit(false);
    } catch (const std::exception& e) {
        std::cerr << "cirsharp-sample: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
