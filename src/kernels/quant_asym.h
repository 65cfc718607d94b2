// Asymmetric scans of the RankQuant index: the contract, the accuracy
// argument, and the views the vector steps take (the drivers are in
// search/quant_asym_search.h).
//
// The query stays a float vector: qn, the L2-normalised query.  A document is
// its code vector c (codes 0 .. L-1, L = 2^bits) centred at centre =
// (L - 1) / 2, and its score is
//     inv * sum_j (c_j - centre) * qn_j,     inv = 1 / asymmetric_norm,
// the cosine of the two (every stored row has the same centred norm).  Three
// paths compute it, chosen per call by select_simd_tier(), which names the
// ladder tier whose kernel table runs it (portable for the scalar path):
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
// order.  The drivers unpack a small tile of documents (it stays in L1) once
// with the width's unpack step (KernelTable::quant_asym), then every query
// of a block (its normalised rows stay in L2) passes over it through the
// width's group step, a few queries and two documents at a time in
// registers: each unpacked word is reused by all those queries, and each
// query's accumulation is exactly the per-document scheme above.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "kernels/common.h"
#include "kernels/dispatch.h"

namespace kwivel {

// The tier whose kernels run an asymmetric search of a code width and
// dimension when the ladder allows `ladder`: 2 and 4 bits take the avx512
// tier's steps at ladder >= avx512 when dim % 64 == 0, else the avx2 tier's
// at ladder >= avx2 when dim % 16 == 0 (2 bits) or dim % 8 == 0 (4 bits);
// everything else (1 and 8 bits included) is portable, the scalar path.
Tier select_simd_tier(Tier ladder, std::size_t dim, unsigned bits);
// The same for the tier this process runs.
Tier select_simd_tier(std::size_t dim, unsigned bits);

// The centred norm of a stored row: sqrt(dim * (L^2 - 1) / 12), except for
// 8 bits with dim % 256 != 0 (composition not constant), where it is the
// exact norm of one row, summed in double over the ranks.
float asymmetric_norm(std::size_t dim, unsigned bits);

namespace kern {

// Position of a vector width in KernelTable::quant_asym.
inline std::size_t asym_width_slot(unsigned bits) {
    KW_ASSERT(bits == 2 || bits == 4, "bits must be 2 or 4 on the vector paths");
    return bits == 2 ? 0 : 1;
}

// The precondition each vector path (avx2 or avx512) asserts.
void check_asym_shape(Tier path, unsigned bits, std::size_t dim);

// Offers f of document i to query q when f + off passes its threshold (the
// accumulator behind the sink adds off itself).
inline void offer_offset(const Offers& o, std::size_t q, float off, std::size_t i, float f) {
    if (f + off >= o.thr[q]) o.thr[q] = o.take(o.ctx, o.first + q, i, f);
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
    Offers offers;             // query i of the block is offers' query i
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

// The prepared form of a query: qn, and the offset (s * (-centre)) * inv.
float prepare_asym_query(const float* query, std::size_t dim, unsigned bits, float inv, float* qn);

}  // namespace kern
}  // namespace kwivel
