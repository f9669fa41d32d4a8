// Running the separate quicklook tool after a conversion, so that the
// converter itself needs nothing beyond the standard library.
#pragma once

#include <string>
#include <vector>

namespace cirsharp {

namespace io {
class SignalGuard;
}

inline constexpr const char* kQuicklookTool = "cirsharp-quicklook";

// The quicklook tool beside the running program, else the first on PATH;
// empty when there is none.
std::string find_quicklook_tool();

// Runs `tool` on the products (positions 3 to 7, in order) that are regular
// files, writing their PNGs into `dir`. The tool's messages reach standard
// error; its standard output is dropped. A signal that ends the run is passed
// on to the tool through `guard`, which waits for it. Throws
// std::runtime_error when it cannot be started or does not succeed.
void run_quicklook_tool(const std::string& tool, const std::string& dir,
                        const std::vector<std::string>& products, io::SignalGuard& guard);

}  // namespace cirsharp
