// Whole-run benchmark: runs the converter, the per-sample reference and the
// I/O floor alternately on one exposure and prints the median wall time,
// the median CPU time (user + sys) and the peak resident memory of each,
// with the ratios that matter.
//   usage: cirsharp-bench-runs ROUNDS CIRSHARP IO_FLOOR COLOUR PANTILES OUTDIR
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Sample {
    double wall = 0, cpu = 0, rss_mb = 0, user = 0, sys = 0;
};

Sample run_once(const std::vector<std::string>& argv_strings) {
    std::vector<char*> argv;
    for (const auto& a : argv_strings)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::perror(argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", argv[0], status);
        std::exit(1);
    }
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {std::chrono::duration<double>(end - start).count(),
            seconds(usage.ru_utime) + seconds(usage.ru_stime), double(usage.ru_maxrss) * 1024 / 1e6,
            seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s ROUNDS CIRSHARP IO_FLOOR COLOUR PANTILES OUTDIR\n",
                     argv[0]);
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[1]));
    const std::string bin = argv[2], floor_bin = argv[3], colour = argv[4], pan = argv[5],
                      dir = argv[6];
    const std::vector<std::string> outputs = {dir + "/rgbir16.raw", dir + "/cir8.raw",
                                              dir + "/pan8.raw", dir + "/sharp.raw",
                                              dir + "/pan16.raw"};
    auto converter = [&](std::vector<std::string> options) {
        std::vector<std::string> a = {bin};
        a.insert(a.end(), options.begin(), options.end());
        a.push_back(colour);
        a.push_back(pan);
        a.insert(a.end(), outputs.begin(), outputs.end());
        return a;
    };
    std::vector<std::string> floor_args = {floor_bin, colour, pan};
    floor_args.insert(floor_args.end(), outputs.begin(), outputs.end());

    struct Variant {
        std::string name;
        std::vector<std::string> argv;
        std::vector<Sample> samples;
    };
    std::vector<Variant> variants = {
        {"cirsharp", converter({}), {}},
        {"cirsharp --threads 1", converter({"--threads", "1"}), {}},
        {"cirsharp --threads 3", converter({"--threads", "3"}), {}},
        {"reference (--reference --threads 1)", converter({"--reference", "--threads", "1"}), {}},
        {"I/O floor", floor_args, {}},
        {"cirsharp --record", converter({"--record", dir + "/record.json"}), {}},
        {"cirsharp --threads 1 --record",
         converter({"--threads", "1", "--record", dir + "/record.json"}),
         {}},
        // Each way of writing named, whichever is the default.
        {"cirsharp --io direct", converter({"--io", "direct"}), {}},
        {"cirsharp --threads 1 --io direct", converter({"--threads", "1", "--io", "direct"}), {}},
        {"cirsharp --io buffered", converter({"--io", "buffered"}), {}},
        {"cirsharp --threads 1 --io buffered",
         converter({"--threads", "1", "--io", "buffered"}),
         {}},
    };
    run_once(floor_args);  // warm the page cache
    // Each round starts one variant further on, so that no variant always
    // follows the same other one (each run replaces the previous run's files).
    for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < variants.size(); ++i) {
            auto& v = variants[(std::size_t(r) + i) % variants.size()];
            v.samples.push_back(run_once(v.argv));
        }

    std::printf("%-38s %10s %10s %8s %8s %12s\n", "run", "wall s", "CPU s", "user s", "sys s",
                "peak RSS MB");
    std::vector<double> wall, cpu, rss;
    for (const auto& v : variants) {
        std::vector<double> w, c, u, k;
        double peak = 0;
        for (const auto& s : v.samples) {
            w.push_back(s.wall);
            c.push_back(s.cpu);
            u.push_back(s.user);
            k.push_back(s.sys);
            peak = std::max(peak, s.rss_mb);
        }
        wall.push_back(median(w));
        cpu.push_back(median(c));
        rss.push_back(peak);
        std::printf("%-38s %10.3f %10.3f %8.3f %8.3f %12.1f\n", v.name.c_str(), wall.back(),
                    cpu.back(), median(u), median(k), peak);
    }
    const double floor_ratio = wall[0] / wall[4];
    const double speedup = wall[3] / wall[0];
    const double cpu_ratio = cpu[3] / cpu[0];
    const double peak = std::max({rss[0], rss[1], rss[2]});
    std::printf("\nmedians of %d alternating rounds, the order rotated each round\n", rounds);
    std::printf("wall / I/O floor          %6.2f  (goal <= 1.30)  %s\n", floor_ratio,
                floor_ratio <= 1.30 ? "met" : "NOT met");
    std::printf("reference / cirsharp wall %6.2f  (goal >= 6)     %s\n", speedup,
                speedup >= 6 ? "met" : "NOT met");
    std::printf("reference / cirsharp CPU  %6.2f  (goal >= 5)     %s\n", cpu_ratio,
                cpu_ratio >= 5 ? "met" : "NOT met");
    std::printf("peak RSS, any threads     %6.1f MB (goal <= 549) %s\n", peak,
                peak <= 549 ? "met" : "NOT met");
    return 0;
}
