// cirsharp-quicklook on its own: options, usage errors, products that do not
// fit their layout.
#include <gtest/gtest.h>

#include <filesystem>

#include "support.hpp"

namespace cirsharp {
namespace {

using test::listing;
using test::run_process;
using test::TempDir;

TEST(QuicklookTool, HelpAndUsageErrors) {
    const auto help = run_process(CIRSHARP_QUICKLOOK_BIN, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--output", "--max-width", "--rgbir16", "--cir8", "--pan8",
                               "--sharpened-cir8", "--pan16"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    TempDir dir;
    for (const auto& args :
         {std::vector<std::string>{"--output", dir / "q"}, std::vector<std::string>{"--pan8", "x"},
          std::vector<std::string>{"--output", dir / "q", "--bogus", "x"},
          std::vector<std::string>{"--max-width", "0", "--pan8", "x"}}) {
        const auto r = run_process(CIRSHARP_QUICKLOOK_BIN, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage: cirsharp-quicklook"), std::string::npos);
    }
    // A product shorter or longer than its layout (another product, say):
    // status 1, both sizes named, and no PNG.
    test::write_file(dir / "pan8.raw", std::vector<std::uint8_t>(1000, 7));
    auto r =
        run_process(CIRSHARP_QUICKLOOK_BIN, {"--output", dir / "q", "--pan8", dir / "pan8.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is 1000 bytes long, but a pan8 product has 86250000 bytes"),
              std::string::npos)
        << r.err;
    std::filesystem::resize_file(dir / "pan8.raw", 86250000);
    r = run_process(CIRSHARP_QUICKLOOK_BIN, {"--output", dir / "q", "--cir8", dir / "pan8.raw"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is 86250000 bytes long, but a cir8 product has 26496000 bytes"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(listing(dir.path() / "q").empty());
}

}  // namespace
}  // namespace cirsharp
