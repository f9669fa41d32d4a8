// cirsharp-flight submit on a real single-node Slurm (scripts/slurm-cluster),
// run with the README's own commands: a flight of more exposures than the
// cluster's MaxArraySize, and a job cancelled mid-run whose unfinished tasks
// are found from their logs and resubmitted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support.hpp"

namespace cirsharp {
namespace {

namespace fs = std::filesystem;
using test::run_process;
using test::TempDir;

const std::string kSource = CIRSHARP_SOURCE_DIR;
const std::string kClusterScript = kSource + "/scripts/slurm-cluster";

const auto& quoted = test::shell_quoted;

// The README's shell lines that start with `prefix`, in order.
std::vector<std::string> readme_lines(const std::string& prefix) {
    std::ifstream in(kSource + "/README.md");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(prefix)) lines.push_back(line);
    return lines;
}

std::string file_text(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool has_line(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

std::string missing_tools() {
    std::string missing;
    for (const char* tool : {"slurmctld", "slurmd", "sbatch", "munged", "unshare", "nsenter", "ip"})
        if (run_process("/bin/sh", {"-c", std::string("command -v ") + tool}).status != 0)
            missing += std::string(missing.empty() ? "" : ", ") + tool;
    return missing;
}

// A cluster of its own for the test; stopped by the destructor, and by the
// script's watcher should this process die first.
class Cluster {
  public:
    explicit Cluster(const fs::path& dir) : dir_(dir) {
        const auto r = run_process(kClusterScript, {"start", dir, "--max-array-size", "3",
                                                    "--owner", std::to_string(::getpid())});
        status_ = r.status;
        error_ = r.err;
    }
    ~Cluster() { run_process(kClusterScript, {"stop", dir_}); }
    Cluster(const Cluster&) = delete;
    Cluster& operator=(const Cluster&) = delete;

    bool started() const { return status_ == 0; }
    const std::string& error() const { return error_; }

    // Runs `command` with bash in `folder`, with the test's converter first on PATH.
    test::ProcessResult sh(const fs::path& folder, const std::string& command) const {
        const std::string bin = fs::path(CIRSHARP_BIN).parent_path();
        return run_process(kClusterScript,
                           {"run", dir_, "bash", "-c",
                            "cd " + quoted(folder) + " && export PATH=" + quoted(bin) +
                                ":\"$PATH\" CIRSHARP=" + quoted(CIRSHARP_BIN) + " && " + command});
    }

    // Waits until `job` has left the queue.
    bool wait_for(const std::string& job, int seconds) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < end) {
            const auto r = sh("/", "squeue -h -j " + job + " -o %i");
            if (r.status == 0 && r.out.empty()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        return false;
    }

  private:
    fs::path dir_;
    int status_ = -1;
    std::string error_;
};

// A folder holding the manifest, where the README's commands run as written.
fs::path flight_folder(const TempDir& dir, const std::string& name, const std::string& manifest) {
    const fs::path folder = dir.path() / name;
    fs::create_directories(folder);
    std::ofstream(folder / "flight.txt") << manifest;
    return folder;
}

// An exposure of the sample writing its products into `out`, or with `all`
// false only its CIR8 product (and its record), the others to /dev/null.
std::string exposure(const std::string& out, bool all = true) {
    std::string line = test::sample_colour() + " " + test::sample_pan();
    for (const auto& n : test::kProductNames) {
        line += ' ';
        line += all || n == "cir8.raw" ? out + "/" + n : "/dev/null";
    }
    return line;
}

TEST(Slurm, ReadmeCommandsConvertAFlightLongerThanTheArrayLimitAndResubmitACancelledJob) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the test cluster runs in a network namespace";
    if (const auto missing = missing_tools(); !missing.empty())
        GTEST_SKIP() << "missing " << missing
                     << ": install slurmctld, slurmd, slurm-client, munge and iproute2 "
                        "(scripts/test does)";
    const auto submit = readme_lines("job=$(cirsharp-flight submit ");
    ASSERT_EQ(submit.size(), 2u) << "the README's submission and resubmission lines";

    TempDir dir;
    Cluster cluster(dir.path() / "cluster");
    ASSERT_TRUE(cluster.started()) << cluster.error();

    // The products of a direct run, to compare with.
    const fs::path ref = dir.path() / "ref";
    fs::create_directories(ref);
    std::vector<std::string> args = {test::sample_colour(), test::sample_pan()};
    for (const auto& n : test::kProductNames)
        args.push_back(ref / n);
    ASSERT_EQ(run_process(CIRSHARP_BIN, args).status, 0);
    auto expect_products = [&](const fs::path& out, bool all) {
        for (const auto& n : test::kProductNames) {
            if (!all && !fs::exists(out / n)) continue;
            EXPECT_TRUE(test::same_content(out / n, ref / n)) << out / n;
        }
        EXPECT_TRUE(test::hidden_temporaries(out).empty()) << out;
    };

    // Seven exposures on a cluster that takes array indices up to 2: two tasks
    // of four and three. Comments, a blank line, output folders that do not
    // exist yet, no newline at the end; the five in the middle write only
    // their CIR8 products.
    std::string manifest = "# a flight of seven\n" + exposure("out/0001") + "\n\n";
    for (int i = 2; i <= 6; ++i)
        manifest += (i == 4 ? "   # the middle of the flight\n" : "") +
                    exposure("out/000" + std::to_string(i), false) + "\n";
    manifest += exposure("out/0007");
    const fs::path flight = flight_folder(dir, "flight", manifest);
    auto r = cluster.sh(flight, submit[0] + " && echo \"$job\"");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string job = r.out.substr(0, r.out.find('\n'));
    ASSERT_TRUE(cluster.wait_for(job, 180)) << "job " << job << " still queued";
    r = cluster.sh(flight, "scontrol -o show job " + job);
    EXPECT_EQ(r.status, 0) << r.err;
    int tasks = 0;
    for (std::size_t at = 0; (at = r.out.find("ArrayTaskId=", at)) != std::string::npos; ++at)
        ++tasks;
    EXPECT_EQ(tasks, 2) << r.out;
    for (std::size_t at = 0; (at = r.out.find("JobState=", at)) != std::string::npos; ++at)
        EXPECT_EQ(r.out.substr(at, 18), "JobState=COMPLETED") << r.out;
    for (int t = 1; t <= 2; ++t) {
        const std::string log =
            file_text(flight / ("cirsharp-" + job + "_" + std::to_string(t) + ".out"));
        EXPECT_TRUE(has_line(log, "cirsharp-flight: task " + std::to_string(t) + " done")) << log;
        std::size_t runs = 0;
        for (std::size_t at = 0;
             (at = log.find("Wrinting PANsharpened CIR\n", at)) != std::string::npos; ++at)
            ++runs;
        EXPECT_EQ(runs, t == 1 ? 4u : 3u) << log;
    }
    expect_products(flight / "out/0001", true);
    expect_products(flight / "out/0007", true);

    // A job cancelled while its first exposure runs (slowly, with the
    // per-sample reference), after it committed the PAN products: no partial
    // product, no temporary file. Its tasks' logs lack the done line, so the
    // README's resubmission finds both tasks and submits them again with the
    // same exposures per task.
    const fs::path slow = flight_folder(dir, "slow",
                                        exposure("out/0001") + "\n" + exposure("out/0002", false) +
                                            "\n" + exposure("out/0003", false) + "\n");
    const std::string slow_submit = submit[0].substr(0, submit[0].size() - 1) + " -- --reference)";
    r = cluster.sh(slow, slow_submit + " && echo \"$job\"");
    ASSERT_EQ(r.status, 0) << r.err;
    job = r.out.substr(0, r.out.find('\n'));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!fs::exists(slow / "out/0001/pan8.raw") && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(slow / "out/0001/pan8.raw")) << "the first exposure never got going";
    r = cluster.sh(slow, "scancel " + job);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(cluster.wait_for(job, 60));
    EXPECT_FALSE(fs::exists(slow / "out/0001/sharp.raw"));
    expect_products(slow / "out/0001", false);
    const std::string log = file_text(slow / ("cirsharp-" + job + "_1.out"));
    EXPECT_FALSE(has_line(log, "cirsharp-flight: task 1 done")) << log;

    r = cluster.sh(slow, "job=" + job + "\n" + submit[1] + " && echo \"$job\"");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string retry = r.out.substr(0, r.out.find('\n'));
    EXPECT_NE(r.err.find("tasks 1-2 of 2 exposures each"), std::string::npos) << r.err;
    ASSERT_TRUE(cluster.wait_for(retry, 180)) << "job " << retry << " still queued";
    for (const char* t : {"1", "2"})
        EXPECT_TRUE(has_line(file_text(slow / ("cirsharp-" + retry + "_" + t + ".out")),
                             std::string("cirsharp-flight: task ") + t + " done"))
            << t;
    expect_products(slow / "out/0001", true);

    // Every exposure of the flight converted: the report says so.
    r = cluster.sh(slow, "cirsharp-flight report flight.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("cirsharp-flight: 3 of 3 converted"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace cirsharp
