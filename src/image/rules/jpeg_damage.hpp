// SPDX-License-Identifier: MIT
// Whether libjpeg would warn of damage in a JPEG file, judged without it:
// its markers in order, and its Huffman-coded data read to the last block.
// No image library: the same code runs in the page's WebAssembly module.
#pragma once

#include <cstdint>
#include <span>

namespace conemask {

// Refuses (decode_error, in libjpeg's words) a JPEG file that is damaged: a
// segment cut short, bytes where a marker should be, a restart marker out
// of turn, a Huffman code that no table holds, data that ends before the
// last block or runs on well past it, no end-of-image marker. A browser
// decodes such a file without a word where libjpeg warns; the page refuses
// it by this rule, and conemask-image words its own refusal of the file by
// it.
void check_jpeg_damage(std::span<const std::uint8_t> file);

}  // namespace conemask
