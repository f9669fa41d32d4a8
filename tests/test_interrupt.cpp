// Runs ended by a signal at points spread over a whole run: every product is
// then either its old content or the complete new one. What a killed run
// leaves for the next (its log, its temporary files), and runs that overlap
// on the same products.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "support.hpp"

namespace cirsharp {
namespace {

using test::TempDir;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kOldSize = 1000;

struct Reference {
    TempDir dir;
    std::vector<std::string> paths = test::sample_paths(dir);
    Clock::duration length{};
    Reference() {
        const auto start = Clock::now();
        test::BackgroundRun run(CIRSHARP_BIN, paths, dir / "out.txt", dir / "err.txt");
        if (run.wait() != 0) throw std::runtime_error("the reference run failed");
        length = Clock::now() - start;
    }
};

enum class Found { kOld, kNew, kNeither };

Found product_state(const std::string& path, const std::string& reference, std::uint8_t fill) {
    if (fs::file_size(path) == kOldSize &&
        test::read_file(path) == std::vector<std::uint8_t>(kOldSize, fill))
        return Found::kOld;
    return test::same_content(path, reference) ? Found::kNew : Found::kNeither;
}

// Starts a run over old products, sends `sig` after `delay` and checks what
// is left. Returns how many products were new.
int interrupt_run(const Reference& ref, int sig, Clock::duration delay) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    for (int i = 2; i < 7; ++i)
        test::write_old_product(paths[i], std::uint8_t(0xa0 + i), kOldSize);
    test::BackgroundRun run(CIRSHARP_BIN, paths, dir / "out.txt", dir / "err.txt");
    std::this_thread::sleep_for(delay);
    run.signal(sig);
    const int status = run.wait();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
    const std::string context =
        "signal " + std::to_string(sig) + " after " + std::to_string(ms) + " ms";

    int fresh = 0;
    for (int i = 2; i < 7; ++i) {
        const Found f = product_state(paths[i], ref.paths[i], std::uint8_t(0xa0 + i));
        EXPECT_NE(f, Found::kNeither) << context << ": " << paths[i] << " is neither old nor new";
        fresh += f == Found::kNew;
    }
    if (sig == SIGTERM) {
        // A run that ended before the signal came has committed everything.
        if (status == 0) {
            EXPECT_EQ(fresh, 5) << context;
        } else {
            EXPECT_EQ(status, 128 + SIGTERM) << context;
        }
        EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{}) << context;
    } else {
        EXPECT_TRUE(status == 128 + sig || (status == 0 && fresh == 5))
            << context << ": " << status;
    }
    return fresh;
}

TEST(Interrupted, ProductsAreOldOrCompleteAfterSigtermOrSigkill) {
    const Reference ref;
    // Points from the very start to past the end of a whole run; how many
    // products each left new goes to the log.
    std::string fresh;
    for (const double at : {0.02, 0.1, 0.3, 0.5, 0.7, 0.9, 1.1}) {
        const auto delay = std::chrono::duration_cast<Clock::duration>(ref.length * at);
        fresh += " TERM:" + std::to_string(interrupt_run(ref, SIGTERM, delay));
    }
    for (const double at : {0.15, 0.55, 0.85}) {
        const auto delay = std::chrono::duration_cast<Clock::duration>(ref.length * at);
        fresh += " KILL:" + std::to_string(interrupt_run(ref, SIGKILL, delay));
    }
    std::cout << "new products after each signal:" << fresh << '\n';
}

// An ignored SIGHUP, as under nohup, must not end or disturb the run.
TEST(Interrupted, AnIgnoredHangupIsIgnored) {
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    test::BackgroundRun run(CIRSHARP_BIN, paths, dir / "out.txt", dir / "err.txt", true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.signal(SIGHUP);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(test::read_file(dir / "err.txt"), std::vector<std::uint8_t>{});
    for (int i = 2; i < 7; ++i)
        EXPECT_TRUE(fs::exists(paths[i]));
}

// Waits until `path` exists, for at most a minute.
bool wait_for_file(const fs::path& path) {
    const auto end = Clock::now() + std::chrono::seconds(60);
    while (!fs::exists(path) && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return fs::exists(path);
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A run slow enough to be caught in the middle: one thread, per-sample
// arithmetic (seconds in fusion, after the PAN products are committed).
std::vector<std::string> slow(std::vector<std::string> paths) {
    paths.insert(paths.begin(), {"--threads", "1", "--reference"});
    return paths;
}

// Standard output is a file here, as in a batch system's task log: each
// progress line must be there as soon as it is printed, so a run killed
// after its PAN products shows how far it got.
TEST(KilledRuns, TheLogHoldsEveryProgressLinePrintedBeforeTheKill) {
    const Reference ref;
    const auto transcript = lines_of(ref.dir / "out.txt");
    ASSERT_EQ(transcript.size(), 19u);
    for (const int sig : {SIGKILL, SIGTERM}) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        test::BackgroundRun run(CIRSHARP_BIN, slow(paths), dir / "out.txt", dir / "err.txt");
        ASSERT_TRUE(wait_for_file(paths[4]));  // PAN8 committed
        run.signal(sig);
        EXPECT_EQ(run.wait(), 128 + sig);
        const auto log = lines_of(dir / "out.txt");
        const auto text = test::read_file(dir / "out.txt");
        EXPECT_GE(log.size(), 13u) << "signal " << sig;  // up to "Done, now writing output of"
        EXPECT_LT(log.size(), 19u) << "signal " << sig;
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        for (std::size_t i = 0; i < log.size() && i < transcript.size(); ++i) {
            // The same lines as a whole run's, but for the folder in the paths.
            const auto& want = transcript[i];
            if (want.find(ref.dir.path().string()) != std::string::npos) continue;
            EXPECT_EQ(log[i], want) << "line " << i + 1;
        }
    }
}

// A run killed by SIGKILL (with ENVI headers) leaves its temporary files;
// the next run of the same products removes them, and only them.
TEST(KilledRuns, TheNextRunOfTheSameProductsRemovesTheirTemporaries) {
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    auto args = slow(paths);
    args.insert(args.begin(), "--envi");
    test::BackgroundRun run(CIRSHARP_BIN, args, dir / "out.txt", dir / "err.txt");
    ASSERT_TRUE(wait_for_file(paths[4]));
    run.signal(SIGKILL);
    run.wait();
    const auto left = test::hidden_temporaries(dir.path());
    EXPECT_EQ(left.size(), 6u);  // RGBIR16, CIR8, sharpened CIR and their headers
    // Look-alikes of other files, which must stay.
    const std::vector<std::string> others = {".other.raw.Ab3xYz.part", ".cir8.raw.Ab3xYzz.part",
                                             ".cir8.raw.Ab3-Yz.part"};
    for (const auto& name : others)
        test::write_old_product(dir / name, 1, 10);

    test::BackgroundRun next(CIRSHARP_BIN, paths, dir / "out2.txt", dir / "err2.txt");
    EXPECT_EQ(next.wait(), 0);
    auto want = others;
    std::sort(want.begin(), want.end());
    auto found = test::hidden_temporaries(dir.path());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, want);
}

// A run started while another writes the same products refuses before it
// creates anything, naming the product and the other run's process id; the
// first run completes undisturbed.
TEST(OverlappingRuns, ALiveRunsTemporaryIsNeverTakenAndTheSecondRunRefuses) {
    const Reference ref;
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    // Different inputs, as a retry with a corrected manifest would have.
    TempDir other;
    auto second_paths = paths;
    second_paths[0] = other / "c.raw";
    second_paths[1] = other / "p.raw";
    ASSERT_EQ(
        test::run_process(CIRSHARP_SAMPLE_BIN, {"--seed", "2", second_paths[0], second_paths[1]})
            .status,
        0);

    test::BackgroundRun first(CIRSHARP_BIN, slow(paths), dir / "out.txt", dir / "err.txt");
    ASSERT_TRUE(wait_for_file(paths[4]));
    const auto before = test::hidden_temporaries(dir.path());
    ASSERT_EQ(before.size(), 3u);
    const auto second = test::run_process(CIRSHARP_BIN, second_paths);
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_NE(second.err.find(paths[2]), std::string::npos) << second.err;
    EXPECT_NE(second.err.find("process " + std::to_string(first.pid())), std::string::npos)
        << second.err;
    EXPECT_EQ(test::hidden_temporaries(dir.path()), before);

    EXPECT_EQ(first.wait(), 0);
    for (int i = 2; i < 7; ++i)
        EXPECT_TRUE(test::same_content(paths[i], ref.paths[i])) << paths[i];
    EXPECT_TRUE(test::hidden_temporaries(dir.path()).empty());
}

// Two runs started at the same moment on the same products with different
// inputs: whatever the timing, the products are all of one run, and a run
// that did not commit them says why with status 1.
TEST(OverlappingRuns, RunsStartedAtOnceNeverCommitAMixedSet) {
    const Reference ref;
    TempDir other;
    auto ref2 = test::sample_paths(other);
    ASSERT_EQ(
        test::run_process(CIRSHARP_SAMPLE_BIN, {"--seed", "2", other / "c.raw", other / "p.raw"})
            .status,
        0);
    ref2[0] = other / "c.raw";
    ref2[1] = other / "p.raw";
    ASSERT_EQ(test::run_process(CIRSHARP_BIN, ref2).status, 0);
    for (int round = 0; round < 2; ++round) {
        TempDir dir;
        auto a = test::sample_paths(dir);
        auto b = a;
        b[0] = ref2[0];
        b[1] = ref2[1];
        test::BackgroundRun first(CIRSHARP_BIN, a, dir / "a.txt", dir / "a.err");
        test::BackgroundRun second(CIRSHARP_BIN, b, dir / "b.txt", dir / "b.err");
        const int sa = first.wait();
        const int sb = second.wait();
        EXPECT_TRUE((sa == 0 || sa == 1) && (sb == 0 || sb == 1)) << sa << " " << sb;
        EXPECT_TRUE(sa == 0 || sb == 0) << "one of them must run";
        int from_a = 0, from_b = 0;
        for (int i = 2; i < 7; ++i) {
            from_a += test::same_content(a[i], ref.paths[i]);
            from_b += test::same_content(a[i], ref2[i]);
        }
        EXPECT_TRUE(from_a == 5 || from_b == 5)
            << "round " << round << ": " << from_a << " products of the first run, " << from_b
            << " of the second";
        if (sa == 1) {
            EXPECT_NE(test::read_file(dir / "a.err").size(), 0u);
        }
        if (sb == 1) {
            EXPECT_NE(test::read_file(dir / "b.err").size(), 0u);
        }
        EXPECT_TRUE(test::hidden_temporaries(dir.path()).empty());
    }
}

}  // namespace
}  // namespace cirsharp
