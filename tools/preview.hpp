// Reduction of a pixel-interleaved raster to a small 8-bit preview: each
// preview pixel is the mean of a factor x factor block (fewer at the right and
// bottom edges).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace cirsharp {

struct RasterShape {
    int width;
    int height;
    int bands;
    int bytes_per_sample;  // 1, or 2 for uint16 LE
    std::size_t row_bytes() const {
        return std::size_t(width) * std::size_t(bands) * std::size_t(bytes_per_sample);
    }
};

struct Preview {
    int width = 0;
    int height = 0;
    int channels = 0;                  // 1 grey, 3 RGB
    std::vector<std::uint8_t> pixels;  // row-major, channels interleaved
};

// The smallest block edge that makes `width` at most `max_width` across.
int reduction_factor(int width, int max_width);

// Output channel c shows band channels[c]. Bytes are shown as they are, as the
// rounded block mean; 16-bit bands are stretched linearly from their smallest
// to their largest sample in the whole raster onto 0..255.
class PreviewBuilder {
  public:
    PreviewBuilder(RasterShape shape, std::vector<int> channels, int factor);

    // The next whole rows of the raster, top to bottom.
    void add_rows(std::span<const std::byte> rows);
    int rows_added() const { return next_row_; }
    // Needs every row added.
    Preview finish() const;

  private:
    std::uint32_t sample(const std::byte* pixel, int band) const;

    RasterShape shape_;
    std::vector<int> channels_;
    int factor_;
    int out_width_;
    int out_height_;
    int next_row_ = 0;
    std::vector<std::uint64_t> sums_;
    std::vector<std::uint32_t> minimum_, maximum_;
};

}  // namespace cirsharp
