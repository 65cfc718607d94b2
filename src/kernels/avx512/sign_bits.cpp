// AVX-512 sign words: four compares of 16 floats with zero per word, each
// giving 16 bits of the word directly as a mask; finiteness by classifying
// the same registers (NaN or infinity).
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/sign_bits.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX512_BEGIN

bool sign_words_avx512(const float* values, std::size_t n_words, std::uint64_t* words) {
    const __m512 zero = _mm512_setzero_ps();
    // fpclass categories: quiet NaN (0x01), +inf (0x08), -inf (0x10), signalling NaN (0x80).
    constexpr int kNonFinite = 0x01 | 0x08 | 0x10 | 0x80;
    __mmask16 bad = 0;
    for (std::size_t w = 0; w < n_words; ++w) {
        const float* v = values + 64 * w;
        std::uint64_t word = 0;
#pragma GCC unroll 4
        for (unsigned k = 0; k < 4; ++k) {
            const __m512 x = _mm512_loadu_ps(v + 16 * k);
            word |= static_cast<std::uint64_t>(_mm512_cmp_ps_mask(x, zero, _CMP_GT_OQ)) << (16 * k);
            bad = static_cast<__mmask16>(bad | _mm512_fpclass_ps_mask(x, kNonFinite));
        }
        words[w] = word;
    }
    return bad == 0;
}

KW_TARGET_END
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_sign_avx512(KernelTable& t) {
#ifdef KW_X86
    t.sign_words = kern::sign_words_avx512;
#else
    (void)t;
#endif
}

}  // namespace kwivel
