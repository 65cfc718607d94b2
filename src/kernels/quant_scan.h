// Symmetric scans of the RankQuant index: the contract, the exactness
// argument of the integer kernels, and the shared drivers.
//
// Portable scans follow the definition literally: per document, the table
// terms of its codes are added one float32 addition at a time in coordinate
// order, a few documents interleaved for instruction-level parallelism.
//
// The AVX2 scans compute the same sums exactly in integers.  A search table
// has product shape: with L = 2^bits and a(c) = 2c - (L - 1),
//     table[j * L + c] = (a(c) / 2) * (b_j / 2),   b_j = 2 qb_j - (L - 1),
// both factors half-integers, so every term is an integer multiple of 1/4
// and so is every partial sum.  A float32 holds K / 4 exactly for |K| <=
// 2^24, so as long as
//     (L - 1) * sum_j |b_j|  <=  2^24                        (*)
// (a bound on 4 * |partial sum| for any codes) no addition of the float32
// sequence ever rounds, and the float32 sum is exactly S / 4 with the
// integer
//     S = sum_j a(c_j) b_j = 2 sum_j c_j b_j - (L - 1) sum_j b_j.
// float(S) is exact too, so float(S) * 0.25f * scale is bit for bit the
// sequential result (a zero sum is +0.0 both ways: the sequence starts at
// +0.0f and an exact x + y == 0 rounds to +0.0).  For bits <= 4, |b_j| <= 15 and dim <= 65535, so (*)
// always holds for search tables; the kernels nevertheless read b_j back
// out of the float table and check the shape and (*) term by term, handing
// anything else to the portable scan.
//
// sum_j c_j b_j is an unsigned-by-signed byte dot product (vpmaddubsw, 32
// products per instruction).  Packed rows are expanded into one code per
// byte in a permuted coordinate order: 32 packed bytes give 8 / bits
// vectors, vector t holding the code at shift bits * (8 / bits - 1 - t) of
// each byte; the query's b_j are stored in the same order, padded with
// zeros.  A tile of expanded documents stays in L1 while a block of queries
// (sized for L2) passes over it, a few queries and documents at a time in
// registers, so the index streams from memory once per query block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <string>

#include "base/error.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "index/rank_quant.h"
#include "kernels/common.h"
#include "kernels/dispatch.h"
#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"
#include "search/topk.h"

namespace kwivel {

using QuantScanFn = KernelTable::QuantScanFn;

// Portable single-query scans over n_vectors packed rows of dim / (8 / bits)
// bytes each (dim a multiple of 8 / bits).  They offer (i, score_i) for
// every document i in ascending order, skipping only offers that topk would
// turn down; the accumulator's score offset must be left at its default, as
// admission is tested on raw scores against threshold().  The vector tiers'
// scans (in the kernel table) give the same bits.
void scan_b1_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
void scan_b2_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
void scan_b4_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
void scan_b8_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
// The portable scan of a width.
KernelTable::QuantScanFn portable_scan(unsigned bits);
// Position of a width in KernelTable::quant_scan.
std::size_t quant_scan_slot(unsigned bits);

// Fills table[0 .. dim * 2^bits) for one finite query row: with qb_j the
// bucket of the query's rank at j and centre = (2^bits - 1) / 2,
// table[j * 2^bits + c] = (float(c) - centre) * (float(qb_j) - centre).
void quant_query_table(const float* query, std::size_t dim, unsigned bits, float* table);

// float32 factor applied to every sum: 1 / rankquant_norm(dim, bits)^2.
float quant_score_scale(std::size_t dim, unsigned bits);

// Top-k symmetric search of nq finite query rows (dim floats each) over the
// index with a tier's kernels; k_eff = min(k, size()).  Results are
// identical for every tier and every thread count.  Panics when the index is
// not symmetric_ok(); 8 bits runs the portable scan on every tier.
SearchResult quant_search_symmetric(const RankQuantIndex& index, const float* queries, std::size_t nq,
                                    std::size_t k, Tier tier);

namespace kern {

// Internal restatement of the row shape a scan is handed.
inline void check_width(std::size_t dim, unsigned bits) {
    KW_ASSERT(packable_bits(bits), "bits must be 1,2,4,8");
    KW_ASSERT(dim % codes_per_byte(bits) == 0,
              "d (" + std::to_string(dim) + ") must be a multiple of codes_per_byte (" +
                  std::to_string(codes_per_byte(bits)) + ") for bits = " + std::to_string(bits));
}

// Query table from precomputed query ranks.
void table_from_ranks(const std::uint16_t* r, std::size_t dim, unsigned bits, float* table);

// ---------------------------------------------------------------------------
// Integer form of a table (see the top of the file).

// Expanded row layout of one code width and dimension.
struct Layout {
    unsigned bits = 0;
    std::size_t cpb = 0;      // codes per packed byte
    std::size_t bpv = 0;      // packed bytes per row
    std::size_t chunks = 0;   // 32-byte chunks per packed row (at least one)
    std::size_t width = 0;    // expanded bytes per row: chunks * cpb * 32
    std::size_t nvec = 0;     // 32-byte vectors per expanded row
};

inline Layout make_layout(std::size_t dim, unsigned bits) {
    Layout l;
    l.bits = bits;
    l.cpb = codes_per_byte(bits);
    l.bpv = dim / l.cpb;
    l.chunks = std::max<std::size_t>(1, (l.bpv + 31) / 32);
    l.nvec = l.chunks * l.cpb;
    l.width = l.nvec * 32;
    return l;
}

// Expanded position of coordinate j.
inline std::size_t expanded_pos(const Layout& l, std::size_t j) {
    const std::size_t byte = j / l.cpb, t = j % l.cpb;
    return ((byte / 32) * l.cpb + t) * 32 + byte % 32;
}

struct IntQuery {
    std::int32_t corr = 0;   // (L - 1) * sum_j b_j
    unsigned bmax = 0;       // max_j |b_j|
};

// Reads b_j back out of a table of product shape into row (layout order,
// zero padding) and checks (*).  False when the table has another shape,
// a |b_j| above 127 or a sum that could round.
bool int_query_from_table(const float* table, std::size_t dim, const Layout& l,
                          std::int8_t* row, IntQuery& q);

// Byte-product steps a 16-bit lane takes before it must be widened: each
// step adds two products c * b with c <= L - 1 and |b| <= bmax.
inline std::size_t lane_steps(const Layout& l, unsigned bmax) {
    const std::size_t per_step = 2 * ((std::size_t{1} << l.bits) - 1) * std::max(bmax, 1u);
    return std::max<std::size_t>(1, 32767 / per_step);
}

// Cache-line aligned byte buffer.

// Prepared queries of a block share one pass over the index.
inline constexpr std::size_t kQueryGroup = 4;
inline constexpr std::size_t kBlockBytes = 192 * 1024;
inline constexpr std::size_t kMaxBlock = 128;
// Expanded document tiles stay in L1 while the block passes.
inline constexpr std::size_t kTileBytes = 16 * 1024;
inline constexpr std::size_t kTileQuantum = 8;

inline std::size_t block_capacity(std::size_t row_bytes) {
    return query_block_capacity(row_bytes, kBlockBytes, kQueryGroup, kMaxBlock);
}

inline std::size_t tile_docs(std::size_t row_bytes) {
    const std::size_t t = kTileBytes / std::max<std::size_t>(row_bytes, 1);
    return std::max(kTileQuantum, t / kTileQuantum * kTileQuantum);
}


// One block of prepared queries against the whole index.
struct IntBlock {
    const Layout* layout = nullptr;
    const std::uint8_t* codes = nullptr;
    std::size_t n = 0;
    const std::int8_t* rows = nullptr;  // m rows of layout->width bytes
    const std::int32_t* corr = nullptr;
    std::size_t m = 0;
    std::size_t steps = 1;              // lane_steps of the block
    float scale = 0.0f;
    TopK* tks = nullptr;
    float* thr = nullptr;
};

// A single-query scan in the integer domain with Steps::int_scan; a table
// of another shape goes to the portable scan of the width.
template <class Steps, unsigned BITS>
void scan_int_one(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                   float scale, TopK& tk) {
    static_assert(BITS == 1 || BITS == 2 || BITS == 4);
    check_width(dim, BITS);
    const Layout l = make_layout(dim, BITS);
    AlignedBuffer<std::uint8_t> row(l.width);
    IntQuery q;
    if (!int_query_from_table(table, dim, l, reinterpret_cast<std::int8_t*>(row.data()), q)) {
        portable_scan(BITS)(codes, n, dim, table, scale, tk);
        return;
    }
    if (n == 0) return;
    float thr = tk.threshold();
    IntBlock b;
    b.layout = &l;
    b.codes = codes;
    b.n = n;
    b.rows = reinterpret_cast<const std::int8_t*>(row.data());
    b.corr = &q.corr;
    b.m = 1;
    b.steps = lane_steps(l, q.bmax);
    b.scale = scale;
    b.tks = &tk;
    b.thr = &thr;
    const std::size_t tdocs = tile_docs(l.width);
    AlignedBuffer<std::uint8_t> tile(tdocs * l.width);
    Steps::int_scan(b, tile.data(), tdocs);
}

// The batched search in the integer domain: query blocks share passes of
// Steps::int_scan over the index.
template <class Steps>
void search_int(const RankQuantIndex& index, const float* queries, std::size_t nq, float scale,
                 SearchResult& out) {
    const std::size_t dim = index.dim();
    const unsigned bits = index.bits();
    const Layout l = make_layout(dim, bits);
    const std::size_t cap = block_capacity(l.width);
    const std::size_t tdocs = tile_docs(l.width);
    const QuantScanFn fallback = portable_scan(bits);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        const std::size_t nb_max = std::min(cap, hi - lo);
        AlignedBuffer<std::uint8_t> rows(nb_max * l.width);
        AlignedBuffer<std::uint8_t> tile(tdocs * l.width);
        std::vector<std::int32_t> corr(nb_max);
        std::vector<float> thr(nb_max);
        std::vector<std::size_t> slot(nb_max);
        std::vector<std::uint16_t> r(dim);
        std::vector<float> table(dim << bits);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        tks.reserve(nb_max);
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            tks.clear();
            std::size_t m = 0;
            unsigned bmax = 0;
            for (std::size_t q = b0; q < b1; ++q) {
                rank_transform_into(queries + q * dim, dim, r.data());
                table_from_ranks(r.data(), dim, bits, table.data());
                IntQuery iq;
                auto* row = reinterpret_cast<std::int8_t*>(rows.data() + m * l.width);
                if (int_query_from_table(table.data(), dim, l, row, iq)) {
                    corr[m] = iq.corr;
                    bmax = std::max(bmax, iq.bmax);
                    thr[m] = kNegInf;
                    slot[m] = q;
                    tks.emplace_back(out.k_eff);
                    ++m;
                } else {
                    // Not reached for bits <= 4; kept so that the result
                    // never depends on the integer argument.
                    TopK tk(out.k_eff);
                    fallback(index.codes().data(), index.size(), dim, table.data(), scale, tk);
                    finalize_row(tk, out, q, scratch);
                }
            }
            if (m == 0) return;
            IntBlock b;
            b.layout = &l;
            b.codes = index.codes().data();
            b.n = index.size();
            b.rows = reinterpret_cast<const std::int8_t*>(rows.data());
            b.corr = corr.data();
            b.m = m;
            b.steps = lane_steps(l, bmax);
            b.scale = scale;
            b.tks = tks.data();
            b.thr = thr.data();
            Steps::int_scan(b, tile.data(), tdocs);
            for (std::size_t i = 0; i < m; ++i) finalize_row(tks[i], out, slot[i], scratch);
        });
    });
}

}  // namespace kern
}  // namespace kwivel
