// Portable evaluation-search steps: the definition of the score, one lane per
// document, a product and an addition per coordinate.
#include "kernels/dispatch.h"
#include "kernels/eval_scan.h"

namespace kwivel {
namespace kern {
namespace {

void group_portable(const EvalScan& s, const float* qc, std::size_t nqg, const float* tile, std::size_t j0,
                    std::size_t j1, const Offers& o) {
    const std::size_t dim = s.dim;
    for (std::size_t q = 0; q < nqg; ++q) {
        const float* u = qc + q * dim;
        float x[kEvalTile];
        for (std::size_t l = 0; l < kEvalTile; ++l) x[l] = -0.0f;
        for (std::size_t j = 0; j < dim; ++j) {
            const float w = u[j];
            const float* t = tile + j * kEvalTile;
            for (std::size_t l = 0; l < kEvalTile; ++l) x[l] = x[l] + w * t[l];
        }
        for (std::size_t l = 0; l < kEvalTile; ++l) x[l] = x[l] * s.scale;
        eval_offer(x, j1 - j0, j0, o, q);
    }
}


}  // namespace
}  // namespace kern

void install_eval_portable(KernelTable& t) {
    t.eval_group = kern::group_portable;
    t.eval_group_size = 4;
}

}  // namespace kwivel
