// Whole runs of the sample exposure: the transcript and the products of the
// plain run, the same bytes at other thread counts and with the per-sample
// arithmetic, and through links, permissions and longer inputs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "raster/geometry.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::run_process;
using test::TempDir;
namespace fs = std::filesystem;

mode_t mode_of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// The plain run that the other tests compare with: 19 lines, the products at
// their sizes, no temporary file left behind.
TEST(WholeRuns, ThePlainRunsTranscriptAndProducts) {
    const auto& run = test::sample_run();
    std::istringstream lines(run.transcript);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
        got.push_back(line);
    ASSERT_EQ(got.size(), 19u) << run.transcript;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(got[i], "Muistinvaraus onnistui");
    EXPECT_EQ(got[8].rfind("PAN Maximum:  ", 0), 0u);
    EXPECT_EQ(got[11], "With simoultaneous output of  " + run.paths[6]);
    EXPECT_EQ(got[12], "Done, now writing output of  " + run.paths[4]);
    EXPECT_EQ(got[18], "Wrinting PANsharpened CIR");
    for (int i = 2; i < 7; ++i)
        EXPECT_EQ(fs::file_size(run.paths[i]),
                  layout_of(kProducts[std::size_t(i - 2)]).file_bytes());
    EXPECT_EQ(test::hidden_temporaries(fs::path(run.paths[2]).parent_path()),
              std::vector<std::string>{});
}

// The same transcript (but for the folder) and the same bytes whatever the
// thread count, and with the per-sample arithmetic.
TEST(WholeRuns, ThreadCountsAndTheReferenceGiveTheSameBytes) {
    const auto& plain = test::sample_run();
    const std::string plain_dir = fs::path(plain.paths[2]).parent_path().string();
    for (const auto& options : std::vector<std::vector<std::string>>{
             {"--threads", "1"}, {"--threads=3"}, {"--reference", "--threads", "2"}}) {
        TempDir dir;
        const auto paths = test::sample_paths(dir);
        const auto r = run_process(CIRSHARP_BIN, test::with_options(options, paths));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(test::moved_transcript(r.out, dir.path().string(), plain_dir), plain.transcript)
            << options[0];
        EXPECT_EQ(test::listing(dir.path()).size(), 5u);  // no temporary file left behind
        for (int i = 2; i < 7; ++i)
            EXPECT_TRUE(test::same_content(paths[i], plain.paths[i]))
                << options[0] << " " << paths[i];
    }
}

// One run under umask 027 with longer inputs than needed, writing through
// links, over existing files and to new ones; its products must equal those
// of a plain run.
TEST(SpecialOutputs, LinksPermissionsAndLongerInputs) {
    const auto& reference = test::sample_run().paths;

    TempDir dir;
    auto paths = test::seven_paths(dir);
    for (int i = 0; i < 2; ++i) {
        auto bytes = read_file(reference[i]);
        bytes.insert(bytes.end(), 4097 + i, 0x5a);
        test::write_file(paths[i], bytes);
    }
    fs::create_directory(dir / "real");
    test::write_old_product(paths[3], 1);  // CIR8 replaces a file of mode 0600
    ::chmod(paths[3].c_str(), 0600);
    test::write_old_product(dir / "real/pan8.raw", 2);  // PAN8 through a link
    ::chmod((dir / "real/pan8.raw").c_str(), 0604);
    fs::create_symlink("real/pan8.raw", paths[4]);
    fs::create_symlink(dir / "real/sharp.raw", paths[5]);  // a dangling absolute link

    const auto r = run_process("/bin/sh", [&] {
        std::vector<std::string> args = {"-c", "umask 027; exec \"$0\" \"$@\"", CIRSHARP_BIN};
        args.insert(args.end(), paths.begin(), paths.end());
        return args;
    }());
    ASSERT_EQ(r.status, 0) << r.err;
    for (int i = 2; i < 7; ++i)
        EXPECT_TRUE(test::same_content(paths[i], reference[i])) << paths[i];
    EXPECT_TRUE(fs::is_symlink(paths[4]));
    EXPECT_TRUE(fs::is_symlink(paths[5]));
    EXPECT_EQ(mode_of(paths[2]), 0640u);
    EXPECT_EQ(mode_of(paths[3]), 0600u);
    EXPECT_EQ(mode_of(dir / "real/pan8.raw"), 0604u);
    EXPECT_EQ(mode_of(dir / "real/sharp.raw"), 0640u);
    EXPECT_EQ(mode_of(paths[6]), 0640u);
    EXPECT_EQ(test::hidden_temporaries(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(test::hidden_temporaries(dir.path() / "real"), std::vector<std::string>{});
}

}  // namespace
}  // namespace cirsharp
