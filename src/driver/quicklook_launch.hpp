// Running the separate quicklook tool on the previews a run made, so that
// the converter itself needs nothing beyond the standard library.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "preview/preview.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace io {
class SignalGuard;
}

inline constexpr const char* kQuicklookTool = "cirsharp-quicklook";
// The environment variable that names the quicklook tool, as it does for
// cirsharp-flight.
inline constexpr const char* kQuicklookVariable = "CIRSHARP_QUICKLOOK";

// The quicklook tool: the one CIRSHARP_QUICKLOOK names when it is set and not
// empty, else the one beside the running program, else the first on PATH.
// Throws std::runtime_error, with `option` (say "--quicklook") in the
// message, when there is none.
std::string find_quicklook_tool(const std::string& option);

// Runs `tool` to write each of `previews` as the PNG of its product into
// `dir`, handing the previews (made for `max_width`) over on its standard
// input. The tool's messages reach standard error; its standard output is
// dropped. A signal that ends the run is passed on to the tool through
// `guard`, which waits for it. Throws std::runtime_error, starting with
// `failed` ("the quicklooks were not made"), when it cannot be started or
// does not succeed.
void run_quicklook_tool(const std::string& tool, const std::string& dir, int max_width,
                        const std::vector<std::pair<Product, Preview>>& previews,
                        const std::string& failed, io::SignalGuard& guard);

}  // namespace cirsharp
