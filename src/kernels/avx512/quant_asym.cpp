// AVX-512 asymmetric scans (see quant_asym.h).  16-lane FMA accumulation, 64
// coordinates per step and four accumulators, accumulator p taking
// coordinates 16p .. 16p + 15 of each step: for 2 bits one 4-byte word per
// accumulator, for 4 bits a pair of words (the first in lanes 0-7).  The
// four are reduced as (a0 + a1) + (a2 + a3), then 8 + 8 lanes, 4 + 4, and
// (l0 + l2) + (l1 + l3).  8-bit codes: 16-lane gathers from the query table
// into four rotating accumulators, reduced the same way.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/error.h"
#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/quant_asym.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX512_BEGIN

inline std::uint32_t load_be32(const std::uint8_t* p) {
    std::uint32_t x;
    std::memcpy(&x, p, sizeof x);
    return __builtin_bswap32(x);
}

// One big-endian word per 16 coordinates: broadcast, shift lane by lane
// (30, 28, ..., 0), mask with 3, convert.
void unpack_b2_avx512(const std::uint8_t* row, std::size_t dim, float* out) {
    const __m512i sh = _mm512_setr_epi32(30, 28, 26, 24, 22, 20, 18, 16, 14, 12, 10, 8, 6, 4, 2, 0);
    const __m512i mask = _mm512_set1_epi32(3);
    for (std::size_t w = 0; w < dim / 16; ++w) {
        const __m512i x = _mm512_set1_epi32(static_cast<int>(load_be32(row + 4 * w)));
        _mm512_storeu_ps(out + 16 * w, _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srlv_epi32(x, sh), mask)));
    }
}

// A pair of big-endian words per 16 coordinates, the first in lanes 0-7:
// shifts 28, 24, ..., 0 in each half, mask with 15.
void unpack_b4_avx512(const std::uint8_t* row, std::size_t dim, float* out) {
    const __m512i sh = _mm512_setr_epi32(28, 24, 20, 16, 12, 8, 4, 0, 28, 24, 20, 16, 12, 8, 4, 0);
    const __m512i mask = _mm512_set1_epi32(15);
    for (std::size_t w = 0; w < dim / 16; ++w) {
        const __m512i lo = _mm512_set1_epi32(static_cast<int>(load_be32(row + 8 * w)));
        const __m512i x = _mm512_mask_set1_epi32(lo, 0xFF00, static_cast<int>(load_be32(row + 8 * w + 4)));
        _mm512_storeu_ps(out + 16 * w, _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srlv_epi32(x, sh), mask)));
    }
}

// (a0 + a1) + (a2 + a3), then 8 + 8 lanes, 4 + 4, then (l0 + l2) + (l1 + l3).
inline float reduce4(__m512 a0, __m512 a1, __m512 a2, __m512 a3) {
    const __m512 r = _mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3));
    const __m256 h = _mm256_add_ps(_mm512_castps512_ps256(r), _mm512_extractf32x8_ps(r, 1));
    const __m128 g = _mm_add_ps(_mm256_castps256_ps128(h), _mm256_extractf128_ps(h, 1));
    const __m128 t = _mm_add_ps(g, _mm_movehl_ps(g, g));
    return _mm_cvtss_f32(_mm_add_ss(t, _mm_movehdup_ps(t)));
}

// reduce4 for four pairs at once, lane for lane the same additions: r[i] is
// (a0 + a1) + (a2 + a3) of pair i; out[i] its reduced sum.
inline void reduce4x4(const __m512* r, float* out) {
    // 8 + 8: pairs (0, 1) and (2, 3) side by side, 8 lanes each.
    const __m512 h01 = _mm512_add_ps(_mm512_shuffle_f32x4(r[0], r[1], _MM_SHUFFLE(1, 0, 1, 0)),
                                     _mm512_shuffle_f32x4(r[0], r[1], _MM_SHUFFLE(3, 2, 3, 2)));
    const __m512 h23 = _mm512_add_ps(_mm512_shuffle_f32x4(r[2], r[3], _MM_SHUFFLE(1, 0, 1, 0)),
                                     _mm512_shuffle_f32x4(r[2], r[3], _MM_SHUFFLE(3, 2, 3, 2)));
    // 4 + 4: one 128-bit lane per pair.
    const __m512 g = _mm512_add_ps(_mm512_shuffle_f32x4(h01, h23, _MM_SHUFFLE(2, 0, 2, 0)),
                                   _mm512_shuffle_f32x4(h01, h23, _MM_SHUFFLE(3, 1, 3, 1)));
    // (l0 + l2) + (l1 + l3) in lane 0 of each 128-bit lane.
    const __m512 t = _mm512_add_ps(g, _mm512_permute_ps(g, _MM_SHUFFLE(1, 0, 3, 2)));
    const __m512 u = _mm512_add_ps(t, _mm512_permute_ps(t, _MM_SHUFFLE(2, 3, 0, 1)));
    const __m128 v = _mm512_castps512_ps128(
        _mm512_permutexvar_ps(_mm512_setr_epi32(0, 4, 8, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), u));
    _mm_storeu_ps(out, v);
}

// NQ queries x ND unpacked documents (stride dim) starting at id j.
template <unsigned NQ, unsigned ND>
inline void step_avx512(const AsymBlock& b, std::size_t q0, const float* docs, std::size_t j) {
    const std::size_t dim = b.dim;
    __m512 acc[NQ][ND][4];
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q)
#pragma GCC unroll 8
        for (unsigned d = 0; d < ND; ++d)
#pragma GCC unroll 4
            for (unsigned p = 0; p < 4; ++p) acc[q][d][p] = _mm512_setzero_ps();
    const float* qp = b.qn + q0 * dim;
    for (std::size_t s = 0; s < dim; s += 64) {
#pragma GCC unroll 4
        for (unsigned p = 0; p < 4; ++p) {
            // Every operand in a register: ND + NQ loads for ND * NQ FMAs
            // (the compiler would rather fold the query loads into the FMAs
            // and load each of them ND times).
            __m512 dv[ND], qv[NQ];
#pragma GCC unroll 8
            for (unsigned d = 0; d < ND; ++d) {
                dv[d] = _mm512_loadu_ps(docs + d * dim + s + 16 * p);
                __asm__("" : "+v"(dv[d]));
            }
#pragma GCC unroll 8
            for (unsigned q = 0; q < NQ; ++q) {
                qv[q] = _mm512_loadu_ps(qp + q * dim + s + 16 * p);
                __asm__("" : "+v"(qv[q]));
            }
#pragma GCC unroll 8
            for (unsigned q = 0; q < NQ; ++q)
#pragma GCC unroll 8
                for (unsigned d = 0; d < ND; ++d) acc[q][d][p] = _mm512_fmadd_ps(dv[d], qv[q], acc[q][d][p]);
        }
    }
    constexpr unsigned P = NQ * ND, P4 = (P + 3) / 4 * 4;
    __m512 r[P4];
#pragma GCC unroll 8
    for (unsigned i = 0; i < P4; ++i) {
        const unsigned q = i / ND, d = i % ND;
        r[i] = i < P ? _mm512_add_ps(_mm512_add_ps(acc[q][d][0], acc[q][d][1]),
                                     _mm512_add_ps(acc[q][d][2], acc[q][d][3]))
                     : _mm512_setzero_ps();
    }
    float sums[P4];
#pragma GCC unroll 2
    for (unsigned i = 0; i < P4; i += 4) reduce4x4(r + i, sums + i);
#pragma GCC unroll 8
    for (unsigned i = 0; i < P; ++i) {
        const unsigned q = i / ND, d = i % ND;
        offer_offset(b.offers, q0 + q, b.off[q0 + q], j + d, sums[i] * b.inv);
    }
}

template <unsigned NQ>
void docs_avx512(const AsymBlock& b, std::size_t q0, const float* tile, std::size_t j0, std::size_t cnt) {
    std::size_t d = 0;
    for (; d + 2 <= cnt; d += 2) step_avx512<NQ, 2>(b, q0, tile + d * b.dim, j0 + d);
    if (d < cnt) step_avx512<NQ, 1>(b, q0, tile + d * b.dim, j0 + d);
}

void group_avx512(const AsymBlock& b, std::size_t q0, std::size_t nqg, const float* tile, std::size_t j0,
                  std::size_t cnt) {
    switch (nqg) {
        case 3: docs_avx512<3>(b, q0, tile, j0, cnt); break;
        case 2: docs_avx512<2>(b, q0, tile, j0, cnt); break;
        default: docs_avx512<1>(b, q0, tile, j0, cnt); break;
    }
}

// Sixteen codes at a time become table indices j * 256 + code; group g of
// the row goes to accumulator g % 4 while whole rotations last, then to
// accumulator 0.
void gather_rows_avx512(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table, float inv,
                        float off, const Offers& o) {
    const std::size_t groups = dim / 16, full = groups / 4 * 4;
    const __m512i lane = _mm512_setr_epi32(0, 256, 512, 768, 1024, 1280, 1536, 1792, 2048, 2304, 2560, 2816,
                                           3072, 3328, 3584, 3840);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* row = codes + i * dim;
        __m512 acc[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
        for (std::size_t g = 0; g < groups; ++g) {
            const __m512i c = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * g)));
            const __m512i idx = _mm512_add_epi32(_mm512_add_epi32(c, lane),
                                                 _mm512_set1_epi32(static_cast<int>(g * 16 * 256)));
            const __m512 v = _mm512_i32gather_ps(idx, table, 4);
            const std::size_t a = g < full ? g % 4 : 0;
            acc[a] = _mm512_add_ps(acc[a], v);
        }
        offer_offset(o, 0, off, i, reduce4(acc[0], acc[1], acc[2], acc[3]) * inv);
    }
}

KW_TARGET_END

void scan_b8_asym_avx512_gather(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                                std::size_t table_len, float inv, float off, const Offers& o) {
    KW_ASSERT(dim % 16 == 0, "b=8 AVX-512 gather path needs dim % 16 == 0");
    KW_ASSERT(table_len == dim * 256, "b=8 LUT must be dim * 256 entries");
    gather_rows_avx512(codes, n, dim, table, inv, off, o);
}
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_quant_asym_avx512(KernelTable& t) {
#ifdef KW_X86
    t.quant_asym[0] = {kern::unpack_b2_avx512, kern::group_avx512, 3};
    t.quant_asym[1] = {kern::unpack_b4_avx512, kern::group_avx512, 3};
    t.quant_b8_gather = kern::scan_b8_asym_avx512_gather;
#else
    (void)t;
#endif
}

}  // namespace kwivel
