// Reduction of a pixel-interleaved raster to a small 8-bit preview: each
// preview pixel is the mean of a factor x factor block (fewer at the right and
// bottom edges). The raster is taken as a stream of bytes in file order, in
// pieces of any size, so the converter can feed it the bytes it writes and
// the quicklook tool the bytes it reads; both get the same pixels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "compute/cpu.hpp"
#include "io/buffer.hpp"
#include "raster/geometry.hpp"

namespace cirsharp {

struct RasterShape {
    int width;
    int height;
    int bands;
    int bytes_per_sample;  // 1, or 2 for uint16 LE
    std::size_t row_samples() const { return std::size_t(width) * std::size_t(bands); }
    std::size_t row_bytes() const { return row_samples() * std::size_t(bytes_per_sample); }
};

// Memory for the large arrays of a preview, as for the work buffers: huge
// pages where the kernel allows, as a run's fresh memory costs it more in
// page faults than the sums cost.
template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (void* p = io::allocate_bytes(n * sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }
    // Elements that grow with `resize` are left unset, as every one is
    // written before it is read: no pass over fresh memory only to clear it.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};
template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

struct Preview {
    int width = 0;
    int height = 0;
    int channels = 0;                  // 1 grey, 3 RGB
    LargeVector<std::uint8_t> pixels;  // row-major, channels interleaved
};

// The smallest block edge that makes `width` at most `max_width` across.
int reduction_factor(int width, int max_width);

// The bands a product's preview shows: red, green and blue of RGBIR16, the
// three bands of a CIR product in file order (NIR, red, green as R, G, B),
// the one band of a PAN product.
std::vector<int> shown_bands(const ProductLayout& layout);

// Output channel c shows band channels[c]. Bytes are shown as they are, as the
// rounded block mean; 16-bit bands are stretched linearly from their smallest
// to their largest sample in the whole raster onto 0..255.
//
// The work is two passes that vectorise: each row is added to per-column sums
// (and, for 16-bit samples, per-column extremes), and only once a row of
// blocks is complete are the columns of each block summed.
class PreviewBuilder {
  public:
    // The per-column sums take the vector instructions of `simd`.
    PreviewBuilder(RasterShape shape, std::vector<int> channels, int factor,
                   Simd simd = best_simd());
    // The preview of `layout` at most `max_width` pixels across.
    PreviewBuilder(const ProductLayout& layout, int max_width, Simd simd = best_simd());

    // The raster's next bytes in file order: whole samples, a row may be
    // split between calls. More bytes than the raster has are refused.
    void add(std::span<const std::byte> bytes);
    // Whole rows taken so far.
    int rows_added() const { return next_row_; }
    // Needs every row added; once only.
    Preview finish();

  private:
    // `samples` of the current row, or of each of `rows` (1, 2 or 4) whole
    // rows.
    void add_run(const std::byte* data, std::size_t samples, int rows);
    void end_block_row();

    Simd simd_;
    RasterShape shape_;
    std::vector<int> channels_;
    int factor_;
    int out_width_;
    int out_height_;
    int next_row_ = 0;
    int in_block_ = 0;    // rows of the current row of blocks taken
    std::size_t at_ = 0;  // samples of the current row taken
    // Per-column sums of the current row of blocks: 16 bits where bytes
    // cannot overflow them, else 32.
    std::vector<std::uint16_t> column_sums16_;
    std::vector<std::uint32_t> column_sums32_;
    // Per-column extremes of 16-bit samples over every row so far.
    std::vector<std::uint16_t> column_min_, column_max_;
    // Finished blocks: bytes as shown; of 16-bit samples the block sums, in
    // the fewest of 3, 4 or 8 bytes that hold them, until the extremes are
    // known, which `finish` turns into the pixels in the same memory.
    LargeVector<std::uint8_t> pixels_;
    std::size_t sum_bytes_ = 0;
    bool wide_sums_ = false;  // block sums need 64 bits
    bool finished_ = false;
    // Of the row of blocks just ended: every band's sums, the shown ones.
    std::vector<std::uint32_t> block_sums_;
    std::vector<std::uint64_t> shown_;
    // The rounded means of the sums of bytes over blocks of `table_count_`.
    std::vector<std::uint8_t> means_;
    std::uint64_t table_count_ = 0;
};

}  // namespace cirsharp
