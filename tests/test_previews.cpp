// Previews made from memory: the converter's previews of the bytes it writes
// are those of the written products, pixel for pixel, whatever the width and
// the threads.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "driver/previews.hpp"
#include "driver/run.hpp"
#include "driver/transcript.hpp"
#include "io/temp_files.hpp"
#include "support.hpp"

namespace cirsharp {
namespace {

using test::TempDir;

// The preview of a written product, read from its file in pieces as the
// quicklook tool reads it.
Preview preview_of_file(const std::string& path, Product product, int max_width) {
    const ProductLayout& layout = layout_of(product);
    PreviewBuilder builder(layout, max_width);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> piece(std::size_t(5) << 20);
    for (std::uint64_t left = layout.file_bytes(); left > 0;) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(piece.size(), left));
        in.read(piece.data(), std::streamsize(n));
        EXPECT_TRUE(in) << path;
        if (!in) break;
        builder.add(std::as_bytes(std::span(piece.data(), n)));
        left -= n;
    }
    return builder.finish();
}

// Converts as `plan` says, making the previews of `previews` as it goes.
void convert_with(const RunPlan& plan, RunPreviews& previews) {
    io::TempFiles temps;
    std::ostringstream lines;
    Transcript transcript(lines);
    RunFindings found;
    run_conversion(plan, temps, transcript, found, &previews);
}

TEST(Previews, FromMemoryEqualThoseOfTheWrittenProductsAtEachWidthAndThreadCount) {
    const auto& plain = test::sample_run();
    const int widths[] = {kQuicklookWidth, 240};
    std::vector<PreviewOrder> orders;
    for (const int width : widths) {
        PreviewOrder& o = orders.emplace_back();
        o.max_width = width;
        o.shown.fill(true);
    }
    std::vector<std::vector<Preview>> want(std::size(widths));
    for (std::size_t w = 0; w < std::size(widths); ++w)
        for (std::size_t i = 0; i < kProducts.size(); ++i)
            want[w].push_back(preview_of_file(plain.paths[2 + i], kProducts[i], widths[w]));
    for (const int threads : {1, 2}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        TempDir dir;
        RunPlan plan;
        plan.paths = test::sample_paths(dir);
        plan.threads = threads;
        RunPreviews previews(orders);
        convert_with(plan, previews);
        for (std::size_t w = 0; w < std::size(widths); ++w) {
            const auto made = previews.previews(w);
            ASSERT_EQ(made.size(), kProducts.size());
            for (std::size_t i = 0; i < kProducts.size(); ++i) {
                SCOPED_TRACE(std::string(layout_of(kProducts[i]).name) + " at " +
                             std::to_string(widths[w]));
                EXPECT_EQ(made[i].first, kProducts[i]);
                EXPECT_EQ(made[i].second.width, want[w][i].width);
                EXPECT_EQ(made[i].second.height, want[w][i].height);
                EXPECT_EQ(made[i].second.channels, want[w][i].channels);
                EXPECT_TRUE(made[i].second.pixels == want[w][i].pixels);
            }
        }
    }
}

// A product going to a device has nothing to show; the others still do.
TEST(Previews, NoneOfAProductWrittenToADevice) {
    TempDir dir;
    RunPlan plan;
    plan.paths = test::sample_paths(dir);
    for (const int i : {2, 4, 5, 6})
        plan.paths[std::size_t(i)] = "/dev/null";
    plan.threads = 1;
    plan.quicklook = "ql";
    plan.thumbnail = 100;
    const auto orders = preview_orders(plan);
    ASSERT_EQ(orders.size(), 2u);
    EXPECT_EQ(orders[1].folder, "/dev");
    RunPreviews previews(orders);
    convert_with(plan, previews);
    const auto quicklooks = previews.previews(0);
    ASSERT_EQ(quicklooks.size(), 1u);
    EXPECT_EQ(quicklooks[0].first, Product::kCir8);
    EXPECT_TRUE(previews.previews(1).empty());
}

}  // namespace
}  // namespace cirsharp
