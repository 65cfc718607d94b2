#include "index/rank.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/finite.h"
#include "base/limits.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/dispatch.h"
#include "search/rank_search.h"
#include "ordinal/rank_transform.h"

namespace kwivel {

RankIndex::RankIndex(std::size_t dim) : dim_(dim) {
    KW_ASSERT(dim >= 2 && dim <= MAX_DIM, "dim must be in [2, 65535]");
}

RankIndex RankIndex::from_parts(std::size_t dim, std::size_t n_vectors,
                                RowBuffer<std::uint16_t> ranks) {
    RankIndex idx(dim);
    const std::size_t expect = mul_or_panic(n_vectors, dim, "KWR1 n_vectors * dim overflows usize");
    KW_ASSERT(ranks.size() == expect, "KWR1 payload length does not match dim * n_vectors");
    KW_ASSERT(n_vectors <= MAX_VECTORS, "kwivel: n_vectors exceeds MAX_VECTORS");
    idx.n_vectors_ = n_vectors;
    idx.ranks_ = std::move(ranks);
    return idx;
}

void RankIndex::add(const float* values, std::size_t n_floats) {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(values, n_floats);
    const std::size_t rows = n_floats / dim_;
    std::size_t total;
    KW_ASSERT(checked_add(n_vectors_, rows, total) && total <= MAX_VECTORS,
              "kwivel: index would exceed MAX_VECTORS (" + std::to_string(MAX_VECTORS) + "); had " +
                  std::to_string(n_vectors_) + ", adding " + std::to_string(rows));
    const std::size_t new_len =
        mul_or_panic(total, dim_, "index buffer length (n_vectors * elems_per_vec) overflows usize");
    if (rows == 0) return;
    const std::size_t old_len = ranks_.size();
    reserve_for_growth(ranks_, new_len);
    ranks_.resize(new_len);  // every new element is written below
    std::uint16_t* base = ranks_.data() + old_len;
    const std::size_t dim = dim_;
    parallel_for_each(0, rows, [&](std::size_t r) {
        rank_rows_into(values + r * dim, dim, base + r * dim);
    });
    n_vectors_ = total;
}

std::size_t RankIndex::swap_remove(std::size_t idx) {
    KW_ASSERT(idx < n_vectors_, "kwivel: swap_remove index out of range");
    const std::size_t last = n_vectors_ - 1;
    if (idx != last) std::memmove(ranks_.data() + idx * dim_, ranks_.data() + last * dim_, dim_ * sizeof(std::uint16_t));
    ranks_.resize(last * dim_);
    n_vectors_ = last;
    return last;
}

SearchResult RankIndex::search(const float* queries, std::size_t n_floats, std::size_t k) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(queries, n_floats);
    return rank_search_symmetric(rows(), queries, n_floats / dim_, k, active_tier());
}

SearchResult RankIndex::search_asymmetric(const float* queries, std::size_t n_floats,
                                          std::size_t k) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(queries, n_floats);
    return rank_search_asymmetric(rows(), queries, n_floats / dim_, k, active_tier());
}

}  // namespace kwivel
