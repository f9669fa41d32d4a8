// cirsharp-sample: writes a synthetic exposure (a colour file and a PAN tile
// file of the converter's exact geometry) of a scene that each seed lays out
// afresh, the same bytes for a seed on every machine. Options add the defects
// that the run record flags, so a trial flight can show each of them.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
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

// Renders the exposure on a thread for each processor and writes it as it
// goes. Each thread takes the next block that none has taken, so that a slow
// block (a village) holds up no other, and renders its PAN rows straight
// into a ring of rows of tiles and its colour rows into a ring of colour
// slabs; the writer writes each row of tiles and each slab, in file order,
// once every block in it is rendered, and a block waits to be rendered until
// the memory it goes to has been written. A block's samples go where the
// block alone says, whichever thread renders it.
class Exposure {
  public:
    Exposure(const Scene& scene, io::OutputFile& colour_file, io::OutputFile& pan_file)
        : scene_(scene), colour_file_(colour_file), pan_file_(pan_file) {}

    void write() {
        const std::byte colour_header[kColourHeaderBytes] = {
            std::byte{'C'}, std::byte{'I'}, std::byte{'R'}, std::byte{'C'}, std::byte{1}};
        const std::byte pan_header[kPanHeaderBytes] = {
            std::byte{'P'}, std::byte{'A'}, std::byte{'N'}, std::byte{'T'}, std::byte{1}};
        colour_file_.write(colour_header);
        pan_file_.write(pan_header);
        std::vector<Scene::Workspace> workers(
            std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
        std::thread writer([this] { write_in_order(); });
        std::vector<std::thread> pool;
        for (std::size_t t = 1; t < workers.size(); ++t)
            pool.emplace_back([this, &workers, t] { render(workers[t]); });
        render(workers[0]);
        for (std::thread& th : pool)
            th.join();
        writer.join();
        if (failure_) std::rethrow_exception(failure_);
    }

  private:
    static constexpr int kRing = 3;  // rows of tiles, and colour slabs, in memory
    // A colour slab: the colour rows of 20 blocks.
    static constexpr int kSlab = 20;
    static constexpr std::size_t kBlockColour =
        std::size_t(sample::kBlockColourRows) * std::size_t(kColourGeometry.width) * kBands;
    static constexpr int kTileRows = kPanGeometry.tile_rows;
    static constexpr int kSlabs =
        (kColourGeometry.height / sample::kBlockColourRows + kSlab - 1) / kSlab;
    static constexpr int kTile = kPanGeometry.tile;

    void render(Scene::Workspace& work) {
        const PanGeometry& g = kPanGeometry;
        for (int b = next_++; b < Scene::blocks(); b = next_++) {
            const int rows = Scene::pan_rows(b);
            const int y0 = b * sample::kBlockPanRows;
            const int first_tile_row = y0 / kTile, last_tile_row = (y0 + rows - 1) / kTile;
            const bool with_colour = b < Scene::colour_blocks();
            const int slab = b / kSlab;
            {
                std::unique_lock lock(mutex_);
                written_.wait(lock, [&] {
                    return failed_ || (pan_written_ > last_tile_row - kRing &&
                                       (!with_colour || colour_written_ > slab - kRing));
                });
                if (failed_) return;
            }
            Scene::PanRows pan{{}, g.tile_area()};
            for (int r = 0; r < rows; ++r) {
                const std::size_t y = std::size_t(y0 + r);
                pan.rows[r] =
                    ring_[y / std::size_t(kTile) % kRing] + y % std::size_t(kTile) * kTile;
            }
            std::span<std::uint16_t> colour;
            if (with_colour)
                colour = std::span(
                    slabs_[std::size_t(slab % kRing)] + std::size_t(b % kSlab) * kBlockColour,
                    kBlockColour);
            scene_.render_block(b, pan, colour, work);
            {
                std::lock_guard lock(mutex_);
                for (int t = first_tile_row; t <= last_tile_row; ++t)
                    pan_rows_done_[t] +=
                        std::min(y0 + rows, (t + 1) * kTile) - std::max(y0, t * kTile);
                if (with_colour) ++colour_blocks_done_[slab];
            }
            rendered_.notify_one();
        }
    }

    void write_in_order() {
        try {
            const int colour_blocks = Scene::colour_blocks();
            while (true) {
                bool pan = false;
                int slab_blocks = 0;
                {
                    std::unique_lock lock(mutex_);
                    const auto slab_size = [&] {
                        return std::min(kSlab, colour_blocks - colour_written_ * kSlab);
                    };
                    if (pan_written_ == kTileRows && colour_written_ == kSlabs) return;
                    rendered_.wait(lock, [&] {
                        return (pan_written_ < kTileRows &&
                                pan_rows_done_[pan_written_] == kTile) ||
                               (colour_written_ < kSlabs &&
                                colour_blocks_done_[colour_written_] == slab_size());
                    });
                    pan = pan_written_ < kTileRows && pan_rows_done_[pan_written_] == kTile;
                    if (!pan) slab_blocks = slab_size();
                }
                if (pan)
                    pan_file_.write(
                        std::as_bytes(std::span(ring_[std::size_t(pan_written_ % kRing)],
                                                kPanGeometry.tile_row_samples())),
                        io::Lead::kSlack);
                else
                    colour_file_.write(
                        std::as_bytes(std::span(slabs_[std::size_t(colour_written_ % kRing)],
                                                std::size_t(slab_blocks) * kBlockColour)),
                        io::Lead::kSlack);
                {
                    std::lock_guard lock(mutex_);
                    ++(pan ? pan_written_ : colour_written_);
                }
                written_.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard lock(mutex_);
                failure_ = std::current_exception();
                failed_ = true;
            }
            written_.notify_all();
        }
    }

    const Scene& scene_;
    io::OutputFile& colour_file_;
    io::OutputFile& pan_file_;
    // Every sample is rendered before it is written: no need to clear them.
    const DirectBuffers ring_{kRing, kPanGeometry.tile_row_samples() * sizeof(std::uint16_t)};
    const DirectBuffers slabs_{kRing, kSlab* kBlockColour * sizeof(std::uint16_t)};
    std::atomic<int> next_{0};
    std::mutex mutex_;
    std::condition_variable rendered_, written_;
    int pan_rows_done_[kTileRows] = {};
    int colour_blocks_done_[kSlabs] = {};
    int pan_written_ = 0, colour_written_ = 0;  // rows of tiles, slabs
    bool failed_ = false;
    std::exception_ptr failure_;
};

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
        Exposure(scene, colour, pan).write();
        // The files that these replace are given back as they are closed,
        // which takes time in proportion to their size: both at once.
        io::Descriptor replaced_colour = colour.commit(false);
        io::Descriptor replaced_pan = pan.commit(false);
        std::thread closing([&] { replaced_colour.close(); });
        replaced_pan.close();
        closing.join();
    } catch (const std::exception& e) {
        std::cerr << "cirsharp-sample: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
