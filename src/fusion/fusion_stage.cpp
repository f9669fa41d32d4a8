#include "fusion/fusion_stage.hpp"

#include <algorithm>
#include <vector>

#include "compute/split.hpp"
#include "fusion/fusion_kernels.hpp"
#include "io/product_writer.hpp"

namespace cirsharp {

void sharpen_cir(std::span<const std::uint8_t> cir, std::span<const std::uint8_t> pan,
                 io::ProductWriter& sharpened, const StageOptions& options,
                 const std::function<void()>& computed) {
    const FusionGeometry& g = kFusionGeometry;
    const std::size_t row_bytes = std::size_t(g.width) * 3;
    // 100 output rows take exactly 32 composite rows, so no two bands work
    // out the factors of one composite row.
    constexpr int kBandRows = 100;
    const int bands = (g.height + kBandRows - 1) / kBandRows;
    const int threads = std::max(1, options.threads);
    // Two rounds of bands in turn and one more: one round is computed while
    // the one before is written.
    sharpened.use_buffers(std::size_t(threads) * 2 + 1, row_bytes * kBandRows);
    std::vector<FusionScratch> scratch(
        static_cast<std::size_t>(threads));  // one per band of a round

    for (int first = 0; first < bands; first += threads) {
        const int count = std::min(threads, bands - first);
        std::vector<std::span<std::byte>> buffers;
        for (int i = 0; i < count; ++i)
            buffers.push_back(sharpened.next());
        parallel_for(threads, std::size_t(count), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const int row = (first + int(i)) * kBandRows;
                const int row_end = std::min(g.height, row + kBandRows);
                const auto target = std::span(reinterpret_cast<std::uint8_t*>(buffers[i].data()),
                                              buffers[i].size());
                if (options.reference)
                    sharpen_rows_reference(cir, pan, g, row, row_end, target);
                else
                    sharpen_rows(cir, pan, g, row, row_end, target, scratch[i]);
            }
        });
        if (first + count == bands) computed();
        for (int i = 0; i < count; ++i) {
            const int row = (first + i) * kBandRows;
            const std::size_t rows = std::size_t(std::min(g.height, row + kBandRows) - row);
            sharpened.write(buffers[i].first(rows * row_bytes));
        }
    }
}

}  // namespace cirsharp
