// The synthetic scene of cirsharp-sample: the same bytes for a seed however
// the blocks are rendered and in the files the tool writes, another scene for
// another seed, and a PAN that holds detail the colour image blurs.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "raster/geometry.hpp"
#include "scene.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using sample::Scene;
namespace fs = std::filesystem;

constexpr std::size_t kMosaicWidth = kPanGeometry.mosaic_width();
constexpr std::size_t kColourRow = std::size_t(kColourGeometry.width) * kBands;

struct Block {
    std::vector<std::uint16_t> pan, colour;
    bool operator==(const Block&) const = default;
};

Block render(const Scene& scene, int block, Scene::Workspace& work) {
    Block b{std::vector<std::uint16_t>(sample::kBlockPanRows * kMosaicWidth),
            std::vector<std::uint16_t>(sample::kBlockColourRows * kColourRow)};
    scene.render_block(block, b.pan, b.colour, work);
    return b;
}
Block render(const Scene& scene, int block) {
    Scene::Workspace work;
    return render(scene, block, work);
}

TEST(SampleScene, ASeedGivesTheSameBytesAnotherSeedAnotherScene) {
    const Scene a(7), again(7), other(8);
    // Blocks in another order, through one workspace, as a thread renders
    // them: the bytes do not depend on what was rendered before.
    Scene::Workspace work;
    const Block late = render(again, 150, work);
    const Block early = render(again, 3, work);
    EXPECT_TRUE(render(a, 3) == early);
    EXPECT_TRUE(render(a, 150) == late);

    // Another seed lays out other ground, not only other noise: compare
    // colour pixels, in which the noise is small.
    const Block b = render(other, 150);
    std::size_t differ = 0;
    for (std::size_t i = 0; i < late.colour.size(); ++i)
        differ += std::abs(int(late.colour[i]) - int(b.colour[i])) > late.colour[i] / 5;
    EXPECT_GT(differ, late.colour.size() / 3);
}

// The bytes of a scene are pinned: rewrites of the renderer for speed keep
// every sample, fast runs and slow pixels, defects included. The sums are
// FNV-1a over the PAN and colour samples of a few blocks (the first, the
// glint's rows, the last colour block and the short last block).
TEST(SampleScene, RenderingKeepsTheBytesOfEachScene) {
    sample::Faults glint_nodata, dark, dead;
    glint_nodata.saturate = glint_nodata.nodata = true;
    dark.dark_pan = true;
    dead.dead_red = dead.dead_nir = dead.dead_pan = true;
    const struct {
        std::uint64_t seed;
        sample::Faults faults;
        std::uint64_t sum;
    } cases[] = {{1, {}, 15130293326974468027ull},  {2, {}, 254551150545608317ull},
                 {7, {}, 826111282149385725ull},    {3, glint_nodata, 7760226069782212601ull},
                 {5, dark, 5592632148612206440ull}, {6, dead, 7110180063521191240ull}};
    for (const auto& c : cases) {
        const Scene scene(c.seed, c.faults);
        Scene::Workspace work;
        std::uint64_t sum = 0xcbf29ce484222325ull;
        for (const int block : {0, 121, 133, 299, Scene::blocks() - 1}) {
            const Block b = render(scene, block, work);
            for (const auto* samples : {&b.pan, &b.colour})
                for (const std::uint16_t v : *samples)
                    sum = (sum ^ v) * 0x100000001b3ull;
        }
        EXPECT_EQ(sum, c.sum) << "seed " << c.seed;
    }
}

// The PAN band as the colour bands give it: the weights the scene uses.
double pan_of_colour(const std::vector<std::uint16_t>& colour, std::size_t row, std::size_t c) {
    const std::uint16_t* line = colour.data() + row * kColourRow;
    const std::size_t w = std::size_t(kColourGeometry.width);
    const double black = 40;
    return (0.3 * (line[c] - black) + 0.3 * (line[w + c] - black) +
            0.1 * (line[2 * w + c] - black) + 0.3 * (line[3 * w + c] - black)) *
               1.15 +
           black;
}

TEST(SampleScene, ThePanHoldsDetailThatTheColourImageBlurs) {
    // Without sensor noise, so only the ground makes differences.
    for (const std::uint64_t seed : {1, 2, 3}) {
        const Scene scene(seed, {}, false);
        for (const int block : {40, 120, 250}) {
            const Block b = render(scene, block);
            // Energy of the differences between neighbours along the rows
            // (kept columns), in the PAN and in the colour image as the
            // converter upsamples it: the colour pixel that covers each PAN
            // pixel. Footprint by footprint, the PAN's mean is the colour.
            double pan_energy = 0, colour_energy = 0, mismatch = 0, level = 0;
            for (int r = 0; r < sample::kBlockPanRows; ++r) {
                const std::uint16_t* p = b.pan.data() + std::size_t(r) * kMosaicWidth;
                const std::size_t cr = std::size_t(r * 8 / 25);
                for (int x = 0; x + 1 < kPanGeometry.width; ++x) {
                    const double d = double(p[x + 1]) - double(p[x]);
                    const double u0 = pan_of_colour(b.colour, cr, std::size_t(x * 8 / 25));
                    const double u1 = pan_of_colour(b.colour, cr, std::size_t((x + 1) * 8 / 25));
                    pan_energy += d * d;
                    colour_energy += (u1 - u0) * (u1 - u0);
                    mismatch += std::fabs(double(p[x]) - u0);
                    level += p[x];
                }
            }
            // A PAN as blurred as the colour image would give about as much
            // energy as the upsampled colour image (a ratio near 1), one with
            // sharp edges alone up to twice as much.
            EXPECT_GT(pan_energy, 1.5 * colour_energy) << "seed " << seed << ", block " << block;
            // The same ground: the PAN departs from its colour pixel by far
            // less than its level, on the average.
            EXPECT_LT(mismatch, 0.15 * level) << "seed " << seed << ", block " << block;
        }
    }
}

// The tool writes the blocks as they render: the fixture's exposure of seed
// 1 starts with block 0, in the colour file's rows and in the PAN's first
// row of tiles.
TEST(SampleScene, TheToolWritesTheRenderedBlocks) {
    const Block b = render(Scene(1), 0);
    const auto colour = test::read_file(test::sample_colour());
    ASSERT_EQ(colour.size(), kColourGeometry.file_bytes());
    for (std::size_t i = 0; i < b.colour.size(); ++i)
        ASSERT_EQ(test::sample_at(colour, kColourHeaderBytes + 2 * i), b.colour[i]) << i;
    const auto pan = test::read_file(test::sample_pan());
    ASSERT_EQ(pan.size(), kPanGeometry.file_bytes());
    for (std::size_t row = 0; row < std::size_t(sample::kBlockPanRows); ++row)
        for (std::size_t x = 0; x < kMosaicWidth; ++x)
            ASSERT_EQ(test::sample_at(pan, kPanHeaderBytes + 2 * tile_index(kPanGeometry, row, x)),
                      b.pan[row * kMosaicWidth + x])
                << row << ", " << x;
}

// A file that cannot be written stops the tool while its threads render:
// status 1, the reason, and neither file left behind.
TEST(SampleScene, AFileThatCannotBeWrittenLeavesNothing) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here to fill";
    test::TempDir dir;
    for (const bool colour_full : {true, false}) {
        const std::string colour = colour_full ? "/dev/full" : dir / "c.raw";
        const std::string pan = colour_full ? dir / "p.raw" : "/dev/full";
        const auto r = test::run_process(CIRSHARP_SAMPLE_BIN, {colour, pan});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "cirsharp-sample: cannot write /dev/full: No space left on device\n");
        EXPECT_TRUE(fs::is_empty(dir.path())) << (colour_full ? "colour" : "pan");
    }
}

// Each defect option raises the flags it is for when the exposure is
// converted, and nothing else.
TEST(SampleScene, EachDefectRaisesItsFlags) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"--saturate"}, {"pan_saturated"}},
        {{"--nodata"}, {"pan_nodata"}},
        {{"--dark-pan"}, {"pan_min_unset", "pan_nodata"}},
        {{"--dead-band", "red", "--dead-band", "green", "--dead-band", "nir", "--dead-band",
          "blue"},
         {"constant_green", "constant_nir", "constant_red"}},
        {{"--dead-band", "pan"}, {"constant_pan", "pan_min_unset", "pan_nodata"}},
    };
    test::TempDir dir;
    for (const auto& [options, flags] : cases) {
        auto args = options;
        args.insert(args.end(), {"--seed", "5", dir / "c.raw", dir / "p.raw"});
        const auto made = test::run_process(CIRSHARP_SAMPLE_BIN, args);
        ASSERT_EQ(made.status, 0) << made.err;
        const auto r = test::run_process(
            CIRSHARP_BIN, {"--record", dir / "r.json", dir / "c.raw", dir / "p.raw", "/dev/null",
                           "/dev/null", "/dev/null", "/dev/null", "/dev/null"});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto bytes = test::read_file(dir / "r.json");
        const auto record = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(record["flags"], nlohmann::json(flags)) << options[0];
    }
}

}  // namespace
}  // namespace cirsharp
