// Runs under the resource limits of batch systems and containers: file size,
// processes (an unprivileged user's process limit, a cgroup's pids.max),
// address space and stack. Each either converts as usual or fails with
// status 1 and one message, never dies by a signal, and never leaves a
// temporary file or a partial product.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "hostile.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::ChildSetup;
using test::TempDir;
namespace fs = std::filesystem;

constexpr std::uint8_t kOldFill = 0xa0;

void place_old_products(const std::vector<std::string>& paths) {
    for (int i = 2; i < 7; ++i)
        test::write_old_product(paths[i], std::uint8_t(kOldFill + i));
}

bool is_old(const std::string& path, int position) {
    return fs::file_size(path) == 1000 &&
           test::read_file(path) ==
               std::vector<std::uint8_t>(1000, std::uint8_t(kOldFill + position));
}

// What every run under a limit must leave: no temporary file, each product
// either old or complete, all of them complete after status 0, and one
// message (a note at most after status 0).
void expect_sound_end(const test::ProcessResult& r, const TempDir& dir,
                      const std::vector<std::string>& paths, const std::string& context) {
    EXPECT_TRUE(r.status == 0 || r.status == 1) << context << ": status " << r.status << "\n"
                                                << r.err;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 1) << context << ": " << r.err;
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{}) << context;
    for (int i = 2; i < 7; ++i) {
        const bool fresh = test::same_content(paths[i], test::sample_run().paths[i]);
        EXPECT_TRUE(fresh || (r.status != 0 && is_old(paths[i], i)))
            << context << ": " << paths[i] << " is neither old nor complete";
    }
    if (r.status == 0) {
        // The same lines, with this run's product paths.
        const std::string expected = test::moved_transcript(
            test::sample_run().transcript,
            fs::path(test::sample_run().paths[2]).parent_path().string(), dir.path().string());
        EXPECT_EQ(r.out, expected) << context;
    }
}

// A file-size limit (ulimit -f) makes the write that crosses it fail with
// EFBIG instead of killing the run by SIGXFSZ: PAN16 (172,500,000 bytes)
// crosses 100,000 KiB while nothing is committed yet; only the sharpened
// product (258,750,000 bytes) crosses 200,000 KiB, after the other four.
// The same with direct writes (the default) at one computing thread, where
// the failing write is made on the writer's own thread, and with buffered
// writes.
TEST(ResourceLimits, AFileSizeLimitFailsTheWriteThatCrossesIt) {
    struct Case {
        rlim_t kib;
        std::vector<std::string> options;
        int failing;  // position of the product that crosses the limit
    };
    const std::vector<std::string> direct = {"--threads", "1", "--io", "direct"};
    for (const Case& c : {Case{100000, {}, 6}, Case{100000, {"--envi"}, 6}, Case{200000, {}, 5},
                          Case{100000, direct, 6}, Case{200000, direct, 5},
                          Case{100000, {"--io", "buffered"}, 6}}) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        place_old_products(paths);
        ChildSetup setup;
        setup.limits = {{RLIMIT_FSIZE, c.kib * 1024}};
        const auto r = test::run_child(CIRSHARP_BIN, test::with_options(c.options, paths), setup);
        std::string context = "ulimit -f " + std::to_string(c.kib);
        for (const auto& o : c.options)
            context += " " + o;
        EXPECT_EQ(r.status, 1) << context << ": " << r.err;
        EXPECT_EQ(r.err, "cirsharp: cannot write " + paths[c.failing] + ": File too large\n")
            << context;
        EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{}) << context;
        for (int i = 2; i < 7; ++i) {
            const bool committed = c.failing == 5 && i != 5;
            if (committed) {
                EXPECT_TRUE(test::same_content(paths[i], test::sample_run().paths[i]))
                    << context << i;
            } else {
                EXPECT_TRUE(is_old(paths[i], i)) << context << ": " << paths[i];
            }
        }
    }
}

// Runs whose extra threads cannot all be started: with none at all (not
// even the one that handles signals) the run fails before creating anything
// and says what it could not start; with some, it converts with fewer
// threads and notes that on standard error. The products are the same.
void expect_thread_shortage(const std::vector<std::string>& options, const ChildSetup& setup,
                            bool signal_thread_possible, const std::string& context) {
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    place_old_products(paths);
    if (setup.as_nobody) test::share_with_nobody(dir);
    const auto r = test::run_child(CIRSHARP_BIN, test::with_options(options, paths), setup);
    expect_sound_end(r, dir, paths, context);
    if (!signal_thread_possible) {
        EXPECT_EQ(r.status, 1) << context;
        EXPECT_EQ(r.out, "") << context;
        EXPECT_EQ(r.err,
                  "cirsharp: cannot start the thread that handles signals: Resource temporarily "
                  "unavailable\n")
            << context;
        for (int i = 2; i < 7; ++i)
            EXPECT_TRUE(is_old(paths[i], i)) << context << ": " << paths[i];
        return;
    }
    EXPECT_EQ(r.status, 0) << context << ": " << r.err;
    // More than one computing thread needs extra threads besides.
    if (options.size() == 2 && options[1] == "1") {
        EXPECT_EQ(r.err, "") << context;
    } else {
        EXPECT_NE(r.err.find("thread"), std::string::npos) << context << ": " << r.err;
    }
}

// RLIMIT_NPROC counts threads too, but not for root: the runs are made as
// the user nobody.
TEST(ResourceLimits, FewProcessesForAnUnprivilegedUser) {
    if (!test::can_run_as_nobody()) GTEST_SKIP() << "needs root and a user nobody to become";
    // The converter and the sample inputs live in the build tree: a checkout
    // in a private folder keeps them from nobody, whose exec would fail.
    {
        TempDir probe;
        test::share_with_nobody(probe);
        std::string why_not;
        if (!test::nobody_can_reach(CIRSHARP_BIN, {test::sample_colour(), test::sample_pan()},
                                    {probe.path().string()}, why_not))
            GTEST_SKIP() << why_not;
    }
    for (const rlim_t n : {1, 2, 3}) {
        ChildSetup setup;
        setup.as_nobody = true;
        setup.limits = {{RLIMIT_NPROC, n}};
        for (const std::string threads : {"1", "3"})
            expect_thread_shortage({"--threads", threads}, setup, n > 1,
                                   "ulimit -u " + std::to_string(n) + " --threads " + threads);
    }
}

TEST(ResourceLimits, FewProcessIdsInACgroup) {
    for (const int n : {1, 2, 3, 5}) {
        std::string why_not;
        const auto group = test::PidsCgroup::make(n, why_not);
        if (!group) GTEST_SKIP() << "no pids cgroup to run in: " << why_not;
        ChildSetup setup;
        setup.cgroup_procs = group->procs();
        for (const std::string threads : {"1", "3"})
            expect_thread_shortage({"--threads", threads}, setup, n > 1,
                                   "pids.max " + std::to_string(n) + " --threads " + threads);
    }
}

// A run with direct I/O in a memory cgroup of 600 MB, as a batch task with
// --mem=600M gets, converts as usual, and no more than 500 MB were ever
// charged to it, the page cache of its products and inputs included.
TEST(ResourceLimits, AMemoryCgroupOf600MB) {
    std::string why_not;
    const auto group = test::MemoryCgroup::make(600'000'000, why_not);
    if (!group) GTEST_SKIP() << "no memory cgroup to run in: " << why_not;
    for (const std::string threads : {"1", "2"}) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        place_old_products(paths);
        ChildSetup setup;
        setup.cgroup_procs = group->procs();
        const auto r = test::run_child(
            CIRSHARP_BIN, test::with_options({"--io", "direct", "--threads", threads}, paths),
            setup);
        const std::string context = "memory.max 600M --io direct --threads " + threads;
        EXPECT_EQ(r.status, 0) << context << ": " << r.err;
        expect_sound_end(r, dir, paths, context);
    }
    EXPECT_LE(group->peak_bytes(), 500'000'000u);
}

// Too little address space for the buffers or for the threads' stacks:
// an orderly failure or a run with fewer threads, never an abort.
TEST(ResourceLimits, AddressSpaceLimits) {
    for (const rlim_t kib : {60000, 120000, 175000, 180000, 250000, 400000}) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        place_old_products(paths);
        ChildSetup setup;
        setup.limits = {{RLIMIT_AS, kib * 1024}};
        const auto r = test::run_child(CIRSHARP_BIN, paths, setup);
        expect_sound_end(r, dir, paths, "ulimit -v " + std::to_string(kib));
    }
}

// The stretch tables are far larger than a small stack.
TEST(ResourceLimits, ASmallStack) {
    for (const std::string threads : {"1", "2"}) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        ChildSetup setup;
        setup.limits = {{RLIMIT_STACK, 64 * 1024}};
        const auto r =
            test::run_child(CIRSHARP_BIN, test::with_options({"--threads", threads}, paths), setup);
        EXPECT_EQ(r.status, 0) << "ulimit -s 64 --threads " << threads << ": " << r.err;
        for (int i = 2; i < 7; ++i)
            EXPECT_TRUE(test::same_content(paths[i], test::sample_run().paths[i])) << paths[i];
        EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace cirsharp
