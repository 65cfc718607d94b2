// Symmetric scans of the RankQuant index: the contract, the exactness
// argument of the integer kernels, and the views their steps take (the
// drivers are in search/quant_search.h).
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
//
// The kernel table holds the steps: quant_table_scan[width] (portable, the
// definition: one query's table over n rows) and quant_int_scan (avx2: an
// IntBlock of queries over the whole index, tile by tile).  Both offer to an
// Offers sink; neither sees an accumulator.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.h"
#include "kernels/common.h"
#include "ordinal/buckets.h"

namespace kwivel {

// Position of a width in KernelTable::quant_table_scan.
std::size_t quant_scan_slot(unsigned bits);

namespace kern {

// Internal restatement of the row shape a scan is handed.
inline void check_width(std::size_t dim, unsigned bits) {
    KW_ASSERT(packable_bits(bits), "bits must be 1,2,4,8");
    KW_ASSERT(dim % codes_per_byte(bits) == 0,
              "d (" + std::to_string(dim) + ") must be a multiple of codes_per_byte (" +
                  std::to_string(codes_per_byte(bits)) + ") for bits = " + std::to_string(bits));
}

// Fills table[0 .. dim * 2^bits) from a query's ranks r: with qb_j the
// bucket of r_j, table[j * 2^bits + c] = bucket_centre(c) * bucket_centre(qb_j).
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

// Prepared queries of a block share one pass over the index.
inline constexpr std::size_t kQuantQueryGroup = 4;
inline constexpr std::size_t kQuantBlockBytes = 192 * 1024;
inline constexpr std::size_t kQuantMaxBlock = 128;
// Expanded document tiles stay in L1 while the block passes.
inline constexpr std::size_t kQuantTileBytes = 16 * 1024;
inline constexpr std::size_t kQuantTileQuantum = 8;

inline std::size_t quant_block_capacity(std::size_t row_bytes) {
    return query_block_capacity(row_bytes, kQuantBlockBytes, kQuantQueryGroup, kQuantMaxBlock);
}

inline std::size_t quant_tile_docs(std::size_t row_bytes) {
    const std::size_t t = kQuantTileBytes / std::max<std::size_t>(row_bytes, 1);
    return std::max(kQuantTileQuantum, t / kQuantTileQuantum * kQuantTileQuantum);
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
    Offers offers;                      // query i of the block is offers' query i
};

}  // namespace kern
}  // namespace kwivel
