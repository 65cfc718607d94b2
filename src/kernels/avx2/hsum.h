// AVX2 horizontal sums shared by the AVX2 scan steps.  Each carries its own
// target attribute, so including this header enables nothing for the rest
// of a translation unit built for baseline x86-64.
#pragma once

#include "kernels/isa.h"

#ifdef KW_X86
namespace kwivel::avx2 {

// Lane i of the result: the wrapping int32 sum of the eight lanes of a[i].
__attribute__((target(KW_ISA_AVX2))) inline __m256i hsum8_epi32(const __m256i* a) {
    const __m256i h01 = _mm256_hadd_epi32(a[0], a[1]);
    const __m256i h23 = _mm256_hadd_epi32(a[2], a[3]);
    const __m256i h45 = _mm256_hadd_epi32(a[4], a[5]);
    const __m256i h67 = _mm256_hadd_epi32(a[6], a[7]);
    const __m256i h0123 = _mm256_hadd_epi32(h01, h23);
    const __m256i h4567 = _mm256_hadd_epi32(h45, h67);
    const __m256i lo = _mm256_permute2x128_si256(h0123, h4567, 0x20);
    const __m256i hi = _mm256_permute2x128_si256(h0123, h4567, 0x31);
    return _mm256_add_epi32(lo, hi);
}

}  // namespace kwivel::avx2
#endif
