// Exhaustive top-k scans of the Rank index: the shared drivers.
//
// Both searches have the same shape.  The queries handed to a task are
// prepared once (centred int16 ranks, or L2-normalised floats) and taken in
// blocks of up to a few hundred.  Each block walks the whole index once, a
// small tile of documents at a time, so the index streams from memory once
// per block rather than once per query, while the tile stays in L1/L2.
// Inside a tile a group of four queries meets two documents (or two lanes of
// eight) in registers.  A score is offered to its query's TopK only when it
// can be admitted (score >= threshold); everything else costs one vector
// compare.  Offers per query arrive in ascending document order.
//
// Symmetric scores are exact integers until the final conversion, so any
// summation order gives the same bits.  Asymmetric scores add their terms in
// coordinate order per document; the vector kernel puts one document in each
// lane, which keeps that order in every lane.
//
// The drivers below are templates over a tier's step kernels; each ISA file
// instantiates them with its own steps (kernels/<tier>/rank_scan.cpp), and
// rank_search_symmetric / rank_search_asymmetric run the instantiation in
// the kernel table of the tier asked for.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/common.h"
#include "kernels/dispatch.h"
#include "ordinal/rank_transform.h"
#include "search/topk.h"

namespace kwivel {

// Top-k searches of nq finite query rows (dim floats each) over the index
// with the kernels of a tier (at most active_tier()).  Every tier gives the
// same bits, whatever the thread count.
SearchResult rank_search_symmetric(const RankIndex& index, const float* queries, std::size_t nq, std::size_t k,
                                   Tier tier);
SearchResult rank_search_asymmetric(const RankIndex& index, const float* queries, std::size_t nq, std::size_t k,
                                    Tier tier);

namespace kern {

// Queries sharing one pass over a document group (register blocking).
inline constexpr std::size_t kQueryGroup = 4;
// Prepared queries per block.  The block is re-read once per document tile
// (from L2, or L3 when it does not fit, which the arithmetic per tile easily
// hides); larger blocks mean fewer passes over the index and, for the
// asymmetric search, fewer tile transposes.
inline constexpr std::size_t kBlockBytes = 512 * 1024;
inline constexpr std::size_t kMaxBlock = 256;
// Symmetric document tiles are sized to stay in L1 across the query groups.
inline constexpr std::size_t kSymTileBytes = 24 * 1024;
// Asymmetric tiles: 16 documents (two lanes of 8) transposed to floats.
inline constexpr std::size_t kAsymTile = 16;

// Queries per block for prepared rows of row_bytes each: a multiple of the
// query group, at least one group.
inline std::size_t block_capacity(std::size_t row_bytes) {
    return query_block_capacity(row_bytes, kBlockBytes, kQueryGroup, kMaxBlock);
}

// ---------------------------------------------------------------------------
// Symmetric search.
//
// With rq the query ranks and rd a document's, the score's integer is
//   dot = sum_i (2 rq_i - (d-1)) (2 rd_i - (d-1)).
// The centred query cq_i = 2 rq_i - (d-1) sums to zero (rq is a permutation
// of 0..d-1), so dot = 2 S with S = sum_i cq_i rd_i: documents are used
// as stored, with no per-document centring.  Stored rows are rank
// transforms (the file loader rejects rows that are not permutations), so
// every rd_i is below d: up to d = 32768 it reads the same as int16, and
// |rd_i - (d-1)/2| <= (d-1)/2 gives |S| <= (d-1)/2 * sum_i |cq_i|.  When
// that fits int32 (d <= 2048), wrapping int32 sums in any order give S
// exactly.  float(2S) * 0.25f equals float(S) * 0.5f bit for bit (scaling by
// two commutes with rounding).

// sum over a permutation r of 0..d-1 of |2 r - (d-1)|.
inline std::uint64_t centred_abs_sum(std::uint64_t d) {
    std::uint64_t s = 0;
    for (std::uint64_t r = 0; r < d; ++r) {
        const std::int64_t c = 2 * static_cast<std::int64_t>(r) - static_cast<std::int64_t>(d - 1);
        s += static_cast<std::uint64_t>(c < 0 ? -c : c);
    }
    return s;
}

// Centred queries fit int16 up to this dimension.
inline constexpr std::size_t kMaxInt16Dim = 32768;

struct SymScan {
    std::size_t dim = 0;
    std::size_t dimp = 0;    // prepared query stride: dim rounded up to 16
    std::size_t nvec = 0;    // dimp / 16
    std::size_t n = 0;
    const std::uint16_t* ranks = nullptr;
    // Vector kernels read whole 16-lane chunks past the end of a row (the
    // padded query lanes are zero, so the extra terms vanish); documents from
    // n_direct on would read past the index and use padded copies instead.
    std::size_t n_direct = 0;
    const std::int16_t* tail = nullptr;
    // Whether wrapping int32 sums of S are exact (see above).
    bool exact_int32 = false;
    // Otherwise: 16-bit multiply-add steps per int32 lane between flushes
    // into int64 (each step adds at most 2 (d-1)^2 to a lane).
    std::size_t lane_steps = 0;
    float inv = 0.0f;

    const std::int16_t* doc(std::size_t j) const {
        return j < n_direct ? reinterpret_cast<const std::int16_t*>(ranks) + j * dim
                            : tail + (j - n_direct) * dimp;
    }
};

// Score of an exact dot (int64), in the fixed float32 order.
inline float sym_score(std::int64_t dot, float inv) {
    return static_cast<float>(dot) * 0.25f * inv;
}

// ---------------------------------------------------------------------------
// Asymmetric search.
//
// score = (sum_i float(rd_i) * u_i - centre * qsum) * inv, the sum taken in
// coordinate order from +0.0.  Documents are transposed, 16 at a time, into
// a coordinate-major float tile (tile[i * 16 + lane]); zero lanes past the
// end of the index are never offered.

struct AsymScan {
    std::size_t dim = 0;
    std::size_t n = 0;
    const std::uint16_t* ranks = nullptr;
    float inv = 0.0f;
};

// Transposes lanes [l0, l1) of the tile one value at a time.
inline void asym_fill_scalar(const AsymScan& s, std::size_t j0, std::size_t j1, std::size_t l0,
                      std::size_t l1, float* tile) {
    const std::size_t dim = s.dim;
    for (std::size_t l = l0; l < l1; ++l) {
        float* t = tile + l;
        if (j0 + l < j1) {
            const std::uint16_t* d = s.ranks + (j0 + l) * dim;
            for (std::size_t i = 0; i < dim; ++i) t[i * kAsymTile] = static_cast<float>(d[i]);
        } else {
            for (std::size_t i = 0; i < dim; ++i) t[i * kAsymTile] = 0.0f;
        }
    }
}

// Steps::sym_group(s, cq, nqg, j0, j1, tks, thr) scores documents [j0, j1)
// for nqg prepared queries of type Q (stride dimp).
template <class Q, class Steps>
void sym_driver(const SymScan& s, const float* queries, std::size_t nq, std::size_t k_eff, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = block_capacity(s.dimp * sizeof(Q));
    const std::size_t tile_docs = kSymTileBytes / (dim * sizeof(std::uint16_t));
    const std::size_t tile = std::max<std::size_t>(2, std::min<std::size_t>(64, tile_docs) / 2 * 2);
    const std::int32_t offset = static_cast<std::int32_t>(dim) - 1;
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<Q> cq(std::min(cap, hi - lo) * s.dimp, Q{0});
        std::vector<std::uint16_t> r(dim);
        std::vector<float> thr(cap + kQueryGroup);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                rank_transform_into(queries + (b0 + q) * dim, dim, r.data());
                Q* c = cq.data() + q * s.dimp;
                for (std::size_t i = 0; i < dim; ++i)
                    c[i] = static_cast<Q>(2 * static_cast<std::int32_t>(r[i]) - offset);
                tks.emplace_back(k_eff);
                thr[q] = kNegInf;
            }
            const std::size_t groups = (nb + kQueryGroup - 1) / kQueryGroup;
            for (std::size_t t0 = 0; t0 < s.n; t0 += tile) {
                const std::size_t t1 = std::min(s.n, t0 + tile);
                const std::size_t t2 = std::min(s.n, t1 + tile);
                const void* next = s.ranks + t1 * dim;
                const std::size_t next_bytes = (t2 - t1) * dim * sizeof(std::uint16_t);
                for (std::size_t g = 0; g < groups; ++g) {
                    prefetch_share(next, next_bytes, g, groups);
                    const std::size_t q0 = g * kQueryGroup;
                    Steps::sym_group(s, cq.data() + q0 * s.dimp, std::min(kQueryGroup, nb - q0), t0, t1,
                          tks.data() + q0, thr.data() + q0);
                }
            }
            for (std::size_t q = 0; q < nb; ++q) finalize_row(tks[q], out, b0 + q, scratch);
        });
    });
}

// Steps::asym_fill(s, j0, j1, tile) transposes documents [j0, j1) into a
// tile; Steps::asym_group(s, u, cs, nqg, tile, j0, j1, tks, thr) scores the
// tile for nqg normalised queries u (stride dim) with their centre * qsum
// terms cs.
template <class Steps>
void asym_driver(const AsymScan& s, const float* queries, std::size_t nq, std::size_t k_eff, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = block_capacity(dim * sizeof(float));
    const float centre = (static_cast<float>(dim) - 1.0f) * 0.5f;
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<float> u(std::min(cap, hi - lo) * dim);
        std::vector<float> cs(cap), thr(cap + kQueryGroup);
        AlignedBuffer<float> tile(dim * kAsymTile);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                const std::vector<float> v = l2_normalise(queries + (b0 + q) * dim, dim);
                float qsum = -0.0f;
                for (std::size_t i = 0; i < dim; ++i) qsum = qsum + v[i];
                std::copy(v.begin(), v.end(), u.begin() + static_cast<std::ptrdiff_t>(q * dim));
                cs[q] = centre * qsum;
                tks.emplace_back(k_eff);
                thr[q] = kNegInf;
            }
            const std::size_t groups = (nb + kQueryGroup - 1) / kQueryGroup;
            for (std::size_t t0 = 0; t0 < s.n; t0 += kAsymTile) {
                const std::size_t t1 = std::min(s.n, t0 + kAsymTile);
                Steps::asym_fill(s, t0, t1, tile.data());
                for (std::size_t g = 0; g < groups; ++g) {
                    const std::size_t q0 = g * kQueryGroup;
                    Steps::asym_group(s, u.data() + q0 * dim, cs.data() + q0, std::min(kQueryGroup, nb - q0),
                          tile.data(), t0, t1, tks.data() + q0, thr.data() + q0);
                }
            }
            for (std::size_t q = 0; q < nb; ++q) finalize_row(tks[q], out, b0 + q, scratch);
        });
    });
}

}  // namespace kern
}  // namespace kwivel
