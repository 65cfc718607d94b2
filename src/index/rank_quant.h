// The RankQuant index core: bucket-quantised ranks packed 8 / bits per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/memory.h"
#include "search/rows.h"
#include "search/topk.h"

namespace kwivel {

class RankQuantIndex {
public:
    // bits in {1, 2, 4, 8} (internal check); 1, 2 and 4 are what callers
    // construct, 8 exists in memory only.
    RankQuantIndex(std::size_t dim, unsigned bits);
    // Adopts validated parts (used by the file loader).
    static RankQuantIndex from_parts(std::size_t dim, unsigned bits, std::size_t n_vectors,
                                     RowBuffer<std::uint8_t> codes);

    std::size_t dim() const { return dim_; }
    unsigned bits() const { return bits_; }
    std::size_t size() const { return n_vectors_; }
    QuantRows rows() const { return {codes_.data(), n_vectors_, dim_, bits_}; }
    bool symmetric_ok() const { return symmetric_ok_; }
    std::size_t bytes_per_vec() const;
    const RowBuffer<std::uint8_t>& codes() const { return codes_; }
    const std::uint8_t* row(std::size_t i) const { return codes_.data() + i * bytes_per_vec(); }

    // Appends n_floats / dim rows: rank transform, bucket, pack, in parallel.
    void add(const float* values, std::size_t n_floats);
    // Moves the last row into row idx; returns the moved row's former id.
    std::size_t swap_remove(std::size_t idx);

    // Symmetric search through per-query lookup tables.
    SearchResult search(const float* queries, std::size_t n_floats, std::size_t k) const;
    // Asymmetric search of float queries (search/quant_asym_search.h); any dim at 8
    // bits.
    SearchResult search_asymmetric(const float* queries, std::size_t n_floats, std::size_t k) const;
    // Asymmetric rerank of one query over the rows named by cands (repeats
    // allowed, at most size() of them): one row of min(k, n_cand) scores and
    // global ids.
    SearchResult search_asymmetric_subset(const float* query, std::size_t len, const std::uint32_t* cands,
                                          std::size_t n_cand, std::size_t k) const;

private:
    std::size_t dim_;
    unsigned bits_;
    std::size_t n_vectors_ = 0;
    bool symmetric_ok_;
    RowBuffer<std::uint8_t> codes_;
};

}  // namespace kwivel
