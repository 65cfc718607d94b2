// Symmetric top-k searches of the RankQuant index: query tables, blocking
// and the top-k accumulators around the symmetric steps of a tier's kernel
// table (kernels/quant_scan.h has the contract and the exactness argument).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.h"
#include "search/rows.h"
#include "search/topk.h"

namespace kwivel {


// A single-query scan over n_vectors packed rows of dim / (8 / bits) bytes
// each (dim a multiple of 8 / bits).  It offers (i, score_i) for every
// document i in ascending order, skipping only offers that topk would turn
// down; the accumulator's score offset must be left at its default, as
// admission is tested on raw scores against threshold().
using QuantScanFn = void (*)(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                             const float* table, float scale, TopK& topk);

// The portable scans (the definition), one per width.
void scan_b1_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
void scan_b2_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
void scan_b4_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
void scan_b8_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk);
// The portable scan of a width.
QuantScanFn portable_scan(unsigned bits);
// The same scan with the kernels of a table: the integer form where the
// table has it and bits <= 4 (a table of another shape still goes to the
// portable scan), else the portable scan.  Same bits either way.
void quant_scan_one(const KernelTable& kernels, unsigned bits, const std::uint8_t* codes, std::size_t n_vectors,
                    std::size_t dim, const float* table, float scale, TopK& topk);

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
SearchResult quant_search_symmetric(const QuantRows& rows, const float* queries, std::size_t nq,
                                    std::size_t k, Tier tier);

}  // namespace kwivel
