#include "driver/command_line.hpp"

#include <charconv>
#include <stdexcept>

#include "driver/failure.hpp"

namespace cirsharp {

namespace {

int parse_threads(const std::string& text) {
    int n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < 1 || n > 1024)
        throw UsageError("--threads takes a whole number from 1 to 1024, not '" + text + "'");
    return n;
}

int parse_thumbnail(const std::string& text) {
    int n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < 1)
        throw UsageError("--thumbnail takes a width in pixels, a positive whole number, not '" +
                         text + "'");
    return n;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine cl;
    RunPlan& plan = cl.plan;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a.empty() || a[0] != '-' || a == "-") {
            plan.paths.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
        } else if (a == "-h" || a == "--help") {
            cl.help = true;
        } else if (a == "--version") {
            cl.version = true;
        } else if (a == "--fsync") {
            plan.fsync = true;
        } else if (a == "--io" || a.starts_with("--io=")) {
            if (a == "--io" && ++i == args.size())
                throw UsageError("--io needs direct or buffered");
            const std::string mode = a == "--io" ? args[i] : a.substr(5);
            if (mode != "direct" && mode != "buffered")
                throw UsageError("--io takes direct or buffered, not '" + mode + "'");
            plan.direct_io = mode == "direct";
        } else if (a == "--reference") {
            plan.reference = true;
        } else if (a == "--envi") {
            plan.envi = true;
        } else if (a == "--quicklook" || a.starts_with("--quicklook=")) {
            if (a == "--quicklook" && ++i == args.size())
                throw UsageError("--quicklook needs a folder");
            plan.quicklook = a == "--quicklook" ? args[i] : a.substr(12);
            if (plan.quicklook->empty()) throw UsageError("--quicklook needs a folder");
        } else if (a == "--thumbnail" || a.starts_with("--thumbnail=")) {
            if (a == "--thumbnail" && ++i == args.size())
                throw UsageError("--thumbnail needs a width");
            plan.thumbnail = parse_thumbnail(a == "--thumbnail" ? args[i] : a.substr(12));
        } else if (a == "--record" || a.starts_with("--record=")) {
            if (a == "--record" && ++i == args.size()) throw UsageError("--record needs a file");
            plan.record = a == "--record" ? args[i] : a.substr(9);
            if (plan.record->empty()) throw UsageError("--record needs a file");
        } else if (a == "--threads" || a.starts_with("--threads=")) {
            if (a == "--threads") {
                if (++i == args.size()) throw UsageError("--threads needs a number");
                plan.threads = parse_threads(args[i]);
            } else {
                plan.threads = parse_threads(a.substr(10));
            }
        } else {
            throw UsageError("unknown option '" + a + "'");
        }
        if (!plan.paths.empty() && !options_done)
            throw UsageError("options go before the seven paths ('" + a + "')");
    }
    if (!cl.help && !cl.version && plan.paths.size() != kPositions)
        throw UsageError("expected 7 paths, got " + std::to_string(plan.paths.size()));
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
                products are written on a thread of their own meanwhile, but
                with 1 and --io buffered everything is done on one thread
  --fsync       flush each product and its folder to disk before committing it
  --io MODE     direct (default): products written around the page cache
                (O_DIRECT; buffered where the file system refuses it) and the
                inputs' pages dropped once read, so a run in a memory cgroup
                is charged about 170 to 320 MB; buffered: through the page
                cache, as ordinary programs do (800 to 1000 MB)
  --reference   per-sample arithmetic instead of lookup tables (slow; same bytes)
  --envi        also write an ENVI header beside each product, at PRODUCT.hdr, so
                GDAL and QGIS open it (committed with it; none for a device)
  --quicklook DIR
                after the run, write PNG previews of the products into DIR
                (rgbir16.png, cir8.png, pan8.png, sharpened-cir8.png,
                pan16.png; at most 2000 pixels across) with cirsharp-quicklook,
                found as for --thumbnail; if it fails, status 1
  --thumbnail WIDTH
                after the run, write sharpened-cir8.png, at most WIDTH pixels
                across, into the folder of the SHARPENED path (none when that
                is a device or a pipe) with cirsharp-quicklook: the one that
                CIRSHARP_QUICKLOOK names, else the one beside cirsharp, else
                the first on PATH; if it fails, status 1. Like --quicklook, it
                is made from the bytes as they are written: no product is
                read again
  --record FILE after the run, on success and on failure alike, write a JSON
                record of it to FILE: options, times, status and message, the
                files, the PAN limits and counts, the stretch limits, flags
  -h, --help    this text
  --version     the version

Each product is written to a hidden temporary file beside it and renamed into
place when complete; a failed or interrupted run leaves no partial product.

An input shorter than its size above is refused, and so is a colour file of
exactly the PAN tile file's size (or the reverse), as the inputs are then
probably swapped. A usage error prints its reason and a pointer to --help.

Exit status: 0 success; 1 a failure during the run; 2 a usage error (arguments,
two inputs naming one file, an output naming an input); 128 + N killed by
signal N.
)";
}

}  // namespace cirsharp
