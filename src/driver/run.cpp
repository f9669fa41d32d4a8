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
#include "fusion/fusion.hpp"
#include "io/buffer.hpp"
#include "io/envi.hpp"
#include "io/file.hpp"
#include "io/temp_files.hpp"
#include "io/write_queue.hpp"
#include "pan/pan_stage.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

void run_conversion(const CommandLine& cl, io::TempFiles& temps, std::ostream& out,
                    RunFacts& facts) {
    const auto& paths = cl.paths;
    StageOptions options;
    options.threads = cl.threads.value_or(available_cpus());
    options.reference = cl.reference;
    options.durable = cl.fsync;

    // The seven files, in position order; the first that cannot be opened
    // stops the run before any later one is created.
    // An input of exactly the other input's size was most likely given in
    // the other's place.
    auto open_input = [&](int i, std::uint64_t needed, std::uint64_t others) {
        try {
            io::InputFile f = io::InputFile::open(paths[i]);
            facts.input_sizes[std::size_t(i)] = f.size();
            if (f.size() == others)
                throw io::FileError(
                    paths[i], std::string(kPositionNames[i]) + " is " + std::to_string(others) +
                                  " bytes long, the size of a " + kPositionNames[1 - i] +
                                  ": are the inputs swapped?");
            f.require_size(needed, kPositionNames[i]);
            f.spool(needed);
            facts.input_sizes[std::size_t(i)] = f.size();  // a stream: the bytes taken in
            return f;
        } catch (const io::FileError& e) {
            if (e.error_number() != 0) out << paths[i] << "  Did not Open\n" << std::flush;
            throw;
        }
    };
    auto create_output = [&](int i) {
        try {
            io::OutputFile file = io::OutputFile::create(paths[i], temps);
            if (cl.envi) file.set_sidecar(".hdr", io::envi_header(layout_of(kProducts[i - 2])));
            return file;
        } catch (const io::FileError& e) {
            if (e.path() == paths[i]) out << paths[i] << "  Did not Open\n" << std::flush;
            throw;
        }
    };
    const ColourGeometry& cg = kColourGeometry;
    const PanGeometry& pg = kPanGeometry;
    io::InputFile colour = open_input(0, cg.file_bytes(), pg.file_bytes());
    io::InputFile tiles = open_input(1, pg.file_bytes(), cg.file_bytes());
    // No other run may be writing these products; a dead one's temporaries
    // go. Headers are claimed with or without --envi, as a dead run may have
    // left theirs.
    std::vector<std::string> claimed;
    for (int i = 2; i < 7; ++i) {
        claimed.push_back(paths[i]);
        claimed.push_back(paths[i] + ".hdr");
    }
    io::OutputClaim claim(claimed);
    io::OutputFile rgbir16 = create_output(2);
    io::OutputFile cir8 = create_output(3);
    io::OutputFile pan8 = create_output(4);
    io::OutputFile sharp = create_output(5);
    io::OutputFile pan16 = create_output(6);
    claim.release();

    // Work buffers, and one report line for each of eight of them. The
    // stages stream their inputs, so the PAN tile buffer holds two rows of
    // tiles, the band row buffers a band of lines each and the RGBIR buffer
    // two bands of pixels. The PAN byte mosaic holds just the kept image and
    // serves as the pan intensity plane; PAN16 is written straight from the
    // tile buffer, so no 16-bit mosaic is needed. Fresh memory is slow to
    // come by, so the less of it the better.
    auto rgbir = io::allocate<std::uint16_t>(2 * rgbir_band_samples(cg));
    std::array<io::Buffer<std::uint16_t>, kBands> band_rows;
    for (auto& row : band_rows)
        row = io::allocate<std::uint16_t>(band_row_samples(cg));
    auto cir = io::allocate<std::uint8_t>(cg.pixels() * 3);
    auto tile_buffer = io::allocate<std::uint16_t>(kPanTileBufferSamples);
    auto plane = io::allocate<std::uint8_t>(pg.kept_samples());

    const bool reported[] = {bool(tile_buffer),  bool(plane),        bool(rgbir),
                             bool(band_rows[0]), bool(band_rows[1]), bool(band_rows[2]),
                             bool(band_rows[3]), bool(cir)};
    bool all = true;
    for (const bool ok : reported) {
        out << (ok ? "Muistinvaraus onnistui\n" : "Muistinvaraus ei onnistunut\n") << std::flush;
        all = all && ok;
    }
    if (!all) throw std::bad_alloc();

    // Which products this run committed, noted once the queue has stopped.
    struct NoteCommits {
        RunFacts& facts;
        const std::array<const io::OutputFile*, kProducts.size()> products;
        ~NoteCommits() {
            for (std::size_t i = 0; i < products.size(); ++i)
                facts.committed[i] = products[i]->committed();
        }
    } note_commits{facts, {&rgbir16, &cir8, &pan8, &sharp, &pan16}};

    // Declared after every file and buffer that its jobs use: should a stage
    // fail, the queue still runs what finished stages queued (their commits)
    // before any of them goes away.
    io::WriteQueue queue(out, options.threads > 1);

    const std::span<std::uint8_t> plane_span(plane.get(), pg.kept_samples());
    untile_pan_image({tiles, pan16, pan8}, {tile_buffer.get(), kPanTileBufferSamples}, plane_span,
                     queue, options, facts.pan);
    tile_buffer.reset();  // the stage returns once no queued job reads it

    const ColourStageFiles colour_files{colour, rgbir16, cir8};
    std::array<std::span<std::uint16_t>, kBands> rows;
    for (int b = 0; b < kBands; ++b)
        rows[b] = {band_rows[b].get(), band_row_samples(cg)};
    BandLimits& limits = facts.limits;
    limits =
        read_colour_image(colour_files, rows, {rgbir.get(), 2 * rgbir_band_samples(cg)}, queue);
    rgbir.reset();  // likewise

    const std::span<std::uint8_t> cir_span(cir.get(), cg.pixels() * 3);
    make_cir_composite(limits, rows, cir_span, colour_files, queue, options);
    for (auto& row : band_rows)
        row.reset();

    sharpen_cir(cir_span, plane_span, sharp, queue, options);
    queue.finish();
    out.flush();
    if (!out) throw std::runtime_error("cannot write the progress lines to standard output");
}

}  // namespace cirsharp
