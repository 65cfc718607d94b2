// AVX-512 evaluation-search steps: one lane of 16 documents, eight queries at
// a time (eight independent addition chains).  Separate multiplies and adds
// (never FMA), so every lane computes the portable sequence exactly.
#include "kernels/dispatch.h"
#include "kernels/eval_scan.h"
#include "kernels/isa.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX512_BEGIN

template <unsigned NQ>
void group_avx512(const EvalScan& s, const float* qc, const float* tile, std::size_t j0, std::size_t j1,
                  const Offers& o) {
    const std::size_t dim = s.dim;
    __m512 acc[NQ];
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) acc[q] = _mm512_set1_ps(-0.0f);
#pragma GCC unroll 2
    for (std::size_t j = 0; j < dim; ++j) {
        const __m512 t = _mm512_load_ps(tile + j * kEvalTile);
#pragma GCC unroll 8
        for (unsigned q = 0; q < NQ; ++q)
            acc[q] = _mm512_add_ps(acc[q], _mm512_mul_ps(_mm512_set1_ps(qc[q * dim + j]), t));
    }
    const __m512 scale = _mm512_set1_ps(s.scale);
    const std::size_t lanes = j1 - j0;
    const __mmask16 live = static_cast<__mmask16>((1u << lanes) - 1);
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) {
        const __m512 f = _mm512_mul_ps(acc[q], scale);
        if (!_mm512_mask_cmp_ps_mask(live, f, _mm512_set1_ps(o.thr[q]), _CMP_GE_OQ)) continue;
        alignas(64) float sc[kEvalTile];
        _mm512_store_ps(sc, f);
        eval_offer(sc, lanes, j0, o, q);
    }
}

void group_dispatch_avx512(const EvalScan& s, const float* qc, std::size_t nqg, const float* tile,
                           std::size_t j0, std::size_t j1, const Offers& o) {
    switch (nqg) {
        case 8: group_avx512<8>(s, qc, tile, j0, j1, o); break;
        case 7: group_avx512<7>(s, qc, tile, j0, j1, o); break;
        case 6: group_avx512<6>(s, qc, tile, j0, j1, o); break;
        case 5: group_avx512<5>(s, qc, tile, j0, j1, o); break;
        case 4: group_avx512<4>(s, qc, tile, j0, j1, o); break;
        case 3: group_avx512<3>(s, qc, tile, j0, j1, o); break;
        case 2: group_avx512<2>(s, qc, tile, j0, j1, o); break;
        default: group_avx512<1>(s, qc, tile, j0, j1, o); break;
    }
}

KW_TARGET_END

#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_eval_avx512(KernelTable& t) {
#ifdef KW_X86
    t.eval_group = kern::group_dispatch_avx512;
    t.eval_group_size = 8;
#else
    (void)t;
#endif
}

}  // namespace kwivel
