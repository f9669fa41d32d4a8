#include "driver/driver.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>

#include "compute/split.hpp"
#include "driver/command_line.hpp"
#include "driver/path_checks.hpp"
#include "driver/previews.hpp"
#include "driver/quicklook_launch.hpp"
#include "driver/record.hpp"
#include "driver/run.hpp"
#include "driver/transcript.hpp"
#include "io/file.hpp"
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

// Says how `outcome` ended the program; its status.
int ended(const Outcome& outcome, std::ostream& err) {
    err << failure_text(outcome);
    return outcome.status;
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

// Everything after the command line and the record's file.
void convert(const RunPlan& plan, io::TempFiles& temps, io::SignalGuard& guard,
             Transcript& transcript, RunFindings& found) {
    RunPreviews previews(preview_orders(plan));
    std::string quicklook_tool;
    if (previews.wanted())
        quicklook_tool = find_quicklook_tool(plan.quicklook ? "--quicklook" : "--thumbnail");
    check_paths(plan.paths, plan.envi);
    run_conversion(plan, temps, transcript, found, &previews);
    previews.hand_over(quicklook_tool, guard);
}

// When the run began, by the clock and by the watch.
struct RunClock {
    std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
};

// Writes the run's record into `file`; the status the run ends with.
int write_record(io::OutputFile& file, const RunPlan& plan, const RunFindings& found,
                 const Outcome& outcome, const RunClock& clock, std::ostream& err) {
    RunRecord record = record_of(plan, found);
    record.start = clock.start;
    record.status = outcome.status;
    if (!outcome.message.empty()) record.error = outcome.message;
    record.wall_seconds = clock.seconds();
    record.cpu_seconds = cpu_seconds();
    const Outcome written = attempt([&] {
        const std::string text = record_json(record);
        file.write(std::as_bytes(std::span(text.data(), text.size())));
        file.commit(plan.fsync);
    });
    err << failure_text(written);
    return outcome.status == kExitSuccess ? written.status : outcome.status;
}

// The run of a plan whose arguments passed: status and messages as run_cli.
int run_plan(RunPlan plan, const RunClock& clock, std::ostream& out, std::ostream& err) {
    io::TempFiles temps;
    std::optional<io::SignalGuard> guard;
    // Before anything is created.
    if (const Outcome o = attempt([&] { guard.emplace(temps); }); o.status) return ended(o, err);
    plan.threads = threads_to_be_had(plan.threads, err);
    // The record's temporary file comes first: a record that cannot be
    // written stops the run before anything else is touched.
    std::optional<io::OutputFile> record_file;
    const Outcome made = attempt([&] {
        if (plan.record) record_file.emplace(io::OutputFile::create(*plan.record, temps));
    });
    if (made.status) return ended(made, err);

    Transcript transcript(out);
    RunFindings found;
    const Outcome outcome = attempt([&] { convert(plan, temps, *guard, transcript, found); });
    out.flush();
    err << failure_text(outcome);
    if (!record_file) return outcome.status;
    return write_record(*record_file, plan, found, outcome, clock, err);
}

}  // namespace

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const RunClock clock;
    CommandLine cl;
    if (const Outcome o = attempt([&] { cl = parse_command_line(args); }); o.status)
        return ended(o, err);
    if (cl.help) {
        out << usage_text();
        return kExitSuccess;
    }
    if (cl.version) {
        out << "cirsharp " << CIRSHARP_VERSION << '\n';
        return kExitSuccess;
    }
    RunPlan& plan = cl.plan;
    const Outcome named = attempt([&] {
        if (plan.record) check_record_path(plan.paths, plan.envi, *plan.record);
    });
    if (named.status) return ended(named, err);
    if (plan.threads == 0) plan.threads = available_cpus();
    return run_plan(std::move(plan), clock, out, err);
}

}  // namespace cirsharp
