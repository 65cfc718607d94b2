// AVX2 helpers shared by the scan kernels.  Each carries its own target
// attribute, so including this header enables nothing for the rest of a
// translation unit built for baseline x86-64.
#pragma once

// KW_AVX2_BEGIN / KW_AVX2_END bracket a region of functions compiled for
// AVX2 (GCC's target pragma; clang ignores it and needs its attribute push).
#if defined(__clang__)
#define KW_AVX2_BEGIN _Pragma("clang attribute push(__attribute__((target(\"avx2\"))), apply_to = function)")
#define KW_AVX2_END _Pragma("clang attribute pop")
#else
#define KW_AVX2_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2\")")
#define KW_AVX2_END _Pragma("GCC pop_options")
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace kwivel::avx2 {

// Lane i of the result: the wrapping int32 sum of the eight lanes of a[i].
__attribute__((target("avx2"))) inline __m256i hsum8_epi32(const __m256i* a) {
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
