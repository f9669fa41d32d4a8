#include "io/products.hpp"

#include "colour/colour_stage.hpp"
#include "pan/pan_stage.hpp"

namespace cirsharp {

const ProductLayout& layout_of(Product product) {
    const int cw = kColourGeometry.width, ch = kColourGeometry.height;
    const int pw = kPanGeometry.width, ph = kPanGeometry.height;
    static const ProductLayout layouts[] = {
        {"rgbir16", cw, ch, 2, {"Red", "Green", "Blue", "NIR"}, false},
        {"cir8", cw, ch, 1, {"NIR", "Red", "Green"}, true},
        {"pan8", pw, ph, 1, {"PAN"}, false},
        {"sharpened-cir8", pw, ph, 1, {"NIR", "Red", "Green"}, true},
        {"pan16", pw, ph, 2, {"PAN"}, false},
    };
    return layouts[static_cast<int>(product)];
}

}  // namespace cirsharp
