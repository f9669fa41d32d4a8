#include "scene.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "raster/geometry.hpp"

// The 16-lane vectors below stay inside this file: that passing one by value
// would follow another ABI on a machine with AVX-512 concerns no caller.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace cirsharp::sample {

namespace {

constexpr int kMosaicWidth = int(kPanGeometry.mosaic_width());    // 11776
constexpr int kMosaicHeight = int(kPanGeometry.mosaic_height());  // 7680
constexpr int kColourWidth = kColourGeometry.width;
constexpr int kColourHeight = kColourGeometry.height;
constexpr int kTile = kPanGeometry.tile;
static_assert(kMosaicWidth % 16 == 0 && kColourWidth % 16 == 0, "rows are runs of 16 pixels");

// ------------------------------------------------------------ randomness

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

std::uint64_t hash(std::uint64_t seed, std::uint64_t a, std::uint64_t b, std::uint64_t salt) {
    return mix(seed ^ mix(a * 0x9e3779b97f4a7c15ull ^ mix(b + (salt << 40))));
}

// A number in [0, 1) from the top 53 bits.
double unit(std::uint64_t h) {
    return double(h >> 11) * (1.0 / 9007199254740992.0);
}

// The scene's layout comes from one stream of numbers per seed.
class Stream {
  public:
    explicit Stream(std::uint64_t seed) : state_(mix(seed ^ 0x5ca1ab1e0ddba11ull)) {}
    std::uint64_t next() { return mix(state_ += 0x9e3779b97f4a7c15ull); }
    double uniform(double lo, double hi) { return lo + (hi - lo) * unit(next()); }
    int below(int n) { return int(next() % std::uint64_t(n)); }

  private:
    std::uint64_t state_;
};

// ------------------------------------------------------------ radiance

// Red, green, blue and near infrared at the sensor, in 12-bit counts: four
// floats that one vector instruction scales.
using Float4 = float __attribute__((vector_size(16)));
using Int4 = int __attribute__((vector_size(16)));
// A run of 16 pixels, one lane each, held as four vectors of 4 lanes (one
// SSE2 register each): every operation is the same IEEE operation lane by
// lane, four lanes to an instruction, and the four parts of a value stay in
// registers where the compiler would keep one vector of 16 lanes in memory
// and load and store it around every instruction.
template <class V, class T>
struct Lanes {
    V p[4];

    T operator[](int i) const { return p[i >> 2][i & 3]; }
    void set(int i, T v) { p[i >> 2][i & 3] = v; }

#define CIRSHARP_LANES_OPERATOR(op)                                                        \
    [[gnu::always_inline]] friend Lanes operator op(const Lanes& a, const Lanes& b) {      \
        return {{a.p[0] op b.p[0], a.p[1] op b.p[1], a.p[2] op b.p[2], a.p[3] op b.p[3]}}; \
    }                                                                                      \
    [[gnu::always_inline]] friend Lanes operator op(const Lanes& a, T b) {                 \
        return {{a.p[0] op b, a.p[1] op b, a.p[2] op b, a.p[3] op b}};                     \
    }                                                                                      \
    [[gnu::always_inline]] friend Lanes operator op(T a, const Lanes& b) {                 \
        return {{a op b.p[0], a op b.p[1], a op b.p[2], a op b.p[3]}};                     \
    }
    CIRSHARP_LANES_OPERATOR(+)
    CIRSHARP_LANES_OPERATOR(-)
    CIRSHARP_LANES_OPERATOR(*)
    CIRSHARP_LANES_OPERATOR(/)
    CIRSHARP_LANES_OPERATOR(&)
    CIRSHARP_LANES_OPERATOR(|)
#undef CIRSHARP_LANES_OPERATOR
    [[gnu::always_inline]] friend Lanes operator~(const Lanes& a) {
        return {{~a.p[0], ~a.p[1], ~a.p[2], ~a.p[3]}};
    }
    [[gnu::always_inline]] Lanes& operator*=(const Lanes& b) {
        return *this = *this * b;
    }
    [[gnu::always_inline]] Lanes& operator|=(const Lanes& b) {
        return *this = *this | b;
    }
};
using Float16 = Lanes<Float4, float>;
using Int16 = Lanes<Int4, int>;  // also a comparison of Float16s

// Lane by lane: the whole number truncated, the number of a whole number,
// and the bits of one as the other.
[[gnu::always_inline]] inline Int16 truncated(const Float16& a) {
    Int16 r;
    for (int k = 0; k < 4; ++k)
        r.p[k] = __builtin_convertvector(a.p[k], Int4);
    return r;
}
[[gnu::always_inline]] inline Float16 to_float(const Int16& a) {
    Float16 r;
    for (int k = 0; k < 4; ++k)
        r.p[k] = __builtin_convertvector(a.p[k], Float4);
    return r;
}
[[gnu::always_inline]] inline Int16 bits_of(const Float16& a) {
    Int16 r;
    for (int k = 0; k < 4; ++k)
        r.p[k] = Int4(a.p[k]);
    return r;
}
[[gnu::always_inline]] inline Float16 float_of(const Int16& a) {
    Float16 r;
    for (int k = 0; k < 4; ++k)
        r.p[k] = Float4(a.p[k]);
    return r;
}
// Lane by lane a where the mask is set, else b: in bitwise operations.
[[gnu::always_inline]] inline Float16 select(const Int16& mask, const Float16& a,
                                             const Float16& b) {
    return float_of((bits_of(a) & mask) | (bits_of(b) & ~mask));
}
// Lane by lane a > b.
[[gnu::always_inline]] inline Int16 greater(const Float16& a, const Float16& b) {
    Int16 r;
    for (int k = 0; k < 4; ++k)
        r.p[k] = a.p[k] > b.p[k];
    return r;
}
[[gnu::always_inline]] inline Int16 greater(const Int16& a, const Int16& b) {
    Int16 r;
    for (int k = 0; k < 4; ++k)
        r.p[k] = a.p[k] > b.p[k];
    return r;
}
constexpr Float16 kLane = {{{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10, 11}, {12, 13, 14, 15}}};
// Lanes 0..7 a, lanes 8..15 b.
[[gnu::always_inline]] inline Float16 halves(float a, float b) {
    constexpr Int16 kFirst = {{{-1, -1, -1, -1}, {-1, -1, -1, -1}, {0, 0, 0, 0}, {0, 0, 0, 0}}};
    return select(kFirst, Float16{} + a, Float16{} + b);
}
struct Rad {
    Float4 v;
};
Rad operator*(const Rad& a, double f) {
    return {a.v * float(f)};
}
Rad blend(const Rad& a, const Rad& b, double t) {  // a at t = 0, b at t = 1
    return {a.v + (b.v - a.v) * float(t)};
}

enum Material {
    kCrop,
    kYoungCrop,
    kSoil,
    kWetSoil,
    kStubble,
    kMeadow,
    kForestFloor,
    kLawn,
    kWater,
    kAsphalt,
    kDirt,
    kMarking,
    kVerge,
    kRoofTile,
    kRoofGrey,
    kRoofDark,
    kRoofFlat,
    kCrown,
    kMaterials
};

// Vegetation is bright in near infrared, water dark; roads and roofs are flat.
constexpr Rad kMaterial[kMaterials] = {
    {{380, 640, 340, 3100}},     // dense crop
    {{720, 860, 560, 2100}},     // young crop, soil between the rows
    {{1450, 1200, 930, 1750}},   // dry bare soil
    {{820, 700, 560, 1050}},     // wet soil
    {{1850, 1650, 1120, 2250}},  // stubble
    {{560, 860, 420, 2650}},     // meadow
    {{260, 380, 230, 1300}},     // woodland floor
    {{520, 820, 400, 2800}},     // garden lawn
    {{230, 380, 360, 110}},      // water
    {{1050, 1060, 1020, 1150}},  // asphalt
    {{1650, 1450, 1080, 1950}},  // dirt track
    {{3300, 3300, 3200, 3350}},  // road marking
    {{640, 880, 470, 2300}},     // grass verge
    {{2100, 880, 640, 1500}},    // red tiled roof
    {{1650, 1700, 1760, 1800}},  // grey roof
    {{560, 590, 620, 680}},      // dark roof
    {{1900, 1900, 1880, 1950}},  // flat gravel roof
    {{330, 560, 290, 2800}},     // tree crown
};

enum FieldType { kFieldCrop, kFieldYoung, kFieldSoil, kFieldStubble, kFieldMeadow, kFieldWood };

// What lies at a point, for placing trees.
enum Place { kOpenField, kWoodland, kHedge, kBank, kGarden, kYard, kNoTree };

// Field boundaries: the edge kinds and their half widths in PAN pixels.
enum Edge : std::uint8_t { kEdgeVerge, kEdgeTrack, kEdgeRoad, kEdgeHedge };
constexpr double kEdgeHalfWidth[] = {2.0, 4.5, 8.5, 5.0};

struct Field {
    FieldType type;
    double brightness;  // 0.85 .. 1.15
    double frequency;   // of rows, furrows or harvest tracks, per pixel
    double phase;
    bool rows_along_u;
};

struct Strip {
    std::vector<double> bounds;         // field boundaries along v, ascending
    std::vector<Edge> edges;            // kind of each boundary
    std::vector<Field> fields;          // fields[i] lies between bounds[i] and bounds[i + 1]
    std::vector<std::uint16_t> bucket;  // field index at v = 16 * k
};

struct Building {
    double u0, u1, v0, v1;  // roof, in the field frame
    double shadow;          // length of its shadow, in pixels: its height
    Material roof;
    bool flat;
    bool farm;  // a farmstead's, in a yard; else a village house in a garden
};

// One row of value noise: the grid interpolated down to row y, then across
// per pixel, with smoothstep weights (no creases along the grid). The cell is
// a power of two, so x / cell is exact and the weight of pixel x depends on
// x % cell alone: the weights are worked out once for the row.
class NoiseRow {
  public:
    NoiseRow(const std::vector<double>& grid, int cell, int y)
        : scale_(1.0 / cell), shift_(std::countr_zero(unsigned(cell))) {
        const int cols = kMosaicWidth / cell + 2;
        const double gy = y * scale_;
        const int j = int(gy);
        const double f = gy - j, s = f * f * (3 - 2 * f);
        values_.resize(std::size_t(cols));
        for (int i = 0; i < cols; ++i) {
            const double a = grid[std::size_t(j) * std::size_t(cols) + std::size_t(i)];
            const double b = grid[std::size_t(j + 1) * std::size_t(cols) + std::size_t(i)];
            values_[std::size_t(i)] = a + (b - a) * s;
        }
        weights_.resize(std::size_t(cell));
        for (int r = 0; r < cell; ++r) {
            const double fx = r * scale_;
            weights_[std::size_t(r)] = fx * fx * (3 - 2 * fx);
        }
    }
    double at(int x) const {
        const std::size_t i = std::size_t(x >> shift_);
        const double s = weights_[std::size_t(x) & (weights_.size() - 1)];
        const double a = values_[i], b = values_[i + 1];
        return a + (b - a) * s;
    }

  private:
    double scale_;
    int shift_;
    std::vector<double> values_, weights_;
};

// Large-scale brightness variation and finer texture at a point, in [-1, 1];
// the finer one worked out only where it is used.
struct Texture {
    double low;
    double mid_value = 0;
    const NoiseRow* mid_row = nullptr;
    int x = 0;
    double mid() const { return mid_row ? mid_row->at(x) : mid_value; }
};

struct Crown {
    std::int16_t x = 0, y = 0;  // centre, PAN pixels
    std::uint8_t radius = 0;    // 0: no tree here
    std::uint8_t tone = 0;
};

constexpr double kDomain = 24576;  // the field frame spans [0, kDomain) in u and v
constexpr int kBucket = 16;
constexpr double kBuildingCell = 256;
constexpr int kBuildingCells = int(kDomain / kBuildingCell);
constexpr int kCrownCell = 14;  // crowns of radius <= 8 centred 3..11 in their cell
constexpr int kCrownCols = kMosaicWidth / kCrownCell + 2;
constexpr int kCrownRows = kMosaicHeight / kCrownCell + 2;
constexpr int kLowCell = 256;  // large-scale brightness variation
constexpr int kMidCell = 32;   // meadow and lawn texture
static_assert(std::has_single_bit(unsigned(kLowCell)) && std::has_single_bit(unsigned(kMidCell)),
              "NoiseRow takes cells of a power of two");

// Black level of both cameras, in counts, and their saturation.
constexpr double kBlackLevel = 40;
constexpr double kFullScale = 4095;
// The black level and half a count, so that truncation rounds to whole counts.
constexpr float kRoundedBlack = float(kBlackLevel + 0.5);

}  // namespace

struct Scene::Impl {
    std::uint64_t seed;
    Faults faults;
    bool sensor_noise = true;

    // Field frame: u = x * cos + y * sin + u_off, v = -x * sin + y * cos + v_off.
    double cos_a, sin_a, u_off, v_off;
    std::vector<double> strip_bounds;  // along u
    std::vector<Edge> strip_edges;
    std::vector<std::uint16_t> strip_bucket;
    std::vector<Strip> strips;

    // The main road: a straight line across the frame at its own angle.
    double road_x, road_y, road_dx, road_dy, road_half;
    // The river: its centre line and half width along x (or along y).
    bool river = false, river_along_x = true;
    std::vector<double> river_centre, river_half;
    // Settlements: a village and a few farmsteads.
    double village_x, village_y, village_r;
    std::vector<double> farm_x, farm_y;
    std::vector<int> building_index;  // kBuildingCells^2, -1 for none
    std::vector<Building> buildings;
    // Shadows fall along (sun_x, sun_y), a unit vector, buildings' by their height.
    double sun_x, sun_y;
    int tree_shadow_x, tree_shadow_y;
    std::vector<Crown> crowns;       // kCrownCols x kCrownRows
    std::vector<std::uint8_t> near;  // a crown or its shadow may reach the cell
    std::vector<double> low, mid;    // value noise in [-1, 1] on coarse grids

    Impl(std::uint64_t s, Faults f);
    void lay_out_fields(Stream& rng);
    void lay_out_water_and_roads(Stream& rng);
    void lay_out_settlements(Stream& rng);
    void plant_trees();

    int field_at(const Strip& s, double v) const;
    bool in_settlement(double x, double y, bool& village) const;
    const Building* building_near(double u, double v) const;
    double frame_u(double x, double y) const { return x * cos_a + y * sin_a + u_off; }
    double frame_v(double x, double y) const { return -x * sin_a + y * cos_a + v_off; }
    // What a tree at a point would stand in, which the ground's texture
    // plays no part in.
    Place place_at(double x, double y) const {
        const double u = frame_u(x, y), v = frame_v(x, y);
        Place place;
        (void)ground(x, y, u, v, building_near(u, v), Texture{0}, place);
        return place;
    }
    Rad ground(double x, double y, double u, double v, const Building* plot, const Texture& tex,
               Place& place) const;
    Rad surface(int x, int y, const Texture& tex) const;
    Rad field_surface(const Field& field, double u, double v, const Texture& tex) const;
    const Field* pure_field(int x0, int x1, int y, bool& trees, const Building*& plot) const;
    bool clear_of_building(const Building& b, double u0, double v0, double u1, double v1) const;
    bool tree(int x, int y, double& shadow, Rad& crown) const;
    void trees_run(int x0, int y, Float16 band[4]) const;
    void field_run(const Field& field, int x0, int y, const double* low8, const NoiseRow& mid_row,
                   Float16 band[4]) const;
    void plot_run(const Building& b, int x0, const double* low8, const NoiseRow& mid_row,
                  Float16 band[4]) const;
};

// ------------------------------------------------------------ layout

Scene::Impl::Impl(std::uint64_t s, Faults f) : seed(mix(s + 0x243f6a8885a308d3ull)), faults(f) {
    Stream rng(s);
    // A field frame turned by up to about 25 degrees: cos and sin from the
    // half-angle tangent, so no trigonometric function is needed.
    const double t = rng.uniform(-0.22, 0.22);
    cos_a = (1 - t * t) / (1 + t * t);
    sin_a = 2 * t / (1 + t * t);
    u_off = 4000 + rng.uniform(0, 1000);
    v_off = 6000 + rng.uniform(0, 1000);
    // Afternoon sun: shadows towards the lower right, at 30 to 60 degrees.
    const double st = rng.uniform(0.27, 0.58);
    sun_x = (1 - st * st) / (1 + st * st);
    sun_y = 2 * st / (1 + st * st);
    tree_shadow_x = int(std::floor(sun_x * 7 + 0.5));
    tree_shadow_y = int(std::floor(sun_y * 7 + 0.5));
    const auto grid = [&](int cell, std::uint64_t salt) {
        const int cols = kMosaicWidth / cell + 2, rows = kMosaicHeight / cell + 2;
        std::vector<double> g(std::size_t(cols) * std::size_t(rows));
        for (int j = 0; j < rows; ++j)
            for (int i = 0; i < cols; ++i)
                g[std::size_t(j) * std::size_t(cols) + std::size_t(i)] =
                    2 * unit(hash(seed, std::uint64_t(i), std::uint64_t(j), salt)) - 1;
        return g;
    };
    low = grid(kLowCell, 1);
    mid = grid(kMidCell, 2);
    lay_out_fields(rng);
    lay_out_water_and_roads(rng);
    lay_out_settlements(rng);
    plant_trees();
}

void Scene::Impl::lay_out_fields(Stream& rng) {
    const auto edge = [&](double road, double track, double hedge) {
        const double p = rng.uniform(0, 1);
        if (p < road) return kEdgeRoad;
        if (p < road + track) return kEdgeTrack;
        if (p < road + track + hedge) return kEdgeHedge;
        return kEdgeVerge;
    };
    for (double u = 0; u < kDomain; u += rng.uniform(650, 1700)) {
        strip_bounds.push_back(u);
        strip_edges.push_back(edge(0.2, 0.3, 0.3));
    }
    strip_bounds.push_back(kDomain + 1);
    strip_edges.push_back(kEdgeVerge);
    for (std::size_t k = 0; k * kBucket < std::size_t(kDomain); ++k) {
        const double u = double(k * kBucket);
        std::size_t i = 0;
        while (strip_bounds[i + 1] <= u)
            ++i;
        strip_bucket.push_back(std::uint16_t(i));
    }
    strips.resize(strip_bounds.size() - 1);
    for (Strip& s : strips) {
        for (double v = 0; v < kDomain; v += rng.uniform(450, 1500)) {
            s.bounds.push_back(v);
            s.edges.push_back(edge(0.0, 0.2, 0.25));
            Field f{};
            const int kind = rng.below(20);
            f.type = kind < 6    ? kFieldCrop
                     : kind < 9  ? kFieldYoung
                     : kind < 12 ? kFieldSoil
                     : kind < 15 ? kFieldStubble
                     : kind < 18 ? kFieldMeadow
                                 : kFieldWood;
            f.brightness = rng.uniform(0.85, 1.15);
            f.frequency = 1 / (f.type == kFieldStubble ? rng.uniform(40, 75)
                               : f.type == kFieldSoil  ? rng.uniform(3.5, 6)
                                                       : rng.uniform(5, 9));
            f.phase = rng.uniform(0, 1);
            f.rows_along_u = rng.below(2) == 0;
            s.fields.push_back(f);
        }
        s.bounds.push_back(kDomain + 1);
        s.edges.push_back(kEdgeVerge);
        for (std::size_t k = 0; k * kBucket < std::size_t(kDomain); ++k) {
            const double v = double(k * kBucket);
            std::size_t i = 0;
            while (s.bounds[i + 1] <= v)
                ++i;
            s.bucket.push_back(std::uint16_t(i));
        }
    }
}

void Scene::Impl::lay_out_water_and_roads(Stream& rng) {
    // The main road crosses the whole frame through a point near the middle.
    road_x = rng.uniform(3000, 8800);
    road_y = rng.uniform(2000, 5600);
    const double rt = rng.uniform(-1, 1);  // any direction
    road_dx = (1 - rt * rt) / (1 + rt * rt);
    road_dy = 2 * rt / (1 + rt * rt);
    road_half = rng.uniform(11, 14);

    // Three exposures in four show a river, meandering along x or along y:
    // control points every 1024 pixels, joined by Catmull-Rom curves.
    river = rng.below(4) != 0;
    river_along_x = rng.below(2) == 0;
    const int length = river_along_x ? kMosaicWidth : kMosaicHeight;
    const double across = river_along_x ? kMosaicHeight : kMosaicWidth;
    const int points = length / 1024 + 4;
    std::vector<double> centre(static_cast<std::size_t>(points));
    std::vector<double> half(centre.size());
    double c = rng.uniform(0.2, 0.8) * across;
    for (int i = 0; i < points; ++i) {
        c += rng.uniform(-380, 380);
        centre[std::size_t(i)] = c;
        half[std::size_t(i)] = rng.uniform(30, 75);
    }
    const auto spline = [](const std::vector<double>& p, int i, double t) {
        const double p0 = p[std::size_t(i)], p1 = p[std::size_t(i) + 1], p2 = p[std::size_t(i) + 2],
                     p3 = p[std::size_t(i) + 3];
        const double t2 = t * t, t3 = t2 * t;
        return 0.5 * (2 * p1 + (p2 - p0) * t + (2 * p0 - 5 * p1 + 4 * p2 - p3) * t2 +
                      (3 * p1 - p0 - 3 * p2 + p3) * t3);
    };
    river_centre.resize(std::size_t(length));
    river_half.resize(std::size_t(length));
    for (int i = 0; i < length; ++i) {
        const int k = i / 1024;
        const double t = double(i % 1024) / 1024;
        river_centre[std::size_t(i)] = spline(centre, k, t);
        river_half[std::size_t(i)] = spline(half, k, t);
    }
}

bool Scene::Impl::in_settlement(double x, double y, bool& village) const {
    const double dx = x - village_x, dy = y - village_y;
    village = dx * dx + dy * dy < village_r * village_r;
    if (village) return true;
    for (std::size_t i = 0; i < farm_x.size(); ++i) {
        const double fx = x - farm_x[i], fy = y - farm_y[i];
        if (fx * fx + fy * fy < 330 * 330) return true;
    }
    return false;
}

void Scene::Impl::lay_out_settlements(Stream& rng) {
    // The village lies on the main road; farmsteads anywhere.
    const double along = rng.uniform(-2500, 2500);
    village_x = road_x + road_dx * along;
    village_y = road_y + road_dy * along;
    village_r = rng.uniform(900, 1700);
    const int farms = 2 + rng.below(4);
    for (int i = 0; i < farms; ++i) {
        farm_x.push_back(rng.uniform(400, 11100));
        farm_y.push_back(rng.uniform(400, 7100));
    }
    // One building per cell of the field frame at most, its roof and its
    // shadow inside the cell, on open ground only.
    const double sdu = sun_x * cos_a + sun_y * sin_a, sdv = -sun_x * sin_a + sun_y * cos_a;
    building_index.assign(std::size_t(kBuildingCells) * kBuildingCells, -1);
    for (int j = 0; j < kBuildingCells; ++j)
        for (int i = 0; i < kBuildingCells; ++i) {
            const std::uint64_t h = hash(seed, std::uint64_t(i), std::uint64_t(j), 3);
            const double cu = (i + 0.5) * kBuildingCell, cv = (j + 0.5) * kBuildingCell;
            // Back to the image: the inverse turn.
            const double x = (cu - u_off) * cos_a - (cv - v_off) * sin_a;
            const double y = (cu - u_off) * sin_a + (cv - v_off) * cos_a;
            if (x < -200 || y < -200 || x > kMosaicWidth + 200 || y > kMosaicHeight + 200) continue;
            bool village = false;
            if (!in_settlement(x, y, village)) continue;
            if (unit(h) > (village ? 0.72 : 0.55)) continue;
            const std::uint64_t g = mix(h);
            const double height = 10 + 18 * unit(mix(g + 1));
            const double wu = 45 + 85 * unit(mix(g + 2)), wv = 40 + 60 * unit(mix(g + 3));
            const double su = sdu * height, sv = sdv * height;
            const double room_u = kBuildingCell - 16 - wu - std::fabs(su);
            const double room_v = kBuildingCell - 16 - wv - std::fabs(sv);
            if (room_u <= 0 || room_v <= 0) continue;
            Building b;
            b.u0 = i * kBuildingCell + 8 + (su < 0 ? -su : 0) + room_u * unit(mix(g + 4));
            b.v0 = j * kBuildingCell + 8 + (sv < 0 ? -sv : 0) + room_v * unit(mix(g + 5));
            b.u1 = b.u0 + wu;
            b.v1 = b.v0 + wv;
            b.shadow = height;
            b.farm = !village;
            const int roof = int(mix(g + 6) % 10);
            b.roof = roof < 4 ? kRoofTile : roof < 7 ? kRoofGrey : roof < 9 ? kRoofDark : kRoofFlat;
            b.flat = b.roof == kRoofFlat || (b.roof == kRoofGrey && wu > 95);
            // Keep it off roads, tracks and water: test the roof's and the
            // shadow's corners, and the middle.
            bool clear = true;
            for (int k = 0; k < 9 && clear; ++k) {
                const double pu = (k % 3 == 0   ? b.u0 - 6
                                   : k % 3 == 1 ? b.u1 + 6 + std::fabs(su)
                                                : (b.u0 + b.u1) / 2);
                const double pv = (k / 3 == 0   ? b.v0 - 6
                                   : k / 3 == 1 ? b.v1 + 6 + std::fabs(sv)
                                                : (b.v0 + b.v1) / 2);
                const double px = (pu - u_off) * cos_a - (pv - v_off) * sin_a;
                const double py = (pu - u_off) * sin_a + (pv - v_off) * cos_a;
                clear = place_at(px, py) != kNoTree;
            }
            if (!clear) continue;
            building_index[std::size_t(j) * kBuildingCells + std::size_t(i)] =
                int(buildings.size());
            buildings.push_back(b);
        }
}

// Crowns sit on a grid of 14-pixel cells, one at most in each, centred 3 to
// 11 pixels into its cell with a radius of at most 8: a crown reaches only
// into the half of a neighbouring cell next to it, so four cells decide a
// pixel. Whether a cell has a tree depends on what lies at its centre.
void Scene::Impl::plant_trees() {
    crowns.assign(std::size_t(kCrownCols) * kCrownRows, Crown{});
    near.assign(crowns.size(), 0);
    // Each cell's tree depends on the cell alone: rows of cells on a thread
    // for each processor, 16 at a time.
    std::atomic<int> next{0};
    const auto plant = [&] {
        constexpr int kRows = 16;
        for (int j0 = next.fetch_add(kRows); j0 < kCrownRows; j0 = next.fetch_add(kRows))
            for (int j = j0; j < std::min(j0 + kRows, kCrownRows); ++j)
                for (int i = 0; i < kCrownCols; ++i) {
                    const std::uint64_t h = hash(seed, std::uint64_t(i), std::uint64_t(j), 4);
                    Crown c;
                    c.x = std::int16_t(i * kCrownCell + 3 + int(h % 9));
                    c.y = std::int16_t(j * kCrownCell + 3 + int((h >> 8) % 9));
                    const Place place = place_at(c.x, c.y);
                    const double density = place == kWoodland    ? 0.93
                                           : place == kHedge     ? 0.97
                                           : place == kBank      ? 0.6
                                           : place == kGarden    ? 0.2
                                           : place == kYard      ? 0.25
                                           : place == kOpenField ? 0.0004
                                                                 : 0.0;
                    if (unit(mix(h)) >= density) continue;
                    if (building_near(frame_u(c.x, c.y), frame_v(c.x, c.y))) continue;
                    c.radius = std::uint8_t(5 + (h >> 16) % 4);
                    c.tone = std::uint8_t((h >> 24) % 256);
                    crowns[std::size_t(j) * kCrownCols + std::size_t(i)] = c;
                }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < std::clamp(std::thread::hardware_concurrency(), 1u, 8u); ++t)
        pool.emplace_back(plant);
    plant();
    for (std::thread& th : pool)
        th.join();
    // The cells a crown, or its shadow a few pixels towards the lower right,
    // may reach.
    for (int j = 0; j < kCrownRows; ++j)
        for (int i = 0; i < kCrownCols; ++i) {
            if (crowns[std::size_t(j) * kCrownCols + std::size_t(i)].radius == 0) continue;
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di) {
                    const int ni = i + di, nj = j + dj;
                    if (ni >= 0 && nj >= 0 && ni < kCrownCols && nj < kCrownRows)
                        near[std::size_t(nj) * kCrownCols + std::size_t(ni)] = 1;
                }
        }
}

// ------------------------------------------------------------ rendering

int Scene::Impl::field_at(const Strip& s, double v) const {
    const std::size_t k = std::size_t(std::clamp(v, 0.0, kDomain - 1)) / kBucket;
    int i = s.bucket[k];
    if (v >= s.bounds[std::size_t(i) + 1]) ++i;
    return i;
}

const Building* Scene::Impl::building_near(double u, double v) const {
    if (u < 0 || v < 0 || u >= kDomain || v >= kDomain) return nullptr;
    const int i = int(u / kBuildingCell), j = int(v / kBuildingCell);
    const int b = building_index[std::size_t(j) * kBuildingCells + std::size_t(i)];
    return b < 0 ? nullptr : &buildings[std::size_t(b)];
}

// The ground without buildings and trees: water, roads, field boundaries and
// the fields themselves. `place` says what a tree there would stand in.
Rad Scene::Impl::ground(double x, double y, double u, double v, const Building* plot,
                        const Texture& tex, Place& place) const {
    place = kNoTree;
    if (river) {
        const int i = int(std::clamp(river_along_x ? x : y, 0.0,
                                     double((river_along_x ? kMosaicWidth : kMosaicHeight) - 1)));
        const double d = std::fabs((river_along_x ? y : x) - river_centre[std::size_t(i)]);
        const double half = river_half[std::size_t(i)];
        if (d < half) return kMaterial[kWater] * (0.9 + 0.1 * (d / half));
        if (d < half + 5) return kMaterial[kWetSoil];
        if (d < half + 32) place = kBank;
    }
    // The main road: asphalt, white edge lines, a dashed centre line.
    const double across = (x - road_x) * road_dy - (y - road_y) * road_dx;
    const double ad = std::fabs(across);
    if (ad < road_half + 1.5) {
        place = kNoTree;
        if (ad >= road_half) return kMaterial[kVerge] * 0.8;
        if (ad >= road_half - 3 && ad < road_half - 1.5) return kMaterial[kMarking];
        const double along = (x - road_x) * road_dx + (y - road_y) * road_dy;
        if (ad < 1 && along * (1.0 / 24) - std::floor(along * (1.0 / 24)) < 0.5)
            return kMaterial[kMarking];
        return kMaterial[kAsphalt];
    }

    const std::size_t bu = std::size_t(std::clamp(u, 0.0, kDomain - 1)) / kBucket;
    std::size_t si = strip_bucket[bu];
    if (u >= strip_bounds[si + 1]) ++si;
    const Strip& strip = strips[si];
    const int fi = field_at(strip, v);
    const Field& field = strip.fields[std::size_t(fi)];

    // Boundaries: the nearer edge of the strip and of the field.
    const auto edge = [&](double d, Edge kind, Rad& out) {
        const double half = kEdgeHalfWidth[kind];
        if (d >= half) return false;
        switch (kind) {
            case kEdgeRoad:
                out = d > half - 1.5 ? kMaterial[kVerge] * 0.85 : kMaterial[kAsphalt] * 0.97;
                place = kNoTree;
                break;
            case kEdgeTrack:  // two wheel ruts in the dirt
                out = std::fabs(d - 2.2) < 0.9 ? kMaterial[kDirt] * 0.82 : kMaterial[kDirt];
                place = kNoTree;
                break;
            case kEdgeHedge:
                out = kMaterial[kVerge] * 0.9;
                place = kHedge;
                break;
            default:
                out = kMaterial[kVerge];
                if (place == kNoTree) place = kOpenField;
                break;
        }
        return true;
    };
    Rad out;
    const double du0 = u - strip_bounds[si], du1 = strip_bounds[si + 1] - u;
    if (edge(std::min(du0, du1), strip_edges[du0 < du1 ? si : si + 1], out)) return out;
    const double dv0 = v - strip.bounds[std::size_t(fi)];
    const double dv1 = strip.bounds[std::size_t(fi) + 1] - v;
    if (edge(std::min(dv0, dv1), strip.edges[std::size_t(dv0 < dv1 ? fi : fi + 1)], out))
        return out;

    const double lf = tex.low;
    // A house's garden, or a farmstead's yard, fills the building's cell.
    if (const Building* b = plot) {
        const double cu = u - std::floor(u / kBuildingCell) * kBuildingCell;
        const double cv = v - std::floor(v / kBuildingCell) * kBuildingCell;
        if (std::min({cu, cv, kBuildingCell - cu, kBuildingCell - cv}) < 1.5)
            return kMaterial[kVerge] * 0.85;  // the plot's fence
        if (place == kNoTree) place = b->farm ? kYard : kGarden;
        if (b->farm && tex.mid() > 0.3) return kMaterial[kDirt] * (0.95 + 0.1 * lf);
        return kMaterial[kLawn] * (0.92 + 0.08 * tex.mid() + 0.05 * lf);
    }
    if (place == kNoTree) place = kOpenField;
    if (field.type == kFieldWood) place = place == kBank ? kBank : kWoodland;
    return field_surface(field, u, v, tex);
}

// The inside of a field: rows, furrows or harvest tracks across it (a
// triangle wave) over a large-scale variation.
Rad Scene::Impl::field_surface(const Field& field, double u, double v, const Texture& tex) const {
    const double along = field.rows_along_u ? u : v;
    const double t = along * field.frequency + field.phase;
    const double tri = std::fabs(2 * (t - std::floor(t)) - 1);  // 0 on a row, 1 between
    const double shade = field.brightness * (1 + 0.09 * tex.low);
    switch (field.type) {
        case kFieldCrop:
            return blend(kMaterial[kCrop], kMaterial[kSoil], 0.6 * tri * tri) * shade;
        case kFieldYoung:
            return blend(kMaterial[kYoungCrop], kMaterial[kSoil], 0.8 * tri) * shade;
        case kFieldSoil: {
            const Rad soil = blend(kMaterial[kSoil], kMaterial[kWetSoil],
                                   std::clamp(-0.2 - 0.8 * tex.low, 0.0, 0.5));
            return soil * (shade * (0.92 + 0.16 * tri));
        }
        case kFieldStubble:
            return kMaterial[kStubble] * (shade * (tri > 0.85 ? 0.86 : 1.0));
        case kFieldMeadow:
            return kMaterial[kMeadow] * (shade * (0.9 + 0.1 * tex.mid()));
        case kFieldWood:
            return kMaterial[kForestFloor] * shade;
    }
    return kMaterial[kSoil];
}

// field_surface() of the 16 pixels x0..x0+15 of row y inside `field`, band by
// band: the same operations in floats, lane by lane. `low8` is the large-scale variation
// of its two runs of 8 pixels.
[[gnu::always_inline]] inline void Scene::Impl::field_run(const Field& field, int x0, int y,
                                                          const double* low8,
                                                          const NoiseRow& mid_row,
                                                          Float16 band[4]) const {
    // The wave's phase at the run's first pixel, less its whole number, plus
    // 8, then a step of at most 0.29 a pixel: small positive numbers, which
    // floats hold to about a millionth and truncation takes to their floor.
    const double along =
        field.rows_along_u ? x0 * cos_a + y * sin_a + u_off : -x0 * sin_a + y * cos_a + v_off;
    const double t0 = along * field.frequency + field.phase;
    const float step_t = float((field.rows_along_u ? cos_a : -sin_a) * field.frequency);
    const Float16 t = float(t0 - std::floor(t0) + 8) + kLane * step_t;
    const Float16 below = to_float(truncated(t));
    const Float16 wave = 2 * (t - below) - 1;
    // |wave|, the sign bit cleared: 0 on a row, 1 between.
    const Float16 tri = float_of(bits_of(wave) & 0x7fffffff);
    const Float16 shade = halves(float(field.brightness * (1 + 0.09 * low8[0])),
                                 float(field.brightness * (1 + 0.09 * low8[1])));
    // Each pixel is (base + step * weight) * factor, band by band.
    Rad base[2] = {kMaterial[kSoil], kMaterial[kSoil]}, step{};
    Float16 weight = {}, factor = shade;
    switch (field.type) {
        case kFieldCrop:
            base[0] = base[1] = kMaterial[kCrop];
            step.v = kMaterial[kSoil].v - kMaterial[kCrop].v;
            weight = 0.6f * tri * tri;
            break;
        case kFieldYoung:
            base[0] = base[1] = kMaterial[kYoungCrop];
            step.v = kMaterial[kSoil].v - kMaterial[kYoungCrop].v;
            weight = 0.8f * tri;
            break;
        case kFieldSoil:
            for (int h = 0; h < 2; ++h)
                base[h] = blend(kMaterial[kSoil], kMaterial[kWetSoil],
                                std::clamp(-0.2 - 0.8 * low8[h], 0.0, 0.5));
            factor = shade * (0.92f + 0.16f * tri);
            break;
        case kFieldStubble:
            base[0] = base[1] = kMaterial[kStubble];
            factor = shade *
                     select(greater(tri, Float16{} + 0.85f), Float16{} + 0.86f, Float16{} + 1.0f);
            break;
        case kFieldMeadow: {
            base[0] = base[1] = kMaterial[kMeadow];
            Float16 m;
            for (int i = 0; i < 16; ++i)
                m.set(i, float(mid_row.at(x0 + i)));
            factor = shade * (0.9f + 0.1f * m);
            break;
        }
        case kFieldWood:
            base[0] = base[1] = kMaterial[kForestFloor];
            break;
    }
    const bool blended = field.type == kFieldCrop || field.type == kFieldYoung;
    for (int b = 0; b < 4; ++b) {
        const Float16 a = halves(base[0].v[b], base[1].v[b]);
        band[b] = (blended ? a + step.v[b] * weight : a) * factor;
    }
}

// ground() of the 16 pixels x0..x0+15 of a row inside the garden or yard of
// `b`, clear of its fence: the same operations in floats, lane by lane.
[[gnu::always_inline]] inline void Scene::Impl::plot_run(const Building& b, int x0,
                                                         const double* low8,
                                                         const NoiseRow& mid_row,
                                                         Float16 band[4]) const {
    const Float16 lf = halves(float(low8[0]), float(low8[1]));
    Float16 m;
    for (int i = 0; i < 16; ++i)
        m.set(i, float(mid_row.at(x0 + i)));
    const Float16 lawn = 0.92f + 0.08f * m + 0.05f * lf;
    for (int k = 0; k < 4; ++k)
        band[k] = kMaterial[kLawn].v[k] * lawn;
    if (!b.farm) return;
    // A farmyard is partly bare.
    const Float16 dirt = 0.95f + 0.1f * lf;
    for (int i = 0; i < 16; ++i)
        if (m[i] > 0.3f)
            for (int k = 0; k < 4; ++k)
                band[k].set(i, kMaterial[kDirt].v[k] * dirt[i]);
}

// The field that the pixels x0..x1 of row y lie inside of, clear of every
// edge, road, river, roof and shadow; nullptr when something else may be
// there. `plot` is the building whose garden or yard the run lies in, clear
// of its fence, else nullptr. Fields, plots and the road's sides are convex,
// so the two ends decide. `trees` tells whether a crown or its shadow may
// reach the pixels.
const Field* Scene::Impl::pure_field(int x0, int x1, int y, bool& trees,
                                     const Building*& plot) const {
    // The water and its wet edge (5 pixels); the bank beyond is the field's
    // ground, where only trees (which the run checks apart) differ.
    constexpr double kRiverMargin = 6;
    if (river) {
        if (river_along_x) {
            // The centre line moves by less than a pixel a pixel.
            for (const int x : {x0, x1})
                if (std::fabs(y - river_centre[std::size_t(x)]) <
                    river_half[std::size_t(x)] + kRiverMargin + (x1 - x0))
                    return nullptr;
        } else {
            const double c = river_centre[std::size_t(y)],
                         h = river_half[std::size_t(y)] + kRiverMargin;
            if (x1 > c - h && x0 < c + h) return nullptr;
        }
    }
    const double a0 = (x0 - road_x) * road_dy - (y - road_y) * road_dx;
    const double a1 = (x1 - road_x) * road_dy - (y - road_y) * road_dx;
    if ((a0 < 0) != (a1 < 0) || std::fabs(a0) < road_half + 2 || std::fabs(a1) < road_half + 2)
        return nullptr;
    const int ci = x0 / kCrownCell, cj = y / kCrownCell;
    trees = near[std::size_t(cj) * kCrownCols + std::size_t(ci)] ||
            near[std::size_t(cj) * kCrownCols + std::size_t(x1 / kCrownCell)];
    const double u0 = frame_u(x0, y), v0 = frame_v(x0, y);
    const double u1 = frame_u(x1, y), v1 = frame_v(x1, y);
    // A plot fills its building's cell of the field frame, and a cell without
    // a building holds nothing of one. The run, far shorter than a cell, lies
    // in the cells between those of its ends: at most four.
    for (const double c : {u0, v0, u1, v1})
        if (c < 0 || c >= kDomain) return nullptr;
    const int i0 = int(u0 / kBuildingCell), i1 = int(u1 / kBuildingCell);
    const int j0 = int(v0 / kBuildingCell), j1 = int(v1 / kBuildingCell);
    plot = nullptr;
    if (i0 == i1 && j0 == j1) {
        plot = building_near(u0, v0);
        if (plot && !clear_of_building(*plot, u0, v0, u1, v1)) return nullptr;
    } else {
        for (int j = std::min(j0, j1); j <= std::max(j0, j1); ++j)
            for (int i = std::min(i0, i1); i <= std::max(i0, i1); ++i)
                if (building_index[std::size_t(j) * kBuildingCells + std::size_t(i)] >= 0)
                    return nullptr;
    }
    // Beyond each boundary's edge, with half a pixel to spare.
    const auto clear = [](double d, Edge kind) { return d >= kEdgeHalfWidth[kind] + 0.5; };
    std::size_t si = 0;
    int fi = 0;
    for (int end = 0; end < 2; ++end) {
        const double u = end ? u1 : u0, v = end ? v1 : v0;
        std::size_t s = strip_bucket[std::size_t(std::clamp(u, 0.0, kDomain - 1)) / kBucket];
        if (u >= strip_bounds[s + 1]) ++s;
        if (!clear(u - strip_bounds[s], strip_edges[s]) ||
            !clear(strip_bounds[s + 1] - u, strip_edges[s + 1]))
            return nullptr;
        const Strip& strip = strips[s];
        const int f = field_at(strip, v);
        if (!clear(v - strip.bounds[std::size_t(f)], strip.edges[std::size_t(f)]) ||
            !clear(strip.bounds[std::size_t(f) + 1] - v, strip.edges[std::size_t(f) + 1]))
            return nullptr;
        if (end && (s != si || f != fi)) return nullptr;
        si = s;
        fi = f;
    }
    return &strips[si].fields[std::size_t(fi)];
}

// Whether the run from (u0, v0) to (u1, v1) inside the cell of building `b`
// stays clear of its fence, its roof and its shadow (with a pixel to spare):
// the cell less its fence is a square, and roof and shadow lie in a box.
bool Scene::Impl::clear_of_building(const Building& b, double u0, double v0, double u1,
                                    double v1) const {
    for (const double c : {u0, v0, u1, v1}) {
        const double in_cell = c - std::floor(c / kBuildingCell) * kBuildingCell;
        if (in_cell < 2.5 || in_cell > kBuildingCell - 2.5) return false;
    }
    // The roof swept along the shadow's direction over the shadow's length.
    const double su = (sun_x * cos_a + sun_y * sin_a) * b.shadow;
    const double sv = (-sun_x * sin_a + sun_y * cos_a) * b.shadow;
    const double box_u0 = b.u0 + std::min(0.0, su) - 1, box_u1 = b.u1 + std::max(0.0, su) + 1;
    const double box_v0 = b.v0 + std::min(0.0, sv) - 1, box_v1 = b.v1 + std::max(0.0, sv) + 1;
    return std::max(u0, u1) < box_u0 || std::min(u0, u1) > box_u1 || std::max(v0, v1) < box_v0 ||
           std::min(v0, v1) > box_v1;
}

// A tree crown at PAN pixel (x, y): true with its radiance in `crown`, under
// `shadow` (a building's, or 1). Else `shadow` deepens where a crown's shadow
// falls.
bool Scene::Impl::tree(int x, int y, double& shadow, Rad& crown) const {
    const int ci = x / kCrownCell, cj = y / kCrownCell;
    if (near[std::size_t(cj) * kCrownCols + std::size_t(ci)]) {
        // The crown whose top is nearest, among the four cells that can reach.
        const auto best_crown = [&](int px, int py, int& height) -> const Crown* {
            const int i = px / kCrownCell, j = py / kCrownCell;
            const int i2 = px % kCrownCell < kCrownCell / 2 ? i - 1 : i + 1;
            const int j2 = py % kCrownCell < kCrownCell / 2 ? j - 1 : j + 1;
            const Crown* found = nullptr;
            for (const int jj : {j, j2})
                for (const int ii : {i, i2}) {
                    if (ii < 0 || jj < 0 || ii >= kCrownCols || jj >= kCrownRows) continue;
                    const Crown& c = crowns[std::size_t(jj) * kCrownCols + std::size_t(ii)];
                    if (c.radius == 0) continue;
                    const int dx = px - c.x, dy = py - c.y;
                    const int h = c.radius * c.radius - dx * dx - dy * dy;
                    if (h > 0 && (!found || h > height)) {
                        found = &c;
                        height = h;
                    }
                }
            return found;
        };
        // Each crown's brightness, by its tone.
        static const std::vector<double> tone_of = [] {
            std::vector<double> t(256);
            for (int tone = 0; tone < 256; ++tone)
                t[std::size_t(tone)] = 0.85 + 0.3 * tone / 255.0;
            return t;
        }();
        int height = 0;
        if (const Crown* c = best_crown(x, y, height)) {
            const double r = c->radius;
            const double toward_sun = -((x - c->x) * sun_x + (y - c->y) * sun_y) / r;
            const double tone = tone_of[c->tone];
            crown = kMaterial[kCrown] *
                    (tone * (0.72 + 0.28 * toward_sun + 0.25 * double(height) / (r * r)) * shadow);
            return true;
        }
        if (x >= tree_shadow_x && y >= tree_shadow_y &&
            best_crown(x - tree_shadow_x, y - tree_shadow_y, height))
            shadow = std::min(shadow, 0.45);
    }
    return false;
}

// tree() over the 16 pixels x0..x0+15 of row y, where no building casts its
// shadow, on the ground in `band`: crown by crown, every pixel at once.
// Where two crowns overlap, the higher top wins.
void Scene::Impl::trees_run(int x0, int y, Float16 band[4]) const {
    constexpr Int16 kLaneInt = {{{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9, 10, 11}, {12, 13, 14, 15}}};
    const Int16 x = x0 + kLaneInt;
    Int16 top = {};      // the height of the highest crown over each pixel, 0: none
    Float16 light = {};  // that crown's brightness there
    Int16 shaded = {};   // under a crown's shadow
    const int sx = tree_shadow_x, sy = tree_shadow_y;
    const int i0 = std::max(0, (x0 - sx) / kCrownCell - 1);
    const int i1 = std::min(kCrownCols - 1, (x0 + 15) / kCrownCell + 1);
    const int j0 = std::max(0, (y - sy) / kCrownCell - 1);
    const int j1 = std::min(kCrownRows - 1, y / kCrownCell + 1);
    for (int j = j0; j <= j1; ++j)
        for (int i = i0; i <= i1; ++i) {
            const Crown& c = crowns[std::size_t(j) * kCrownCols + std::size_t(i)];
            const int r2 = c.radius * c.radius;
            if (r2 == 0) continue;
            const Int16 dx = x - c.x;
            const int dy = y - c.y;
            if (dy * dy < r2) {
                const Int16 h = (r2 - dy * dy) - dx * dx;
                const Int16 higher = greater(h, top);
                // tone * (0.72 + 0.28 * toward_sun + 0.25 * h / r^2), toward_sun
                // being -(dx * sun_x + dy * sun_y) / r.
                const double r = c.radius, tone = 0.85 + 0.3 * c.tone / 255.0;
                const float at_centre = float(tone * (0.72 - 0.28 * dy * sun_y / r));
                const float per_dx = float(tone * -0.28 * sun_x / r);
                const float per_h = float(tone * 0.25 / r2);
                const Float16 f = at_centre + per_dx * to_float(dx) + per_h * to_float(h);
                light = select(higher, f, light);
                top = (h & higher) | (top & ~higher);
            }
            const int sdy = dy - sy;
            if (sdy * sdy < r2) {
                const Int16 sdx = dx - sx;
                shaded |= greater((r2 - sdy * sdy) - sdx * sdx, Int16{});
            }
        }
    const Int16 crowned = greater(top, Int16{});
    for (int b = 0; b < 4; ++b)
        band[b] = select(crowned, kMaterial[kCrown].v[b] * light,
                         select(shaded, band[b] * 0.45f, band[b]));
}

// Everything at PAN pixel (x, y): roofs, tree crowns, their shadows, then the
// ground.
Rad Scene::Impl::surface(int x, int y, const Texture& tex) const {
    const double u = frame_u(x, y), v = frame_v(x, y);
    double shadow = 1;
    const Building* plot = building_near(u, v);
    if (const Building* b = plot) {
        if (u >= b->u0 && u < b->u1 && v >= b->v0 && v < b->v1) {
            const Rad roof = kMaterial[b->roof];
            const double eave = std::min({u - b->u0, b->u1 - u, v - b->v0, b->v1 - v});
            if (eave < 2) return roof * 0.75;
            if (b->flat) return roof * (eave < 4 ? 0.85 : 1.0);
            // A gable roof: the ridge along the longer side, one slope
            // facing the sun.
            const bool along_u = b->u1 - b->u0 >= b->v1 - b->v0;
            const double mid_line = along_u ? (b->v0 + b->v1) / 2 : (b->u0 + b->u1) / 2;
            const double p = along_u ? v : u;
            if (std::fabs(p - mid_line) < 1.2) return roof * 1.25;
            const double toward_sun =
                along_u ? -(-sun_x * sin_a + sun_y * cos_a) : -(sun_x * cos_a + sun_y * sin_a);
            const bool lit = (p < mid_line) == (toward_sun < 0);
            return roof * (lit ? 1.12 : 0.72);
        }
        // In the shadow when some point of the roof lies up-sun along the
        // shadow's direction within the building's shadow length: the cell
        // allows only its own building.
        const double sdu = sun_x * cos_a + sun_y * sin_a, sdv = -sun_x * sin_a + sun_y * cos_a;
        double lo = 0, hi = b->shadow;  // distance back towards the sun, in pixels
        const auto clip = [&](double p, double d, double a, double c) {
            if (std::fabs(d) < 1e-9) {
                if (p < a || p >= c) hi = -1;
                return;
            }
            double t0 = (p - c) / d, t1 = (p - a) / d;
            if (t0 > t1) std::swap(t0, t1);
            lo = std::max(lo, t0);
            hi = std::min(hi, t1);
        };
        clip(u, sdu, b->u0, b->u1);
        clip(v, sdv, b->v0, b->v1);
        if (lo <= hi) shadow = 0.42;
    }
    Rad crown;
    if (tree(x, y, shadow, crown)) return crown;
    Place place;
    return ground(x, y, u, v, plot, tex, place) * shadow;
}

namespace {

// Per-row sensor noise: a triangular distribution of standard deviation
// about sigma, from a stream of its own for each row.
class RowNoise {
  public:
    RowNoise() = default;
    RowNoise(std::uint64_t seed, std::uint64_t row, std::uint64_t band)
        : state_(hash(seed, row, band, 7) | 1) {}
    // The triangular numbers of `pixels` pixels (a multiple of 8) of each of
    // `count` streams, row after row into `out`: per pixel the sum of two
    // 12-bit uniform numbers less 4095, 48 bits of a step for two pixels.
    // The streams are independent, so stepping them in turn keeps the
    // processor busy while each step waits for the one before; the numbers
    // of four steps are taken apart in vector lanes.
    static void draw(RowNoise* streams, int count, int pixels, std::int16_t* out) {
        using Bits2 = std::uint64_t __attribute__((vector_size(16)));
        using Short8 = std::int16_t __attribute__((vector_size(16)));
        const Bits2 twelve = {0xfff, 0xfff};
        // Each step's two sums, in the low two 16-bit lanes of its 64.
        const auto sums = [&](const Bits2& bits) {
            return ((bits & twelve) + (bits >> 12 & twelve)) |
                   ((bits >> 24 & twelve) + (bits >> 36 & twelve)) << 16;
        };
        for (int i = 0; i < pixels; i += 8)
            for (int k = 0; k < count; ++k) {
                RowNoise& stream = streams[k];
                const Bits2 a = {stream.step(), stream.step()};  // in this order
                const Bits2 b = {stream.step(), stream.step()};
                const Short8 eight =
                    Short8(__builtin_shuffle(Int4(sums(a)), Int4(sums(b)), Int4{0, 2, 4, 6})) -
                    std::int16_t(4095);
                std::memcpy(out + std::size_t(k) * std::size_t(pixels) + std::size_t(i), &eight,
                            sizeof eight);
            }
    }
    double uniform() { return unit(step()); }

  private:
    std::uint64_t step() {  // xorshift64*
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545f4914f6cdd1dull;
    }
    std::uint64_t state_ = 1;
};

// Sensor noise of a signal of s counts, shot noise and read noise: a
// standard deviation of shot * sqrt(s) + read counts.
struct SensorNoise {
    float shot, read;
};

// The noise of a run of 16 pixels from their drawn numbers (whose standard
// deviation is 4096 / sqrt(6)), at the level of the run's mean signal.
[[gnu::always_inline]] inline Float16 noise16(const std::int16_t* drawn, const Float16& s,
                                              const SensorNoise& sensor) {
    constexpr float kTriangle = float(2.449489742783178 / 4096);  // sqrt(6) / 4096
    const Float4* q = s.p;
    const Float4 sum4 = (q[0] + q[1]) + (q[2] + q[3]);
    const float mean = ((sum4[0] + sum4[1]) + (sum4[2] + sum4[3])) * (1.0f / 16);
    // The square root is correctly rounded, as IEEE requires of every
    // implementation.
    const float sigma = sensor.shot * std::sqrt(std::max(mean, 0.0f)) + sensor.read;
    Int16 wide;
#ifdef __SSE2__
    for (int h = 0; h < 2; ++h) {  // sign-extended from the high halves of 32 bits
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(drawn + 8 * h));
        wide.p[2 * h] = Int4(_mm_srai_epi32(_mm_unpacklo_epi16(eight, eight), 16));
        wide.p[2 * h + 1] = Int4(_mm_srai_epi32(_mm_unpackhi_epi16(eight, eight), 16));
    }
#else
    for (int i = 0; i < 16; ++i)
        wide.set(i, drawn[i]);
#endif
    return to_float(wide) * (sigma * kTriangle);
}

// The whole numbers of v, truncated, clamped to the 12-bit range, as 16
// samples: in SSE2 instructions, 4 lanes each, where the compiler would
// clamp and pack lane by lane; elsewhere the same lane by lane.
[[gnu::always_inline]] inline void store_counts(std::uint16_t* out, const Float16& v) {
    const Float4* p = v.p;
#ifdef __SSE2__
    __m128i whole[4];
    for (int k = 0; k < 4; ++k)
        whole[k] = _mm_cvttps_epi32(
            _mm_min_ps(_mm_max_ps(p[k], _mm_setzero_ps()), _mm_set1_ps(float(kFullScale))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(whole[0], whole[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_packs_epi32(whole[2], whole[3]));
#else
    for (int k = 0; k < 16; ++k)
        out[k] = std::uint16_t(int(std::min(std::max(p[k / 4][k % 4], 0.0f), float(kFullScale))));
#endif
}

// The over-exposed patch of --saturate, in kept PAN pixels.
constexpr int kGlintX = 6000, kGlintY = 3000, kGlintWidth = 600, kGlintHeight = 400;
// --nodata: from this PAN column (and its colour column) rightwards.
constexpr int kNodataPanColumn = 8050;
constexpr int kNodataColourColumn = 2576;  // 8050 / 3.125

}  // namespace

Scene::Scene(std::uint64_t seed, Faults faults, bool sensor_noise)
    : impl_(std::make_unique<Impl>(seed, faults)) {
    impl_->sensor_noise = sensor_noise;
}
Scene::~Scene() = default;

int Scene::blocks() {
    return (kMosaicHeight + kBlockPanRows - 1) / kBlockPanRows;
}
int Scene::colour_blocks() {
    return kColourHeight / kBlockColourRows;
}
int Scene::pan_rows(int block) {
    return std::min(kBlockPanRows, kMosaicHeight - block * kBlockPanRows);
}

namespace {

// The cameras' sensor noise, and none.
constexpr SensorNoise kPanNoise{0.9f, 3}, kColourNoise{0.6f, 2}, kNoNoise{0, 0};

}  // namespace

void Scene::render_block(int block, std::span<std::uint16_t> pan, std::span<std::uint16_t> colour,
                         Workspace& work) const {
    PanRows rows{{}, std::size_t(kPanGeometry.tile)};
    for (int r = 0; r < pan_rows(block); ++r)
        rows.rows[r] = pan.data() + std::size_t(r) * kMosaicWidth;
    render_block(block, rows, colour, work);
}

void Scene::render_block(int block, const PanRows& pan, std::span<std::uint16_t> colour,
                         Workspace& work) const {
    const Impl& s = *impl_;
    const Faults& f = s.faults;
    const SensorNoise& pan_noise = s.sensor_noise ? kPanNoise : kNoNoise;
    const SensorNoise& colour_noise = s.sensor_noise ? kColourNoise : kNoNoise;
    const int rows = pan_rows(block);
    const bool with_colour = block < colour_blocks();
    // The ground of a row, band after band, for the colour footprints,
    // and its sums across colour footprints; every element is written before
    // it is read, so the buffers serve block after block.
    std::vector<float>& ground = work.ground;
    std::vector<float>& across = work.across;
    ground.resize(std::size_t(kMosaicWidth) * 4);  // one row at a time, band by band
    across.resize(std::size_t(kBlockPanRows) * kColourWidth * 4);
    // Colour pixel (c, r) integrates the ground over [25c/8, 25(c+1)/8) x
    // [25r/8, 25(r+1)/8): four PAN pixels each way, weighted in eighths. The
    // pattern repeats every 8 colour pixels.
    const auto weights = [](int i, int& first, float w[4]) {
        first = 25 * i / 8;
        for (int k = 0; k < 4; ++k) {
            const int p = first + k;
            w[k] = float(std::max(0, std::min(8 * p + 8, 25 * i + 25) - std::max(8 * p, 25 * i)));
        }
    };
    int phase_first[8];
    float phase_w[8][4];
    for (int i = 0; i < 8; ++i)
        weights(i, phase_first[i], phase_w[i]);
    // The same weights four footprints at a time: wide_w[h][k] holds the
    // weights of the k-th pixels of footprints 4h..4h+3.
    Float4 wide_w[2][4];
    for (int h = 0; h < 2; ++h)
        for (int k = 0; k < 4; ++k)
            for (int i = 0; i < 4; ++i)
                wide_w[h][k][i] = phase_w[4 * h + i][k];
    // The lens darkens the corners by up to 10 %.
    static const std::vector<float> vignette_x = [] {
        std::vector<float> v(kMosaicWidth);
        for (int x = 0; x < kMosaicWidth; ++x) {
            const double d = (x - kMosaicWidth / 2.0) / (kMosaicWidth / 2.0);
            v[std::size_t(x)] = float(0.1 * d * d);
        }
        return v;
    }();
    // The sensor noise of the block's PAN rows, a stream for each row.
    work.drawn.resize(std::size_t(kBlockPanRows) * kMosaicWidth);
    {
        RowNoise streams[kBlockPanRows];
        for (int r = 0; r < rows; ++r)
            streams[r] = RowNoise(s.seed, std::uint64_t(block * kBlockPanRows + r), 4);
        RowNoise::draw(streams, rows, kMosaicWidth, work.drawn.data());
    }
    const PanGeometry& g = kPanGeometry;
    for (int r = 0; r < rows; ++r) {
        const int y = block * kBlockPanRows + r;
        const double dy = (y - kMosaicHeight / 2.0) / (kMosaicWidth / 2.0);
        const float vignette_y = float(1 - 0.1 * dy * dy);
        // The large-scale variation changes by well under 1 % in 8 pixels.
        const NoiseRow low(s.low, kLowCell, y), mid(s.mid, kMidCell, y);
        double low_every_8[kMosaicWidth / 8];
        for (int k = 0; k < kMosaicWidth / 8; ++k)
            low_every_8[k] = low.at(8 * k + 4);
        RowNoise dark(s.seed, std::uint64_t(y), 5);
        const std::int16_t* drawn = work.drawn.data() + std::size_t(r) * kMosaicWidth;
        // Runs of 16 pixels never cross a tile.
        static_assert(kTile % 16 == 0);
        std::uint16_t* const row_out = pan.rows[r];
        const auto out = [&](int x) {
            return row_out + std::size_t(x / kTile) * pan.tile_stride + std::size_t(x % kTile);
        };
        float* gr = with_colour ? ground.data() : nullptr;
        for (int x0 = 0; x0 < kMosaicWidth; x0 += 16) {
            // Runs of 16 pixels inside one field take the short way. The
            // run is held band by band, so that the loops below vectorise.
            Float16 band[4];
            bool trees = false;
            const Building* plot = nullptr;
            if (const Field* field = s.pure_field(x0, x0 + 15, y, trees, plot)) {
                if (plot)
                    s.plot_run(*plot, x0, low_every_8 + x0 / 8, mid, band);
                else
                    s.field_run(*field, x0, y, low_every_8 + x0 / 8, mid, band);
                // Trees in the field (a wood) stand on the field's ground.
                if (trees) s.trees_run(x0, y, band);
            } else {
                for (int i = 0; i < 16; ++i) {
                    const Rad a =
                        s.surface(x0 + i, y, {low_every_8[(x0 + i) / 8], 0, &mid, x0 + i});
                    for (int b = 0; b < 4; ++b)
                        band[b].set(i, a.v[b]);
                }
            }
            Float16 corner;
            std::memcpy(&corner, vignette_x.data() + x0, sizeof corner);
            const Float16 lens = vignette_y - corner;
            for (Float16& b : band)
                b *= lens;
            if (gr)
                for (int b = 0; b < 4; ++b)
                    std::memcpy(gr + std::size_t(b) * kMosaicWidth + std::size_t(x0), &band[b],
                                sizeof band[b]);
            // The PAN band spans the visible and the near infrared.
            const Float16 p =
                (0.3f * band[0] + 0.3f * band[1] + 0.1f * band[2] + 0.3f * band[3]) * 1.15f;
            std::uint16_t* const run = out(x0);
            store_counts(run, (p + kRoundedBlack) + noise16(drawn + x0, p, pan_noise));
            // So short an exposure that a pixel catches one count or none.
            if (f.dark_pan)
                for (int i = 0; i < 16; ++i)
                    run[i] = dark.uniform() * 4096 < p[i] ? 1 : 0;
        }
        if (gr) {  // the row across colour footprints, band after band
            float* ac = across.data() + std::size_t(r) * kColourWidth * 4;
            for (int b = 0; b < 4; ++b)
                for (int c8 = 0; c8 < kColourWidth; c8 += 8) {  // 8 footprints, 25 pixels
                    const float* q0 = gr + std::size_t(b) * kMosaicWidth + std::size_t(25 * c8 / 8);
                    float* a8 = ac + std::size_t(b) * kColourWidth + std::size_t(c8);
                    // Footprint k starts at pixel 3k: four footprints at a
                    // time, their k-th pixels gathered from every third.
                    for (int h = 0; h < 2; ++h) {
                        Float4 q[4];
                        std::memcpy(q, q0 + 12 * h, sizeof q);
                        const Float4 p0 =
                            __builtin_shuffle(__builtin_shuffle(q[0], q[1], Int4{0, 3, 6, 7}), q[2],
                                              Int4{0, 1, 2, 5});
                        const Float4 p1 =
                            __builtin_shuffle(__builtin_shuffle(q[0], q[1], Int4{1, 4, 7, 7}), q[2],
                                              Int4{0, 1, 2, 6});
                        const Float4 p2 =
                            __builtin_shuffle(__builtin_shuffle(q[0], q[1], Int4{2, 5, 5, 5}), q[2],
                                              Int4{0, 1, 4, 7});
                        const Float4 p3 = __builtin_shuffle(p0, q[3], Int4{1, 2, 3, 4});
                        const Float4 a = wide_w[h][0] * p0 + wide_w[h][1] * p1 + wide_w[h][2] * p2 +
                                         wide_w[h][3] * p3;
                        std::memcpy(a8 + 4 * h, &a, sizeof a);
                    }
                }
        }
        const auto fill = [&](int from, int to, std::uint16_t v) {
            for (int x = from; x < to; x = (x / kTile + 1) * kTile)
                std::fill(out(x), out(x) + (std::min(to, (x / kTile + 1) * kTile) - x), v);
        };
        if (f.nodata) fill(kNodataPanColumn, kMosaicWidth, 0);
        if (y < 48) fill(0, 48, 0);                                       // a nodata corner
        if (y < 64) *out(200) = 1;                                        // a dead column stub
        for (int x = y >= g.height ? 0 : g.width; x < kMosaicWidth; ++x)  // the cropped margin
            if ((x + y) % 5 == 0) *out(x) = 0;
        if (f.dead_pan) fill(0, kMosaicWidth, 0);  // the stub too: a dead band reads 0
        if (f.saturate && y >= kGlintY && y < kGlintY + kGlintHeight)
            fill(kGlintX, kGlintX + kGlintWidth, 65535);
    }
    if (!with_colour) return;

    const bool dead[kBands] = {f.dead_red, f.dead_green, f.dead_blue, f.dead_nir};
    // The colour rows' noise, a stream for each band of each row.
    {
        RowNoise streams[kBlockColourRows * kBands];
        for (int cr = 0; cr < kBlockColourRows; ++cr)
            for (int b = 0; b < kBands; ++b)
                streams[cr * kBands + b] = RowNoise(
                    s.seed, std::uint64_t(block * kBlockColourRows + cr), std::uint64_t(b));
        RowNoise::draw(streams, kBlockColourRows * kBands, kColourWidth, work.drawn.data());
    }
    for (int cr = 0; cr < kBlockColourRows; ++cr) {
        const int y0 = phase_first[cr];
        const float* wy = phase_w[cr];
        const std::size_t stride = std::size_t(kColourWidth) * 4;
        std::uint16_t* out = colour.data() + std::size_t(cr) * kColourWidth * kBands;
        for (int b = 0; b < kBands; ++b) {
            const float* a0 =
                across.data() + std::size_t(y0) * stride + std::size_t(b) * kColourWidth;
            const std::int16_t* drawn =
                work.drawn.data() + std::size_t(cr * kBands + b) * kColourWidth;
            std::uint16_t* line_out = out + std::size_t(b) * kColourWidth;
            for (int c = 0; c < kColourWidth; c += 16) {
                Float16 line[4];
                for (int k = 0; k < 4; ++k)
                    std::memcpy(&line[k], a0 + std::size_t(k) * stride + std::size_t(c),
                                sizeof line[k]);
                const Float16 sum =
                    wy[0] * line[0] + wy[1] * line[1] + wy[2] * line[2] + wy[3] * line[3];
                const Float16 m = sum / 625;
                store_counts(line_out + c,
                             (m + kRoundedBlack) + noise16(drawn + c, m, colour_noise));
            }
            if (dead[b]) std::fill(line_out, line_out + kColourWidth, 0);
            if (f.nodata) std::fill(line_out + kNodataColourColumn, line_out + kColourWidth, 0);
        }
    }
}

}  // namespace cirsharp::sample
