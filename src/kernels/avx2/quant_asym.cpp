// AVX2 asymmetric scans of 2- and 4-bit codes: 8-lane FMA accumulation (see
// quant_asym.h).  2 bits: each 4-byte word holds 16 coordinates, lanes 0-7
// of the word go to accumulator 0 and lanes 8-15 to accumulator 1, reduced
// as a0 + a1, upper 4 lanes + lower 4, then (l0 + l1) + (l2 + l3).  4 bits:
// each word holds 8 coordinates, one accumulator, reduced as upper 4 + lower
// 4, then (l0 + l1) + (l2 + l3).
#include <cstdint>
#include <cstring>

#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/quant_asym.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

inline std::uint32_t load_be32(const std::uint8_t* p) {
    std::uint32_t x;
    std::memcpy(&x, p, sizeof x);
    return __builtin_bswap32(x);
}

// One big-endian word per 16 coordinates: broadcast, shift lane by lane
// (30, 28, ..., 0), mask with 3, convert.
void unpack_b2_avx2(const std::uint8_t* row, std::size_t dim, float* out) {
    const __m256i sh_lo = _mm256_setr_epi32(30, 28, 26, 24, 22, 20, 18, 16);
    const __m256i sh_hi = _mm256_setr_epi32(14, 12, 10, 8, 6, 4, 2, 0);
    const __m256i mask = _mm256_set1_epi32(3);
    for (std::size_t w = 0; w < dim / 16; ++w) {
        const __m256i x = _mm256_set1_epi32(static_cast<int>(load_be32(row + 4 * w)));
        const __m256i lo = _mm256_and_si256(_mm256_srlv_epi32(x, sh_lo), mask);
        const __m256i hi = _mm256_and_si256(_mm256_srlv_epi32(x, sh_hi), mask);
        _mm256_storeu_ps(out + 16 * w, _mm256_cvtepi32_ps(lo));
        _mm256_storeu_ps(out + 16 * w + 8, _mm256_cvtepi32_ps(hi));
    }
}

// One big-endian word per 8 coordinates: shifts 28, 24, ..., 0, mask 15.
void unpack_b4_avx2(const std::uint8_t* row, std::size_t dim, float* out) {
    const __m256i sh = _mm256_setr_epi32(28, 24, 20, 16, 12, 8, 4, 0);
    const __m256i mask = _mm256_set1_epi32(15);
    for (std::size_t w = 0; w < dim / 8; ++w) {
        const __m256i x = _mm256_set1_epi32(static_cast<int>(load_be32(row + 4 * w)));
        _mm256_storeu_ps(out + 8 * w, _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srlv_epi32(x, sh), mask)));
    }
}

// Upper 4 lanes + lower 4, then (l0 + l1) + (l2 + l3).
inline float reduce8(__m256 v) {
    const __m128 g = _mm_add_ps(_mm256_extractf128_ps(v, 1), _mm256_castps256_ps128(v));
    const __m128 t = _mm_hadd_ps(g, g);
    return _mm_cvtss_f32(_mm_add_ss(t, _mm_movehdup_ps(t)));
}

// NQ queries x ND unpacked documents (stride dim) starting at id j; A
// accumulators per pair, each taking 8 consecutive coordinates of a step of
// 8 * A.
template <unsigned A, unsigned NQ, unsigned ND>
inline void step_avx2(const AsymBlock& b, std::size_t q0, const float* docs, std::size_t j) {
    const std::size_t dim = b.dim;
    __m256 acc[NQ][ND][A];
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q)
#pragma GCC unroll 8
        for (unsigned d = 0; d < ND; ++d)
#pragma GCC unroll 8
            for (unsigned a = 0; a < A; ++a) acc[q][d][a] = _mm256_setzero_ps();
    const float* qp = b.qn + q0 * dim;
#pragma GCC unroll 2
    for (std::size_t s = 0; s < dim; s += 8 * A) {
#pragma GCC unroll 8
        for (unsigned a = 0; a < A; ++a) {
            __m256 dv[ND];
#pragma GCC unroll 8
            for (unsigned d = 0; d < ND; ++d) dv[d] = _mm256_loadu_ps(docs + d * dim + s + 8 * a);
#pragma GCC unroll 8
            for (unsigned q = 0; q < NQ; ++q) {
                const __m256 qv = _mm256_loadu_ps(qp + q * dim + s + 8 * a);
#pragma GCC unroll 8
                for (unsigned d = 0; d < ND; ++d) acc[q][d][a] = _mm256_fmadd_ps(dv[d], qv, acc[q][d][a]);
            }
        }
    }
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) {
#pragma GCC unroll 8
        for (unsigned d = 0; d < ND; ++d) {
            const __m256 v = A == 2 ? _mm256_add_ps(acc[q][d][0], acc[q][d][A - 1]) : acc[q][d][0];
            const float f = reduce8(v) * b.inv;
            offer_offset(b.offers, q0 + q, b.off[q0 + q], j + d, f);
        }
    }
}

template <unsigned A, unsigned NQ>
void docs_avx2(const AsymBlock& b, std::size_t q0, const float* tile, std::size_t j0, std::size_t cnt) {
    std::size_t d = 0;
    for (; d + 2 <= cnt; d += 2) step_avx2<A, NQ, 2>(b, q0, tile + d * b.dim, j0 + d);
    if (d < cnt) step_avx2<A, NQ, 1>(b, q0, tile + d * b.dim, j0 + d);
}

// 2 bits: two accumulators per pair, so fewer queries fit the 16 registers.
void group_b2_avx2(const AsymBlock& b, std::size_t q0, std::size_t nqg, const float* tile, std::size_t j0,
                   std::size_t cnt) {
    switch (nqg) {
        case 3: docs_avx2<2, 3>(b, q0, tile, j0, cnt); break;
        case 2: docs_avx2<2, 2>(b, q0, tile, j0, cnt); break;
        default: docs_avx2<2, 1>(b, q0, tile, j0, cnt); break;
    }
}

void group_b4_avx2(const AsymBlock& b, std::size_t q0, std::size_t nqg, const float* tile, std::size_t j0,
                   std::size_t cnt) {
    switch (nqg) {
        case 4: docs_avx2<1, 4>(b, q0, tile, j0, cnt); break;
        case 3: docs_avx2<1, 3>(b, q0, tile, j0, cnt); break;
        case 2: docs_avx2<1, 2>(b, q0, tile, j0, cnt); break;
        default: docs_avx2<1, 1>(b, q0, tile, j0, cnt); break;
    }
}

KW_TARGET_END
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_quant_asym_avx2(KernelTable& t) {
#ifdef KW_X86
    t.quant_asym[0] = {kern::unpack_b2_avx2, kern::group_b2_avx2, 3};
    t.quant_asym[1] = {kern::unpack_b4_avx2, kern::group_b4_avx2, 4};
#else
    (void)t;
#endif
}

}  // namespace kwivel
