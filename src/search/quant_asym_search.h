// Asymmetric top-k searches of the RankQuant index: query preparation,
// blocking and the top-k accumulators around the path select_simd_tier()
// names (kernels/quant_asym.h has the contract and the accuracy argument).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/dispatch.h"
#include "kernels/quant_asym.h"
#include "search/rows.h"
#include "search/topk.h"

namespace kwivel {


// Top-k asymmetric search of nq finite query rows (dim floats each) with the
// kernels of a ladder tier; k_eff = min(k, size()).  Any dim at 8 bits.
SearchResult quant_search_asymmetric(const QuantRows& rows, const float* queries, std::size_t nq,
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
SearchResult quant_search_asymmetric_subset(const QuantRows& rows, const float* query, std::size_t len,
                                            const std::uint32_t* cands, std::size_t n_cand, std::size_t k,
                                            Tier tier);

// The scan at the heart of the subset rerank: one normalised query qn (dim
// floats) over n packed rows gathered into `codes`, into topk (whose id map,
// if any, the caller has set), on the path select_simd_tier(tier, dim, bits)
// names, with the vector paths' centring offset.
void quant_asym_scan_rows(const std::uint8_t* codes, std::size_t n, std::size_t dim, unsigned bits,
                          const float* qn, float inv, Tier tier, std::vector<float>& table, TopK& topk);

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

}  // namespace kwivel
