#include "driver/driver.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>

#include "compute/split.hpp"
#include "driver/command_line.hpp"
#include "driver/path_checks.hpp"
#include "driver/quicklook_launch.hpp"
#include "driver/record.hpp"
#include "driver/run.hpp"
#include "driver/transcript.hpp"
#include "io/file.hpp"
#include "io/signals.hpp"
#include "io/temp_files.hpp"
#include "radiometry/radiometry.hpp"

#ifndef CIRSHARP_VERSION
#define CIRSHARP_VERSION "unknown"
#endif

namespace cirsharp {

namespace {

constexpr const char* kTryHelp = "Try 'cirsharp --help' for more information.\n";

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

double seconds_of(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// User plus system time of this process and of the children it waited for.
double cpu_seconds() {
    rusage self{}, children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return seconds_of(self.ru_utime) + seconds_of(self.ru_stime) + seconds_of(children.ru_utime) +
           seconds_of(children.ru_stime);
}

RunRecord record_of(const CommandLine& cl, const RunFindings& found) {
    RunRecord r;
    r.version = CIRSHARP_VERSION;
    r.options = {cl.threads.value_or(1), cl.fsync, cl.reference, cl.envi, cl.quicklook};
    const char* input_names[] = {"colour", "pan_tiles"};
    for (std::size_t i = 0; i < 2; ++i)
        r.inputs.push_back({int(i) + 1, input_names[i], cl.paths[i], found.input_sizes[i]});
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const ProductLayout& l = layout_of(kProducts[i]);
        std::string name(l.name);
        std::replace(name.begin(), name.end(), '-', '_');
        r.products.push_back({int(i) + 3, name, cl.paths[i + 2],
                              found.committed[i] ? std::optional(l.file_bytes()) : std::nullopt,
                              found.committed[i]});
    }
    if (found.pan) {
        const PanScan& p = *found.pan;
        const BandStretch pan =
            BandStretch::from_raw_limits(p.limits.maximum, p.limits.minimum, kPanExponent);
        r.pan = RecordPan{p.limits.maximum,
                          p.limits.minimum,
                          p.minimum_found,
                          pan.hi == pan.lo,
                          kPanGeometry.kept_samples(),
                          p.nodata,
                          p.saturated};
    }
    if (found.band_limits && found.stretch) {
        const BandLimits l = stretch_limits(*found.band_limits, *found.stretch);
        r.limits = {l.minimum[kRed], l.minimum[kGreen], l.minimum[kBlue], l.minimum[kNir],
                    l.maximum[kRed], l.maximum[kGreen], l.maximum[kBlue], l.maximum[kNir]};
    }
    return r;
}

// Everything after the command line: the status, and the message for
// standard error (without "cirsharp: ") in `message`.
int convert(const CommandLine& cl, io::TempFiles& temps, io::SignalGuard& guard,
            Transcript& transcript, RunFindings& found, std::string& message) {
    std::string quicklook_tool;
    if (cl.quicklook) {
        quicklook_tool = find_quicklook_tool();
        if (quicklook_tool.empty()) {
            message = "--quicklook needs " + std::string(kQuicklookTool) +
                      ", which is neither beside cirsharp nor on PATH";
            return kExitFailure;
        }
    }
    try {
        check_paths(cl.paths, cl.envi);
    } catch (const std::invalid_argument& e) {
        message = e.what();
        return kExitUsage;
    }
    try {
        run_conversion(cl, temps, transcript, found);
        if (cl.quicklook)
            run_quicklook_tool(quicklook_tool, *cl.quicklook,
                               {cl.paths.begin() + 2, cl.paths.end()}, guard);
        return kExitSuccess;
    } catch (const std::bad_alloc&) {
        message = "not enough memory for the work buffers";
    } catch (const std::exception& e) {
        message = e.what();
    }
    transcript.stream().flush();
    return kExitFailure;
}

}  // namespace

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto start = std::chrono::system_clock::now();
    const auto started = std::chrono::steady_clock::now();
    CommandLine cl;
    try {
        cl = parse_command_line(args);
    } catch (const std::invalid_argument& e) {
        err << "cirsharp: " << e.what() << '\n' << kTryHelp;
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
    if (cl.record) {
        try {
            check_record_path(cl.paths, cl.envi, *cl.record);
        } catch (const std::invalid_argument& e) {
            err << "cirsharp: " << e.what() << '\n' << kTryHelp;
            return kExitUsage;
        }
    }
    cl.threads = cl.threads.value_or(available_cpus());

    io::TempFiles temps;
    std::optional<io::SignalGuard> guard;
    try {
        guard.emplace(temps);
    } catch (const std::exception& e) {
        err << "cirsharp: " << e.what() << '\n';  // before anything is created
        return kExitFailure;
    }
    cl.threads = threads_to_be_had(*cl.threads, err);
    // The record's temporary file comes first: a record that cannot be
    // written stops the run before anything else is touched.
    std::optional<io::OutputFile> record_file;
    if (cl.record) {
        try {
            record_file.emplace(io::OutputFile::create(*cl.record, temps));
        } catch (const std::exception& e) {
            err << "cirsharp: " << e.what() << '\n';
            return kExitFailure;
        }
    }

    Transcript transcript(out);
    RunFindings found;
    std::string message;
    const int status = convert(cl, temps, *guard, transcript, found, message);
    if (!message.empty()) err << "cirsharp: " << message << '\n';
    if (status == kExitUsage) err << kTryHelp;
    if (!record_file) return status;

    RunRecord record = record_of(cl, found);
    record.start = start;
    record.status = status;
    if (!message.empty()) record.error = message;
    record.wall_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    record.cpu_seconds = cpu_seconds();
    try {
        const std::string text = record_json(record);
        record_file->write(std::as_bytes(std::span(text.data(), text.size())));
        record_file->commit(cl.fsync);
    } catch (const std::exception& e) {
        err << "cirsharp: " << e.what() << '\n';
        return status == kExitSuccess ? kExitFailure : status;
    }
    return status;
}

}  // namespace cirsharp
