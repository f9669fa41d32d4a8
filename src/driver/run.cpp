#include "driver/run.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "colour/colour_stage.hpp"
#include "compute/split.hpp"
#include "driver/previews.hpp"
#include "driver/transcript.hpp"
#include "fusion/fusion_stage.hpp"
#include "io/buffer.hpp"
#include "io/envi.hpp"
#include "io/file.hpp"
#include "io/product_writer.hpp"
#include "io/temp_files.hpp"
#include "io/write_queue.hpp"
#include "pan/pan_stage.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace {

constexpr const ColourGeometry& cg = kColourGeometry;
constexpr const PanGeometry& pg = kPanGeometry;
constexpr std::uint64_t kInputBytes[2] = {cg.file_bytes(), pg.file_bytes()};

// Input `i` (0 or 1), checked for its size. An input of exactly the other
// input's size was most likely given in the other's place.
io::InputFile open_input(const std::string& path, int i, bool drop_pages, Transcript& transcript,
                         RunFindings& findings) {
    const std::uint64_t needed = kInputBytes[i];
    const std::uint64_t others = kInputBytes[1 - i];
    try {
        io::InputFile f = io::InputFile::open(path);
        findings.input_sizes[std::size_t(i)] = f.size();
        if (f.size() == others)
            throw io::FileError(path, std::string(kPositionNames[i]) + " is " +
                                          std::to_string(others) + " bytes long, the size of a " +
                                          kPositionNames[1 - i] + ": are the inputs swapped?");
        f.require_size(needed, kPositionNames[i]);
        f.spool(needed);
        if (drop_pages) f.drop_pages_when_closed();
        findings.input_sizes[std::size_t(i)] = f.size();  // a stream: the bytes taken in
        return f;
    } catch (const io::FileError& e) {
        if (e.error_number() != 0) transcript.did_not_open(path);
        throw;
    }
}

// The five products' temporary files, in position order; the first that
// cannot be created stops the run before any later one is.
std::vector<io::OutputFile> create_products(const RunPlan& plan, io::TempFiles& temps,
                                            Transcript& transcript) {
    // No other run may be writing these products; a dead one's temporaries
    // go. Headers are claimed with or without --envi, as a dead run may have
    // left theirs.
    std::vector<std::string> claimed;
    for (int i = 2; i < kPositions; ++i) {
        claimed.push_back(plan.paths[i]);
        claimed.push_back(plan.paths[i] + ".hdr");
    }
    io::OutputClaim claim(claimed);
    std::vector<io::OutputFile> products;
    products.reserve(kProducts.size());
    for (int i = 2; i < kPositions; ++i) {
        try {
            products.push_back(io::OutputFile::create(
                plan.paths[i], temps,
                plan.direct_io ? io::IoMode::kDirect : io::IoMode::kBuffered));
            if (plan.envi)
                products.back().set_sidecar(".hdr", io::envi_header(layout_of(kProducts[i - 2])));
        } catch (const io::FileError& e) {
            if (e.path() == plan.paths[i]) transcript.did_not_open(plan.paths[i]);
            throw;
        }
    }
    claim.release();
    return products;
}

// The long-lived work buffers. The stages stream their inputs, so the PAN
// tile buffer holds two rows of tiles, the band row buffers a band of lines
// each and the RGBIR buffer two bands of pixels. The PAN byte mosaic holds
// just the kept image and serves as the pan intensity plane; PAN16 is
// written straight from the tile buffer, so no 16-bit mosaic is needed.
// Fresh memory is slow to come by, so the less of it the better.
// (Allocated in the order of the members, reported in another.)
struct WorkBuffers {
    io::Buffer<std::byte> rgbir = io::allocate<std::byte>(
        io::ProductWriter::buffers_memory(2, rgbir_band_samples(cg) * sizeof(std::uint16_t)));
    std::array<io::Buffer<std::uint16_t>, kBands> band_rows{
        io::allocate<std::uint16_t>(band_row_samples(cg)),
        io::allocate<std::uint16_t>(band_row_samples(cg)),
        io::allocate<std::uint16_t>(band_row_samples(cg)),
        io::allocate<std::uint16_t>(band_row_samples(cg))};
    io::Buffer<std::uint8_t> cir = io::allocate<std::uint8_t>(cg.pixels() * 3);
    io::Buffer<std::byte> tiles =
        io::allocate<std::byte>(io::ProductWriter::buffers_memory(2, kPanTileRowBytes));
    io::Buffer<std::uint8_t> plane = io::allocate<std::uint8_t>(pg.kept_samples());

    // One report line for each buffer; throws std::bad_alloc if one is missing.
    void report(Transcript& transcript) const {
        const std::array<bool, 8> had = {bool(tiles),        bool(plane),        bool(rgbir),
                                         bool(band_rows[0]), bool(band_rows[1]), bool(band_rows[2]),
                                         bool(band_rows[3]), bool(cir)};
        transcript.allocations(had);
        for (const bool ok : had)
            if (!ok) throw std::bad_alloc();
    }
    std::span<std::uint8_t> plane_span() const { return {plane.get(), pg.kept_samples()}; }
    std::span<std::uint8_t> cir_span() const { return {cir.get(), cg.pixels() * 3}; }
    BandRows band_row_spans() const {
        BandRows rows;
        for (int b = 0; b < kBands; ++b)
            rows[b] = {band_rows[b].get(), band_row_samples(cg)};
        return rows;
    }
};

// What the stages write to, in position order, through one write queue.
struct Writers {
    io::ProductWriter rgbir16, cir8, pan8, sharpened, pan16;
};

// The PAN stage's two passes, then the tile buffer goes.
void run_pan(io::InputFile& tiles, Writers& w, WorkBuffers& b, const StageOptions& options,
             Transcript& transcript, RunFindings& findings) {
    const PanStageFiles files{tiles, w.pan16, w.pan8};
    w.pan16.use_buffers({b.tiles.get(), io::ProductWriter::buffers_memory(2, kPanTileRowBytes)},
                        kPanTileRowBytes);
    const PanScan found = scan_pan_image(files, options.threads);
    findings.pan = found;
    transcript.pan_scanned(found, w.pan16.path());
    stretch_pan_image(files, found.limits, b.plane_span(), options,
                      [&] { transcript.pan8_begins(w.pan8.path()); });
    tiles.close();
    transcript.pan_done();
    // PAN16 was written whole in the first pass: it goes in place first, so
    // once PAN8 is in place, so is PAN16.
    w.pan16.finish();
    w.pan8.finish();
    w.pan16.drop_buffers();
    b.tiles.reset();
}

// The colour stage: RGBIR16, then the composite and CIR8; then the colour
// buffers go.
void run_colour(io::InputFile& colour, Writers& w, WorkBuffers& b, const StageOptions& options,
                Transcript& transcript, RunFindings& findings) {
    const BandRows rows = b.band_row_spans();
    const std::size_t half = rgbir_band_samples(cg);
    w.rgbir16.use_buffers(
        {b.rgbir.get(), io::ProductWriter::buffers_memory(2, half * sizeof(std::uint16_t))},
        half * sizeof(std::uint16_t));
    const BandLimits raw = read_colour_image(colour, rows, w.rgbir16);
    findings.band_limits = raw;
    transcript.rgbir_done();
    w.rgbir16.drop_buffers();
    b.rgbir.reset();

    const CirStretch stretch = make_cir_composite(colour, raw, rows, b.cir_span(), options);
    findings.stretch = stretch;
    transcript.stretch_limits(stretch_limits(raw, stretch));
    w.cir8.write_kept(std::as_bytes(b.cir_span()));
    transcript.cir_done();
    colour.close();
    w.rgbir16.finish();
    w.cir8.finish();
    for (auto& row : b.band_rows)
        row.reset();
}

// The stages in order, each product written as it is made.
void run_stages(const RunPlan& plan, io::InputFile& colour, io::InputFile& tiles,
                std::vector<io::OutputFile>& products, WorkBuffers& buffers, Transcript& transcript,
                RunFindings& findings, RunPreviews* previews) {
    StageOptions options;
    options.threads = plan.threads;
    options.reference = plan.reference;
    // Once the queue has stopped, the lines are printed at once again.
    struct Follow {
        Transcript& t;
        ~Follow() { t.follow(nullptr); }
    } follow{transcript};
    // A direct write waits for the disk: on a thread of its own it overlaps
    // the computing even of a single computing thread. A buffered write is
    // mostly a copy into the page cache, cheaper inline at one thread.
    io::WriteQueue queue(transcript.stream(), options.threads > 1 || plan.direct_io);
    transcript.follow(&queue);
    Writers w{{queue, products[0], plan.fsync},
              {queue, products[1], plan.fsync},
              {queue, products[2], plan.fsync},
              {queue, products[3], plan.fsync},
              {queue, products[4], plan.fsync}};
    if (previews) {
        io::ProductWriter* writers[] = {&w.rgbir16, &w.cir8, &w.pan8, &w.sharpened, &w.pan16};
        for (std::size_t i = 0; i < products.size(); ++i)
            previews->watch(i, products[i].is_regular(), *writers[i]);
    }

    run_pan(tiles, w, buffers, options, transcript, findings);
    run_colour(colour, w, buffers, options, transcript, findings);
    sharpen_cir(buffers.cir_span(), buffers.plane_span(), w.sharpened, options,
                [&] { transcript.sharpened_computed(); });
    w.sharpened.finish();
    queue.finish();
}

}  // namespace

void run_conversion(const RunPlan& plan, io::TempFiles& temps, Transcript& transcript,
                    RunFindings& findings, RunPreviews* previews) {
    io::InputFile colour = open_input(plan.paths[0], 0, plan.direct_io, transcript, findings);
    io::InputFile tiles = open_input(plan.paths[1], 1, plan.direct_io, transcript, findings);
    std::vector<io::OutputFile> products = create_products(plan, temps, transcript);
    WorkBuffers buffers;
    buffers.report(transcript);

    // Which products were committed, once the queue has stopped: a failing
    // stage leaves what finished stages queued to be committed.
    const auto note_commits = [&] {
        for (std::size_t i = 0; i < products.size(); ++i)
            findings.committed[i] = products[i].committed();
    };
    try {
        run_stages(plan, colour, tiles, products, buffers, transcript, findings, previews);
    } catch (...) {
        note_commits();
        throw;
    }
    note_commits();
    std::ostream& out = transcript.stream();
    out.flush();
    if (!out) throw std::runtime_error("cannot write the progress lines to standard output");
}

}  // namespace cirsharp
