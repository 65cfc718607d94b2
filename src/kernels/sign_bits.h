// Sign bitmaps of float rows: the packing of every SignBitmap row and query.
//
// 64 consecutive floats make one word: bit b of the word is set exactly when
// value b is greater than zero, so 0.0, -0.0 and negative values give 0.  A
// row of dim values (dim a multiple of 64) is dim / 64 such words, and rows
// are contiguous, so a block of rows is simply a run of words: the kernels
// see no row boundaries.
//
// The bits are a pure function of the values (one ordered compare with zero
// each), so every tier gives identical words.  The vector tiers compare a
// whole register with zero and pack the comparison mask (AVX2: 8 bits per
// movemask, AVX-512: 16 bits per compare), and check finiteness in the same
// pass, so building the bitmaps reads the floats once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwivel::kern {

// words[w] = sign word of values[64 w .. 64 w + 63] for w < n_words.
// Returns whether every value read is finite (no NaN or infinity); the
// words are written either way.
using SignWordsFn = bool (*)(const float* values, std::size_t n_words, std::uint64_t* words);

// Bits of a non-finite float's exponent (all ones).
inline constexpr std::uint32_t kExponentMask = 0x7f800000u;

}  // namespace kwivel::kern
