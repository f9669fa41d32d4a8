#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>

#include "io/envi.hpp"
#include "io/file.hpp"
#include "io/paths.hpp"
#include "io/temp_files.hpp"
#include "raster/geometry.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::read_file;
using test::TempDir;
namespace fs = std::filesystem;

using test::listing;

using test::text_of;

TEST(OutputFile, CommitsWholeOrLeavesThePreviousContent) {
    TempDir dir;
    test::write_file(dir / "p.raw", {1, 2, 3});
    io::TempFiles temps;
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        const std::byte data[] = {std::byte{9}, std::byte{9}};
        f.write(data);
        EXPECT_EQ(read_file(dir / "p.raw"), (std::vector<std::uint8_t>{1, 2, 3}));
        EXPECT_EQ(listing(dir.path()).size(), 2u);  // the product and its hidden temporary file
    }  // abandoned: the temporary file goes, the old product stays
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"p.raw"});
    EXPECT_EQ(read_file(dir / "p.raw"), (std::vector<std::uint8_t>{1, 2, 3}));

    io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
    const std::byte data[] = {std::byte{7}};
    f.write(data);
    f.commit(true);
    EXPECT_EQ(read_file(dir / "p.raw"), (std::vector<std::uint8_t>{7}));
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"p.raw"});
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

// The one rule for where a write goes, and the one for temporary names.
TEST(Paths, WhereAWriteGoesAndWhatATemporaryIsCalled) {
    TempDir dir;
    EXPECT_EQ(io::write_target("/dev/null").kind, io::PathKind::kSpecial);
    EXPECT_EQ(io::write_target(dir.path().string()).kind, io::PathKind::kFolder);
    fs::create_directory(dir / "real");
    fs::create_symlink("real/new.raw", dir / "dangling.raw");
    const io::WriteTarget file = io::write_target(dir / "dangling.raw");
    EXPECT_EQ(file.kind, io::PathKind::kFile);
    EXPECT_EQ(file.target, dir / "real/new.raw");

    const std::string temp = io::temporary_name("p.raw", "aZ09bY");
    EXPECT_EQ(temp, ".p.raw.aZ09bY.part");
    EXPECT_TRUE(io::is_temporary_of(temp, "p.raw"));
    EXPECT_FALSE(io::is_temporary_of(".p.raw.aZ09b-.part", "p.raw"));
    EXPECT_FALSE(io::is_temporary_of(temp, "q.raw"));
    const std::string long_name(300, 'n');
    const std::string cut = io::temporary_name(long_name, "abcdef");
    EXPECT_LE(cut.size(), std::size_t(NAME_MAX));
    EXPECT_TRUE(io::is_temporary_of(cut, long_name));
}

TEST(InputFile, RefusesFoldersShortFilesAndReadsPastTheEnd) {
    TempDir dir;
    EXPECT_THROW(io::InputFile::open(dir.path().string()), io::FileError);
    test::write_file(dir / "in.raw", {1, 2, 3, 4});
    io::InputFile f = io::InputFile::open(dir / "in.raw");
    EXPECT_NO_THROW(f.require_size(4, "input"));
    EXPECT_THROW(f.require_size(5, "input"), io::FileError);
    std::byte two[2];
    f.read_at(2, two);
    EXPECT_EQ(two[1], std::byte{4});
    EXPECT_THROW(f.read_at(3, two), io::FileError);
}

TEST(EnviHeader, DescribesEachProductLayout) {
    EXPECT_EQ(io::envi_header(layout_of(Product::kSharpened)),
              "ENVI\nsamples = 11500\nlines = 7500\nbands = 3\nheader offset = 0\n"
              "file type = ENVI Standard\ndata type = 1\ninterleave = bip\nbyte order = 0\n"
              "band names = {NIR, Red, Green}\ndefault bands = {1, 2, 3}\n");
    EXPECT_EQ(io::envi_header(layout_of(Product::kPan16)),
              "ENVI\nsamples = 11500\nlines = 7500\nbands = 1\nheader offset = 0\n"
              "file type = ENVI Standard\ndata type = 12\ninterleave = bsq\nbyte order = 0\n"
              "band names = {PAN}\n");
    const std::string rgbir = io::envi_header(layout_of(Product::kRgbir16));
    EXPECT_NE(rgbir.find("samples = 3680\nlines = 2400\nbands = 4\n"), std::string::npos);
    EXPECT_NE(rgbir.find("data type = 12\n"), std::string::npos);
    EXPECT_NE(rgbir.find("band names = {Red, Green, Blue, NIR}\n"), std::string::npos);
    EXPECT_EQ(rgbir.find("default bands"), std::string::npos);
    EXPECT_NE(io::envi_header(layout_of(Product::kCir8)).find("default bands = {1, 2, 3}"),
              std::string::npos);
    // The layouts add up to the documented product sizes, once each here.
    const std::uint64_t sizes[] = {70'656'000, 26'496'000, 86'250'000, 258'750'000, 172'500'000};
    for (std::size_t i = 0; i < kProducts.size(); ++i)
        EXPECT_EQ(layout_of(kProducts[i]).file_bytes(), sizes[i]);
}

TEST(Sidecar, AppearsExactlyWhenItsProductIsCommitted) {
    TempDir dir;
    io::TempFiles temps;
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        f.set_sidecar(".hdr", "header\n");
        f.write(std::as_bytes(std::span("data", 4)));
        // Before the commit: two temporary files and nothing at a final path.
        const auto names = listing(dir.path());
        ASSERT_EQ(names.size(), 2u);
        for (const auto& n : names)
            EXPECT_TRUE(n.ends_with(".part")) << n;
        io::OutputFile moved = std::move(f);
        moved.commit(true);
    }
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"p.raw", "p.raw.hdr"}));
    EXPECT_EQ(text_of(dir / "p.raw.hdr"), "header\n");

    // Not committed: neither the product nor its header, and the old ones stay.
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        f.set_sidecar(".hdr", "other\n");
    }
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"p.raw", "p.raw.hdr"}));
    EXPECT_EQ(text_of(dir / "p.raw.hdr"), "header\n");
}

TEST(Sidecar, NoneForASpecialFileAndLinksAreFollowed) {
    io::TempFiles temps;
    {
        io::OutputFile f = io::OutputFile::create("/dev/null", temps);
        f.set_sidecar(".hdr", "header\n");
        f.commit(false);
    }
    EXPECT_FALSE(fs::exists("/dev/null.hdr"));

    // The header sits beside the path given; a header path that is a link
    // keeps being a link and its target gets the text.
    TempDir dir;
    fs::create_directory(dir.path() / "real");
    fs::create_symlink("real/p.raw", dir.path() / "p.raw");
    fs::create_symlink("real/h", dir.path() / "p.raw.hdr");
    {
        io::OutputFile f = io::OutputFile::create(dir / "p.raw", temps);
        f.set_sidecar(".hdr", "header\n");
        f.commit(false);
    }
    EXPECT_TRUE(fs::is_symlink(dir.path() / "p.raw.hdr"));
    EXPECT_EQ(text_of(dir / "real/h"), "header\n");
    EXPECT_EQ(listing(dir.path() / "real"), (std::vector<std::string>{"h", "p.raw"}));
}

// Pages of `path` held in the page cache.
std::size_t cached_pages(const std::string& path) {
    const std::size_t size = fs::file_size(path);
    const int fd = ::open(path.c_str(), O_RDONLY);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return SIZE_MAX;
    const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> resident((size + page - 1) / page);
    ::mincore(map, size, resident.data());
    ::munmap(map, size);
    return std::size_t(
        std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }));
}

// Direct writes: pieces of every size and alignment (a small one first, so
// an aligned buffer goes through the staging buffer, then an aligned one
// into a fresh file, straight from the caller) end up exactly as written,
// ending mid-block, and leave at most the last partial block in the page
// cache. A special file is written as it is.
TEST(OutputFile, DirectWritesKeepEveryByteAndBypassThePageCache) {
    TempDir dir;
    io::TempFiles temps;
    constexpr std::size_t kBig = (std::size_t(9) << 20) + 4096 * 3;
    std::unique_ptr<std::byte, void (*)(void*)> big(
        static_cast<std::byte*>(std::aligned_alloc(4096, kBig)), std::free);
    for (std::size_t i = 0; i < kBig; ++i)
        big.get()[i] = std::byte(i * 7 + i / 4099);
    std::vector<std::byte> odd(5000);
    for (std::size_t i = 0; i < odd.size(); ++i)
        odd[i] = std::byte(i % 251);
    for (const bool small_first : {true, false}) {
        const std::string path = dir / (small_first ? "a.raw" : "b.raw");
        std::vector<std::uint8_t> expected;
        auto add = [&](const std::byte* p, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i)
                expected.push_back(std::uint8_t(p[i]));
        };
        io::OutputFile f = io::OutputFile::create(path, temps, io::IoMode::kDirect);
        if (!f.writes_directly()) GTEST_SKIP() << dir.path() << " takes no direct writes";
        if (small_first) {
            f.write(std::span(odd).first(10));
            add(odd.data(), 10);
        }
        f.write(std::span<const std::byte>(big.get(), kBig));
        add(big.get(), kBig);
        const std::vector<iovec> parts = {
            {odd.data(), 1000}, {big.get() + 1, 3}, {odd.data(), 4999}};
        f.write(parts);
        add(odd.data(), 1000);
        add(big.get() + 1, 3);
        add(odd.data(), 4999);
        f.commit(false);
        EXPECT_LE(cached_pages(path), 2u) << path;
        EXPECT_EQ(read_file(path), expected) << path;
    }
    io::OutputFile null = io::OutputFile::create("/dev/null", temps, io::IoMode::kDirect);
    EXPECT_FALSE(null.writes_directly());
    null.write(std::span(odd));
    null.commit(false);
}

}  // namespace
}  // namespace cirsharp
