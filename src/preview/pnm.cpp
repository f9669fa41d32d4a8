#include "preview/pnm.hpp"

#include <cctype>
#include <stdexcept>

namespace cirsharp {

namespace {

// Whitespace and comments, then a decimal number of at most 5 digits.
int header_number(std::FILE* in, const std::string& what) {
    int c = std::fgetc(in);
    while (c == '#' || std::isspace(c)) {
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = std::fgetc(in);
        c = std::fgetc(in);
    }
    int value = 0, digits = 0;
    for (; std::isdigit(c) && digits < 6; c = std::fgetc(in), ++digits)
        value = value * 10 + (c - '0');
    if (digits == 0 || digits > 5 || !std::isspace(c))
        throw std::runtime_error(what + ": not a PGM or PPM image of bytes");
    return value;
}

}  // namespace

std::string pnm_header(const Preview& preview) {
    return std::string(preview.channels == 1 ? "P5\n" : "P6\n") + std::to_string(preview.width) +
           " " + std::to_string(preview.height) + "\n255\n";
}

ImageSize read_pnm_header(std::FILE* in, const std::string& what) {
    const int p = std::fgetc(in);
    if (p == EOF) throw std::runtime_error(what + ": no image where one was expected");
    const int kind = std::fgetc(in);
    if (p != 'P' || (kind != '5' && kind != '6'))
        throw std::runtime_error(what + ": not a PGM or PPM image of bytes");
    ImageSize size;
    size.channels = kind == '5' ? 1 : 3;
    size.width = header_number(in, what);
    size.height = header_number(in, what);
    if (header_number(in, what) != 255 || size.width < 1 || size.height < 1)
        throw std::runtime_error(what + ": not a PGM or PPM image of bytes");
    return size;
}

}  // namespace cirsharp
