#include "png_writer.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace cirsharp {

namespace {

// Filtered bytes coded with one Huffman code: large enough that a block's
// code (about 250 bytes) and its table of pairs cost little, small enough
// that the code follows the picture as it changes down the image.
constexpr std::size_t kBlockBytes = std::size_t(256) << 10;
// A block's code is made from the frequencies of every fourth byte, with
// every byte value given a code: the statistics of 64 K bytes, at a quarter
// of the counting.
constexpr std::size_t kTallyStep = 4;
// Blocks of at least this many bytes are coded from a table of the codes of
// every two bytes (64 K entries, worked out for each block); a smaller one,
// as a thumbnail's, a code at a time.
constexpr std::size_t kPairedBytes = std::size_t(128) << 10;

// Literals 0 to 255 and the end of a block; two distance codes, never used,
// as a decoder may want a complete code for them too.
constexpr int kLiterals = 257;
constexpr int kEndOfBlock = 256;
constexpr int kDistances = 2;
// Deflate allows 15 bits; at 13 the codes of two bytes fit one 32-bit entry
// of the table of pairs beside their length, and two pairs a 64-bit buffer
// after the 7 bits that may be left over from the last whole byte.
constexpr int kMaxCodeBits = 13;
constexpr int kPairLengthShift = 26;
constexpr int kMaxLengthCodeBits = 7;
// The order in which a block's header gives the lengths of the code of code
// lengths.
constexpr std::array<int, 19> kLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                              11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// The Up filter of a row: in vector registers, as nothing it writes can be
// what it reads.
void up_filter(const std::uint8_t* __restrict row, const std::uint8_t* __restrict above,
               std::size_t n, std::uint8_t* __restrict out) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = std::uint8_t(row[i] - above[i]);
}

// The zlib stream's Adler-32 of `n` more bytes, as zlib's adler32 gives it:
// in runs short enough that the weighted sum of a run fits 32 bits, which
// the compiler works out in vector registers.
std::uint32_t adler32_of(std::uint32_t adler, const std::uint8_t* __restrict data, std::size_t n) {
    constexpr std::uint32_t kModulus = 65521;
    constexpr std::size_t kRun = 5552;
    std::uint64_t a = adler & 0xffff, b = adler >> 16;
    while (n > 0) {
        const std::size_t k = std::min(n, kRun);
        // b gains a once for each byte, and each byte once for every byte
        // from it to the end of the run.
        std::uint32_t sum = 0, weighted = 0;
        for (std::size_t i = 0; i < k; ++i) {
            sum += data[i];
            weighted += std::uint32_t(k - i) * data[i];
        }
        b = (b + k * a + weighted) % kModulus;
        a = (a + sum) % kModulus;
        data += k;
        n -= k;
    }
    return std::uint32_t(b << 16 | a);
}

void put_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

// The 8 bytes of `v`, lowest first.
void put_le64(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (int i = 0; i < 8; ++i)
            p[i] = std::uint8_t(v >> (8 * i));
    }
}

// The code lengths, at most `limit` bits, of a Huffman code for symbols of
// frequencies `freq` (0 for those that do not occur): a complete prefix
// code of at least two symbols, as decoders require.
void huffman_lengths(const std::uint32_t* freq, int n, int limit, std::uint8_t* lengths) {
    std::vector<std::pair<std::uint32_t, int>> leaves;  // frequency, symbol
    for (int s = 0; s < n; ++s)
        if (freq[s]) leaves.emplace_back(freq[s], s);
    for (int s = 0; leaves.size() < 2; ++s)
        if (!freq[s]) leaves.emplace_back(0, s);
    std::sort(leaves.begin(), leaves.end());
    // Two queues: the leaves by frequency, and the inner nodes in the order
    // they are made, which is also by weight.
    const std::size_t m = leaves.size();
    std::vector<std::uint64_t> weight(2 * m - 1);
    std::vector<std::size_t> parent(2 * m - 1);
    for (std::size_t i = 0; i < m; ++i)
        weight[i] = leaves[i].first;
    std::size_t leaf = 0, inner = m;
    const auto smallest = [&](std::size_t made) {
        if (leaf < m && (inner >= made || weight[leaf] <= weight[inner])) return leaf++;
        return inner++;
    };
    for (std::size_t k = m; k < 2 * m - 1; ++k) {
        const std::size_t a = smallest(k), b = smallest(k);
        weight[k] = weight[a] + weight[b];
        parent[a] = parent[b] = k;
    }
    std::vector<int> depth(2 * m - 1, 0);
    std::array<int, 64> count{};
    for (std::size_t k = 2 * m - 1; k-- > 0;) {
        if (k != 2 * m - 2) depth[k] = depth[parent[k]] + 1;
        if (k < m) ++count[std::size_t(std::min(depth[k], limit))];
    }
    // Codes longer than the limit were cut to it; lengthen the longest
    // shorter codes until the code is complete again.
    std::uint64_t kraft = 0;
    for (int len = 1; len <= limit; ++len)
        kraft += std::uint64_t(count[std::size_t(len)]) << (limit - len);
    while (kraft > (std::uint64_t(1) << limit)) {
        --count[std::size_t(limit)];
        for (int len = limit - 1; len > 0; --len)
            if (count[std::size_t(len)]) {
                --count[std::size_t(len)];
                count[std::size_t(len) + 1] += 2;
                break;
            }
        --kraft;
    }
    // The rarest symbols get the longest codes.
    std::fill(lengths, lengths + n, std::uint8_t(0));
    std::size_t next = 0;
    for (int len = limit; len > 0; --len)
        for (int i = 0; i < count[std::size_t(len)]; ++i)
            lengths[leaves[next++].second] = std::uint8_t(len);
}

// The canonical codes of `lengths`, bit-reversed as deflate sends them
// lowest bit first: each entry is the code, and its length above bit 16.
void canonical_codes(const std::uint8_t* lengths, int n, std::uint32_t* codes) {
    std::array<std::uint32_t, 17> count{}, next{};
    for (int s = 0; s < n; ++s)
        ++count[lengths[s]];
    count[0] = 0;
    std::uint32_t code = 0;
    for (int len = 1; len <= 15; ++len) {
        code = (code + count[std::size_t(len) - 1]) << 1;
        next[std::size_t(len)] = code;
    }
    for (int s = 0; s < n; ++s) {
        const int len = lengths[s];
        std::uint32_t c = len ? next[std::size_t(len)]++ : 0, reversed = 0;
        for (int i = 0; i < len; ++i, c >>= 1)
            reversed = reversed << 1 | (c & 1);
        codes[s] = reversed | std::uint32_t(len) << 16;
    }
}

}  // namespace

PngWriter::PngWriter(int width, int height, int channels, Sink sink)
    : width_(width),
      height_(height),
      channels_(channels),
      sink_(std::move(sink)),
      row_bytes_(std::size_t(width) * std::size_t(channels)),
      adler_(1) {
    if (width < 1 || height < 1 || (channels != 1 && channels != 3))
        throw std::invalid_argument("a PNG of at least one grey or RGB pixel");
    previous_.assign(row_bytes_, 0);
    // Left unset, as every byte is written before it is read: a small
    // picture touches no more fresh memory than it needs.
    const std::size_t all = std::size_t(height) * (row_bytes_ + 1);
    block_bytes_ = std::max(std::min(kBlockBytes, all), row_bytes_ + 1);
    filtered_.reset(new std::uint8_t[block_bytes_]);
    // The worst block: every byte a 15-bit code, the header's 259 lengths at
    // 7 bits, the chunk's framing, the stream's ends and room for a store of
    // 8 bytes past the last.
    out_.reset(new std::byte[sizeof kSignature + 25 + block_bytes_ * 2 + 512]);
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(out_.get());
    std::memcpy(p, kSignature, sizeof kSignature);
    std::uint8_t* ihdr = p + sizeof kSignature;
    put_be32(ihdr, 13);
    std::memcpy(ihdr + 4, "IHDR", 4);
    put_be32(ihdr + 8, std::uint32_t(width));
    put_be32(ihdr + 12, std::uint32_t(height));
    ihdr[16] = 8;                        // bits a sample
    ihdr[17] = channels == 1 ? 0 : 2;    // grey, or RGB
    ihdr[18] = ihdr[19] = ihdr[20] = 0;  // deflate, adaptive filters, no interlace
    put_be32(ihdr + 21, std::uint32_t(crc32(0, ihdr + 4, 17)));
    used_ = sizeof kSignature + 25;
}

void PngWriter::rows(const std::uint8_t* pixels, int count) {
    if (count < 0 || rows_done_ + count > height_)
        throw std::logic_error("more rows than the PNG has");
    const std::size_t n = row_bytes_;
    const std::uint8_t* above = previous_.data();
    for (int y = 0; y < count; ++y, pixels += n) {
        if (filled_ + 1 + n > block_bytes_) encode_block(false);
        std::uint8_t* const f = filtered_.get() + filled_;
        *f = 2;  // Up: each byte less the byte above it
        up_filter(pixels, above, n, f + 1);
        filled_ += 1 + n;
        above = pixels;
    }
    if (count > 0) std::memcpy(previous_.data(), above, n);
    rows_done_ += count;
}

void PngWriter::end() {
    if (rows_done_ != height_) throw std::logic_error("the PNG is missing rows");
    encode_block(true);
    std::uint8_t* p = reinterpret_cast<std::uint8_t*>(out_.get());
    put_be32(p, 0);
    std::memcpy(p + 4, "IEND", 4);
    put_be32(p + 8, std::uint32_t(crc32(0, p + 4, 4)));
    sink_(std::span<const std::byte>(out_.get(), 12));
}

void PngWriter::encode_block(bool last) {
    const std::uint8_t* data = filtered_.get();
    const std::size_t n = filled_;
    adler_ = adler32_of(adler_, data, n);

    // The frequencies of every fourth byte, in four tables so that runs of
    // one byte do not wait on one counter; each byte value at least once, so
    // that those the sample missed have a code too.
    std::array<std::array<std::uint32_t, 256>, 4> tally{};
    constexpr std::size_t kStride = 4 * kTallyStep;
    std::size_t i = 0;
    for (; i + kStride <= n; i += kStride) {
        ++tally[0][data[i]];
        ++tally[1][data[i + kTallyStep]];
        ++tally[2][data[i + 2 * kTallyStep]];
        ++tally[3][data[i + 3 * kTallyStep]];
    }
    for (; i < n; i += kTallyStep)
        ++tally[0][data[i]];
    std::array<std::uint32_t, kLiterals + kDistances> freq{};
    for (int s = 0; s < 256; ++s)
        freq[std::size_t(s)] = 1 + tally[0][std::size_t(s)] + tally[1][std::size_t(s)] +
                               tally[2][std::size_t(s)] + tally[3][std::size_t(s)];
    freq[kEndOfBlock] = 1;

    std::array<std::uint8_t, kLiterals + kDistances> lengths{};
    huffman_lengths(freq.data(), kLiterals, kMaxCodeBits, lengths.data());
    lengths[kLiterals] = lengths[kLiterals + 1] = 1;
    std::array<std::uint32_t, kLiterals> codes{};
    canonical_codes(lengths.data(), kLiterals, codes.data());
    // The code of the code lengths, which are sent one by one.
    std::array<std::uint32_t, 19> length_freq{};
    for (const std::uint8_t len : lengths)
        ++length_freq[len];
    std::array<std::uint8_t, 19> length_lengths{};
    huffman_lengths(length_freq.data(), 19, kMaxLengthCodeBits, length_lengths.data());
    std::array<std::uint32_t, 19> length_codes{};
    canonical_codes(length_lengths.data(), 19, length_codes.data());

    // An IDAT chunk: its length and type, then the coded bits; the first
    // carries the zlib stream's header.
    std::uint8_t* const base = reinterpret_cast<std::uint8_t*>(out_.get());
    const std::size_t chunk = used_;
    std::memcpy(base + chunk + 4, "IDAT", 4);
    std::uint8_t* p = base + chunk + 8;
    if (!started_) {
        *p++ = 0x78;  // deflate, 32 KiB window
        *p++ = 0x01;  // no dictionary, fastest level; a multiple of 31
        started_ = true;
    }
    std::uint64_t bits = bits_;
    int count = bit_count_;
    const auto put = [&](std::uint32_t value, int len) {
        bits |= std::uint64_t(value) << count;
        count += len;
    };
    const auto code = [&](std::uint32_t entry) { put(entry & 0xffff, int(entry >> 16)); };
    // Whole bytes out; fewer than 8 bits stay.
    const auto flush = [&] {
        put_le64(p, bits);
        p += count >> 3;
        bits >>= count & ~7;
        count &= 7;
    };
    put(last ? 1 : 0, 1);
    put(2, 2);  // dynamic Huffman codes
    put(kLiterals - 257, 5);
    put(kDistances - 1, 5);
    put(19 - 4, 4);
    flush();
    for (const int s : kLengthOrder) {
        put(length_lengths[std::size_t(s)], 3);
        flush();
    }
    for (const std::uint8_t len : lengths) {
        code(length_codes[len]);
        flush();
    }
    i = 0;
    if (n >= kPairedBytes) {
        // The codes of every two bytes as one entry, at the pair's value
        // read with the first byte highest: half the lookups and shifts. A
        // row of the table shares its first byte, so its second codes all
        // move by the same length, in vector registers.
        if (!pairs_) pairs_.reset(new std::uint32_t[256 * 256]);
        std::array<std::uint32_t, 256> code_bits, code_lengths;
        for (std::size_t b = 0; b < 256; ++b) {
            code_bits[b] = codes[b] & 0xffff;
            code_lengths[b] = codes[b] >> 16;
        }
        std::uint32_t* __restrict pairs = pairs_.get();
        for (std::size_t first = 0; first < 256; ++first) {
            const std::uint32_t head = code_bits[first] | code_lengths[first] << kPairLengthShift;
            const std::uint32_t shift = code_lengths[first];
            std::uint32_t* __restrict row = pairs + first * 256;
            for (std::size_t second = 0; second < 256; ++second)
                row[second] = head + (code_bits[second] << shift) +
                              (code_lengths[second] << kPairLengthShift);
        }
        const auto pair_at = [&](std::size_t at) {
            const std::uint32_t entry = pairs[std::size_t(data[at]) << 8 | data[at + 1]];
            put(entry & ((1u << kPairLengthShift) - 1), int(entry >> kPairLengthShift));
        };
        // Two pairs of codes of at most 13 bits after at most 7 left: 59 bits.
        for (; i + 4 <= n; i += 4) {
            pair_at(i);
            pair_at(i + 2);
            flush();
        }
    } else {
        // Four codes of at most 13 bits after at most 7 left: 59 bits.
        for (; i + 4 <= n; i += 4) {
            code(codes[data[i]]);
            code(codes[data[i + 1]]);
            code(codes[data[i + 2]]);
            code(codes[data[i + 3]]);
            flush();
        }
    }
    for (; i < n; ++i) {
        code(codes[data[i]]);
        flush();
    }
    code(codes[kEndOfBlock]);
    flush();
    if (last) {
        if (count > 0) *p++ = std::uint8_t(bits);  // the last byte, padded
        bits = 0;
        count = 0;
        put_be32(p, adler_);
        p += 4;
    }
    bits_ = bits;
    bit_count_ = count;
    const std::size_t length = std::size_t(p - (base + chunk + 8));
    put_be32(base + chunk, std::uint32_t(length));
    put_be32(p, std::uint32_t(crc32(0, base + chunk + 4, uInt(length + 4))));
    sink_(std::span<const std::byte>(out_.get(), std::size_t(p + 4 - base)));
    used_ = 0;
    filled_ = 0;
}

}  // namespace cirsharp
