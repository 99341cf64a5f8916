#pragma once

// Motion-JPEG as webcams send it: many leave the standard Huffman tables out of their
// frames, since a decoder knows them.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vcam {

// Copies `jpeg` to `out` without its DHT segments; `out` needs `size` bytes. Returns the
// bytes written. A decoder then falls back on the standard tables, which the encoder
// must have used.
inline size_t withoutHuffmanTables(const uint8_t *jpeg, size_t size, uint8_t *out)
{
    std::memcpy(out, jpeg, 2); // SOI
    size_t at = 2, n = 2;
    while (at + 4 <= size && jpeg[at] == 0xff && jpeg[at + 1] != 0xda) { // segments up to the scan
        const size_t length = 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3]);
        if (at + length > size)
            break;
        if (jpeg[at + 1] != 0xc4) {
            std::memcpy(out + n, jpeg + at, length);
            n += length;
        }
        at += length;
    }
    std::memcpy(out + n, jpeg + at, size - at);
    return n + size - at;
}

} // namespace vcam
