// The Huffman codebooks of AAC (ISO/IEC 14496-3 4.A): the scalefactor
// codebook (Table 4.A.1) and the eleven spectrum codebooks (Tables 4.A.2 to
// 4.A.12), as decoders of one codeword from a bit stream.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/aac_bits.h"

namespace morvex::aac {

// The index of the next scalefactor codeword (0-120; 60 is a difference of
// 0), or empty when the bits end first.
std::optional<uint16_t> read_scalefactor_code(FrameBits& bits);

// The index of the next codeword of spectrum codebook `book` (1-11): of 81
// quadruples (books 1-6: 27w + 9x + 3y + z of values offset to start at
// 0), 64 pairs (7, 8: 8y + z), 169 (9, 10: 13y + z) or 289 (11: 17y + z,
// where 16 is an escape). Empty when the bits end first.
std::optional<uint16_t> read_spectrum_code(FrameBits& bits, unsigned book);

}  // namespace morvex::aac
