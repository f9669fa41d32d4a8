#include "io/envi.hpp"

namespace cirsharp::io {

std::string envi_header(const ProductLayout& layout) {
    std::string text = "ENVI\n";
    text += "samples = " + std::to_string(layout.width) + "\n";
    text += "lines = " + std::to_string(layout.height) + "\n";
    text += "bands = " + std::to_string(layout.bands()) + "\n";
    text += "header offset = 0\n";
    text += "file type = ENVI Standard\n";
    text += std::string("data type = ") + (layout.bytes_per_sample == 1 ? "1" : "12") + "\n";
    text += std::string("interleave = ") + (layout.bands() > 1 ? "bip" : "bsq") + "\n";
    text += "byte order = 0\n";
    text += "band names = {";
    for (int b = 0; b < layout.bands(); ++b) {
        if (b > 0) text += ", ";
        text += layout.band_names[std::size_t(b)];
    }
    text += "}\n";
    if (layout.false_colour) text += "default bands = {1, 2, 3}\n";
    return text;
}

}  // namespace cirsharp::io
