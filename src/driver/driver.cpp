#include "driver/driver.hpp"

#include <new>
#include <ostream>
#include <stdexcept>

#include "driver/command_line.hpp"
#include "driver/path_checks.hpp"
#include "driver/quicklook_launch.hpp"
#include "driver/run.hpp"
#include "io/signals.hpp"
#include "io/temp_files.hpp"

#ifndef CIRSHARP_VERSION
#define CIRSHARP_VERSION "unknown"
#endif

namespace cirsharp {

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CommandLine cl;
    try {
        cl = parse_command_line(args);
    } catch (const std::invalid_argument& e) {
        err << "cirsharp: " << e.what() << "\n\n" << usage_text();
        return kExitUsage;
    }
    if (cl.help) {
        out << usage_text();
        return kExitSuccess;
    }
    if (cl.version) {
        out << "cirsharp " << CIRSHARP_VERSION << '\n';
        return kExitSuccess;
    }
    std::string quicklook_tool;
    if (cl.quicklook) {
        quicklook_tool = find_quicklook_tool();
        if (quicklook_tool.empty()) {
            err << "cirsharp: --quicklook needs " << kQuicklookTool
                << ", which is neither beside cirsharp nor on PATH\n";
            return kExitFailure;
        }
    }
    try {
        check_paths(cl.paths, cl.envi);
    } catch (const std::invalid_argument& e) {
        err << "cirsharp: " << e.what() << '\n';
        return kExitUsage;
    }

    io::TempFiles temps;
    io::SignalGuard guard(temps);
    try {
        run_conversion(cl, temps, out);
        if (cl.quicklook)
            run_quicklook_tool(quicklook_tool, *cl.quicklook,
                               {cl.paths.begin() + 2, cl.paths.end()}, guard);
        return kExitSuccess;
    } catch (const std::bad_alloc&) {
        err << "cirsharp: not enough memory for the work buffers\n";
    } catch (const std::exception& e) {
        err << "cirsharp: " << e.what() << '\n';
    }
    out.flush();
    return kExitFailure;
}

}  // namespace cirsharp
