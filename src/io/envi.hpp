// ENVI header text for a headerless raster, so that GDAL, QGIS and ENVI open
// the products as they are.
#pragma once

#include <string>

#include "raster/geometry.hpp"

namespace cirsharp::io {

// The header for `layout`: pixel-interleaved (bsq for one band, which is the
// same bytes), unsigned 8-bit (data type 1) or 16-bit (12), little-endian, no
// offset. False-colour composites name bands 1 to 3 as the default display.
std::string envi_header(const ProductLayout& layout);

}  // namespace cirsharp::io
