#include "driver/driver.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <new>
#include <ostream>
#include <span>
#include <stdexcept>

#include "colour/colour_stage.hpp"
#include "driver/quicklook_launch.hpp"
#include "fusion/fusion.hpp"
#include "io/buffer.hpp"
#include "io/envi.hpp"
#include "io/file.hpp"
#include "io/pipeline.hpp"
#include "io/products.hpp"
#include "io/signals.hpp"
#include "pan/pan_stage.hpp"

#ifndef CIRSHARP_VERSION
#define CIRSHARP_VERSION "unknown"
#endif

namespace cirsharp {

namespace {

constexpr int kPositions = 7;
constexpr const char* kPositionNames[kPositions] = {
    "colour file", "PAN tile file",      "RGBIR16 file", "CIR8 file",
    "PAN8 file",   "sharpened CIR file", "PAN16 file"};

int parse_threads(const std::string& text) {
    int n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < 1 || n > 1024)
        throw std::invalid_argument("--threads takes a whole number from 1 to 1024, not '" + text +
                                    "'");
    return n;
}

// What a path refers to, for telling whether two paths name one file: the
// device and inode of an existing file, or of the folder plus the name of a
// file still to be created. Special files (devices, pipes) are not compared.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> identity_of(const std::string& path) {
    const std::string target = io::resolve_links(path);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return std::nullopt;
        return FileIdentity{st.st_dev, st.st_ino, {}};
    }
    const auto slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (::stat(dir.c_str(), &st) != 0) return std::nullopt;  // creating it will fail and say so
    return FileIdentity{st.st_dev, st.st_ino, name};
}

// Refuses an output that names an input, or two outputs that name one file.
void check_distinct_files(const std::vector<std::string>& paths) {
    std::array<std::optional<FileIdentity>, kPositions> ids;
    for (int i = 0; i < kPositions; ++i)
        ids[i] = identity_of(paths[i]);
    for (int o = 2; o < kPositions; ++o) {
        if (!ids[o]) continue;
        for (int other = 0; other < o; ++other) {
            if (!ids[other] || !(*ids[o] == *ids[other])) continue;
            throw std::invalid_argument(std::string("the ") + kPositionNames[o] + " '" + paths[o] +
                                        "' is the same file as the " + kPositionNames[other] +
                                        " '" + paths[other] + "'");
        }
    }
}

// With --envi: refuses a product header (PRODUCT.hdr) that names one of the
// seven files or another header.
void check_distinct_headers(const std::vector<std::string>& paths) {
    std::vector<std::optional<FileIdentity>> ids;
    for (const auto& p : paths)
        ids.push_back(identity_of(p));
    for (int o = 2; o < kPositions; ++o) {
        if (!ids[o]) continue;  // a device gets no header
        const std::string header = paths[o] + ".hdr";
        const auto id = identity_of(header);
        if (id) ids.push_back(id);
        for (std::size_t other = 0; id && other + 1 < ids.size(); ++other) {
            if (!ids[other] || !(*id == *ids[other])) continue;
            const std::string what =
                other < kPositions
                    ? std::string("the ") + kPositionNames[other] + " '" + paths[other] + "'"
                    : std::string("another product's header");
            throw std::invalid_argument("the header '" + header + "' of the " + kPositionNames[o] +
                                        " is the same file as " + what);
        }
    }
}

int run(const CommandLine& cl, io::TempFiles& temps, std::ostream& out) {
    const auto& paths = cl.paths;
    StageOptions options;
    options.threads = cl.threads.value_or(io::available_cpus());
    options.reference = cl.reference;
    options.durable = cl.fsync;

    // The seven files, in position order; the first that cannot be opened
    // stops the run before any later one is created.
    auto open_input = [&](int i, std::uint64_t needed) {
        try {
            io::InputFile f = io::InputFile::open(paths[i]);
            f.require_size(needed);
            f.spool(needed);
            return f;
        } catch (const io::FileError& e) {
            if (e.error_number() != 0) out << paths[i] << "  Did not Open\n";
            throw;
        }
    };
    auto create_output = [&](int i) {
        try {
            io::OutputFile file = io::OutputFile::create(paths[i], temps);
            if (cl.envi) file.set_sidecar(".hdr", io::envi_header(layout_of(kProducts[i - 2])));
            return file;
        } catch (const io::FileError& e) {
            if (e.path() == paths[i]) out << paths[i] << "  Did not Open\n";
            throw;
        }
    };
    const ColourGeometry& cg = kColourGeometry;
    const PanGeometry& pg = kPanGeometry;
    io::InputFile colour = open_input(0, kColourHeaderBytes + cg.row_bytes() * cg.height);
    io::InputFile tiles =
        open_input(1, kPanHeaderBytes + pg.tile_samples() * sizeof(std::uint16_t));
    io::OutputFile rgbir16 = create_output(2);
    io::OutputFile cir8 = create_output(3);
    io::OutputFile pan8 = create_output(4);
    io::OutputFile sharp = create_output(5);
    io::OutputFile pan16 = create_output(6);

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
    auto tile_buffer = io::allocate<std::uint16_t>(2 * tile_row_samples(pg));
    auto plane = io::allocate<std::uint8_t>(pg.kept_samples());

    const bool reported[] = {bool(tile_buffer),  bool(plane),        bool(rgbir),
                             bool(band_rows[0]), bool(band_rows[1]), bool(band_rows[2]),
                             bool(band_rows[3]), bool(cir)};
    bool all = true;
    for (const bool ok : reported) {
        out << (ok ? "Muistinvaraus onnistui\n" : "Muistinvaraus ei onnistunut\n");
        all = all && ok;
    }
    if (!all) throw std::bad_alloc();

    // Declared after every file and buffer that its jobs use, so it is
    // stopped before any of them goes away.
    io::Pipeline pipeline(out, options.threads > 1);
    try {
        const std::span<std::uint8_t> plane_span(plane.get(), pg.kept_samples());
        untile_pan_image({tiles, pan16, pan8}, {tile_buffer.get(), 2 * tile_row_samples(pg)},
                         plane_span, pipeline, options);
        tile_buffer.reset();  // the stage returns once no queued job reads it

        const ColourStageFiles colour_files{colour, rgbir16, cir8};
        std::array<std::span<std::uint16_t>, kBands> rows;
        for (int b = 0; b < kBands; ++b)
            rows[b] = {band_rows[b].get(), band_row_samples(cg)};
        BandLimits limits = read_colour_image(
            colour_files, rows, {rgbir.get(), 2 * rgbir_band_samples(cg)}, pipeline, options);
        rgbir.reset();  // likewise

        const std::span<std::uint8_t> cir_span(cir.get(), cg.pixels() * 3);
        make_cir_composite(limits, rows, cir_span, colour_files, pipeline, options);
        for (auto& row : band_rows)
            row.reset();

        sharpen_cir(cir_span, plane_span, sharp, pipeline, options);
    } catch (...) {
        // Stages that finished still commit what they queued.
        pipeline.drain_quietly();
        throw;
    }
    pipeline.drain();
    out.flush();
    if (!out) throw std::runtime_error("cannot write the progress lines to standard output");
    return kExitSuccess;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine cl;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a.empty() || a[0] != '-' || a == "-") {
            cl.paths.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
        } else if (a == "-h" || a == "--help") {
            cl.help = true;
        } else if (a == "--version") {
            cl.version = true;
        } else if (a == "--fsync") {
            cl.fsync = true;
        } else if (a == "--reference") {
            cl.reference = true;
        } else if (a == "--envi") {
            cl.envi = true;
        } else if (a == "--quicklook" || a.starts_with("--quicklook=")) {
            if (a == "--quicklook" && ++i == args.size())
                throw std::invalid_argument("--quicklook needs a folder");
            cl.quicklook = a == "--quicklook" ? args[i] : a.substr(12);
            if (cl.quicklook->empty()) throw std::invalid_argument("--quicklook needs a folder");
        } else if (a == "--threads" || a.starts_with("--threads=")) {
            if (a == "--threads") {
                if (++i == args.size()) throw std::invalid_argument("--threads needs a number");
                cl.threads = parse_threads(args[i]);
            } else {
                cl.threads = parse_threads(a.substr(10));
            }
        } else {
            throw std::invalid_argument("unknown option '" + a + "'");
        }
        if (!cl.paths.empty() && !options_done)
            throw std::invalid_argument("options go before the seven paths ('" + a + "')");
    }
    if (!cl.help && !cl.version && cl.paths.size() != kPositions)
        throw std::invalid_argument("expected 7 paths, got " + std::to_string(cl.paths.size()));
    return cl;
}

std::string usage_text() {
    return R"(usage: cirsharp [OPTION...] COLOUR PANTILES RGBIR16 CIR8 PAN8 SHARPENED PAN16

Converts one four-band aerial exposure into five raw products.

Inputs (an 8-byte header is skipped; longer files are fine, shorter are refused):
  1 COLOUR     3680 x 2400, red, green, blue, NIR lines per row, uint16 LE
               (at least 70,656,008 bytes)
  2 PANTILES   11500 x 7500 PAN in 23 x 15 tiles of 512 x 512, uint16 LE
               (at least 180,879,368 bytes)
Products (raw, no header):
  3 RGBIR16    3680 x 2400 x 4 uint16, pixel-interleaved   70,656,000 bytes
  4 CIR8       3680 x 2400 x 3 bytes: NIR, red, green        26,496,000 bytes
  5 PAN8       11500 x 7500 bytes                            86,250,000 bytes
  6 SHARPENED  11500 x 7500 x 3 bytes, HSV pan-sharpened CIR 258,750,000 bytes
  7 PAN16      11500 x 7500 uint16                          172,500,000 bytes

Options (before the paths; -- ends them):
  --threads N   computing threads (default: the CPUs this process may use);
                with 2 or more, products are written on a thread of their own
                meanwhile; 1 does everything on one thread
  --fsync       flush each product and its folder to disk before committing it
  --reference   per-sample arithmetic instead of lookup tables (slow; same bytes)
  --envi        also write an ENVI header beside each product, at PRODUCT.hdr, so
                GDAL and QGIS open it (committed with it; none for a device)
  --quicklook DIR
                after the run, write PNG previews of the products into DIR
                (rgbir16.png, cir8.png, pan8.png, sharpened-cir8.png,
                pan16.png; at most 2000 pixels across) with cirsharp-quicklook,
                found beside cirsharp or on PATH; if it fails, status 1
  -h, --help    this text
  --version     the version

Each product is written to a hidden temporary file beside it and renamed into
place when complete; a failed or interrupted run leaves no partial product.

Exit status: 0 success; 1 a failure during the run; 2 a usage error (arguments,
an output naming an input); 128 + N killed by signal N.
)";
}

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CommandLine cl;
    try {
        cl = parse_command_line(args);
    } catch (const std::invalid_argument& e) {
        err << "cirsharp: " << e.what() << "\n\n" << usage_text();
        return kExitUsage;
    }
    if (cl.help) {
        out << usage_text();
        return kExitSuccess;
    }
    if (cl.version) {
        out << "cirsharp " << CIRSHARP_VERSION << '\n';
        return kExitSuccess;
    }
    std::string quicklook_tool;
    if (cl.quicklook) {
        quicklook_tool = find_quicklook_tool();
        if (quicklook_tool.empty()) {
            err << "cirsharp: --quicklook needs " << kQuicklookTool
                << ", which is neither beside cirsharp nor on PATH\n";
            return kExitFailure;
        }
    }
    try {
        check_distinct_files(cl.paths);
        if (cl.envi) check_distinct_headers(cl.paths);
    } catch (const std::invalid_argument& e) {
        err << "cirsharp: " << e.what() << '\n';
        return kExitUsage;
    }

    io::TempFiles temps;
    io::SignalGuard guard(temps);
    try {
        run(cl, temps, out);
        if (cl.quicklook)
            run_quicklook_tool(quicklook_tool, *cl.quicklook,
                               {cl.paths.begin() + 2, cl.paths.end()});
        return kExitSuccess;
    } catch (const io::FileError& e) {
        err << "cirsharp: " << e.what() << '\n';
    } catch (const std::bad_alloc&) {
        err << "cirsharp: not enough memory for the work buffers\n";
    } catch (const std::exception& e) {
        err << "cirsharp: " << e.what() << '\n';
    }
    out.flush();
    return kExitFailure;
}

}  // namespace cirsharp
