// Order-preserving integer keys of floats.  Two orders are in use, and each
// has one key:
//
//   folded_order_key  numeric order with -0.0 and +0.0 equal (the order of
//                     rank transforms and top-n coordinate bitmaps);
//   total_order_key   the IEEE total order, -0.0 below +0.0 (the better-first
//                     order of top-k results, which keeps signed zeros apart).
//
// For finite x < y both keys satisfy key(x) < key(y); they differ only on
// the two zeros.  Neither inspects NaNs: a NaN gets some key and the caller
// is expected to have reported it (or, for total_order_key, to rely on the
// IEEE order of NaNs by sign and payload).
#pragma once

#include <cstdint>
#include <cstring>

namespace kwivel {

// Unsigned key: negative values reversed below the positive ones, and
// -0.0 (0x80000000) given +0.0's key.  A bit test rather than x + 0.0f, so
// that the key of a non-finite value is its bit pattern's and no NaN is
// quietened on the way.
inline std::uint32_t folded_order_key(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    if (b == 0x80000000u) b = 0;
    return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}

// Signed key under the IEEE total order (no folding of zeros).
inline std::int32_t total_order_key(float x) {
    std::int32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(b >> 31) >> 1);
}

}  // namespace kwivel
