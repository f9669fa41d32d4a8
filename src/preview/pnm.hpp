// A finished preview as a binary PGM (grey) or PPM (RGB) image of bytes: the
// form in which the converter hands its previews to the quicklook tool.
#pragma once

#include <cstdio>
#include <string>

#include "preview/preview.hpp"

namespace cirsharp {

// The header that goes before the preview's pixels.
std::string pnm_header(const Preview& preview);

// Reads one image from `in`; `what` names the stream in messages. Throws
// std::runtime_error when there is none, or it is not an 8-bit PGM or PPM,
// or it ends early.
Preview read_pnm(std::FILE* in, const std::string& what);

}  // namespace cirsharp
