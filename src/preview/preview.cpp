#include "preview/preview.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace cirsharp {

namespace {

// Bytes whose sum over this many rows still fits 16 bits.
constexpr int kRowsIn16Bits = 65535 / 255;
// 16-bit samples whose sum over a block this wide still fits 32 bits.
constexpr int kFactorIn32Bits = 256;
// Blocks of bytes of at most this many pixels have their means looked up.
constexpr std::uint64_t kTabledCount = 256;

// The first row of a row of blocks starts the per-column sums and extremes,
// the others add to them: no pass clears them.
template <class Sum>
[[gnu::always_inline]] inline void add_bytes(const std::uint8_t* __restrict in,
                                             Sum* __restrict sums, std::size_t n, bool first) {
    if (first) {
        for (std::size_t i = 0; i < n; ++i)
            sums[i] = in[i];
        return;
    }
    for (std::size_t i = 0; i < n; ++i)
        sums[i] = Sum(sums[i] + in[i]);
}

std::uint16_t le16(const std::byte* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint16_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        return std::uint16_t(std::to_integer<unsigned>(p[0]) | std::to_integer<unsigned>(p[1])
                                                                   << 8);
    }
}

[[gnu::always_inline]] inline void add_words(const std::byte* __restrict in,
                                             std::uint32_t* __restrict sums,
                                             std::uint16_t* __restrict lo,
                                             std::uint16_t* __restrict hi, std::size_t n,
                                             bool first) {
    if (first) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint16_t v = le16(in + 2 * i);
            sums[i] = v;
            lo[i] = v < lo[i] ? v : lo[i];
            hi[i] = v > hi[i] ? v : hi[i];
        }
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t v = le16(in + 2 * i);
        sums[i] += v;
        lo[i] = v < lo[i] ? v : lo[i];
        hi[i] = v > hi[i] ? v : hi[i];
    }
}

// The same loops compiled for each vector width.
template <class Sum>
void add_bytes_baseline(const std::uint8_t* in, Sum* sums, std::size_t n, bool first) {
    add_bytes(in, sums, n, first);
}
template <class Sum>
CIRSHARP_TARGET_AVX2 void add_bytes_avx2(const std::uint8_t* in, Sum* sums, std::size_t n,
                                         bool first) {
    add_bytes(in, sums, n, first);
}
void add_words_baseline(const std::byte* in, std::uint32_t* sums, std::uint16_t* lo,
                        std::uint16_t* hi, std::size_t n, bool first) {
    add_words(in, sums, lo, hi, n, first);
}
CIRSHARP_TARGET_AVX2 void add_words_avx2(const std::byte* in, std::uint32_t* sums,
                                         std::uint16_t* lo, std::uint16_t* hi, std::size_t n,
                                         bool first) {
    add_words(in, sums, lo, hi, n, first);
}

// The rounded mean of a sum of `count` bytes, (sum + count / 2) / count:
// estimated by a multiplication and put right by at most one step, as a
// division per block would cost more than the sums.
class RoundedMean {
  public:
    explicit RoundedMean(std::uint64_t count) : count_(count), inverse_(1.0 / double(count)) {}
    std::uint8_t operator()(std::uint64_t sum) const {
        const std::uint64_t n = sum + count_ / 2;
        auto q = std::uint64_t(double(n) * inverse_);
        if (q * count_ > n)
            --q;
        else if ((q + 1) * count_ <= n)
            ++q;
        return std::uint8_t(q);
    }

  private:
    std::uint64_t count_;
    double inverse_;
};

// std::lround of a value that is never negative, inline: the whole part, one
// more from a fraction of a half up (the subtraction is exact).
long round_half_up(double x) {
    auto whole = long(x);
    if (x - double(whole) >= 0.5) ++whole;
    return whole;
}

}  // namespace

int reduction_factor(int width, int max_width) {
    if (width < 1 || max_width < 1) throw std::invalid_argument("widths must be positive");
    return (width + max_width - 1) / max_width;
}

std::vector<int> shown_bands(const ProductLayout& layout) {
    return layout.bands() >= 3 ? std::vector<int>{0, 1, 2} : std::vector<int>{0};
}

PreviewBuilder::PreviewBuilder(RasterShape shape, std::vector<int> channels, int factor, Simd simd)
    : simd_(simd),
      shape_(shape),
      channels_(std::move(channels)),
      factor_(factor),
      out_width_((shape.width + factor - 1) / factor),
      out_height_((shape.height + factor - 1) / factor) {
    const std::size_t blocks =
        std::size_t(out_width_) * std::size_t(out_height_) * channels_.size();
    if (shape_.bytes_per_sample == 1) {
        pixels_.reserve(blocks);
        if (factor_ <= kRowsIn16Bits)
            column_sums16_.assign(shape_.row_samples(), 0);
        else
            column_sums32_.assign(shape_.row_samples(), 0);
    } else {
        column_sums32_.assign(shape_.row_samples(), 0);
        column_min_.assign(shape_.row_samples(), std::numeric_limits<std::uint16_t>::max());
        column_max_.assign(shape_.row_samples(), 0);
        wide_sums_ = factor_ > kFactorIn32Bits;
        if (wide_sums_)
            sums64_.reserve(blocks);
        else
            sums32_.reserve(blocks);
    }
}

PreviewBuilder::PreviewBuilder(const ProductLayout& layout, int max_width, Simd simd)
    : PreviewBuilder({layout.width, layout.height, layout.bands(), layout.bytes_per_sample},
                     shown_bands(layout), reduction_factor(layout.width, max_width), simd) {}

void PreviewBuilder::add(std::span<const std::byte> bytes) {
    const std::size_t sample_bytes = std::size_t(shape_.bytes_per_sample);
    if (bytes.size() % sample_bytes) throw std::logic_error("a preview takes whole samples");
    const std::size_t row_samples = shape_.row_samples();
    const std::byte* data = bytes.data();
    std::size_t left = bytes.size() / sample_bytes;
    while (left > 0) {
        if (next_row_ >= shape_.height) throw std::logic_error("more rows than the raster has");
        const std::size_t n = std::min(left, row_samples - at_);
        add_run(data, n);
        data += n * sample_bytes;
        left -= n;
        at_ += n;
        if (at_ < row_samples) break;
        at_ = 0;
        ++next_row_;
        if (next_row_ % factor_ == 0 || next_row_ == shape_.height) end_block_row();
    }
}

void PreviewBuilder::add_run(const std::byte* data, std::size_t samples) {
    const bool first = next_row_ % factor_ == 0;
    const bool avx2 = simd_ == Simd::avx2;
    if (shape_.bytes_per_sample == 2) {
        (avx2 ? add_words_avx2 : add_words_baseline)(data, column_sums32_.data() + at_,
                                                     column_min_.data() + at_,
                                                     column_max_.data() + at_, samples, first);
        return;
    }
    const auto* in = reinterpret_cast<const std::uint8_t*>(data);
    if (!column_sums16_.empty())
        (avx2 ? add_bytes_avx2<std::uint16_t>
              : add_bytes_baseline<std::uint16_t>)(in, column_sums16_.data() + at_, samples, first);
    else
        (avx2 ? add_bytes_avx2<std::uint32_t>
              : add_bytes_baseline<std::uint32_t>)(in, column_sums32_.data() + at_, samples, first);
}

namespace {

// The sums of each block of a row of blocks, `factor` columns wide, over the
// per-column sums of its rows: into `out`, the shown channels of each block
// in turn. The bands are a constant, so the sums stay in registers.
template <int Bands, class Sum>
void sum_blocks(const Sum* column_sums, int width, const std::vector<int>& channels, int factor,
                std::uint64_t* out) {
    for (int first = 0; first < width; first += factor) {
        const int end = std::min(width, first + factor);
        std::uint64_t block[Bands] = {};
        const Sum* column = column_sums + std::size_t(first) * Bands;
        for (int i = first; i < end; ++i, column += Bands)
            for (int b = 0; b < Bands; ++b)
                block[b] += column[b];
        for (const int c : channels)
            *out++ = block[c];
    }
}

template <class Sum>
void sum_blocks(const std::vector<Sum>& column_sums, const RasterShape& shape,
                const std::vector<int>& channels, int factor, std::uint64_t* out) {
    switch (shape.bands) {
        case 1:
            return sum_blocks<1>(column_sums.data(), shape.width, channels, factor, out);
        case 3:
            return sum_blocks<3>(column_sums.data(), shape.width, channels, factor, out);
        case 4:
            return sum_blocks<4>(column_sums.data(), shape.width, channels, factor, out);
        default:
            throw std::logic_error("a preview of 1, 3 or 4 bands");
    }
}

}  // namespace

void PreviewBuilder::end_block_row() {
    const int block_row = (next_row_ - 1) / factor_;
    const std::uint64_t rows = std::uint64_t(next_row_ - block_row * factor_);
    const std::size_t nc = channels_.size();
    block_sums_.resize(std::size_t(out_width_) * nc);
    if (!column_sums16_.empty())
        sum_blocks(column_sums16_, shape_, channels_, factor_, block_sums_.data());
    else
        sum_blocks(column_sums32_, shape_, channels_, factor_, block_sums_.data());
    // The finished blocks grow a row at a time, so that their memory is
    // first touched (and cleared) while the row is hot.
    const std::size_t row_at = std::size_t(block_row) * block_sums_.size();
    if (shape_.bytes_per_sample == 1) {
        pixels_.resize(row_at + block_sums_.size());
        std::uint8_t* pixels = pixels_.data() + row_at;
        const std::uint64_t count = rows * std::uint64_t(factor_);
        if (count <= kTabledCount) {
            // Small blocks: every mean looked up in a table of the sums.
            if (table_count_ != count) {
                const RoundedMean mean(count);
                means_.resize(255 * count + 1);
                for (std::uint64_t sum = 0; sum < means_.size(); ++sum)
                    means_[sum] = mean(sum);
                table_count_ = count;
            }
            for (std::size_t i = 0; i < block_sums_.size(); ++i)
                pixels[i] = means_[block_sums_[i]];
        } else {
            const RoundedMean mean(count);
            for (std::size_t i = 0; i < block_sums_.size(); ++i)
                pixels[i] = mean(block_sums_[i]);
        }
        // The last block of a row may be narrower.
        const int last = shape_.width - (out_width_ - 1) * factor_;
        const RoundedMean narrow(rows * std::uint64_t(last));
        for (std::size_t i = block_sums_.size() - nc; i < block_sums_.size(); ++i)
            pixels[i] = narrow(block_sums_[i]);
    } else if (!wide_sums_) {
        sums32_.insert(sums32_.end(), block_sums_.begin(), block_sums_.end());
    } else {
        sums64_.insert(sums64_.end(), block_sums_.begin(), block_sums_.end());
    }
}

Preview PreviewBuilder::finish() {
    if (next_row_ != shape_.height) throw std::logic_error("the preview is missing rows");
    if (finished_) throw std::logic_error("the preview is finished already");
    finished_ = true;
    const std::size_t nc = channels_.size();
    Preview p{out_width_, out_height_, int(nc), std::move(pixels_)};
    if (shape_.bytes_per_sample == 1) return p;
    p.pixels.assign(std::size_t(out_width_) * std::size_t(out_height_) * nc, 0);
    const std::size_t bands = std::size_t(shape_.bands);
    for (std::size_t c = 0; c < nc; ++c) {
        const std::size_t band = std::size_t(channels_[c]);
        std::uint32_t minimum = std::numeric_limits<std::uint16_t>::max(), maximum = 0;
        for (std::size_t i = band; i < column_min_.size(); i += bands) {
            minimum = std::min<std::uint32_t>(minimum, column_min_[i]);
            maximum = std::max<std::uint32_t>(maximum, column_max_[i]);
        }
        if (maximum <= minimum) continue;  // a flat band is black
        const double span = double(maximum - minimum);
        for (int y = 0; y < out_height_; ++y) {
            const int rows = std::min(factor_, shape_.height - y * factor_);
            for (int x = 0; x < out_width_; ++x) {
                const int columns = std::min(factor_, shape_.width - x * factor_);
                const std::uint64_t count = std::uint64_t(rows) * std::uint64_t(columns);
                const std::size_t at =
                    (std::size_t(y) * std::size_t(out_width_) + std::size_t(x)) * nc + c;
                const std::uint64_t sum = wide_sums_ ? sums64_[at] : sums32_[at];
                const double mean = double(sum) / double(count);
                p.pixels[at] = std::uint8_t(round_half_up((mean - minimum) * 255.0 / span));
            }
        }
    }
    return p;
}

}  // namespace cirsharp
