// cirsharp-sample: writes a synthetic exposure (a colour file and a PAN tile
// file of the converter's exact geometry) of a scene that each seed lays out
// afresh, the same bytes for a seed on every machine. Options add the defects
// that the run record flags, so a trial flight can show each of them.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "io/file.hpp"
#include "io/temp_files.hpp"
#include "raster/geometry.hpp"
#include "scene.hpp"

namespace {

using namespace cirsharp;
using sample::Scene;

constexpr const char* kUsage =
    "usage: cirsharp-sample [--seed N] [--saturate] [--nodata] [--dark-pan]\n"
    "                       [--dead-band BAND]... COLOUR_OUT PANTILES_OUT\n";

constexpr const char* kHelp =
    "Writes a synthetic exposure for cirsharp: a colour file (3680 x 2400, four\n"
    "bands, band-interleaved by line) and a PAN tile file (11500 x 7500 in 512 x 512\n"
    "tiles), each with its 8-byte header. The scene, seen from above, is a patchwork\n"
    "of fields, roads and tracks, a village and farmsteads with their shadows,\n"
    "hedgerows and woodland, and often a river; the colour image is the same ground\n"
    "3.125 times coarser. Samples are 12-bit counts with sensor noise. Every seed\n"
    "(a whole number, default 1) gives another scene, and the same bytes on every\n"
    "machine. A 48 x 48 nodata corner and a short dead column stay in every PAN.\n"
    "\n"
    "Defects, each raising flags of the run record that cirsharp writes:\n"
    "  --saturate         an over-exposed PAN patch: 600 x 400 samples of 65535 at\n"
    "                     column 6000, row 3000 (pan_saturated)\n"
    "  --nodata           the right-hand 30 % of both images is 0, from PAN column\n"
    "                     8050 and colour column 2576 (pan_nodata)\n"
    "  --dark-pan         an under-exposed PAN, 4096 times too short: only 0s and 1s,\n"
    "                     more 1s where the ground is brighter (pan_min_unset,\n"
    "                     pan_nodata)\n"
    "  --dead-band BAND   BAND reads 0 everywhere: red, green, blue, nir or pan\n"
    "                     (constant_red, constant_green, constant_nir; blue raises\n"
    "                     none; pan: pan_min_unset, pan_nodata, constant_pan);\n"
    "                     may be given more than once\n"
    "\n"
    "Exit status: 0 written; 1 a file that cannot be written; 2 a usage error.\n";

struct Request {
    std::uint64_t seed = 1;
    sample::Faults faults;
    std::vector<std::string> paths;
};

// Throws std::invalid_argument with the message for a usage error.
Request parse(std::vector<std::string> args) {
    Request r;
    std::size_t i = 0;
    for (; i < args.size() && args[i].starts_with("--"); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--saturate") {
            r.faults.saturate = true;
        } else if (a == "--nodata") {
            r.faults.nodata = true;
        } else if (a == "--dark-pan") {
            r.faults.dark_pan = true;
        } else if (a == "--seed" || a == "--dead-band") {
            if (i + 1 == args.size()) throw std::invalid_argument(a + " needs a value");
            const std::string& value = args[++i];
            if (a == "--seed") {
                if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
                    value.size() > 19)
                    throw std::invalid_argument("--seed takes a whole number");
                r.seed = std::stoull(value);
            } else if (value == "red") {
                r.faults.dead_red = true;
            } else if (value == "green") {
                r.faults.dead_green = true;
            } else if (value == "blue") {
                r.faults.dead_blue = true;
            } else if (value == "nir") {
                r.faults.dead_nir = true;
            } else if (value == "pan") {
                r.faults.dead_pan = true;
            } else {
                throw std::invalid_argument(
                    "--dead-band takes red, green, blue, nir or pan, not '" + value + "'");
            }
        } else {
            throw std::invalid_argument("unknown option '" + a + "'");
        }
    }
    r.paths.assign(args.begin() + std::ptrdiff_t(i), args.end());
    if (r.paths.size() != 2) throw std::invalid_argument("two output paths are needed");
    return r;
}

// Memory for `count` buffers of `bytes` each (a multiple of the direct
// writes' alignment) that go to a file after its 8-byte header: each starts
// 8 bytes into a block of memory as its bytes do in the file's blocks, so
// that they go to the disk from where they are, and has a block's room in
// front of it where the file's partial block ahead of it is completed. The
// memory comes in huge pages where the system has them, all of it mapped at
// once: a page fault for every 4 KB that rendering first touches costs
// more than the zeroing of the page itself.
class DirectBuffers {
  public:
    DirectBuffers(std::size_t count, std::size_t bytes)
        : stride_(bytes + io::kDirectAlignment), size_(count * stride_ + kHugePage) {
        void* p =
            ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        mapping_ = static_cast<std::byte*>(p);
        const auto at = reinterpret_cast<std::uintptr_t>(mapping_);
        memory_ = mapping_ + (kHugePage - at % kHugePage) % kHugePage;
        // Advice only: without it the memory is the same, only slower.
        (void)::madvise(memory_, count * stride_, MADV_HUGEPAGE);
        (void)::madvise(memory_, count * stride_, MADV_POPULATE_WRITE);
    }
    ~DirectBuffers() { ::munmap(mapping_, size_); }
    DirectBuffers(const DirectBuffers&) = delete;
    DirectBuffers& operator=(const DirectBuffers&) = delete;

    std::uint16_t* operator[](std::size_t i) const {
        static_assert(kColourHeaderBytes == kPanHeaderBytes);
        return reinterpret_cast<std::uint16_t*>(memory_ + i * stride_ + io::kDirectAlignment +
                                                kPanHeaderBytes);
    }

  private:
    static constexpr std::size_t kHugePage = std::size_t(2) << 20;
    std::size_t stride_, size_;
    std::byte* mapping_ = nullptr;
    std::byte* memory_ = nullptr;
};

// Renders the blocks [first, last) on `threads` threads, each block's PAN
// rows straight into the tile rows of `ring` (three rows of tiles, by tile
// row modulo 3) and its colour rows into `colour` (from colour row 8 * first
// on).
void render(const Scene& scene, int first, int last, std::vector<Scene::Workspace>& workers,
            const DirectBuffers& ring, std::uint16_t* colour) {
    const PanGeometry& g = kPanGeometry;
    const std::size_t block_colour = std::size_t(sample::kBlockColourRows) *
                                     std::size_t(kColourGeometry.width) * std::size_t(kBands);
    // Each thread takes the next block that none has taken, so that a slow
    // block (a village) holds up no other; a block's samples go where the
    // block alone says, whichever thread renders it.
    std::atomic<int> next{first};
    const auto work = [&](std::size_t t) {
        for (int b = next++; b < last; b = next++) {
            Scene::PanRows rows{{}, g.tile_area()};
            for (int r = 0; r < Scene::pan_rows(b); ++r) {
                const std::size_t y = std::size_t(b) * sample::kBlockPanRows + std::size_t(r);
                rows.rows[r] = ring[y / std::size_t(g.tile) % 3] +
                               y % std::size_t(g.tile) * std::size_t(g.tile);
            }
            std::span<std::uint16_t> rgbn;
            if (b < Scene::colour_blocks())
                rgbn = std::span(colour + std::size_t(b - first) * block_colour, block_colour);
            scene.render_block(b, rows, rgbn, workers[t]);
        }
    };
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < workers.size(); ++t)
        pool.emplace_back(work, t);
    work(0);
    for (std::thread& th : pool)
        th.join();
}

void write_exposure(const Scene& scene, io::OutputFile& colour_file, io::OutputFile& pan_file) {
    const PanGeometry& g = kPanGeometry;
    const std::byte colour_header[kColourHeaderBytes] = {
        std::byte{'C'}, std::byte{'I'}, std::byte{'R'}, std::byte{'C'}, std::byte{1}};
    const std::byte pan_header[kPanHeaderBytes] = {std::byte{'P'}, std::byte{'A'}, std::byte{'N'},
                                                   std::byte{'T'}, std::byte{1}};
    colour_file.write(colour_header);
    pan_file.write(pan_header);
    std::vector<Scene::Workspace> workers(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    // Slabs of 20 blocks, 500 PAN rows: less than a row of tiles, so a slab
    // completes at most one row of tiles and touches at most two. While one
    // slab is rendered, the previous one is written: three rows of tiles and
    // two colour slabs take turns.
    constexpr int kSlab = 20;
    // Every sample is rendered before it is written: no need to clear them.
    const std::size_t slab_samples =
        std::size_t(kSlab) * sample::kBlockColourRows * std::size_t(kColourGeometry.width) * kBands;
    const DirectBuffers ring(3, g.tile_row_samples() * sizeof(std::uint16_t));
    const DirectBuffers colour(2, slab_samples * sizeof(std::uint16_t));
    int tile_rows_written = 0;
    std::future<void> writing;
    for (int first = 0, slab = 0; first < Scene::blocks(); first += kSlab, ++slab) {
        const int last = std::min(first + kSlab, Scene::blocks());
        render(scene, first, last, workers, ring, colour[std::size_t(slab % 2)]);
        if (writing.valid()) writing.get();
        const int colour_blocks = std::max(0, std::min(last, Scene::colour_blocks()) - first);
        const int rows_done = std::min(last * sample::kBlockPanRows, int(g.mosaic_height()));
        int tile_rows = tile_rows_written;
        while ((tile_rows + 1) * g.tile <= rows_done)
            ++tile_rows;
        writing = std::async(
            std::launch::async, [&, slab, colour_blocks, from = tile_rows_written, to = tile_rows] {
                colour_file.write(std::as_bytes(std::span(colour[std::size_t(slab % 2)],
                                                          std::size_t(colour_blocks) *
                                                              slab_samples / std::size_t(kSlab))),
                                  io::Lead::kSlack);
                for (int t = from; t < to; ++t)
                    pan_file.write(
                        std::as_bytes(std::span(ring[std::size_t(t % 3)], g.tile_row_samples())),
                        io::Lead::kSlack);
            });
        tile_rows_written = tile_rows;
    }
    writing.get();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
        std::cout << kUsage << '\n' << kHelp;
        return 0;
    }
    Request request;
    try {
        request = parse(args);
    } catch (const std::invalid_argument& e) {
        std::cerr << "cirsharp-sample: " << e.what() << '\n' << kUsage;
        return 2;
    }
    try {
        io::TempFiles temps;
        const Scene scene(request.seed, request.faults);
        // Around the page cache: the program's memory goes to the disk as it
        // is, where a copy into the cache would cost as much as rendering.
        io::OutputFile colour =
            io::OutputFile::create(request.paths[0], temps, io::IoMode::kDirect);
        io::OutputFile pan = io::OutputFile::create(request.paths[1], temps, io::IoMode::kDirect);
        write_exposure(scene, colour, pan);
        colour.commit(false);
        pan.commit(false);
    } catch (const std::exception& e) {
        std::cerr << "cirsharp-sample: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
