// Exhaustive top-k scans of the Rank index: the plain views and the step
// contract (the drivers are in search/rank_search.h).
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
// Each tier's steps (kernels/<tier>/rank_scan.cpp) sit in the kernel table:
//   rank_sym_group(s, cq, nqg, j0, j1, offers)   documents [j0, j1) for nqg
//       prepared queries (centred ranks, stride dimp; int16, or int32 for
//       rank_sym_group_wide);
//   rank_asym_fill(s, j0, j1, tile)              documents [j0, j1) into a
//       transposed tile;
//   rank_asym_group(s, u, cs, nqg, tile, j0, j1, offers)  the tile for nqg
//       normalised queries u (stride dim) with their centre * qsum terms cs;
//   rank_asym_bounds(s, w, nqg, j0, j1, ta, out)  the integer bounds of the
//       asymmetric search (search/rank_search.cpp): for documents [j0, j1)
//       in ascending order and nqg queries of int16 weights w (stride dimp),
//       appends (q, j) to out where the exact wrapping int32 sum
//       A = sum_i w_i rd_i is at least ta[q]; returns the count appended
//       (at most nqg * (j1 - j0)).  Integer sums: every tier gives the same
//       candidates.
// The drivers call them once per (tile, query group).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/common.h"

namespace kwivel::kern {

// Queries sharing one pass over a document group (register blocking).
inline constexpr std::size_t kRankQueryGroup = 4;
// Prepared queries per block.  The block is re-read once per document tile
// (from L2, or L3 when it does not fit, which the arithmetic per tile easily
// hides); larger blocks mean fewer passes over the index and, for the
// asymmetric search, fewer tile transposes.
inline constexpr std::size_t kRankBlockBytes = 512 * 1024;
inline constexpr std::size_t kRankMaxBlock = 256;
// Symmetric document tiles are sized to stay in L1 across the query groups.
inline constexpr std::size_t kSymTileBytes = 24 * 1024;
// Asymmetric tiles: 16 documents (two lanes of 8) transposed to floats.
inline constexpr std::size_t kAsymTile = 16;

// Queries per block for prepared rows of row_bytes each: a multiple of the
// query group, at least one group.
inline std::size_t rank_block_capacity(std::size_t row_bytes) {
    return query_block_capacity(row_bytes, kRankBlockBytes, kRankQueryGroup, kRankMaxBlock);
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

// A document whose integer bound passed: query (within the step's group)
// and document id.
struct AsymCandidate {
    std::uint32_t q;
    std::uint32_t j;
};

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

}  // namespace kwivel::kern
