#include "driver/previews.hpp"

#include "driver/quicklook_launch.hpp"
#include "io/paths.hpp"
#include "io/product_writer.hpp"

namespace cirsharp {

std::vector<PreviewOrder> preview_orders(const RunPlan& plan) {
    std::vector<PreviewOrder> orders;
    if (plan.quicklook) {
        PreviewOrder& o = orders.emplace_back();
        o.folder = *plan.quicklook;
        o.shown.fill(true);
        o.failed = "the quicklooks were not made";
    }
    if (plan.thumbnail) {
        PreviewOrder& o = orders.emplace_back();
        o.folder = io::split_path(plan.paths[5]).folder;
        o.max_width = *plan.thumbnail;
        o.shown[std::size_t(Product::kSharpened)] = true;
        o.failed = "the thumbnail was not made";
    }
    return orders;
}

RunPreviews::RunPreviews(std::vector<PreviewOrder> orders)
    : orders_(std::move(orders)), builders_(orders_.size()) {}

void RunPreviews::watch(std::size_t index, bool regular, io::ProductWriter& writer) {
    if (!regular) return;
    std::vector<PreviewBuilder*> builders;
    for (std::size_t o = 0; o < orders_.size(); ++o) {
        if (!orders_[o].shown[index]) continue;
        auto& b = builders_[o][index];
        b = std::make_unique<PreviewBuilder>(layout_of(kProducts[index]), orders_[o].max_width);
        builders.push_back(b.get());
    }
    if (builders.empty()) return;
    writer.observe([builders](std::span<const std::byte> bytes) {
        for (PreviewBuilder* b : builders)
            b->add(bytes);
    });
}

std::vector<std::pair<Product, Preview>> RunPreviews::previews(std::size_t order) {
    std::vector<std::pair<Product, Preview>> made;
    for (std::size_t i = 0; i < kProducts.size(); ++i)
        if (auto& b = builders_[order][i]) made.emplace_back(kProducts[i], b->finish());
    return made;
}

void RunPreviews::hand_over(const std::string& tool, io::SignalGuard& guard) {
    for (std::size_t o = 0; o < orders_.size(); ++o)
        run_quicklook_tool(tool, orders_[o].folder, orders_[o].max_width, previews(o),
                           orders_[o].failed, guard);
}

}  // namespace cirsharp
