// AVX-512 top-n bitmaps.  Keys are made sixteen at a time; T is found by a
// bisection over the key bits in which each step counts the keys at or
// above a candidate with one compare and one masked add per sixteen keys.
// After each byte of T is fixed, the keys that share the prefix are
// compressed into a short list and the next steps count only those.  The
// bits of the keys above T come straight from the compare masks.
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/top_bits.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX512_BEGIN

// Keys at or above c among keys[0, n) (n a multiple of 16; padding keys
// are zero, never at or above a c > 0).
inline std::size_t count_ge(const std::uint32_t* keys, std::size_t n, std::uint32_t c) {
    const __m512i cv = _mm512_set1_epi32(static_cast<int>(c));
    const __m512i one = _mm512_set1_epi32(1);
    __m512i acc = _mm512_setzero_si512();
    for (std::size_t i = 0; i < n; i += 16)
        acc = _mm512_mask_add_epi32(acc, _mm512_cmpge_epu32_mask(_mm512_loadu_si512(keys + i), cv), acc, one);
    return static_cast<std::size_t>(_mm512_reduce_add_epi32(acc));
}

// Copies the keys of src[0, n) whose bits above `shift` equal prefix's to
// dst, zero-padded to a multiple of 16; returns the count copied.
inline std::size_t keep_prefix(const std::uint32_t* src, std::size_t n, std::uint32_t prefix, int shift,
                               std::uint32_t* dst) {
    const __m512i p = _mm512_set1_epi32(static_cast<int>(prefix >> shift));
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; i += 16) {
        const __m512i k = _mm512_loadu_si512(src + i);
        const __mmask16 m = _mm512_cmpeq_epi32_mask(_mm512_srli_epi32(k, static_cast<unsigned>(shift)), p);
        _mm512_storeu_si512(dst + kept, _mm512_maskz_compress_epi32(m, k));
        kept += static_cast<std::size_t>(_mm_popcnt_u32(m));
    }
    _mm512_storeu_si512(dst + kept, _mm512_setzero_si512());
    return kept;
}

bool top_bits_avx512(const float* v, std::size_t dim, std::size_t n_top, bool ties_high, std::uint32_t* scratch,
                     std::uint64_t* words) {
    std::uint32_t* keys = scratch;
    std::uint32_t* cand = scratch + dim;  // room for dim + 16
    const __m512i neg_zero = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    const __m512i exponent = _mm512_set1_epi32(0x7f800000);
    __mmask16 bad = 0;
    for (std::size_t j = 0; j < dim; j += 16) {
        __m512i b = _mm512_loadu_si512(v + j);
        bad |= _mm512_cmpeq_epi32_mask(_mm512_and_si512(b, exponent), exponent);
        b = _mm512_mask_mov_epi32(b, _mm512_cmpeq_epi32_mask(b, neg_zero), _mm512_setzero_si512());
        const __m512i flip = _mm512_or_si512(_mm512_srai_epi32(b, 31), neg_zero);
        _mm512_storeu_si512(keys + j, _mm512_xor_si512(b, flip));
    }
    // T is decided a byte at a time.  Before each byte below the top one,
    // the keys outside the decided prefix's range are dropped (those above
    // it are all taken and leave `need`), so later steps count few keys.
    std::uint32_t t = 0;
    const std::uint32_t* live = keys;
    std::size_t n = dim, need = n_top;
    for (int byte = 3; byte >= 0; --byte) {
        const int shift = 8 * byte;
        if (byte < 3) {
            const int hi = shift + 8;
            if (hi < 32 && (t >> hi) != (0xffffffffu >> hi)) need -= count_ge(live, n, t + (std::uint32_t{1} << hi));
            n = keep_prefix(live, n, t, hi, cand);
            n = (n + 15) / 16 * 16;
            live = cand;
            if (need == 0) break;  // cannot happen: T itself is among the kept keys
        }
        for (int bit = shift + 7; bit >= shift; --bit) {
            const std::uint32_t c = t | (std::uint32_t{1} << bit);
            if (count_ge(live, n, c) >= need) t = c;
        }
    }
    // Bits of the keys above T, sixteen at a time.
    const __m512i tv = _mm512_set1_epi32(static_cast<int>(t));
    std::size_t above = 0;
    for (std::size_t w = 0; w < dim / 64; ++w) {
        std::uint64_t bits = 0;
        for (std::size_t s = 0; s < 4; ++s) {
            const __m512i k = _mm512_loadu_si512(keys + 64 * w + 16 * s);
            bits |= static_cast<std::uint64_t>(_mm512_cmpgt_epu32_mask(k, tv)) << (16 * s);
        }
        words[w] |= bits;
        above += static_cast<std::size_t>(_mm_popcnt_u64(bits));
    }
    take_ties(keys, dim, t, n_top - above, ties_high, words);
    return bad == 0;
}

KW_TARGET_END
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_top_bits_avx512(KernelTable& t) {
#ifdef KW_X86
    t.top_bits = kern::top_bits_avx512;
#else
    (void)t;
#endif
}

}  // namespace kwivel
