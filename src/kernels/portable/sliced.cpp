// Portable bit-sliced scans: a lane is kSliceWords 64-bit words, and a block
// is turned on its side bit by bit.
#include <cstdint>
#include <cstring>

#include "kernels/dispatch.h"
#include "kernels/sliced.h"

namespace kwivel {
namespace {

struct Lane {
    std::uint64_t w[kSliceWords];
};

template <class F>
inline Lane each(Lane a, Lane b, F f) {
    Lane out;
    for (std::size_t i = 0; i < kSliceWords; ++i) out.w[i] = f(a.w[i], b.w[i]);
    return out;
}
inline Lane lzero() { return Lane{}; }
inline Lane lones() {
    Lane out;
    for (auto& x : out.w) x = ~std::uint64_t{0};
    return out;
}
inline Lane lload(const std::uint64_t* p) {
    Lane out;
    std::memcpy(out.w, p, sizeof out.w);
    return out;
}
inline void lstore(std::uint64_t* p, Lane a) { std::memcpy(p, a.w, sizeof a.w); }
inline Lane land(Lane a, Lane b) { return each(a, b, [](std::uint64_t x, std::uint64_t y) { return x & y; }); }
inline Lane lor(Lane a, Lane b) { return each(a, b, [](std::uint64_t x, std::uint64_t y) { return x | y; }); }
inline Lane lxor(Lane a, Lane b) { return each(a, b, [](std::uint64_t x, std::uint64_t y) { return x ^ y; }); }
inline Lane lclear(Lane a, Lane b) { return each(a, b, [](std::uint64_t x, std::uint64_t y) { return x & ~y; }); }

#include "kernels/sliced_body.inc"

// Plane j, word i / 64, bit i % 64 is bit j of row i.
void slice_block(const std::uint64_t* rows, std::size_t n, std::size_t wpv, std::uint64_t* planes) {
    std::memset(planes, 0, wpv * 64 * kSliceWords * sizeof(std::uint64_t));
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << (i % 64);
        std::uint64_t* col = planes + i / 64;
        for (std::size_t w = 0; w < wpv; ++w)
            for (std::uint64_t x = rows[i * wpv + w]; x != 0; x &= x - 1)
                col[(w * 64 + static_cast<std::size_t>(__builtin_ctzll(x))) * kSliceWords] |= bit;
    }
}

}  // namespace

void install_sliced_portable(KernelTable& t) {
    t.slice_block = slice_block;
    t.sliced_select = sliced_select;
}

}  // namespace kwivel
