// Runs ended by a signal at points spread over a whole run: every product is
// then either its old content or the complete new one.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
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

}  // namespace
}  // namespace cirsharp
