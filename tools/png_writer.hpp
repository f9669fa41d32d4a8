// A PNG encoder for 8-bit grey and RGB previews, made for speed rather than
// for the smallest file: each row is filtered by its difference from the row
// above (Up) and the filtered bytes are coded in deflate blocks of literals
// only, each block with its own Huffman code, as zlib's Huffman-only strategy
// codes them, without zlib's general machinery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace cirsharp {

class PngWriter {
  public:
    // Where the PNG's bytes go, in order, in pieces of any size; it may throw,
    // and the exception leaves the writer through the call that wrote.
    using Sink = std::function<void(std::span<const std::byte>)>;

    // A `width` x `height` image of `channels` (1 grey, 3 RGB) bytes a pixel.
    PngWriter(int width, int height, int channels, Sink sink);

    // The next `count` rows, one after another (width * channels bytes each).
    void rows(const std::uint8_t* pixels, int count);
    // After the last row: the rest of the PNG to the sink.
    void end();

  private:
    void encode_block(bool last);

    int width_, height_, channels_;
    Sink sink_;
    std::size_t row_bytes_;
    int rows_done_ = 0;
    std::vector<std::uint8_t> previous_;  // the last row, for the Up filter
    std::size_t block_bytes_;
    std::unique_ptr<std::uint8_t[]> filtered_;  // the next block's bytes, filtered
    std::size_t filled_ = 0;
    std::unique_ptr<std::uint32_t[]> pairs_;  // the codes of every two bytes, once needed
    std::uint32_t adler_;
    // The PNG's next bytes (`used_` of them before a block): chunk framing
    // and coded bits, handed to the sink after each block.
    std::unique_ptr<std::byte[]> out_;
    std::size_t used_ = 0;
    bool started_ = false;    // the zlib stream's header is out
    std::uint64_t bits_ = 0;  // coded bits not yet in `out_`, lowest first
    int bit_count_ = 0;
};

}  // namespace cirsharp
