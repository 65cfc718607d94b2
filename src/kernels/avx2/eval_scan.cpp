// AVX2 evaluation-search steps: two lanes of 8 documents, four queries at a
// time.  Separate multiplies and adds (never FMA), so every lane computes
// the portable sequence exactly.
#include "kernels/dispatch.h"
#include "kernels/eval_scan.h"
#include "kernels/isa.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

template <unsigned NQ>
void group_avx2(const EvalScan& s, const float* qc, const float* tile, std::size_t j0, std::size_t j1,
                const Offers& o) {
    const std::size_t dim = s.dim;
    __m256 acc[NQ][2];
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) acc[q][0] = acc[q][1] = _mm256_set1_ps(-0.0f);
#pragma GCC unroll 2
    for (std::size_t j = 0; j < dim; ++j) {
        const __m256 t0 = _mm256_load_ps(tile + j * kEvalTile);
        const __m256 t1 = _mm256_load_ps(tile + j * kEvalTile + 8);
#pragma GCC unroll 8
        for (unsigned q = 0; q < NQ; ++q) {
            const __m256 w = _mm256_broadcast_ss(qc + q * dim + j);
            acc[q][0] = _mm256_add_ps(acc[q][0], _mm256_mul_ps(w, t0));
            acc[q][1] = _mm256_add_ps(acc[q][1], _mm256_mul_ps(w, t1));
        }
    }
    const __m256 scale = _mm256_set1_ps(s.scale);
    const std::size_t lanes = j1 - j0;
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) {
        const __m256 f0 = _mm256_mul_ps(acc[q][0], scale), f1 = _mm256_mul_ps(acc[q][1], scale);
        const __m256 th = _mm256_set1_ps(o.thr[q]);
        const unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(f0, th, _CMP_GE_OQ))) |
                              static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(f1, th, _CMP_GE_OQ))) << 8;
        if ((mask & ((1u << lanes) - 1)) == 0) continue;
        alignas(32) float sc[kEvalTile];
        _mm256_store_ps(sc, f0);
        _mm256_store_ps(sc + 8, f1);
        eval_offer(sc, lanes, j0, o, q);
    }
}

void group_dispatch_avx2(const EvalScan& s, const float* qc, std::size_t nqg, const float* tile, std::size_t j0,
                         std::size_t j1, const Offers& o) {
    switch (nqg) {
        case 4: group_avx2<4>(s, qc, tile, j0, j1, o); break;
        case 3: group_avx2<3>(s, qc, tile, j0, j1, o); break;
        case 2: group_avx2<2>(s, qc, tile, j0, j1, o); break;
        default: group_avx2<1>(s, qc, tile, j0, j1, o); break;
    }
}

KW_TARGET_END

#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_eval_avx2(KernelTable& t) {
#ifdef KW_X86
    t.eval_group = kern::group_dispatch_avx2;
    t.eval_group_size = 4;
#else
    (void)t;
#endif
}

}  // namespace kwivel
