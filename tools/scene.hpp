// A synthetic aerial scene for cirsharp-sample: a patchwork of fields, roads
// and tracks, a village and farmsteads, hedgerows and woodland, a river, seen
// from above. The PAN image samples it at full resolution; the colour image
// is the same ground integrated over footprints 3.125 times as large, so the
// PAN holds edges that the colour image blurs. Integer hashing and IEEE basic
// operations only (no library maths), so a seed gives the same bytes on every
// machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace cirsharp::sample {

// Rows are rendered in blocks: 25 PAN rows cover exactly 8 colour rows.
inline constexpr int kBlockPanRows = 25;
inline constexpr int kBlockColourRows = 8;

// The defects an exposure may carry, each one raising a flag of the run
// record when the exposure is converted.
struct Faults {
    bool saturate = false;  // a glint: a 600 x 400 PAN patch of 65535
    bool nodata = false;    // the right-hand 30 % of both images is 0
    bool dark_pan = false;  // the PAN 4096 times under-exposed: only 0s and 1s
    bool dead_red = false, dead_green = false, dead_blue = false, dead_nir = false;
    bool dead_pan = false;  // a dead band reads 0 everywhere
};

class Scene {
  public:
    // Without sensor noise the samples show the ground alone.
    explicit Scene(std::uint64_t seed, Faults faults = {}, bool sensor_noise = true);
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    // Blocks down the PAN mosaic, the last one short (7680 rows).
    static int blocks();
    // Blocks that carry colour rows (2400 rows).
    static int colour_blocks();
    // PAN rows of `block`: 25 (fewer in the last block).
    static int pan_rows(int block);

    // Where the PAN samples of a block go: sample x of its row r at
    // rows[r] + x / 512 * tile_stride + x % 512. Whole mosaic rows one after
    // another have a tile_stride of 512; the rows of the PAN file's tiles,
    // one of 512 * 512.
    struct PanRows {
        std::uint16_t* rows[kBlockPanRows];
        std::size_t tile_stride;
    };
    // Renders block `block`: its PAN rows, each a whole mosaic row of 11776
    // samples, into `pan` and, when block < colour_blocks(), its 8 colour
    // rows as in the colour file (each row the red, green, blue and NIR
    // lines of 3680 samples) into `colour`. Safe to call from several
    // threads at once. `work` is the caller's scratch memory, one for each
    // thread.
    struct Workspace {
        std::vector<float> ground, across;
        std::vector<std::int16_t> drawn;  // sensor noise
    };
    void render_block(int block, const PanRows& pan, std::span<std::uint16_t> colour,
                      Workspace& work) const;
    // The same with the PAN rows one after another in `pan` (at least
    // pan_rows(block) * 11776 samples).
    void render_block(int block, std::span<std::uint16_t> pan, std::span<std::uint16_t> colour,
                      Workspace& work) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace cirsharp::sample
