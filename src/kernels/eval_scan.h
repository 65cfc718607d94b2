// Scans of the evaluation search (index/eval_search.h): the shared driver.
//
// A document's score is a float32 sum with a fixed order of operations:
//     x = -0.0;  x = x + qc_j * value(code_j)  for j = 0 .. dim-1;  x * scale,
// a product then an addition per coordinate, never fused.  The vector steps
// therefore put one document in each lane: documents are transposed, 16 at a
// time, into a coordinate-major float tile of their centred values
// (tile[j * 16 + lane]), and each lane runs the sequence above on its own, so
// every tier gives the same bits.  A block of queries passes over each tile,
// a few queries at a time in registers; offers per query arrive in ascending
// document order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/common.h"
#include "kernels/dispatch.h"
#include "search/topk.h"

namespace kwivel::kern {

struct EvalScan {
    std::size_t dim = 0;
    std::size_t n = 0;
    const std::uint8_t* codes = nullptr;  // n rows of dim one-byte codes
    const float* values = nullptr;        // centred value of each code
    float scale = 0.0f;
};

inline constexpr std::size_t kEvalTile = 16;
inline constexpr std::size_t kEvalBlockBytes = 512 * 1024;
inline constexpr std::size_t kEvalMaxBlock = 256;

// Documents [j0, j1) into the tile; lanes past j1 hold zeros and are never
// offered.
inline void eval_fill(const EvalScan& s, std::size_t j0, std::size_t j1, float* tile) {
    const std::size_t dim = s.dim;
    for (std::size_t l = 0; l < kEvalTile; ++l) {
        float* t = tile + l;
        if (j0 + l < j1) {
            const std::uint8_t* row = s.codes + (j0 + l) * dim;
            for (std::size_t j = 0; j < dim; ++j) t[j * kEvalTile] = s.values[row[j]];
        } else {
            for (std::size_t j = 0; j < dim; ++j) t[j * kEvalTile] = 0.0f;
        }
    }
}

// Offers the first `lanes` scores of a tile to one query.
inline void eval_offer(const float* sc, std::size_t lanes, std::size_t j0, TopK& tk, float& thr) {
    for (std::size_t l = 0; l < lanes; ++l) offer(tk, thr, j0 + l, sc[l]);
}

// Steps::group(s, qc, nqg, tile, j0, j1, tks, thr) scores the tile for nqg
// queries (centred codes qc, stride dim), at most Steps::kGroup at a time.
template <class Steps>
void eval_driver(const EvalScan& s, const float* qc, std::size_t nq, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = query_block_capacity(dim * sizeof(float), kEvalBlockBytes, Steps::kGroup, kEvalMaxBlock);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        AlignedBuffer<float> tile(dim * kEvalTile);
        std::vector<float> thr(cap);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        tks.reserve(cap);
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                tks.emplace_back(out.k_eff);
                thr[q] = kNegInf;
            }
            for (std::size_t t0 = 0; t0 < s.n; t0 += kEvalTile) {
                const std::size_t t1 = std::min(s.n, t0 + kEvalTile);
                eval_fill(s, t0, t1, tile.data());
                for (std::size_t q0 = 0; q0 < nb; q0 += Steps::kGroup)
                    Steps::group(s, qc + (b0 + q0) * dim, std::min(Steps::kGroup, nb - q0), tile.data(), t0, t1,
                                 tks.data() + q0, thr.data() + q0);
            }
            for (std::size_t q = 0; q < nb; ++q) finalize_row(tks[q], out, b0 + q, scratch);
        });
    });
}

}  // namespace kwivel::kern
