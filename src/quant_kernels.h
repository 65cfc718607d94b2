// Symmetric scan kernels of the RankQuant index, one portable twin per ISA
// variant.
//
// A query becomes a table of dim * 2^bits float32 terms, table[j * 2^bits +
// c] being the term of coordinate j when a document's code there is c.  A
// document's score is
//     sum = 0.0f; for j ascending: sum = sum + table[j * 2^bits + c_j];
//     score = sum * scale;
// one float32 addition at a time in coordinate order.  Every variant
// produces exactly these bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu.h"
#include "quant.h"
#include "rank.h"
#include "util.h"

namespace kwivel {

enum class QuantKernel { portable, avx2 };

// Pure choice from a feature set and a code width: AVX2 for 1, 2 and 4 bits
// when the processor has it; 8 bits has only the portable scan.
QuantKernel select_quant_kernel(const cpu::Features& f, unsigned bits);
// The choice for the running processor (features probed once).
QuantKernel selected_quant_kernel(unsigned bits);

// Single-query scans over n_vectors packed rows of dim / (8 / bits) bytes
// each (dim a multiple of 8 / bits).  They offer (i, score_i) for every
// document i in ascending order, skipping only offers that topk would turn
// down; the accumulator's score offset must be left at its default, as
// admission is tested on raw scores against threshold().
using QuantScanFn = void (*)(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                             const float* table, float scale, TopK& topk);

void scan_b1_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk);
void scan_b2_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk);
void scan_b4_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk);
void scan_b8_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk);

// AVX2 scans (the processor must have AVX2).  Tables of the shape search
// builds are scored in exact integer arithmetic (see quant_kernels.cpp);
// any other table is handed to the portable scan of the same width.
void scan_b1_to_topk_avx2(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                          const float* table, float scale, TopK& topk);
void scan_b2_to_topk_avx2(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                          const float* table, float scale, TopK& topk);
void scan_b4_to_topk_avx2(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                          const float* table, float scale, TopK& topk);

// The single-query scan of a variant for a code width (bits 8 always gets
// the portable scan).
QuantScanFn quant_scan_kernel(QuantKernel kernel, unsigned bits);

// Fills table[0 .. dim * 2^bits) for one finite query row: with qb_j the
// bucket of the query's rank at j and centre = (2^bits - 1) / 2,
// table[j * 2^bits + c] = (float(c) - centre) * (float(qb_j) - centre).
void quant_query_table(const float* query, std::size_t dim, unsigned bits, float* table);

// float32 factor applied to every sum: 1 / rankquant_norm(dim, bits)^2.
float quant_score_scale(std::size_t dim, unsigned bits);

// Top-k symmetric search of nq finite query rows (dim floats each) over the
// index; k_eff = min(k, size()).  Results are identical for every variant
// and every thread count.  Panics when the index is not symmetric_ok() or
// when the avx2 variant is asked for on a processor without AVX2; bits 8
// runs the portable scan under either variant.
SearchResult quant_search_symmetric(const RankQuantIndex& index, const float* queries,
                                    std::size_t nq, std::size_t k, QuantKernel kernel);

}  // namespace kwivel
