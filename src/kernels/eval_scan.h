// Steps of the evaluation search (index/eval_search.h): the view and the
// score's order of operations; the driver is in index/eval_search.cpp.
//
// A document's score is a float32 sum with a fixed order of operations:
//     x = -0.0;  x = x + qc_j * value(code_j)  for j = 0 .. dim-1;  x * scale,
// a product then an addition per coordinate, never fused.  The vector steps
// therefore put one document in each lane: documents are transposed, 16 at a
// time, into a coordinate-major float tile of their centred values
// (tile[j * 16 + lane]), and each lane runs the sequence above on its own, so
// every tier gives the same bits.  A block of queries passes over each tile,
// a few queries at a time in registers (KernelTable::eval_group, at most
// eval_group_size queries a call); offers per query arrive in ascending
// document order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/common.h"

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

// Offers the first `lanes` scores of a tile to query q.
inline void eval_offer(const float* sc, std::size_t lanes, std::size_t j0, const Offers& o, std::size_t q) {
    for (std::size_t l = 0; l < lanes; ++l) offer(o, q, j0 + l, sc[l]);
}

}  // namespace kwivel::kern
