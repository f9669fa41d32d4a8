// What an unlucky environment does to a run: closed standard descriptors,
// pipes named through descriptor links, a block device, an output folder
// renamed, inputs changed or cut short while they are read, and every signal
// that ends a process. The converter runs as a child process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "hostile.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::ChildSetup;
using test::TempDir;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint8_t kOldFill = 0xa0;

void place_old_products(const std::vector<std::string>& paths) {
    for (int i = 2; i < 7; ++i)
        test::write_old_product(paths[i], std::uint8_t(kOldFill + i));
}

bool is_old(const std::string& path, int position) {
    std::error_code ec;
    return fs::file_size(path, ec) == 1000 &&
           test::read_file(path) ==
               std::vector<std::uint8_t>(1000, std::uint8_t(kOldFill + position));
}

bool is_new(const std::string& path, int position) {
    return test::same_content(path, test::sample_run().paths[std::size_t(position)]);
}

// Waits until `ready` holds (checked every millisecond), at most 20 s.
template <class Ready>
bool wait_for(Ready ready) {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A pipe whose read end is drained into memory by a thread of its own.
struct DrainedPipe {
    int write_end = -1;
    std::vector<std::uint8_t> bytes;
    std::thread reader;
    DrainedPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        write_end = fds[1];
        reader = std::thread([this, fd = fds[0]] {
            std::vector<std::uint8_t> chunk(1 << 20);
            for (;;) {
                const ssize_t n = ::read(fd, chunk.data(), chunk.size());
                if (n <= 0) break;
                bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
            }
            ::close(fd);
        });
    }
    void close_write_end() {
        if (write_end >= 0) ::close(write_end);
        write_end = -1;
    }
    ~DrainedPipe() {
        close_write_end();
        if (reader.joinable()) reader.join();
    }
};

// A folder path of about 2,000 characters, so that the progress lines that
// name the products come to more than 4 KiB.
std::string long_folder(const TempDir& dir) {
    fs::path p = dir.path();
    for (int i = 0; i < 8; ++i)
        p /= std::string(240, char('a' + i));
    fs::create_directories(p);
    return p.string();
}

// ---------------------------------------------------------------- descriptors and special files

// A run started with standard descriptors closed must not take them for its
// files: a product that became standard output would get progress lines.
TEST(Descriptors, ClosedStandardDescriptorsNeverBecomeFiles) {
    {
        TempDir dir;
        const std::string folder = long_folder(dir);
        auto paths = test::sample_paths(dir);
        for (int i = 2; i < 7; ++i)
            paths[i] = folder + "/" + test::kProductNames[std::size_t(i - 2)];
        ChildSetup setup;
        setup.closed = {0, 1, 2};
        const auto r = test::run_child(CIRSHARP_BIN, paths, setup);
        EXPECT_EQ(r.status, 0) << "0, 1 and 2 closed";
        for (int i = 2; i < 7; ++i)
            EXPECT_TRUE(is_new(paths[i], i)) << "0, 1 and 2 closed: " << paths[i];
    }
    {
        // A colour input read from a pipe gives its descriptor back once
        // taken into memory; the next file opened used to get it.
        TempDir dir;
        const std::string folder = long_folder(dir);
        auto paths = test::sample_paths(dir);
        for (int i = 2; i < 7; ++i)
            paths[i] = folder + "/" + test::kProductNames[std::size_t(i - 2)];
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        std::thread feeder([&] {
            const auto colour = test::read_file(test::sample_colour());
            for (std::size_t at = 0; at < colour.size();) {
                const ssize_t n = ::write(fds[1], colour.data() + at, colour.size() - at);
                if (n <= 0) break;
                at += std::size_t(n);
            }
            ::close(fds[1]);
        });
        paths[0] = "/dev/fd/10";
        ChildSetup setup;
        setup.closed = {1};
        setup.given = {{fds[0], 10}};
        const auto r = test::run_child(CIRSHARP_BIN, paths, setup);
        ::close(fds[0]);
        feeder.join();
        EXPECT_EQ(r.status, 0) << "1 closed: " << r.err;
        EXPECT_EQ(r.err, "");
        for (int i = 2; i < 7; ++i)
            EXPECT_TRUE(is_new(paths[i], i)) << "1 closed: " << paths[i];
    }
}

// Pipes named as /dev/fd/N, /proc/self/fd/N and /dev/stdout are written
// directly, like any output that exists and is not a regular file.
TEST(SpecialFiles, PipesNamedThroughDescriptorLinks) {
    TempDir dir;
    auto paths = test::sample_paths(dir);
    DrainedPipe cir8, rgbir16;
    paths[2] = "/proc/self/fd/11";
    paths[3] = "/dev/fd/10";
    paths[4] = "/dev/stdout";
    ChildSetup setup;
    setup.given = {{cir8.write_end, 10}, {rgbir16.write_end, 11}};
    const auto r = test::run_child(CIRSHARP_BIN, paths, setup);
    cir8.close_write_end();
    rgbir16.close_write_end();
    cir8.reader.join();
    rgbir16.reader.join();
    cir8.reader = std::thread();
    rgbir16.reader = std::thread();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cir8.bytes, test::read_file(test::sample_run().paths[3]));
    EXPECT_EQ(rgbir16.bytes, test::read_file(test::sample_run().paths[2]));
    // PAN8 shares standard output with the progress lines, two of which
    // name PAN8 and PAN16.
    const auto& plain = test::sample_run();
    EXPECT_EQ(r.out.size(), fs::file_size(plain.paths[4]) + plain.transcript.size() -
                                plain.paths[4].size() - plain.paths[6].size() + paths[4].size() +
                                paths[6].size());
    for (const int i : {5, 6})
        EXPECT_TRUE(is_new(paths[i], i)) << paths[i];
}

// A block device has no size in its inode; a short one is refused before
// any product is touched, like a short file.
TEST(SpecialFiles, AShortBlockDeviceInputIsRefusedUpFront) {
    TempDir dir;
    const std::string image = dir / "short.img";
    { std::ofstream(image).put(0); }
    fs::resize_file(image, 50u << 20);
    std::string why_not;
    const auto loop = test::LoopDevice::attach(image, why_not);
    if (!loop) GTEST_SKIP() << why_not;
    auto paths = test::sample_paths(dir);
    paths[0] = loop->path();
    place_old_products(paths);
    const auto r = test::run_process(CIRSHARP_BIN, paths);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cirsharp: " + loop->path() +
                         ": colour file is 52428800 bytes long, but 70656008 bytes are needed\n");
    for (int i = 2; i < 7; ++i)
        EXPECT_TRUE(is_old(paths[i], i)) << paths[i];
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
}

// The temporaries are removed from the folder they were made in, also when
// that folder has been renamed meanwhile; the product paths are gone, so the
// run fails.
TEST(SpecialFiles, TemporariesOfARenamedOutputFolderAreRemoved) {
    TempDir dir;
    fs::create_directory(dir / "out");
    auto paths = test::sample_paths(dir);
    for (int i = 2; i < 7; ++i)
        paths[i] = dir / ("out/" + test::kProductNames[std::size_t(i - 2)]);
    test::BackgroundRun run(CIRSHARP_BIN, paths, dir / "out.txt", dir / "err.txt");
    ASSERT_TRUE(wait_for([&] { return test::hidden_temporaries(dir.path() / "out").size() == 5; }));
    run.signal(SIGSTOP);
    fs::rename(dir / "out", dir / "moved");
    run.signal(SIGCONT);
    EXPECT_EQ(run.wait(), 1);
    EXPECT_EQ(test::hidden_temporaries(dir.path() / "moved"), std::vector<std::string>{});
}

// ---------------------------------------------------------------- changing inputs

// Copies of the sample inputs that a test may change.
std::vector<std::string> own_inputs(const TempDir& dir) {
    auto paths = test::seven_paths(dir);
    fs::copy_file(test::sample_colour(), paths[0]);
    fs::copy_file(test::sample_pan(), paths[1]);
    return paths;
}

// Starts a run over old products and, once the temporary of the product
// named `stem` holds data (its input has been read in part), stops it, lets
// `change` alter the inputs and lets it go on. Returns the run's status.
int change_during_run(const TempDir& dir, const std::vector<std::string>& paths,
                      const std::string& stem, const std::function<void()>& change) {
    place_old_products(paths);
    test::BackgroundRun run(CIRSHARP_BIN, paths, dir / "out.txt", dir / "err.txt");
    const bool started = wait_for([&] { return test::largest_temporary(dir.path(), stem) > 0; });
    run.signal(SIGSTOP);
    if (started) change();
    run.signal(SIGCONT);
    const int status = run.wait();
    EXPECT_TRUE(started) << "no data in " << stem << "* after 20 s";
    return status;
}

void overwrite(const std::string& path, std::uint64_t offset, std::size_t count) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::vector<std::uint8_t> bytes(count, 0x5a);
    EXPECT_EQ(::pwrite(fd, bytes.data(), count, off_t(offset)), ssize_t(count));
    ::close(fd);
}

// Each input is read twice; 4 MiB overwritten after the first read of that
// part has begun (PAN16 and RGBIR16 are written from the first) must fail the
// run before anything made from both versions is committed.
TEST(ChangingInputs, AnInputChangedBetweenItsReadsFailsTheRun) {
    {
        TempDir dir;
        const auto paths = own_inputs(dir);
        const int status =
            change_during_run(dir, paths, ".pan16.raw.", [&] { overwrite(paths[1], 8, 4 << 20); });
        EXPECT_EQ(status, 1);
        const auto err = test::read_file(dir / "err.txt");
        EXPECT_EQ(std::string(err.begin(), err.end()),
                  "cirsharp: " + paths[1] + ": changed while it was being read\n");
        for (int i = 2; i < 7; ++i)
            EXPECT_TRUE(is_old(paths[i], i)) << "PAN tile file changed: " << paths[i];
        EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    }
    {
        TempDir dir;
        const auto paths = own_inputs(dir);
        const int status = change_during_run(dir, paths, ".rgbir16.raw.",
                                             [&] { overwrite(paths[0], 8, 4 << 20); });
        EXPECT_EQ(status, 1);
        const auto err = test::read_file(dir / "err.txt");
        EXPECT_EQ(std::string(err.begin(), err.end()),
                  "cirsharp: " + paths[0] + ": changed while it was being read\n");
        // The PAN stage had finished: its products stand.
        for (const int i : {4, 6})
            EXPECT_TRUE(is_new(paths[i], i)) << "colour file changed: " << paths[i];
        for (const int i : {2, 3, 5})
            EXPECT_TRUE(is_old(paths[i], i)) << "colour file changed: " << paths[i];
        EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    }
}

TEST(ChangingInputs, AnInputCutShortIsReportedWithTheSizeItHasNow) {
    TempDir dir;
    const auto paths = own_inputs(dir);
    const int status =
        change_during_run(dir, paths, ".pan16.raw.", [&] { fs::resize_file(paths[1], 50000000); });
    EXPECT_EQ(status, 1);
    const auto bytes = test::read_file(dir / "err.txt");
    const std::string err(bytes.begin(), bytes.end());
    EXPECT_TRUE(err.starts_with("cirsharp: " + paths[1] + ": ends after 50000000 bytes, but "))
        << err;
    for (int i = 2; i < 7; ++i)
        EXPECT_TRUE(is_old(paths[i], i)) << paths[i];
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
}

// ---------------------------------------------------------------- signals

std::string name_of(int sig) {
    const char* abbrev = sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

// Starts a run over old products and sends `sig` once all five temporaries
// exist. Returns the status.
int signal_run(const TempDir& dir, const std::vector<std::string>& paths, int sig,
               const std::vector<int>& ignored = {}) {
    place_old_products(paths);
    int out = ::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = ::open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ChildSetup setup;
    setup.ignored = ignored;
    const pid_t pid = test::start_child(CIRSHARP_BIN, paths, setup, out, err);
    ::close(out);
    ::close(err);
    EXPECT_TRUE(wait_for([&] { return test::hidden_temporaries(dir.path()).size() == 5; }));
    ::kill(pid, sig);
    return test::wait_child(pid);
}

// Every signal whose default action ends the process removes the temporary
// files and ends the run by that signal; none leaves a partial product.
TEST(Signals, EveryTerminatingSignalRemovesTheTemporaries) {
    std::vector<int> signals = {SIGHUP,    SIGINT,    SIGQUIT,      SIGTERM, SIGUSR1, SIGUSR2,
                                SIGALRM,   SIGVTALRM, SIGPROF,      SIGXCPU, SIGIO,   SIGPWR,
                                SIGSTKFLT, SIGRTMIN,  SIGRTMIN + 5, SIGRTMAX};
    for (const int sig : signals) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        const int status = signal_run(dir, paths, sig);
        int fresh = 0;
        for (int i = 2; i < 7; ++i) {
            const bool old = is_old(paths[i], i);
            fresh += !old;
            EXPECT_TRUE(old || is_new(paths[i], i)) << name_of(sig) << ": " << paths[i];
        }
        EXPECT_TRUE(status == 128 + sig || (status == 0 && fresh == 5))
            << name_of(sig) << ": status " << status;
        EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{}) << name_of(sig);
    }
}

// SIGPIPE and SIGXFSZ report a write that failed, which the run reports
// itself; sent by another process they interrupt no write and change nothing.
// Signals ignored when the run starts stay ignored.
TEST(Signals, WriteSignalsAndIgnoredSignalsLeaveTheRunAlone) {
    struct Case {
        int sig;
        std::vector<int> ignored;
    };
    for (const Case& c : {Case{SIGXFSZ, {}}, Case{SIGPIPE, {}}, Case{SIGQUIT, {SIGQUIT}},
                          Case{SIGUSR1, {SIGUSR1, SIGALRM}}}) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        EXPECT_EQ(signal_run(dir, paths, c.sig, c.ignored), 0) << name_of(c.sig);
        EXPECT_EQ(test::read_file(dir / "err.txt"), std::vector<std::uint8_t>{}) << name_of(c.sig);
        for (int i = 2; i < 7; ++i)
            EXPECT_TRUE(is_new(paths[i], i)) << name_of(c.sig) << ": " << paths[i];
        EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    }
}

#ifdef CIRSHARP_QUICKLOOK_BIN
// The processes whose parent is this one.
std::vector<pid_t> own_children() {
    std::vector<pid_t> children;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(e.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid()) children.push_back(pid_t(std::stol(name)));
    }
    return children;
}

// A signal to the converter while cirsharp-quicklook runs is passed on to
// the tool, which ends too and leaves no partial PNG.
TEST(Signals, TheQuicklookToolEndsWithTheConverter) {
    // The tool, orphaned if the converter leaves it behind, becomes ours.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TempDir dir;
    const auto paths = test::sample_paths(dir);
    auto args = paths;
    args.insert(args.begin(), {"--quicklook", dir / "ql"});
    test::BackgroundRun run(CIRSHARP_BIN, args, dir / "out.txt", dir / "err.txt");
    // Once the tool writes its first PNG, the others are still to come,
    // however fast it is.
    ASSERT_TRUE(wait_for([&] {
        return fs::exists(dir / "ql") && !test::hidden_temporaries(dir.path() / "ql").empty();
    }));
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 128 + SIGTERM);
    const auto left = own_children();
    EXPECT_EQ(left, std::vector<pid_t>{}) << "cirsharp-quicklook still runs";
    for (const pid_t pid : left) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    for (const auto& e : fs::directory_iterator(dir / "ql"))
        EXPECT_FALSE(e.path().filename().string().starts_with('.')) << e.path();
}
#endif

}  // namespace
}  // namespace cirsharp
