// AVX2 Rank scan steps.  Only AVX2 integer and single-precision
// instructions are used, never FMA (a fused multiply-add would change the
// asymmetric scores), so these give the portable bits exactly: the
// symmetric sums are exact integers (see rank_scan.h) and each asymmetric
// lane adds its terms in coordinate order with separate multiplies.
#include <cstdint>

#include "kernels/avx2/hsum.h"
#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/rank_scan.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

using avx2::hsum8_epi32;

inline std::int64_t hsum_epi64(__m256i v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1);
}

// acc[q * ND + d] += 16-bit multiply-adds of query q (rows of cq, stride
// apart) and document dp[d] over 16-lane chunks [v0, v1).
template <unsigned NQ, unsigned ND>
inline void madd_chunks(__m256i* acc, const std::int16_t* const* dp, const std::int16_t* cq,
                        std::size_t stride, std::size_t v0, std::size_t v1) {
#pragma GCC unroll 2
    for (std::size_t v = v0; v < v1; ++v) {
        __m256i dv[ND];
#pragma GCC unroll 8
        for (unsigned d = 0; d < ND; ++d)
            dv[d] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dp[d] + 16 * v));
#pragma GCC unroll 8
        for (unsigned q = 0; q < NQ; ++q) {
            const __m256i qv =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cq + q * stride + 16 * v));
#pragma GCC unroll 8
            for (unsigned d = 0; d < ND; ++d)
                acc[q * ND + d] = _mm256_add_epi32(acc[q * ND + d], _mm256_madd_epi16(qv, dv[d]));
        }
    }
}

// NQ queries x ND documents starting at j; lane q * ND + d of the scores is
// query q against document j + d.
template <unsigned NQ, unsigned ND>
inline void sym_step_avx2(const SymScan& s, const std::int16_t* cq, std::size_t j, const Offers& o) {
    static_assert(NQ <= 4 && ND <= 2);
    const std::int16_t* dp[ND];
#pragma GCC unroll 8
    for (unsigned d = 0; d < ND; ++d) dp[d] = s.doc(j + d);
    alignas(32) float sc[8];
    unsigned mask;

    if (s.exact_int32) {
        __m256i acc[8];
#pragma GCC unroll 8
        for (unsigned a = 0; a < 8; ++a) acc[a] = _mm256_setzero_si256();
        madd_chunks<NQ, ND>(acc, dp, cq, s.dimp, 0, s.nvec);
        const __m256 f = _mm256_mul_ps(
            _mm256_mul_ps(_mm256_cvtepi32_ps(hsum8_epi32(acc)), _mm256_set1_ps(0.5f)),
            _mm256_set1_ps(s.inv));
        const __m256i idx = ND == 2 ? _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3)
                                    : _mm256_setr_epi32(0, 1, 2, 3, 3, 3, 3, 3);
        const __m256 t = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(o.thr)), idx);
        mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(f, t, _CMP_GE_OQ))) &
               ((1u << (NQ * ND)) - 1);
        if (!mask) return;
        _mm256_store_ps(sc, f);
    } else {
        // Per-lane int32 sums, flushed into int64 lanes every lane_steps.
        __m256i wide[NQ * ND];
#pragma GCC unroll 8
        for (unsigned a = 0; a < NQ * ND; ++a) wide[a] = _mm256_setzero_si256();
        for (std::size_t v0 = 0; v0 < s.nvec; v0 += s.lane_steps) {
            __m256i acc[NQ * ND];
#pragma GCC unroll 8
            for (unsigned a = 0; a < NQ * ND; ++a) acc[a] = _mm256_setzero_si256();
            madd_chunks<NQ, ND>(acc, dp, cq, s.dimp, v0, std::min(s.nvec, v0 + s.lane_steps));
#pragma GCC unroll 8
            for (unsigned a = 0; a < NQ * ND; ++a) {
                const __m256i lo = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(acc[a]));
                const __m256i hi = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(acc[a], 1));
                wide[a] = _mm256_add_epi64(wide[a], _mm256_add_epi64(lo, hi));
            }
        }
        mask = 0;
        for (unsigned a = 0; a < NQ * ND; ++a) {
            sc[a] = sym_score(2 * hsum_epi64(wide[a]), s.inv);
            if (sc[a] >= o.thr[a / ND]) mask |= 1u << a;
        }
        if (!mask) return;
    }
    offer_lanes(mask, sc, j, ND, o);
}

template <unsigned NQ>
void sym_docs_avx2(const SymScan& s, const std::int16_t* cq, std::size_t j0, std::size_t j1,
                   const Offers& o) {
    std::size_t j = j0;
    for (; j + 2 <= j1; j += 2) sym_step_avx2<NQ, 2>(s, cq, j, o);
    if (j < j1) sym_step_avx2<NQ, 1>(s, cq, j, o);
}

void sym_group_avx2(const SymScan& s, const std::int16_t* cq, std::size_t nqg, std::size_t j0,
                    std::size_t j1, const Offers& o) {
    switch (nqg) {
        case 4: sym_docs_avx2<4>(s, cq, j0, j1, o); break;
        case 3: sym_docs_avx2<3>(s, cq, j0, j1, o); break;
        case 2: sym_docs_avx2<2>(s, cq, j0, j1, o); break;
        default: sym_docs_avx2<1>(s, cq, j0, j1, o); break;
    }
}

// Integer bounds of the asymmetric search for NQ queries x ND documents at
// j: exact wrapping int32 sums A, candidates where A >= ta[q], per query in
// ascending document order.
template <unsigned NQ, unsigned ND>
inline std::size_t asym_bounds_step_avx2(const SymScan& s, const std::int16_t* w, std::size_t j,
                                         const std::int32_t* ta, AsymCandidate* out) {
    const std::int16_t* dp[ND];
#pragma GCC unroll 8
    for (unsigned d = 0; d < ND; ++d) dp[d] = s.doc(j + d);
    __m256i acc[8];
#pragma GCC unroll 8
    for (unsigned a = 0; a < 8; ++a) acc[a] = _mm256_setzero_si256();
    madd_chunks<NQ, ND>(acc, dp, w, s.dimp, 0, s.nvec);
    const __m256i sums = hsum8_epi32(acc);
    const __m256i idx = ND == 2 ? _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3) : _mm256_setr_epi32(0, 1, 2, 3, 3, 3, 3, 3);
    const __m256i t =
        _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ta))), idx);
    // A >= ta, i.e. not (ta > A).
    unsigned mask = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(t, sums)))) &
                    ((1u << (NQ * ND)) - 1);
    std::size_t nc = 0;
    while (mask) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(mask));
        mask &= mask - 1;
        out[nc++] = {lane / ND, static_cast<std::uint32_t>(j + lane % ND)};
    }
    return nc;
}

template <unsigned NQ>
std::size_t asym_bounds_docs_avx2(const SymScan& s, const std::int16_t* w, std::size_t j0, std::size_t j1,
                                  const std::int32_t* ta, AsymCandidate* out) {
    std::size_t nc = 0, j = j0;
    for (; j + 2 <= j1; j += 2) nc += asym_bounds_step_avx2<NQ, 2>(s, w, j, ta, out + nc);
    if (j < j1) nc += asym_bounds_step_avx2<NQ, 1>(s, w, j, ta, out + nc);
    return nc;
}

std::size_t asym_bounds_avx2(const SymScan& s, const std::int16_t* w, std::size_t nqg, std::size_t j0,
                             std::size_t j1, const std::int32_t* ta, AsymCandidate* out) {
    switch (nqg) {
        case 4: return asym_bounds_docs_avx2<4>(s, w, j0, j1, ta, out);
        case 3: return asym_bounds_docs_avx2<3>(s, w, j0, j1, ta, out);
        case 2: return asym_bounds_docs_avx2<2>(s, w, j0, j1, ta, out);
        default: return asym_bounds_docs_avx2<1>(s, w, j0, j1, ta, out);
    }
}

// Sixteen coordinates of eight rows (uint16) to tile rows i..i+15: an 8x8
// transpose of 16-bit values inside each 128-bit half (coordinates i..i+7
// and i+8..i+15 side by side), then widening to float.
inline void fill16_avx2(const std::uint16_t* d, std::size_t dim, std::size_t i, float* tile) {
    __m256i r[8];
#pragma GCC unroll 8
    for (unsigned l = 0; l < 8; ++l)
        r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + l * dim + i));
    const __m256i t0 = _mm256_unpacklo_epi16(r[0], r[1]), t1 = _mm256_unpackhi_epi16(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi16(r[2], r[3]), t3 = _mm256_unpackhi_epi16(r[2], r[3]);
    const __m256i t4 = _mm256_unpacklo_epi16(r[4], r[5]), t5 = _mm256_unpackhi_epi16(r[4], r[5]);
    const __m256i t6 = _mm256_unpacklo_epi16(r[6], r[7]), t7 = _mm256_unpackhi_epi16(r[6], r[7]);
    const __m256i u0 = _mm256_unpacklo_epi32(t0, t2), u1 = _mm256_unpackhi_epi32(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi32(t1, t3), u3 = _mm256_unpackhi_epi32(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi32(t4, t6), u5 = _mm256_unpackhi_epi32(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi32(t5, t7), u7 = _mm256_unpackhi_epi32(t5, t7);
    __m256i c[8];
    c[0] = _mm256_unpacklo_epi64(u0, u4);
    c[1] = _mm256_unpackhi_epi64(u0, u4);
    c[2] = _mm256_unpacklo_epi64(u1, u5);
    c[3] = _mm256_unpackhi_epi64(u1, u5);
    c[4] = _mm256_unpacklo_epi64(u2, u6);
    c[5] = _mm256_unpackhi_epi64(u2, u6);
    c[6] = _mm256_unpacklo_epi64(u3, u7);
    c[7] = _mm256_unpackhi_epi64(u3, u7);
#pragma GCC unroll 8
    for (unsigned m = 0; m < 8; ++m) {
        const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(c[m])));
        const __m256 hi =
            _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(c[m], 1)));
        _mm256_store_ps(tile + (i + m) * kAsymTile, lo);
        _mm256_store_ps(tile + (i + 8 + m) * kAsymTile, hi);
    }
}

void asym_fill_avx2(const AsymScan& s, std::size_t j0, std::size_t j1, float* tile) {
    const std::size_t dim = s.dim;
    for (std::size_t l0 = 0; l0 < kAsymTile; l0 += 8) {
        if (j0 + l0 + 8 > j1) {
            asym_fill_scalar(s, j0, j1, l0, l0 + 8, tile);
            continue;
        }
        const std::uint16_t* d = s.ranks + (j0 + l0) * dim;
        float* t = tile + l0;
        // The same rows of the next tile are pulled into L2 meanwhile, a
        // line per row every 32 coordinates, so the stream stays ahead.
        const bool ahead = j0 + l0 + kAsymTile + 8 <= s.n;
        const std::uint16_t* next = d + kAsymTile * dim;
        std::size_t i = 0;
        for (; i + 16 <= dim; i += 16) {
            if (ahead && i % 32 == 0) {
#pragma GCC unroll 8
                for (unsigned l = 0; l < 8; ++l) __builtin_prefetch(next + l * dim + i, 0, 2);
            }
            fill16_avx2(d, dim, i, t);
        }
        for (; i < dim; ++i) {
#pragma GCC unroll 8
            for (unsigned l = 0; l < 8; ++l)
                t[i * kAsymTile + l] = static_cast<float>(d[l * dim + i]);
        }
    }
}

// NQ queries against NO lanes of 8 documents of the tile.
template <unsigned NQ, unsigned NO>
inline void asym_step_avx2(const AsymScan& s, const float* u, const float* cs, const float* tile,
                           std::size_t j0, std::size_t j1, const Offers& sink) {
    const std::size_t dim = s.dim;
    __m256 acc[NQ][NO];
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) {
#pragma GCC unroll 8
        for (unsigned o = 0; o < NO; ++o) acc[q][o] = _mm256_setzero_ps();
    }
#pragma GCC unroll 2
    for (std::size_t i = 0; i < dim; ++i) {
        __m256 t[NO];
#pragma GCC unroll 8
        for (unsigned o = 0; o < NO; ++o) t[o] = _mm256_load_ps(tile + i * kAsymTile + 8 * o);
#pragma GCC unroll 8
        for (unsigned q = 0; q < NQ; ++q) {
            const __m256 w = _mm256_broadcast_ss(u + q * dim + i);
#pragma GCC unroll 8
            for (unsigned o = 0; o < NO; ++o)
                acc[q][o] = _mm256_add_ps(acc[q][o], _mm256_mul_ps(t[o], w));
        }
    }
    const __m256 inv = _mm256_set1_ps(s.inv);
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) {
#pragma GCC unroll 8
        for (unsigned o = 0; o < NO; ++o) {
            const std::size_t jo = j0 + 8 * o;
            if (jo >= j1) break;
            const __m256 f = _mm256_mul_ps(_mm256_sub_ps(acc[q][o], _mm256_set1_ps(cs[q])), inv);
            unsigned mask = static_cast<unsigned>(
                _mm256_movemask_ps(_mm256_cmp_ps(f, _mm256_set1_ps(sink.thr[q]), _CMP_GE_OQ)));
            if (j1 - jo < 8) mask &= (1u << (j1 - jo)) - 1;
            if (!mask) continue;
            alignas(32) float sc[8];
            _mm256_store_ps(sc, f);
            offer_lanes(mask, sc, jo, 8, sink.from(q));
        }
    }
}

template <unsigned NQ>
void asym_lanes_avx2(const AsymScan& s, const float* u, const float* cs, const float* tile,
                     std::size_t j0, std::size_t j1, const Offers& o) {
    if (j1 - j0 > 8)
        asym_step_avx2<NQ, 2>(s, u, cs, tile, j0, j1, o);
    else
        asym_step_avx2<NQ, 1>(s, u, cs, tile, j0, j1, o);
}

void asym_group_avx2(const AsymScan& s, const float* u, const float* cs, std::size_t nqg,
                     const float* tile, std::size_t j0, std::size_t j1, const Offers& o) {
    switch (nqg) {
        case 4: asym_lanes_avx2<4>(s, u, cs, tile, j0, j1, o); break;
        case 3: asym_lanes_avx2<3>(s, u, cs, tile, j0, j1, o); break;
        case 2: asym_lanes_avx2<2>(s, u, cs, tile, j0, j1, o); break;
        default: asym_lanes_avx2<1>(s, u, cs, tile, j0, j1, o); break;
    }
}

KW_TARGET_END

#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_rank_avx2(KernelTable& t) {
#ifdef KW_X86
    t.rank_sym_group = kern::sym_group_avx2;
    t.rank_asym_fill = kern::asym_fill_avx2;
    t.rank_asym_group = kern::asym_group_avx2;
    t.rank_asym_bounds = kern::asym_bounds_avx2;
#else
    (void)t;
#endif
}

}  // namespace kwivel
