// The Rank index core: one row of dim uint16 ranks per vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/limits.h"
#include "base/memory.h"
#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"
#include "search/rows.h"
#include "search/topk.h"

namespace kwivel {

// Full-precision ordinal index: one row of dim uint16 ranks per vector.
class RankIndex {
public:
    explicit RankIndex(std::size_t dim);
    // Adopts validated parts (used by the file loader).
    static RankIndex from_parts(std::size_t dim, std::size_t n_vectors,
                                RowBuffer<std::uint16_t> ranks);

    std::size_t dim() const { return dim_; }
    std::size_t size() const { return n_vectors_; }
    RankRows rows() const { return {ranks_.data(), n_vectors_, dim_}; }
    const RowBuffer<std::uint16_t>& ranks() const { return ranks_; }
    const std::uint16_t* row(std::size_t i) const { return ranks_.data() + i * dim_; }

    // Appends n_floats / dim rows, rank-transforming them in parallel.
    void add(const float* values, std::size_t n_floats);
    // Moves the last row into row idx; returns the moved row's former id.
    std::size_t swap_remove(std::size_t idx);

    SearchResult search(const float* queries, std::size_t n_floats, std::size_t k) const;
    SearchResult search_asymmetric(const float* queries, std::size_t n_floats,
                                   std::size_t k) const;

private:
    std::size_t dim_;
    std::size_t n_vectors_ = 0;
    RowBuffer<std::uint16_t> ranks_;
};

}  // namespace kwivel
