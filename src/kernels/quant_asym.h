// Asymmetric scans of the RankQuant index: the contract, the accuracy
// argument, and the shared drivers.
//
// The query stays a float vector: qn, the L2-normalised query.  A document is
// its code vector c (codes 0 .. L-1, L = 2^bits) centred at centre =
// (L - 1) / 2, and its score is
//     inv * sum_j (c_j - centre) * qn_j,     inv = 1 / asymmetric_norm,
// the cosine of the two (every stored row has the same centred norm).  Three
// paths compute it, chosen per call by select_simd_tier():
//
//   scalar   a query table of dim * L entries (c - centre) * qn_j, summed per
//            document one float32 addition at a time in coordinate order by
//            the symmetric scans (quant_scan.h) with inv as the scale;
//   AVX2     8-lane vectors, 2 bits: two accumulators per 16-coordinate word
//            (coordinates 0-7 and 8-15), 4 bits: one per 8-coordinate word;
//   AVX-512  16-lane vectors, 64 coordinates per step, one accumulator per
//            16 coordinates of the step (acc p takes coordinates 64s + 16p ..
//            64s + 16p + 15).
// The vector paths unpack codes without centring them (a big-endian 4-byte
// word broadcast to the lanes, a right shift per lane, a mask, a conversion
// to float), accumulate code * qn_j with fused multiply-adds, reduce the
// accumulators in a fixed order (see reduce_* in the ISA files), multiply by
// inv and let the TopK add the centring term
//     offset = (s * (-centre)) * inv,    s = sum_j qn_j (from -0.0, in order),
// since sum_j (c_j - centre) qn_j = sum_j c_j qn_j - centre * s.
// 8-bit codes take the table path (table entries already centred, no offset),
// summed in coordinate order or, with AVX-512, gathered 16 at a time into four
// rotating accumulators.
//
// Accuracy.  Every lane of every accumulator sees its terms in coordinate
// order, so each path is a fixed, reproducible float32 evaluation of the same
// sum: results never depend on the thread count or on how queries are
// blocked.  The paths differ only in their order of operations, so their
// scores agree to single-precision rounding, not bit for bit: with |qn| = 1
// and |c_j - centre| <= centre every partial sum is bounded by
// centre * sqrt(dim), and each path's error is a few units in the last place
// of that bound (the vector paths also cancel the centring term at the end,
// whose size is centre * |s| <= centre * sqrt(dim) as well).  This is also
// why fused multiply-add is allowed here while the rest of the library is
// built with -ffp-contract=off: the accumulation scheme of these kernels is
// defined with FMA, and nothing promises that two paths give the same bits.
// The FMAs are written as intrinsics, never left to contraction.
//
// Throughput.  The vector accumulators hold consecutive coordinates, so the
// unpacked codes of a document are simply its codes as floats in coordinate
// order.  The drivers unpack a small tile of documents (it stays in L1) once,
// then every query of a block (its normalised rows stay in L2) passes over
// it, a few queries and two documents at a time in registers: each unpacked
// word is reused by all those queries, and each query's accumulation is
// exactly the per-document scheme above.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/common.h"
#include "kernels/dispatch.h"
#include "search/topk.h"

namespace kwivel {

class RankQuantIndex;

// The vector path of an asymmetric search: scalar (0), AVX2 (1), AVX-512 (2).
enum class SimdTier : std::uint8_t { scalar = 0, avx2 = 1, avx512 = 2 };
const char* simd_tier_name(SimdTier t);

// The path for a code width and dimension when the ladder allows `ladder`:
// 2 and 4 bits take AVX-512 at ladder >= avx512 when dim % 64 == 0, else AVX2
// at ladder >= avx2 when dim % 16 == 0 (2 bits) or dim % 8 == 0 (4 bits);
// everything else (1 and 8 bits included) is scalar.
SimdTier select_simd_tier(Tier ladder, std::size_t dim, unsigned bits);
// The same for the tier this process runs.
SimdTier select_simd_tier(std::size_t dim, unsigned bits);

// The centred norm of a stored row: sqrt(dim * (L^2 - 1) / 12), except for
// 8 bits with dim % 256 != 0 (composition not constant), where it is the
// exact norm of one row, summed in double over the ranks.
float asymmetric_norm(std::size_t dim, unsigned bits);

// Top-k asymmetric search of nq finite query rows (dim floats each) with the
// kernels of a ladder tier; k_eff = min(k, size()).  Any dim at 8 bits.
SearchResult quant_search_asymmetric(const RankQuantIndex& index, const float* queries, std::size_t nq,
                                     std::size_t k, Tier tier);

// The per-call working set of a subset rerank.
struct SubsetScratch {
    std::vector<float> qn;
    std::vector<std::uint8_t> gathered;
    std::vector<float> table;
    std::vector<std::int64_t> global_ids;
    std::vector<float> local_scores;
    std::vector<std::int64_t> local_slots;
    std::vector<TopK::Record> finalize;
};

// One finite query (dim floats) against the rows named by cands (each below
// size(), repeats allowed, at most size() of them): scores and global ids of
// the min(k, n_cand) best, ties by global id, in a SearchResult of one row.
SearchResult quant_search_asymmetric_subset(const RankQuantIndex& index, const float* query, std::size_t len,
                                            const std::uint32_t* cands, std::size_t n_cand, std::size_t k,
                                            Tier tier);

// Scalar path: fills `table` (resized to dim * 2^bits) with (c - centre) *
// qn_j and scans n rows of 1-, 2- or 4-bit codes with the width's symmetric
// scan, inv as the scale.  `topk` keeps its default offset.
void scan_via_lut_scalar_with_lut(const std::uint8_t* codes, std::size_t n, std::size_t dim, unsigned bits,
                                  const float* qn, std::size_t qn_len, float inv, std::vector<float>& table,
                                  TopK& topk);
// 8-bit path: fills the dim * 256 centred table and scans in coordinate order,
// or with the gather kernel of `tier` when it has one and dim % 16 == 0.
void scan_b8_asym_with_lut(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* qn,
                           std::size_t qn_len, float inv, std::vector<float>& table, TopK& topk, Tier tier);

namespace kern {

// Position of a vector width in KernelTable::quant_asym_scan.
inline std::size_t asym_width_slot(unsigned bits) {
    KW_ASSERT(bits == 2 || bits == 4, "bits must be 2 or 4 on the vector paths");
    return bits == 2 ? 0 : 1;
}

// The precondition each vector kernel asserts.
void check_asym_shape(SimdTier simd, unsigned bits, std::size_t dim);

// Offers x = f + off unless topk would turn it down (thr = topk.threshold()).
inline void offer_offset(TopK& tk, float& thr, float off, std::size_t i, float f) {
    if (f + off >= thr) {
        tk.maybe_insert(i, f);
        thr = tk.threshold();
    }
}

// A block of prepared queries against n documents.
struct AsymBlock {
    const std::uint8_t* codes = nullptr;
    std::size_t n = 0;
    std::size_t dim = 0;
    std::size_t bpv = 0;       // packed bytes per document
    const float* qn = nullptr; // m normalised rows, stride dim
    const float* off = nullptr;// m score offsets
    std::size_t m = 0;
    float inv = 0.0f;
    TopK* tks = nullptr;
    float* thr = nullptr;      // m admission thresholds
};

// Unpacked documents per tile: about kAsymTileBytes of floats, a multiple of
// the two documents a step takes, at least two.
inline constexpr std::size_t kAsymTileBytes = 24 * 1024;
inline constexpr std::size_t kAsymBlockBytes = 768 * 1024;
inline constexpr std::size_t kAsymMaxBlock = 256;

inline std::size_t asym_tile_docs(std::size_t dim) {
    const std::size_t t = kAsymTileBytes / (dim * sizeof(float));
    return std::clamp<std::size_t>(t / 2 * 2, 2, 64);
}

// Steps::unpack(row, dim, out) writes a document's codes as floats in
// coordinate order; Steps::group(b, q0, nqg, tile, j0, cnt) scores the cnt
// unpacked documents of the tile (first id j0) for queries q0 .. q0 + nqg
// and offers them.  Queries are taken kGroup at a time.
template <class Steps>
void asym_block(const AsymBlock& b) {
    if (b.n == 0 || b.m == 0) return;
    const std::size_t tdocs = asym_tile_docs(b.dim);
    AlignedBuffer<float> tile(tdocs * b.dim);
    for (std::size_t t0 = 0; t0 < b.n; t0 += tdocs) {
        const std::size_t cnt = std::min(tdocs, b.n - t0);
        for (std::size_t d = 0; d < cnt; ++d) Steps::unpack(b.codes + (t0 + d) * b.bpv, b.dim, tile.data() + d * b.dim);
        for (std::size_t q0 = 0; q0 < b.m; q0 += Steps::kGroup)
            Steps::group(b, q0, std::min(Steps::kGroup, b.m - q0), tile.data(), t0, cnt);
    }
}

// A single-query vector scan: qn normalised (dim floats), topk's offset set.
template <class Steps>
void asym_scan_one(SimdTier simd, unsigned bits, const std::uint8_t* codes, std::size_t n, std::size_t dim,
                   const float* qn, float inv, TopK& topk) {
    check_asym_shape(simd, bits, dim);
    float thr = topk.threshold();
    const float offset = topk.score_offset();
    AsymBlock b;
    b.codes = codes;
    b.n = n;
    b.dim = dim;
    b.bpv = dim * bits / 8;
    b.qn = qn;
    b.off = &offset;
    b.m = 1;
    b.inv = inv;
    b.tks = &topk;
    b.thr = &thr;
    asym_block<Steps>(b);
}

// The prepared form of a query: qn, and the offset (s * (-centre)) * inv.
float prepare_asym_query(const float* query, std::size_t dim, unsigned bits, float inv, float* qn);

// Whole search of nq queries over an index on a vector path: blocks of
// queries share each pass over the codes.
template <class Steps>
void asym_search(SimdTier simd, const std::uint8_t* codes, std::size_t n, std::size_t dim, unsigned bits,
                 const float* queries, std::size_t nq, float inv, SearchResult& out) {
    check_asym_shape(simd, bits, dim);
    const std::size_t cap = query_block_capacity(dim * sizeof(float), kAsymBlockBytes, Steps::kGroup, kAsymMaxBlock);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        const std::size_t nb_max = std::min(cap, hi - lo);
        AlignedBuffer<float> qn(nb_max * dim);
        std::vector<float> off(nb_max), thr(nb_max);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        tks.reserve(nb_max);
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            tks.clear();
            for (std::size_t q = b0; q < b1; ++q) {
                const std::size_t i = q - b0;
                off[i] = prepare_asym_query(queries + q * dim, dim, bits, inv, qn.data() + i * dim);
                tks.emplace_back(out.k_eff);
                tks.back().set_score_offset(off[i]);
                thr[i] = kNegInf;
            }
            AsymBlock b;
            b.codes = codes;
            b.n = n;
            b.dim = dim;
            b.bpv = dim * bits / 8;
            b.qn = qn.data();
            b.off = off.data();
            b.m = b1 - b0;
            b.inv = inv;
            b.tks = tks.data();
            b.thr = thr.data();
            asym_block<Steps>(b);
            for (std::size_t q = b0; q < b1; ++q) finalize_row(tks[q - b0], out, q, scratch);
        });
    });
}

}  // namespace kern
}  // namespace kwivel
