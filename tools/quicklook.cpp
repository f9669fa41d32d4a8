// cirsharp-quicklook: PNG previews of the converter's products, at most about
// 2000 pixels across. A tool of its own so that the converter needs nothing
// beyond the standard library; `cirsharp --quicklook DIR` runs it.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "io/signals.hpp"
#include "io/temp_files.hpp"
#include "png_writer.hpp"
#include "preview/pnm.hpp"
#include "preview/preview.hpp"
#include "raster/geometry.hpp"

namespace {

using namespace cirsharp;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

std::string usage_text() {
    std::string text =
        "usage: cirsharp-quicklook [--max-width N | --crop X,Y,W,H] --output DIR\n"
        "                          PRODUCT-OPTION...\n"
        "\n"
        "Writes PNG previews of cirsharp's raw products into DIR (created when\n"
        "missing), each named after its product and at most N pixels across\n"
        "(default 2000), by block means. PAN8 is grey, PAN16 grey stretched over its\n"
        "range, RGBIR16 true colour from red, green and blue, each stretched over\n"
        "its range, and the CIR products false colour (NIR, red, green as R, G, B).\n"
        "Each PNG is written to a temporary file and renamed into place. The paths\n"
        "written are printed, one a line.\n"
        "\n"
        "--crop X,Y,W,H shows instead, at full resolution, the W x H pixels whose\n"
        "top-left corner is column X, row Y of the PAN image (11500 x 7500): the\n"
        "same ground in every product, the colour products (RGBIR16, CIR8)\n"
        "upsampled to PAN resolution by the sharpened product's nearest-neighbour\n"
        "rule; 16-bit products are stretched over the crop.\n"
        "\n"
        "A product option's FILE may be - : its preview, already reduced, is read\n"
        "from standard input as a binary PGM (grey) or PPM (RGB) image of bytes,\n"
        "one after another in the order of the options, and must have the size\n"
        "that --max-width gives the product (cirsharp --quicklook and --thumbnail\n"
        "hand over the previews they make this way). Not with --crop.\n"
        "\n"
        "Product options (one or more):\n";
    for (const Product p : kProducts) {
        const ProductLayout& l = layout_of(p);
        text += "  --" + std::string(l.name) + " FILE" + std::string(18 - l.name.size(), ' ') +
                "-> DIR/" + std::string(l.name) + ".png\n";
    }
    text +=
        "\nExit status: 0 success; 1 a product that cannot be read or a PNG that\n"
        "cannot be written; 2 a usage error.\n";
    return text;
}

// A product option's FILE that stands for a preview on standard input.
const std::string kStandardInput = "-";

struct Crop {
    int x, y, width, height;  // in PAN pixels
};

struct Request {
    std::string output;
    int max_width = 2000;
    std::optional<Crop> crop;
    std::vector<std::pair<Product, std::string>> products;
    bool help = false;
};

Crop parse_crop(const std::string& value) {
    int v[4];
    const char* at = value.data();
    const char* end = value.data() + value.size();
    for (int i = 0; i < 4; ++i) {
        const auto [next, ec] = std::from_chars(at, end, v[i]);
        const bool separator_ok = i < 3 ? next != end && *next == ',' : next == end;
        if (ec != std::errc() || !separator_ok || v[i] < 0)
            throw std::invalid_argument("--crop takes X,Y,W,H, four whole numbers, not '" + value +
                                        "'");
        at = next + 1;
    }
    const Crop c{v[0], v[1], v[2], v[3]};
    const PanGeometry& g = kPanGeometry;
    if (c.width < 1 || c.height < 1 || c.x + c.width > g.width || c.y + c.height > g.height)
        throw std::invalid_argument("--crop " + value + " does not lie inside the " +
                                    std::to_string(g.width) + " x " + std::to_string(g.height) +
                                    " PAN image");
    return c;
}

Request parse(const std::vector<std::string>& args) {
    Request r;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            r.help = true;
            continue;
        }
        if (i + 1 == args.size()) throw std::invalid_argument("'" + a + "' needs a value");
        const std::string& value = args[++i];
        if (a == "--output" || a == "-o") {
            r.output = value;
        } else if (a == "--max-width") {
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), r.max_width);
            if (ec != std::errc() || end != value.data() + value.size() || r.max_width < 1)
                throw std::invalid_argument("--max-width takes a positive number, not '" + value +
                                            "'");
        } else if (a == "--crop") {
            r.crop = parse_crop(value);
        } else {
            std::optional<Product> which;
            for (const Product p : kProducts)
                if (a == "--" + std::string(layout_of(p).name)) which = p;
            if (!which) throw std::invalid_argument("unknown option '" + a + "'");
            r.products.emplace_back(*which, value);
        }
    }
    if (!r.help && r.output.empty()) throw std::invalid_argument("--output DIR is needed");
    if (!r.help && r.products.empty()) throw std::invalid_argument("no product given");
    if (r.crop)
        for (const auto& product : r.products)
            if (product.second == kStandardInput)
                throw std::invalid_argument(
                    "--crop reads products, not previews on standard input");
    return r;
}

io::InputFile open_product(const ProductLayout& layout, const std::string& path) {
    io::InputFile in = io::InputFile::open(path);
    // Every product has one size: a file of any other is some other file.
    if (in.size() && *in.size() != layout.file_bytes())
        throw io::FileError(path, "is " + std::to_string(*in.size()) + " bytes long, but a " +
                                      std::string(layout.name) + " product has " +
                                      std::to_string(layout.file_bytes()) + " bytes");
    return in;
}

// The crop at full PAN resolution: a product at colour resolution gives each
// PAN pixel the colour pixel that the sharpened product takes its hue from.
Preview make_crop(const ProductLayout& layout, const std::string& path, const Crop& crop) {
    io::InputFile in = open_product(layout, path);
    const bool colour = layout.width != kPanGeometry.width;
    const auto source = [colour](int i) { return colour ? composite_index(i) : i; };
    const std::size_t pixel_bytes =
        std::size_t(layout.bands()) * std::size_t(layout.bytes_per_sample);
    const RasterShape shape{crop.width, crop.height, layout.bands(), layout.bytes_per_sample};
    PreviewBuilder builder(shape, shown_bands(layout), 1);
    std::vector<std::byte> row(layout.row_bytes()), out(shape.row_bytes());
    int loaded = -1;
    for (int y = crop.y; y < crop.y + crop.height; ++y) {
        if (source(y) != loaded) {
            loaded = source(y);
            in.read_at(std::uint64_t(loaded) * layout.row_bytes(), row);
        }
        for (int x = 0; x < crop.width; ++x)
            std::copy_n(row.data() + std::size_t(source(crop.x + x)) * pixel_bytes, pixel_bytes,
                        out.data() + std::size_t(x) * pixel_bytes);
        builder.add(out);
    }
    return builder.finish();
}

// The piece of a product read at a time.
constexpr std::size_t kPieceBytes = std::size_t(8) << 20;

// Reads the product front to back in large pieces, through `piece`.
Preview make_preview(const ProductLayout& layout, const std::string& path, int max_width,
                     std::span<std::byte> piece) {
    io::InputFile in = open_product(layout, path);
    PreviewBuilder builder(layout, max_width);
    for (std::uint64_t at = 0; at < layout.file_bytes();) {
        const std::size_t n =
            std::size_t(std::min<std::uint64_t>(piece.size(), layout.file_bytes() - at));
        in.read_at(at, piece.first(n));
        builder.add(piece.first(n));
        at += n;
    }
    return builder.finish();
}

// The size of the next preview on standard input, which must be the one
// that `layout` has at `max_width`; its pixels follow.
ImageSize preview_size(const ProductLayout& layout, int max_width) {
    const std::string name(layout.name);
    const ImageSize got = read_pnm_header(stdin, "standard input (" + name + ")");
    const int factor = reduction_factor(layout.width, max_width);
    const ImageSize want{(layout.width + factor - 1) / factor,
                         (layout.height + factor - 1) / factor, int(shown_bands(layout).size())};
    const auto shown = [](const ImageSize& s) {
        return std::to_string(s.width) + " x " + std::to_string(s.height) +
               (s.channels == 1 ? " grey" : " RGB");
    };
    if (got.width != want.width || got.height != want.height || got.channels != want.channels)
        throw std::runtime_error("standard input: the " + name + " preview is " + shown(got) +
                                 ", not " + shown(want) + " as --max-width " +
                                 std::to_string(max_width) + " makes it");
    return got;
}

// The PNG writer's bytes into `file` through `buffer` (its capacity at a
// time).
PngWriter::Sink into(io::OutputFile& file, std::vector<std::byte>& buffer) {
    buffer.clear();
    return [&file, &buffer](std::span<const std::byte> bytes) {
        if (buffer.size() + bytes.size() > buffer.capacity()) {
            file.write(buffer);
            buffer.clear();
        }
        if (bytes.size() >= buffer.capacity())
            file.write(bytes);
        else
            buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    };
}

// The PNG of a finished preview.
void write_png(io::OutputFile& file, std::vector<std::byte>& buffer, const Preview& p) {
    PngWriter png(p.width, p.height, p.channels, into(file, buffer));
    png.rows(p.pixels.data(), p.height);
    png.end();
    file.write(buffer);
}

// The rows of a preview on standard input read at a time, about.
constexpr std::size_t kInputBytes = std::size_t(256) << 10;

// The PNG of the preview on standard input, a batch of rows at a time as it
// comes.
void write_png_of_input(io::OutputFile& file, std::vector<std::byte>& buffer, const ImageSize& size,
                        const std::string& name) {
    PngWriter png(size.width, size.height, size.channels, into(file, buffer));
    const std::size_t row_bytes = std::size_t(size.width) * std::size_t(size.channels);
    const int batch =
        int(std::clamp<std::size_t>(kInputBytes / row_bytes, 1, std::size_t(size.height)));
    // Left unset: every byte is read before it is used.
    const std::unique_ptr<std::uint8_t[]> rows(new std::uint8_t[std::size_t(batch) * row_bytes]);
    for (int y = 0; y < size.height; y += batch) {
        const int n = std::min(batch, size.height - y);
        const std::size_t bytes = std::size_t(n) * row_bytes;
        if (std::fread(rows.get(), 1, bytes, stdin) != bytes)
            throw std::runtime_error("standard input (" + name + "): the image ends early");
        png.rows(rows.get(), n);
    }
    png.end();
    file.write(buffer);
}

int run(const Request& r, io::TempFiles& temps) {
    std::error_code ec;
    std::filesystem::create_directories(r.output, ec);
    if (ec) throw io::FileError(r.output, "cannot create the folder", ec.value());
    // Left unset: every byte is read before it is used.
    const std::unique_ptr<std::byte[]> piece(new std::byte[kPieceBytes]);
    std::vector<std::byte> buffer;
    buffer.reserve(std::size_t(1) << 20);
    for (const auto& [product, path] : r.products) {
        const ProductLayout& layout = layout_of(product);
        const std::string target = r.output + "/" + std::string(layout.name) + ".png";
        if (path == kStandardInput) {
            const ImageSize size = preview_size(layout, r.max_width);
            io::OutputFile file = io::OutputFile::create(target, temps);
            write_png_of_input(file, buffer, size, std::string(layout.name));
            file.commit(false);
        } else {
            const Preview p =
                r.crop ? make_crop(layout, path, *r.crop)
                       : make_preview(layout, path, r.max_width, {piece.get(), kPieceBytes});
            io::OutputFile file = io::OutputFile::create(target, temps);
            write_png(file, buffer, p);
            file.commit(false);
        }
        std::cout << target << '\n';
    }
    std::cout.flush();
    if (!std::cout) throw std::runtime_error("cannot write to standard output");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!io::open_missing_standard_descriptors()) return kExitFailure;
    Request request;
    try {
        request = parse(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "cirsharp-quicklook: " << e.what() << "\n\n" << usage_text();
        return kExitUsage;
    }
    if (request.help) {
        std::cout << usage_text();
        return 0;
    }
    io::TempFiles temps;
    try {
        const io::SignalGuard guard(temps);
        return run(request, temps);
    } catch (const std::bad_alloc&) {
        std::cerr << "cirsharp-quicklook: not enough memory\n";
    } catch (const std::exception& e) {
        std::cerr << "cirsharp-quicklook: " << e.what() << '\n';
    }
    return kExitFailure;
}
