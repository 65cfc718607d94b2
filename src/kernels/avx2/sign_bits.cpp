// AVX2 sign words: eight ordered greater-than compares with zero per word,
// each packed by movemask into 8 bits; finiteness from the exponent bits of
// the same registers.
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/sign_bits.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

bool sign_words_avx2(const float* values, std::size_t n_words, std::uint64_t* words) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256i exp = _mm256_set1_epi32(static_cast<int>(kExponentMask));
    __m256i bad = _mm256_setzero_si256();
    for (std::size_t w = 0; w < n_words; ++w) {
        const float* v = values + 64 * w;
        std::uint64_t word = 0;
#pragma GCC unroll 8
        for (unsigned k = 0; k < 8; ++k) {
            const __m256 x = _mm256_loadu_ps(v + 8 * k);
            const unsigned m = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(x, zero, _CMP_GT_OQ)));
            word |= static_cast<std::uint64_t>(m) << (8 * k);
            const __m256i e = _mm256_and_si256(_mm256_castps_si256(x), exp);
            bad = _mm256_or_si256(bad, _mm256_cmpeq_epi32(e, exp));
        }
        words[w] = word;
    }
    return _mm256_testz_si256(bad, bad) != 0;
}

KW_TARGET_END
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_sign_avx2(KernelTable& t) {
#ifdef KW_X86
    t.sign_words = kern::sign_words_avx2;
#else
    (void)t;
#endif
}

}  // namespace kwivel
