// One conversion: the seven files, the work buffers and the stages in order.
#pragma once

#include <iosfwd>

#include "driver/command_line.hpp"

namespace cirsharp {

namespace io {
class TempFiles;
}

// Converts the exposure named by `cl`, the transcript on `out`. Throws on any
// failure (io::FileError, std::bad_alloc, ...), leaving no partial product.
void run_conversion(const CommandLine& cl, io::TempFiles& temps, std::ostream& out);

}  // namespace cirsharp
