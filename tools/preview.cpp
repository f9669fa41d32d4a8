#include "preview.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace cirsharp {

int reduction_factor(int width, int max_width) {
    if (width < 1 || max_width < 1) throw std::invalid_argument("widths must be positive");
    return (width + max_width - 1) / max_width;
}

PreviewBuilder::PreviewBuilder(RasterShape shape, std::vector<int> channels, int factor)
    : shape_(shape),
      channels_(std::move(channels)),
      factor_(factor),
      out_width_((shape.width + factor - 1) / factor),
      out_height_((shape.height + factor - 1) / factor),
      sums_(std::size_t(out_width_) * std::size_t(out_height_) * channels_.size(), 0),
      minimum_(channels_.size(), UINT32_MAX),
      maximum_(channels_.size(), 0) {}

std::uint32_t PreviewBuilder::sample(const std::byte* pixel, int band) const {
    if (shape_.bytes_per_sample == 1) return std::uint32_t(pixel[band]);
    const auto* s = pixel + 2 * band;
    return std::uint32_t(s[0]) | std::uint32_t(s[1]) << 8;
}

void PreviewBuilder::add_rows(std::span<const std::byte> rows) {
    const std::size_t row_bytes = shape_.row_bytes();
    const std::size_t pixel_bytes =
        std::size_t(shape_.bands) * std::size_t(shape_.bytes_per_sample);
    const std::size_t nc = channels_.size();
    for (std::size_t at = 0; at + row_bytes <= rows.size(); at += row_bytes, ++next_row_) {
        if (next_row_ >= shape_.height) throw std::logic_error("more rows than the raster has");
        const std::byte* row = rows.data() + at;
        std::uint64_t* out =
            &sums_[std::size_t(next_row_ / factor_) * std::size_t(out_width_) * nc];
        for (int x = 0; x < shape_.width; ++x) {
            const std::byte* pixel = row + std::size_t(x) * pixel_bytes;
            std::uint64_t* block = out + std::size_t(x / factor_) * nc;
            for (std::size_t c = 0; c < nc; ++c) {
                const std::uint32_t v = sample(pixel, channels_[c]);
                block[c] += v;
                minimum_[c] = std::min(minimum_[c], v);
                maximum_[c] = std::max(maximum_[c], v);
            }
        }
    }
}

Preview PreviewBuilder::finish() const {
    if (next_row_ != shape_.height) throw std::logic_error("the preview is missing rows");
    const std::size_t nc = channels_.size();
    Preview p{out_width_, out_height_, int(nc), std::vector<std::uint8_t>(sums_.size())};
    for (int y = 0; y < out_height_; ++y) {
        const int rows = std::min(factor_, shape_.height - y * factor_);
        for (int x = 0; x < out_width_; ++x) {
            const int columns = std::min(factor_, shape_.width - x * factor_);
            const std::uint64_t count = std::uint64_t(rows) * std::uint64_t(columns);
            const std::size_t at = (std::size_t(y) * std::size_t(out_width_) + std::size_t(x)) * nc;
            for (std::size_t c = 0; c < nc; ++c) {
                const std::uint64_t sum = sums_[at + c];
                if (shape_.bytes_per_sample == 1) {
                    p.pixels[at + c] = std::uint8_t((sum + count / 2) / count);
                } else if (maximum_[c] > minimum_[c]) {
                    const double mean = double(sum) / double(count);
                    const double span = double(maximum_[c] - minimum_[c]);
                    p.pixels[at + c] =
                        std::uint8_t(std::lround((mean - minimum_[c]) * 255.0 / span));
                }
            }
        }
    }
    return p;
}

}  // namespace cirsharp
