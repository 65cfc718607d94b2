// AVX2 RankQuant symmetric scans: the integer form of the table (see
// quant_scan.h), so every sum is exact and equals the portable bits.  AVX2
// integer and single-precision instructions only.
#include <cstdint>
#include <cstring>
#include <limits>

#include "kernels/avx2/hsum.h"
#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/quant_scan.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

using avx2::hsum8_epi32;

// Expands rows [i0, i0 + cnt) into out (stride layout.width).
template <unsigned BITS>
void expand_rows_avx2(const Layout& l, const std::uint8_t* codes, std::size_t i0, std::size_t cnt,
                      std::uint8_t* out) {
    constexpr unsigned cpb = codes_per_byte(BITS);
    const __m256i mask = _mm256_set1_epi8(static_cast<char>((1u << BITS) - 1));
    const std::size_t bpv = l.bpv;
    for (std::size_t d = 0; d < cnt; ++d) {
        const std::uint8_t* row = codes + (i0 + d) * bpv;
        std::uint8_t* o = out + d * l.width;
        for (std::size_t k = 0; k < l.chunks; ++k) {
            __m256i x;
            if (32 * k + 32 <= bpv) {
                x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * k));
            } else {
                alignas(32) std::uint8_t tmp[32] = {};
                if (bpv > 32 * k) std::memcpy(tmp, row + 32 * k, bpv - 32 * k);
                x = _mm256_load_si256(reinterpret_cast<const __m256i*>(tmp));
            }
            for (unsigned t = 0; t < cpb; ++t) {
                const int shift = static_cast<int>(packing_shift(BITS, t));
                // 16-bit shifts; the mask drops what crosses from the
                // neighbouring byte.
                const __m256i v = _mm256_and_si256(_mm256_srli_epi16(x, shift), mask);
                _mm256_store_si256(reinterpret_cast<__m256i*>(o + (k * cpb + t) * 32), v);
            }
        }
    }
}

// NQ queries x ND expanded documents starting at index j.
template <unsigned NQ, unsigned ND>
inline void int_step_avx2(const IntBlock& b, const std::int8_t* rows, const std::int32_t* corr,
                          const std::uint8_t* docs, std::size_t j, const Offers& o) {
    constexpr unsigned P = NQ * ND;
    static_assert(P <= 8);
    const std::size_t width = b.layout->width, nvec = b.layout->nvec, steps = b.steps;
    __m256i total = _mm256_setzero_si256();
    for (std::size_t v0 = 0; v0 < nvec; v0 += steps) {
        const std::size_t v1 = std::min(nvec, v0 + steps);
        __m256i acc[P];
        for (unsigned p = 0; p < P; ++p) acc[p] = _mm256_setzero_si256();
#pragma GCC unroll 4
        for (std::size_t v = v0; v < v1; ++v) {
            __m256i dv[ND];
            for (unsigned d = 0; d < ND; ++d)
                dv[d] = _mm256_load_si256(reinterpret_cast<const __m256i*>(docs + d * width + 32 * v));
            for (unsigned q = 0; q < NQ; ++q) {
                const __m256i qv =
                    _mm256_load_si256(reinterpret_cast<const __m256i*>(rows + q * width + 32 * v));
                for (unsigned d = 0; d < ND; ++d)
                    acc[q * ND + d] =
                        _mm256_add_epi16(acc[q * ND + d], _mm256_maddubs_epi16(dv[d], qv));
            }
        }
        const __m256i ones = _mm256_set1_epi16(1);
        __m256i wide[8];
        for (unsigned p = 0; p < 8; ++p)
            wide[p] = p < P ? _mm256_madd_epi16(acc[p], ones) : _mm256_setzero_si256();
        total = _mm256_add_epi32(total, hsum8_epi32(wide));
    }
    alignas(32) std::int32_t cl[8];
    alignas(32) float tl[8];
    for (unsigned p = 0; p < 8; ++p) {
        cl[p] = p < P ? corr[p / ND] : 0;
        tl[p] = p < P ? o.thr[p / ND] : std::numeric_limits<float>::infinity();
    }
    // S = 2 * sum c b - corr; float(S) / 4 is the float32 sum.
    const __m256i s = _mm256_sub_epi32(_mm256_slli_epi32(total, 1),
                                       _mm256_load_si256(reinterpret_cast<const __m256i*>(cl)));
    const __m256 f = _mm256_mul_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(s), _mm256_set1_ps(0.25f)),
                                   _mm256_set1_ps(b.scale));
    const unsigned mask =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(f, _mm256_load_ps(tl), _CMP_GE_OQ))) &
        ((1u << P) - 1);
    if (!mask) return;
    alignas(32) float sc[8];
    _mm256_store_ps(sc, f);
    offer_lanes(mask, sc, j, ND, o);
}

// NQ queries against cnt expanded documents of a tile starting at index j0.
template <unsigned NQ>
void int_docs_avx2(const IntBlock& b, std::size_t q0, const std::uint8_t* tile, std::size_t j0,
                   std::size_t cnt) {
    constexpr unsigned ND = NQ == 1 ? 8 : NQ == 2 ? 4 : 2;
    const std::size_t width = b.layout->width;
    const std::int8_t* rows = b.rows + q0 * width;
    const std::int32_t* corr = b.corr + q0;
    const Offers o = b.offers.from(q0);
    std::size_t d = 0;
    for (; d + ND <= cnt; d += ND)
        int_step_avx2<NQ, ND>(b, rows, corr, tile + d * width, j0 + d, o);
    for (; d < cnt; ++d) int_step_avx2<NQ, 1>(b, rows, corr, tile + d * width, j0 + d, o);
}

// The whole index against every query of the block; tile holds tile_docs
// expanded rows (quant_tile_docs).
void int_scan_avx2(const IntBlock& b, std::uint8_t* tile, std::size_t tdocs) {
    const Layout& l = *b.layout;
    void (*expand)(const Layout&, const std::uint8_t*, std::size_t, std::size_t, std::uint8_t*) =
        l.bits == 1 ? expand_rows_avx2<1> : l.bits == 2 ? expand_rows_avx2<2> : expand_rows_avx2<4>;
    for (std::size_t t0 = 0; t0 < b.n; t0 += tdocs) {
        const std::size_t cnt = std::min(tdocs, b.n - t0);
        expand(l, b.codes, t0, cnt, tile);
        for (std::size_t q0 = 0; q0 < b.m; q0 += kQuantQueryGroup) {
            switch (std::min(kQuantQueryGroup, b.m - q0)) {
                case 4: int_docs_avx2<4>(b, q0, tile, t0, cnt); break;
                case 3: int_docs_avx2<3>(b, q0, tile, t0, cnt); break;
                case 2: int_docs_avx2<2>(b, q0, tile, t0, cnt); break;
                default: int_docs_avx2<1>(b, q0, tile, t0, cnt); break;
            }
        }
    }
}

KW_TARGET_END

#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_quant_avx2(KernelTable& t) {
#ifdef KW_X86
    t.quant_int_scan = kern::int_scan_avx2;
#else
    (void)t;
#endif
}

}  // namespace kwivel
