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
// Samples whose sum over a block this wide (and high) still fits 32 bits:
// 16-bit ones, and bytes.
constexpr int kWordFactorIn32Bits = 256;
// 16-bit samples whose block sums are kept in 3 bytes: those of the 2000-pixel
// previews (blocks of 2 and 6), a quarter less fresh memory to fault in.
constexpr int kWordFactorIn24Bits = 16;
constexpr int kByteFactorIn32Bits = 4104;
// Blocks of bytes of at most this many pixels have their means looked up.
constexpr std::uint64_t kTabledCount = 256;

// The first row of a row of blocks starts the per-column sums and extremes,
// the others add to them: no pass clears them. `Rows` rows, `stride` bytes
// apart, at once: each column's sum and extremes are loaded and stored once
// for all of them.
template <int Rows, class Sum>
[[gnu::always_inline]] inline void add_bytes(const std::uint8_t* __restrict in, std::size_t stride,
                                             Sum* __restrict sums, std::size_t n, bool first) {
    for (std::size_t i = 0; i < n; ++i) {
        Sum sum = first ? Sum(0) : sums[i];
        for (int r = 0; r < Rows; ++r)
            sum = Sum(sum + in[std::size_t(r) * stride + i]);
        sums[i] = sum;
    }
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

// Of one band (`Columns` false) only the band's extremes are kept, in the
// first column's place: the others keep the values they start with.
template <int Rows, bool Columns>
[[gnu::always_inline]] inline void add_words(const std::byte* __restrict in, std::size_t stride,
                                             std::uint32_t* __restrict sums,
                                             std::uint16_t* __restrict lo,
                                             std::uint16_t* __restrict hi, std::size_t n,
                                             bool first) {
    std::uint16_t band_small = lo[0], band_large = hi[0];
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t sum = first ? 0 : sums[i];
        std::uint16_t small = Columns ? lo[i] : band_small;
        std::uint16_t large = Columns ? hi[i] : band_large;
        for (int r = 0; r < Rows; ++r) {
            const std::uint16_t v = le16(in + std::size_t(r) * stride + 2 * i);
            sum += v;
            small = v < small ? v : small;
            large = v > large ? v : large;
        }
        sums[i] = sum;
        if (Columns) {
            lo[i] = small;
            hi[i] = large;
        } else {
            band_small = small;
            band_large = large;
        }
    }
    if (!Columns) {
        lo[0] = band_small;
        hi[0] = band_large;
    }
}

// The same loops compiled for each vector width.
template <int Rows, class Sum>
void add_bytes_baseline(const std::uint8_t* __restrict in, std::size_t stride, Sum* __restrict sums,
                        std::size_t n, bool first) {
    add_bytes<Rows>(in, stride, sums, n, first);
}
template <int Rows, class Sum>
CIRSHARP_TARGET_AVX2 void add_bytes_avx2(const std::uint8_t* __restrict in, std::size_t stride,
                                         Sum* __restrict sums, std::size_t n, bool first) {
    add_bytes<Rows>(in, stride, sums, n, first);
}
template <int Rows, bool Columns>
void add_words_baseline(const std::byte* __restrict in, std::size_t stride,
                        std::uint32_t* __restrict sums, std::uint16_t* __restrict lo,
                        std::uint16_t* __restrict hi, std::size_t n, bool first) {
    if (first)
        add_words<Rows, Columns>(in, stride, sums, lo, hi, n, true);
    else
        add_words<Rows, Columns>(in, stride, sums, lo, hi, n, false);
}
template <int Rows, bool Columns>
CIRSHARP_TARGET_AVX2 void add_words_avx2(const std::byte* __restrict in, std::size_t stride,
                                         std::uint32_t* __restrict sums,
                                         std::uint16_t* __restrict lo, std::uint16_t* __restrict hi,
                                         std::size_t n, bool first) {
    if (first)
        add_words<Rows, Columns>(in, stride, sums, lo, hi, n, true);
    else
        add_words<Rows, Columns>(in, stride, sums, lo, hi, n, false);
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
        wide_sums_ = factor_ > kByteFactorIn32Bits;
        pixels_.reserve(blocks);
        if (factor_ <= kRowsIn16Bits)
            column_sums16_.assign(shape_.row_samples(), 0);
        else
            column_sums32_.assign(shape_.row_samples(), 0);
    } else {
        column_sums32_.assign(shape_.row_samples(), 0);
        column_min_.assign(shape_.row_samples(), std::numeric_limits<std::uint16_t>::max());
        column_max_.assign(shape_.row_samples(), 0);
        wide_sums_ = factor_ > kWordFactorIn32Bits;
        sum_bytes_ = factor_ <= kWordFactorIn24Bits ? 3 : wide_sums_ ? 8 : 4;
        pixels_.reserve(blocks * sum_bytes_);
    }
}

PreviewBuilder::PreviewBuilder(const ProductLayout& layout, int max_width, Simd simd)
    : PreviewBuilder({layout.width, layout.height, layout.bands(), layout.bytes_per_sample},
                     shown_bands(layout), reduction_factor(layout.width, max_width), simd) {}

void PreviewBuilder::add(std::span<const std::byte> bytes) {
    // Samples of 1 or 2 bytes: no division for a piece (PAN16 comes a tile's
    // width at a time).
    const std::size_t sample_bytes = std::size_t(shape_.bytes_per_sample);
    const bool words = sample_bytes == 2;
    if (words && bytes.size() % 2) throw std::logic_error("a preview takes whole samples");
    const std::size_t row_samples = shape_.row_samples();
    const std::byte* data = bytes.data();
    std::size_t left = words ? bytes.size() / 2 : bytes.size();
    while (left > 0) {
        if (next_row_ >= shape_.height) throw std::logic_error("more rows than the raster has");
        // Whole rows of one row of blocks go in four or two at a time.
        int rows = 1;
        if (at_ == 0)
            for (const int k : {4, 2})
                if (left >= std::size_t(k) * row_samples && in_block_ + k <= factor_ &&
                    next_row_ + k <= shape_.height) {
                    rows = k;
                    break;
                }
        const std::size_t n = rows > 1 ? row_samples : std::min(left, row_samples - at_);
        add_run(data, n, rows);
        const std::size_t taken = n * std::size_t(rows);
        data += taken * sample_bytes;
        left -= taken;
        at_ += n;
        if (at_ < row_samples) break;
        at_ = 0;
        next_row_ += rows;
        in_block_ += rows;
        if (in_block_ == factor_ || next_row_ == shape_.height) {
            end_block_row();
            in_block_ = 0;
        }
    }
}

namespace {

// The kernels for `Rows` rows at a time.
template <int Rows>
struct RowKernels {
    using Words = void (*)(const std::byte*, std::size_t, std::uint32_t*, std::uint16_t*,
                           std::uint16_t*, std::size_t, bool);
    template <class Sum>
    using Bytes = void (*)(const std::uint8_t*, std::size_t, Sum*, std::size_t, bool);
    static Words words(bool avx2, bool columns) {
        if (columns) return avx2 ? add_words_avx2<Rows, true> : add_words_baseline<Rows, true>;
        return avx2 ? add_words_avx2<Rows, false> : add_words_baseline<Rows, false>;
    }
    template <class Sum>
    static Bytes<Sum> bytes(bool avx2) {
        return avx2 ? add_bytes_avx2<Rows, Sum> : add_bytes_baseline<Rows, Sum>;
    }
};

template <class Sum>
auto bytes_kernel(int rows, bool avx2) {
    return rows == 4   ? RowKernels<4>::bytes<Sum>(avx2)
           : rows == 2 ? RowKernels<2>::bytes<Sum>(avx2)
                       : RowKernels<1>::bytes<Sum>(avx2);
}

}  // namespace

void PreviewBuilder::add_run(const std::byte* data, std::size_t samples, int rows) {
    const bool first = in_block_ == 0;
    const bool avx2 = simd_ == Simd::avx2;
    const std::size_t stride = shape_.row_bytes();
    if (shape_.bytes_per_sample == 2) {
        // One band's extremes in the first column's place.
        const bool columns = shape_.bands > 1;
        const std::size_t extremes = columns ? at_ : 0;
        const auto add = rows == 4   ? RowKernels<4>::words(avx2, columns)
                         : rows == 2 ? RowKernels<2>::words(avx2, columns)
                                     : RowKernels<1>::words(avx2, columns);
        add(data, stride, column_sums32_.data() + at_, column_min_.data() + extremes,
            column_max_.data() + extremes, samples, first);
        return;
    }
    const auto* in = reinterpret_cast<const std::uint8_t*>(data);
    if (!column_sums16_.empty())
        bytes_kernel<std::uint16_t>(rows, avx2)(in, stride, column_sums16_.data() + at_, samples,
                                                first);
    else
        bytes_kernel<std::uint32_t>(rows, avx2)(in, stride, column_sums32_.data() + at_, samples,
                                                first);
}

namespace {

// The sums of the whole blocks of a row of blocks, `Factor` columns wide,
// over the per-column sums of its rows: every band of each block in turn.
// With the bands and the width constants the compiler unrolls the block and
// vectorises across blocks.
template <int Bands, int Factor, class Sum>
[[gnu::always_inline]] inline void sum_whole_blocks(const Sum* __restrict column_sums,
                                                    std::size_t blocks,
                                                    std::uint32_t* __restrict out) {
    for (std::size_t w = 0; w < blocks; ++w) {
        const Sum* column = column_sums + w * std::size_t(Factor * Bands);
        for (int b = 0; b < Bands; ++b) {
            std::uint32_t sum = 0;
            for (int k = 0; k < Factor; ++k)
                sum += column[k * Bands + b];
            out[w * Bands + std::size_t(b)] = sum;
        }
    }
}

// Any width: the same sums, a block at a time.
template <int Bands, class Sum>
void sum_blocks_any(const Sum* column_sums, int first, int end, int factor, std::uint32_t* out) {
    for (; first < end; first += factor, out += Bands) {
        std::uint32_t block[Bands] = {};
        const Sum* column = column_sums + std::size_t(first) * Bands;
        for (int i = first; i < std::min(end, first + factor); ++i, column += Bands)
            for (int b = 0; b < Bands; ++b)
                block[b] += column[b];
        for (int b = 0; b < Bands; ++b)
            out[b] = block[b];
    }
}

// The widths that previews of 2000 pixels take (blocks of 2 of the colour
// products, 6 of those at PAN resolution), for each vector width.
template <class Sum>
using WholeBlocks = void (*)(const Sum*, std::size_t, std::uint32_t*);
#define CIRSHARP_WHOLE_BLOCKS(BANDS, FACTOR)                                               \
    template <class Sum>                                                                   \
    void whole_##BANDS##_##FACTOR(const Sum* c, std::size_t n, std::uint32_t* out) {       \
        sum_whole_blocks<BANDS, FACTOR>(c, n, out);                                        \
    }                                                                                      \
    template <class Sum>                                                                   \
    CIRSHARP_TARGET_AVX2 void whole_##BANDS##_##FACTOR##_avx2(const Sum* c, std::size_t n, \
                                                              std::uint32_t* out) {        \
        sum_whole_blocks<BANDS, FACTOR>(c, n, out);                                        \
    }
CIRSHARP_WHOLE_BLOCKS(1, 2)
CIRSHARP_WHOLE_BLOCKS(3, 2)
CIRSHARP_WHOLE_BLOCKS(4, 2)
CIRSHARP_WHOLE_BLOCKS(1, 6)
CIRSHARP_WHOLE_BLOCKS(3, 6)
CIRSHARP_WHOLE_BLOCKS(4, 6)
#undef CIRSHARP_WHOLE_BLOCKS

template <class Sum>
WholeBlocks<Sum> whole_blocks(int bands, int factor, Simd simd) {
    const bool avx2 = simd == Simd::avx2;
    if (factor == 2) {
        if (bands == 1) return avx2 ? whole_1_2_avx2<Sum> : whole_1_2<Sum>;
        if (bands == 3) return avx2 ? whole_3_2_avx2<Sum> : whole_3_2<Sum>;
        if (bands == 4) return avx2 ? whole_4_2_avx2<Sum> : whole_4_2<Sum>;
    } else if (factor == 6) {
        if (bands == 1) return avx2 ? whole_1_6_avx2<Sum> : whole_1_6<Sum>;
        if (bands == 3) return avx2 ? whole_3_6_avx2<Sum> : whole_3_6<Sum>;
        if (bands == 4) return avx2 ? whole_4_6_avx2<Sum> : whole_4_6<Sum>;
    }
    return nullptr;
}

// Every band of each block of a row of blocks, into `out`.
template <class Sum>
void sum_blocks(const std::vector<Sum>& column_sums, const RasterShape& shape, int factor,
                Simd simd, std::uint32_t* out) {
    const int bands = shape.bands;
    int first = 0;
    if (const WholeBlocks<Sum> whole = whole_blocks<Sum>(bands, factor, simd)) {
        const std::size_t blocks = std::size_t(shape.width / factor);
        whole(column_sums.data(), blocks, out);
        first = int(blocks) * factor;
        out += blocks * std::size_t(bands);
    }
    switch (bands) {
        case 1:
            return sum_blocks_any<1>(column_sums.data(), first, shape.width, factor, out);
        case 3:
            return sum_blocks_any<3>(column_sums.data(), first, shape.width, factor, out);
        case 4:
            return sum_blocks_any<4>(column_sums.data(), first, shape.width, factor, out);
        default:
            throw std::logic_error("a preview of 1, 3 or 4 bands");
    }
}

// Blocks of 16-bit samples wider than 256 columns: the sums in 64 bits, a
// block at a time.
template <int Bands>
void sum_wide_blocks(const std::uint32_t* column_sums, int width, int factor, std::uint64_t* out) {
    for (int first = 0; first < width; first += factor, out += Bands) {
        std::uint64_t block[Bands] = {};
        const std::uint32_t* column = column_sums + std::size_t(first) * Bands;
        for (int i = first; i < std::min(width, first + factor); ++i, column += Bands)
            for (int b = 0; b < Bands; ++b)
                block[b] += column[b];
        for (int b = 0; b < Bands; ++b)
            out[b] = block[b];
    }
}

// A row of a 16-bit preview from the block sums of its channels, which
// share one pixel count: the mean stretched from the band's smallest sample
// `low` over its range `span` (infinite for a flat band, which is black),
// each step one rounded operation as in the definition.
[[gnu::always_inline]] inline void stretch_row(const double* __restrict sums, double count,
                                               const double* __restrict low,
                                               const double* __restrict span, std::size_t n,
                                               std::uint8_t* __restrict out) {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = (sums[i] / count - low[i]) * 255.0 / span[i];
        // round_half_up of a value in 0..255
        const int whole = int(x);
        out[i] = std::uint8_t(whole + (x - double(whole) >= 0.5 ? 1 : 0));
    }
}
void stretch_row_baseline(const double* sums, double count, const double* low, const double* span,
                          std::size_t n, std::uint8_t* out) {
    stretch_row(sums, count, low, span, n, out);
}
CIRSHARP_TARGET_AVX2 void stretch_row_avx2(const double* sums, double count, const double* low,
                                           const double* span, std::size_t n, std::uint8_t* out) {
    stretch_row(sums, count, low, span, n, out);
}

// A block sum kept in `bytes` bytes, lowest first.
[[gnu::always_inline]] inline std::uint64_t read_sum(const std::uint8_t* from, std::size_t bytes) {
    if (bytes == 3)
        return std::uint32_t(from[0]) | std::uint32_t(from[1]) << 8 | std::uint32_t(from[2]) << 16;
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < bytes; ++k)
        v |= std::uint64_t(from[k]) << (8 * k);
    return v;
}

// The pixels of every sum that a whole block of one channel can have,
// worked out as a row of them would be: where the channels' ranges are
// narrow beside the number of pixels (12-bit samples, say), a lookup costs
// less than the arithmetic of each pixel, and gives the same bytes.
class StretchTables {
  public:
    using Stretch = void (*)(const double*, double, const double*, const double*, std::size_t,
                             std::uint8_t*);
    // `low` and `span` are those of a row of blocks, channel c at every
    // value i with i % channels == c; `pixels` is how many the preview has.
    StretchTables(Stretch stretch, std::uint64_t count, const std::vector<std::uint32_t>& minimum,
                  const std::vector<std::uint32_t>& maximum, const std::vector<double>& low,
                  const std::vector<double>& span, std::size_t pixels) {
        const std::size_t nc = minimum.size();
        std::uint64_t entries = 0;
        for (std::size_t c = 0; c < nc; ++c) {
            if (maximum[c] < minimum[c]) return;
            entries += count * (maximum[c] - minimum[c]) + 1;
        }
        if (entries > pixels / 4) return;
        constexpr std::size_t kPiece = 4096;
        std::vector<double> sums(kPiece), lows(kPiece), spans(kPiece);
        tables_.resize(nc);
        first_.resize(nc);
        for (std::size_t c = 0; c < nc; ++c) {
            first_[c] = count * minimum[c];
            tables_[c].resize(count * (maximum[c] - minimum[c]) + 1);
            std::fill(lows.begin(), lows.end(), low[c]);
            std::fill(spans.begin(), spans.end(), span[c]);
            for (std::size_t at = 0; at < tables_[c].size(); at += kPiece) {
                const std::size_t n = std::min(kPiece, tables_[c].size() - at);
                for (std::size_t k = 0; k < n; ++k)
                    sums[k] = double(first_[c] + at + k);
                stretch(sums.data(), double(count), lows.data(), spans.data(), n,
                        tables_[c].data() + at);
            }
        }
        ready_ = true;
    }
    bool ready() const { return ready_; }
    // The pixels of the first `n` sums (whole pixels of every channel) of
    // `sum_bytes` bytes each at `from`, lowest byte first, into `out`,
    // which may be `from` itself.
    void row(const std::uint8_t* from, std::size_t sum_bytes, std::size_t n,
             std::uint8_t* out) const {
        const std::size_t nc = tables_.size();
        for (std::size_t i = 0; i < n; i += nc)
            for (std::size_t c = 0; c < nc; ++c, from += sum_bytes)
                out[i + c] = tables_[c][read_sum(from, sum_bytes) - first_[c]];
    }

  private:
    bool ready_ = false;
    std::vector<std::vector<std::uint8_t>> tables_;  // one per channel
    std::vector<std::uint64_t> first_;               // the smallest sum of each
};

}  // namespace

void PreviewBuilder::end_block_row() {
    const int block_row = (next_row_ - 1) / factor_;
    const std::uint64_t rows = std::uint64_t(next_row_ - block_row * factor_);
    const std::size_t nc = channels_.size();
    const std::size_t bands = std::size_t(shape_.bands);
    const std::size_t values = std::size_t(out_width_) * nc;
    const std::size_t row_at = std::size_t(block_row) * values;
    // The shown sums of each block in the order of the channels, `shown(i)`:
    // into this row of finished blocks, which grow a row at a time so that
    // their memory is first touched while the row is hot.
    const auto store = [&](auto shown) {
        if (shape_.bytes_per_sample == 2) {
            // The sums in `sum_bytes_` bytes each, lowest first.
            pixels_.resize((row_at + values) * sum_bytes_);
            std::uint8_t* __restrict to = pixels_.data() + row_at * sum_bytes_;
            if (sum_bytes_ == 3) {
                for (std::size_t i = 0; i < values; ++i, to += 3) {
                    const std::uint64_t v = shown(i);
                    to[0] = std::uint8_t(v);
                    to[1] = std::uint8_t(v >> 8);
                    to[2] = std::uint8_t(v >> 16);
                }
            } else {
                for (std::size_t i = 0; i < values; ++i)
                    for (std::size_t k = 0; k < sum_bytes_; ++k)
                        *to++ = std::uint8_t(shown(i) >> (8 * k));
            }
            return;
        }
        pixels_.resize(row_at + values);
        std::uint8_t* __restrict pixels = pixels_.data() + row_at;
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
            const std::uint8_t* __restrict means = means_.data();
            for (std::size_t i = 0; i < values; ++i)
                pixels[i] = means[shown(i)];
        } else {
            const RoundedMean mean(count);
            for (std::size_t i = 0; i < values; ++i)
                pixels[i] = mean(shown(i));
        }
        // The last block of a row may be narrower.
        const int last = shape_.width - (out_width_ - 1) * factor_;
        const RoundedMean narrow(rows * std::uint64_t(last));
        for (std::size_t i = values - nc; i < values; ++i)
            pixels[i] = narrow(shown(i));
    };
    // Every band's sums of each block: as they are when every band is shown
    // in order, else gathered.
    bool in_order = true;
    for (std::size_t c = 0; c < nc; ++c)
        in_order = in_order && channels_[c] == int(c);
    const auto gather = [&](const auto* sums) {
        shown_.resize(values);
        for (std::size_t x = 0, i = 0; x < std::size_t(out_width_); ++x)
            for (std::size_t c = 0; c < nc; ++c, ++i)
                shown_[i] = sums[x * bands + std::size_t(channels_[c])];
        store([shown = shown_.data()](std::size_t i) { return shown[i]; });
    };
    if (wide_sums_) {
        std::vector<std::uint64_t> sums(std::size_t(out_width_) * bands);
        switch (shape_.bands) {
            case 1:
                sum_wide_blocks<1>(column_sums32_.data(), shape_.width, factor_, sums.data());
                break;
            case 3:
                sum_wide_blocks<3>(column_sums32_.data(), shape_.width, factor_, sums.data());
                break;
            case 4:
                sum_wide_blocks<4>(column_sums32_.data(), shape_.width, factor_, sums.data());
                break;
            default:
                throw std::logic_error("a preview of 1, 3 or 4 bands");
        }
        gather(sums.data());
        return;
    }
    block_sums_.resize(std::size_t(out_width_) * bands);
    if (!column_sums16_.empty())
        sum_blocks(column_sums16_, shape_, factor_, simd_, block_sums_.data());
    else
        sum_blocks(column_sums32_, shape_, factor_, simd_, block_sums_.data());
    const std::uint32_t* sums = block_sums_.data();
    if (in_order && nc == bands)
        store([sums](std::size_t i) { return std::uint64_t(sums[i]); });
    else if (in_order && nc == 3 && bands == 4)  // RGB of RGBIR: block i / 3, band i % 3
        store([sums](std::size_t i) { return std::uint64_t(sums[i + i / 3]); });
    else
        gather(sums);
}

Preview PreviewBuilder::finish() {
    if (next_row_ != shape_.height) throw std::logic_error("the preview is missing rows");
    if (finished_) throw std::logic_error("the preview is finished already");
    finished_ = true;
    const std::size_t nc = channels_.size();
    const std::size_t values = std::size_t(out_width_) * nc;
    if (shape_.bytes_per_sample == 1)
        return Preview{out_width_, out_height_, int(nc), std::move(pixels_)};
    // Each channel's extremes over the whole raster; the pattern of the
    // channels along a row of blocks.
    const std::size_t bands = std::size_t(shape_.bands);
    std::vector<double> low(values), span(values);
    std::vector<std::uint32_t> smallest(nc), largest(nc);
    for (std::size_t c = 0; c < nc; ++c) {
        const std::size_t band = std::size_t(channels_[c]);
        std::uint32_t minimum = std::numeric_limits<std::uint16_t>::max(), maximum = 0;
        for (std::size_t i = band; i < column_min_.size(); i += bands) {
            minimum = std::min<std::uint32_t>(minimum, column_min_[i]);
            maximum = std::max<std::uint32_t>(maximum, column_max_[i]);
        }
        smallest[c] = minimum;
        largest[c] = maximum;
        const bool flat = maximum <= minimum;
        for (std::size_t i = c; i < values; i += nc) {
            low[i] = flat ? 0.0 : double(minimum);
            span[i] = flat ? std::numeric_limits<double>::infinity() : double(maximum - minimum);
        }
    }
    // The pixels replace the sums in their own memory, a row at a time: a
    // row's pixels lie before the sums of the rows after it.
    const auto stretch = simd_ == Simd::avx2 ? stretch_row_avx2 : stretch_row_baseline;
    std::vector<double> sums(values);
    const int last = shape_.width - (out_width_ - 1) * factor_;
    const StretchTables tables(stretch, std::uint64_t(factor_) * std::uint64_t(factor_), smallest,
                               largest, low, span, values * std::size_t(out_height_));
    for (int y = 0; y < out_height_; ++y) {
        const std::uint8_t* from = pixels_.data() + std::size_t(y) * values * sum_bytes_;
        const int rows = std::min(factor_, shape_.height - y * factor_);
        std::uint8_t* out = pixels_.data() + std::size_t(y) * values;
        if (rows == factor_ && tables.ready()) {
            // The whole blocks looked up; the narrower last one worked out.
            for (std::size_t c = 0; c < nc; ++c)
                sums[c] = double(read_sum(from + (values - nc + c) * sum_bytes_, sum_bytes_));
            tables.row(from, sum_bytes_, values - nc, out);
            stretch(sums.data(), double(rows) * double(last), low.data() + values - nc,
                    span.data() + values - nc, nc, out + values - nc);
            continue;
        }
        for (std::size_t i = 0; i < values; ++i, from += sum_bytes_)
            sums[i] = double(read_sum(from, sum_bytes_));
        stretch(sums.data(), double(rows) * double(factor_), low.data(), span.data(), values - nc,
                out);
        stretch(sums.data() + values - nc, double(rows) * double(last), low.data(), span.data(), nc,
                out + values - nc);
    }
    pixels_.resize(values * std::size_t(out_height_));
    return Preview{out_width_, out_height_, int(nc), std::move(pixels_)};
}

}  // namespace cirsharp
