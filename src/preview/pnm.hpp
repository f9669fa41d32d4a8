// A finished preview as a binary PGM (grey) or PPM (RGB) image of bytes: the
// form in which the converter hands its previews to the quicklook tool.
#pragma once

#include <cstdio>
#include <string>

#include "preview/preview.hpp"

namespace cirsharp {

struct ImageSize {
    int width = 0;
    int height = 0;
    int channels = 0;  // 1 grey, 3 RGB
};

// The header that goes before the preview's pixels.
std::string pnm_header(const Preview& preview);

// Reads the header of the next image from `in`, whose pixels follow (row by
// row, width * channels bytes each); `what` names the stream in messages.
// Throws std::runtime_error when there is none, or it is not an 8-bit PGM
// or PPM.
ImageSize read_pnm_header(std::FILE* in, const std::string& what);

}  // namespace cirsharp
