// Portable top-n bitmaps: a radix select over the keys, a byte at a time
// from the top, keeping only the candidates that share the digits found so
// far, finds T without sorting the row.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "kernels/dispatch.h"
#include "kernels/top_bits.h"

namespace kwivel {
namespace kern {
namespace {

// The need-th largest of cand[0, n) (1 <= need <= n); cand is overwritten.
std::uint32_t nth_largest(std::uint32_t* cand, std::size_t n, std::size_t need) {
    std::uint32_t prefix = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        std::uint32_t hist[256] = {};
        for (std::size_t i = 0; i < n; ++i) ++hist[(cand[i] >> shift) & 255u];
        unsigned d = 255;
        std::size_t above = 0;
        while (above + hist[d] < need) above += hist[d--];
        need -= above;
        prefix |= static_cast<std::uint32_t>(d) << shift;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            cand[kept] = cand[i];
            kept += ((cand[i] >> shift) & 255u) == d;
        }
        n = kept;
        // Every remaining candidate is taken: the smallest is the answer.
        if (n == need) return *std::min_element(cand, cand + n);
    }
    return prefix;
}

bool top_bits_portable(const float* v, std::size_t dim, std::size_t n_top, bool ties_high, std::uint32_t* scratch,
                       std::uint64_t* words) {
    std::uint32_t* keys = scratch;
    std::uint32_t* cand = scratch + dim;
    std::uint32_t bad = 0;
    for (std::size_t j = 0; j < dim; ++j) {
        std::uint32_t b;
        std::memcpy(&b, v + j, sizeof b);
        bad |= static_cast<std::uint32_t>((b & 0x7f800000u) == 0x7f800000u);
        keys[j] = cand[j] = folded_order_key(v[j]);
    }
    const std::uint32_t t = nth_largest(cand, dim, n_top);
    std::size_t above = 0;
    for (std::size_t w = 0; w < dim / 64; ++w) {
        std::uint64_t bits = 0;
        for (std::size_t b = 0; b < 64; ++b) bits |= static_cast<std::uint64_t>(keys[64 * w + b] > t) << b;
        words[w] |= bits;
        above += static_cast<std::size_t>(__builtin_popcountll(bits));
    }
    take_ties(keys, dim, t, n_top - above, ties_high, words);
    return bad == 0;
}

}  // namespace
}  // namespace kern

void install_top_bits_portable(KernelTable& t) { t.top_bits = kern::top_bits_portable; }

}  // namespace kwivel
