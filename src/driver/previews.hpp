// The previews that --quicklook and --thumbnail ask for, made from the
// products' bytes as the run writes them and handed to the quicklook tool
// once the run has succeeded: no product is read again.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "driver/plan.hpp"
#include "preview/preview.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

namespace io {
class ProductWriter;
class SignalGuard;
}  // namespace io

// How wide the quicklooks of --quicklook are at most.
inline constexpr int kQuicklookWidth = 2000;

// One run of the quicklook tool: the PNGs of the products `shown` (in
// position order), at most `max_width` pixels across, into `folder`.
struct PreviewOrder {
    std::string folder;
    int max_width = kQuicklookWidth;
    std::array<bool, kProducts.size()> shown{};
    std::string failed;  // the message when the tool fails
};

// The orders of --quicklook (all five into its folder) and --thumbnail (the
// sharpened product into the folder of its path as given).
std::vector<PreviewOrder> preview_orders(const RunPlan& plan);

class RunPreviews {
  public:
    explicit RunPreviews(std::vector<PreviewOrder> orders);
    RunPreviews(const RunPreviews&) = delete;
    RunPreviews& operator=(const RunPreviews&) = delete;

    bool wanted() const { return !orders_.empty(); }
    // Makes the previews of product `index` (0 to 4, in position order) from
    // what `writer` is handed; none when the product goes to a device or a
    // pipe (`regular` false), which has nothing to show.
    void watch(std::size_t index, bool regular, io::ProductWriter& writer);
    // Once every product is written: order `order`'s previews, with their
    // products.
    std::vector<std::pair<Product, Preview>> previews(std::size_t order);
    // Once every product is written: each order's previews to `tool`.
    void hand_over(const std::string& tool, io::SignalGuard& guard);

  private:
    using Builders = std::array<std::unique_ptr<PreviewBuilder>, kProducts.size()>;
    std::vector<PreviewOrder> orders_;
    std::vector<Builders> builders_;  // one set per order
};

}  // namespace cirsharp
