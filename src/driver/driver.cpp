#include "driver/driver.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "compute/split.hpp"
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

namespace {

// With N > 1 computing threads a run starts N + 1 more: N - 1 that compute,
// the writer and the closer. Where a process or memory limit allows fewer,
// it converts with fewer (1 needs none) and says so.
int threads_to_be_had(int wanted, std::ostream& err) {
    if (wanted <= 1) return wanted;
    const int extra = wanted + 1;
    const StartableThreads got = startable_threads(extra);
    if (got.count >= extra) return wanted;
    const int threads = got.count >= 3 ? got.count - 1 : 1;
    err << "cirsharp: only " << got.count << " of " << extra << " more threads could be started ("
        << std::strerror(got.error) << "); converting with " << threads
        << (threads == 1 ? " thread\n" : " threads\n");
    return threads;
}

}  // namespace

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
    std::optional<io::SignalGuard> guard;
    try {
        guard.emplace(temps);
    } catch (const std::exception& e) {
        err << "cirsharp: " << e.what() << '\n';  // before anything is created
        return kExitFailure;
    }
    cl.threads = threads_to_be_had(cl.threads.value_or(available_cpus()), err);
    try {
        run_conversion(cl, temps, out);
        if (cl.quicklook)
            run_quicklook_tool(quicklook_tool, *cl.quicklook,
                               {cl.paths.begin() + 2, cl.paths.end()}, *guard);
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
