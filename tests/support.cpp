#include "support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "raster/geometry.hpp"

extern char** environ;

namespace cirsharp::test {

TempDir::TempDir() {
    std::string templ = (fs::temp_directory_path() / "cirsharp-test.XXXXXX").string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string text_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string shell_quoted(const std::string& s) {
    std::string q = "'";
    for (const char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<std::uint8_t> as_le_bytes(const std::vector<std::uint16_t>& samples) {
    std::vector<std::uint8_t> bytes(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = std::uint8_t(samples[i] & 0xff);
        bytes[2 * i + 1] = std::uint8_t(samples[i] >> 8);
    }
    return bytes;
}

std::uint16_t sample_at(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return std::uint16_t(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

void write_pan_file(const std::string& path, const std::function<std::uint16_t(int, int)>& value,
                    std::uint8_t header_byte) {
    const PanGeometry& g = kPanGeometry;
    std::vector<std::uint16_t> samples(g.tile_samples());
    for (std::size_t row = 0; row < g.mosaic_height(); ++row)
        for (std::size_t column = 0; column < g.mosaic_width(); ++column)
            samples[tile_index(g, row, column)] = value(int(row), int(column));
    std::vector<std::uint8_t> bytes(kPanHeaderBytes, header_byte);
    const auto body = as_le_bytes(samples);
    bytes.insert(bytes.end(), body.begin(), body.end());
    write_file(path, bytes);
}

void write_colour_file(const std::string& path,
                       const std::function<std::uint16_t(int, int, int)>& value,
                       std::uint8_t header_byte, std::size_t trailing_bytes) {
    const ColourGeometry& g = kColourGeometry;
    std::vector<std::uint16_t> samples;
    samples.reserve(g.pixels() * kBands);
    for (int row = 0; row < g.height; ++row)
        for (int band = 0; band < kBands; ++band)
            for (int column = 0; column < g.width; ++column)
                samples.push_back(value(band, row, column));
    std::vector<std::uint8_t> bytes(kColourHeaderBytes, header_byte);
    const auto body = as_le_bytes(samples);
    bytes.insert(bytes.end(), body.begin(), body.end());
    bytes.insert(bytes.end(), trailing_bytes, 0xee);
    write_file(path, bytes);
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args) {
    int out_pipe[2], err_pipe[2];
    if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
    return collect_child(pid, out_pipe[0], err_pipe[0]);
}

int wait_child(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

ProcessResult collect_child(pid_t pid, int out_fd, int err_fd) {
    ProcessResult result;
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, std::size_t(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    result.status = wait_child(pid);
    return result;
}

std::vector<std::string> seven_paths(const TempDir& dir) {
    std::vector<std::string> paths = {dir / "colour.raw", dir / "pantiles.raw"};
    for (const auto& name : kProductNames)
        paths.push_back(dir / name);
    return paths;
}

namespace {

const std::string kData = CIRSHARP_TEST_DATA;

bool is_file(const std::string& path, std::uintmax_t size = 0) {
    std::error_code ec;
    return fs::is_regular_file(path, ec) && (size == 0 || fs::file_size(path, ec) == size);
}

struct Sample {
    TempDir dir;
    std::string colour = kData + "/colour.raw";
    std::string pan = kData + "/pantiles.raw";
    Sample() {
        if (is_file(colour, kColourGeometry.file_bytes()) &&
            is_file(pan, kPanGeometry.file_bytes()))
            return;
        colour = dir / "colour.raw";
        pan = dir / "pantiles.raw";
        const auto r = run_process(CIRSHARP_SAMPLE_BIN, {"--seed", "1", colour, pan});
        if (r.status != 0) throw std::runtime_error("cirsharp-sample failed: " + r.err);
    }
};
const Sample& sample() {
    static const Sample s;
    return s;
}

struct PlainRun {
    TempDir dir;
    SampleRun run;
    PlainRun() {
        const std::string fixture = kData + "/plain";
        if (is_file(fixture + "/transcript.txt")) {
            run.paths = {sample().colour, sample().pan};
            for (const auto& name : kProductNames)
                run.paths.push_back(fixture + "/" + name);
            const auto bytes = read_file(fixture + "/transcript.txt");
            run.transcript.assign(bytes.begin(), bytes.end());
            return;
        }
        run.paths = sample_paths(dir);
        const auto r = run_process(CIRSHARP_BIN, run.paths);
        if (r.status != 0) throw std::runtime_error("the plain run failed: " + r.err);
        run.transcript = r.out;
    }
};

}  // namespace

const std::string& sample_colour() {
    return sample().colour;
}
const std::string& sample_pan() {
    return sample().pan;
}

const SampleRun& sample_run() {
    static const PlainRun plain;
    return plain.run;
}

std::vector<std::string> with_options(std::vector<std::string> options,
                                      const std::vector<std::string>& paths) {
    options.insert(options.end(), paths.begin(), paths.end());
    return options;
}

std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::pair<std::uint16_t, std::uint16_t> random_limits(std::mt19937_64& rng, std::uint16_t start) {
    const std::uint16_t special[] = {0, 1, 2, 3, start, std::uint16_t(start + 1), 0xfffe, 0xffff};
    auto pick = [&]() -> std::uint16_t {
        return rng() % 3 == 0 ? special[rng() % 8] : std::uint16_t(rng());
    };
    const std::uint16_t maximum = pick();
    const std::uint16_t minimum = std::min(pick(), start);
    return {maximum, minimum};
}

std::string moved_transcript(std::string transcript, const std::string& from,
                             const std::string& to) {
    for (std::size_t at = 0; (at = transcript.find(from, at)) != std::string::npos; at += to.size())
        transcript.replace(at, from.size(), to);
    return transcript;
}

BackgroundRun::BackgroundRun(const std::string& program, const std::vector<std::string>& args,
                             const std::string& out_path, const std::string& err_path,
                             bool ignore_sighup) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // An ignored signal stays ignored in the child.
    struct sigaction previous {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (ignore_sighup) ::sigaction(SIGHUP, &ignore, &previous);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    if (ignore_sighup) ::sigaction(SIGHUP, &previous, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
}

BackgroundRun::~BackgroundRun() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void BackgroundRun::signal(int sig) const {
    ::kill(pid_, sig);
}

int BackgroundRun::wait() {
    const int status = wait_child(pid_);
    pid_ = -1;
    return status;
}

bool same_content(const std::string& a, const std::string& b) {
    std::error_code ea, eb;
    const auto size_a = fs::file_size(a, ea);
    const auto size_b = fs::file_size(b, eb);
    if (ea || eb || size_a != size_b) return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount() ||
            !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return fa.eof() && fb.eof();
}

std::vector<std::string> hidden_temporaries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with('.') && name.ends_with(".part")) names.push_back(name);
    }
    return names;
}

void write_old_product(const std::string& path, std::uint8_t fill, std::size_t size) {
    write_file(path, std::vector<std::uint8_t>(size, fill));
}

std::vector<std::string> sample_paths(const TempDir& dir) {
    auto paths = seven_paths(dir);
    paths[0] = sample_colour();
    paths[1] = sample_pan();
    return paths;
}

}  // namespace cirsharp::test
