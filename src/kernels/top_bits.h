// Top-n coordinate bitmaps: the Bitmap index's row and query encodings.
//
// KernelTable::top_bits(v, dim, n_top, ties_high, scratch, words) sets, in
// the dim / 64 zeroed words, the bits of the n_top largest of v[0, dim)
// (finite floats, dim a positive multiple of 64, 0 < n_top < dim; scratch
// holds kTopBitsScratch * dim + 16 uint32).  Where equal values straddle the cut, the
// ones with the higher coordinate index are taken when ties_high (stored
// rows: the coordinates whose rank, equal values ranked in index order, is
// at least dim - n_top), the lower otherwise (queries: the first n_top of a
// stable descending sort).  -0.0 and +0.0 are equal.  It returns whether
// every value was finite (the scan over the values is the check; other
// values give some bits and false).
//
// Every tier works on the same unsigned keys (folded_order_key of base/float_keys.h, one per
// value, ordered like the values) and finds the same key T of the n_top-th
// largest value; keys above T are taken, then as many keys equal to T as
// are missing, from the end the tie rule names.  The bits are therefore
// identical on every tier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/float_keys.h"

namespace kwivel::kern {

// Scratch of top_bits: kTopBitsScratch * dim + 16 uint32.
inline constexpr std::size_t kTopBitsScratch = 2;


// Sets the bits of keys above t, then `missing` more of the keys equal to t
// from the end the tie rule names.  Returns nothing; the caller's count of
// keys above t fixes `missing`.
inline void take_ties(const std::uint32_t* keys, std::size_t dim, std::uint32_t t, std::size_t missing,
                      bool ties_high, std::uint64_t* words) {
    if (ties_high) {
        for (std::size_t j = dim; missing > 0 && j-- > 0;)
            if (keys[j] == t) {
                words[j / 64] |= std::uint64_t{1} << (j % 64);
                --missing;
            }
    } else {
        for (std::size_t j = 0; missing > 0 && j < dim; ++j)
            if (keys[j] == t) {
                words[j / 64] |= std::uint64_t{1} << (j % 64);
                --missing;
            }
    }
}

}  // namespace kwivel::kern
