#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "io/file.hpp"
#include "io/temp_files.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::TempDir;
namespace fs = std::filesystem;

std::vector<fs::path> listing(const TempDir& dir) {
    std::vector<fs::path> names;
    for (const auto& e : fs::directory_iterator(dir.path()))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(OutputFile, CommitsWholeOrLeavesThePreviousContent) {
    TempDir dir;
    test::write_file(dir / "p.raw", {1, 2, 3});
    io::TempFiles temps;
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        const std::byte data[] = {std::byte{9}, std::byte{9}};
        f.write(data);
        EXPECT_EQ(read_file(dir / "p.raw"), (std::vector<std::uint8_t>{1, 2, 3}));
        EXPECT_EQ(listing(dir).size(), 2u);  // the product and its hidden temporary file
    }  // abandoned: the temporary file goes, the old product stays
    EXPECT_EQ(listing(dir), std::vector<fs::path>{"p.raw"});
    EXPECT_EQ(read_file(dir / "p.raw"), (std::vector<std::uint8_t>{1, 2, 3}));

    io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
    const std::byte data[] = {std::byte{7}};
    f.write(data);
    f.commit(true);
    EXPECT_EQ(read_file(dir / "p.raw"), (std::vector<std::uint8_t>{7}));
    EXPECT_EQ(listing(dir), std::vector<fs::path>{"p.raw"});
}

TEST(OutputFile, FollowsLinksAndKeepsModes) {
    TempDir dir;
    fs::create_directory(dir / "real");
    test::write_file(dir / "real/p.raw", {1});
    ::chmod((dir / "real/p.raw").c_str(), 0604);
    fs::create_symlink("real/p.raw", dir / "link.raw");
    fs::create_symlink("real/new.raw", dir / "dangling.raw");
    io::TempFiles temps;
    for (const char* name : {"link.raw", "dangling.raw"}) {
        io::OutputFile f = io::OutputFile::create(dir / name, temps);
        const std::byte data[] = {std::byte{5}};
        f.write(data);
        f.commit(false);
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.raw"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling.raw"));
    EXPECT_EQ(read_file(dir / "real/p.raw"), (std::vector<std::uint8_t>{5}));
    EXPECT_EQ(read_file(dir / "real/new.raw"), (std::vector<std::uint8_t>{5}));
    struct stat st {};
    ::stat((dir / "real/p.raw").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
}

TEST(InputFile, RefusesFoldersShortFilesAndReadsPastTheEnd) {
    TempDir dir;
    EXPECT_THROW(io::InputFile::open(dir.path().string()), io::FileError);
    test::write_file(dir / "in.raw", {1, 2, 3, 4});
    io::InputFile f = io::InputFile::open(dir / "in.raw");
    EXPECT_NO_THROW(f.require_size(4));
    EXPECT_THROW(f.require_size(5), io::FileError);
    std::byte two[2];
    f.read_at(2, two);
    EXPECT_EQ(two[1], std::byte{4});
    EXPECT_THROW(f.read_at(3, two), io::FileError);
}

}  // namespace
}  // namespace cirsharp
