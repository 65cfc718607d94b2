// The Bitmap index core: per vector, the set of its n_top largest
// coordinates as dim / 64 words (coordinate j is bit j % 64 of word j / 64).
// Vectors are compared by overlap, popcount(query AND row), through the
// popcount scans of kernels/popcount.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/memory.h"
#include "kernels/dispatch.h"
#include "search/topk.h"

namespace kwivel {

// Shortlists of nq queries, m_eff ids each, row-major.
struct Shortlists {
    std::size_t nq = 0;
    std::size_t m_eff = 0;
    std::vector<std::uint32_t> ids;
};

// Result of a subset search: best-first overlaps and ids.
struct SubsetHits {
    std::vector<float> scores;
    std::vector<std::int64_t> ids;
};

class BitmapIndex {
public:
    // The message that refuses a shape, checked in the order dim (multiple
    // of 64, then the maximum), then n_top; none for a valid shape.
    static std::optional<std::string> shape_error(std::uint64_t dim, std::uint64_t n_top);

    BitmapIndex(std::size_t dim, std::size_t n_top);
    // Adopts validated parts (used by the file loader).
    static BitmapIndex from_parts(std::size_t dim, std::size_t n_top, std::size_t n_vectors,
                                  RowBuffer<std::uint64_t> words);

    std::size_t dim() const { return dim_; }
    std::size_t n_top() const { return n_top_; }
    std::size_t words_per_vec() const { return wpv_; }
    std::size_t size() const { return n_vectors_; }
    const RowBuffer<std::uint64_t>& words() const { return words_; }
    const std::uint64_t* row(std::size_t i) const { return words_.data() + i * wpv_; }

    // Appends n_floats / dim rows on the worker pool: each row keeps its
    // n_top largest coordinates, equal values at the cut going to the higher
    // index.
    void add(const float* values, std::size_t n_floats);

    // The query side: the n_top largest coordinates, equal values at the cut
    // going to the lower index.
    std::vector<std::uint64_t> build_query_bitmap_fp32(const float* query, std::size_t len) const;
    // out[i] = overlap of q (q_len words) with row ids[i], for any ids below
    // size(), in any order, duplicates included.
    void body_overlap_scores_subset(const std::uint64_t* q, std::size_t q_len, const std::uint32_t* ids,
                                    std::size_t n_ids, std::uint32_t* out, Tier tier) const;
    void body_overlap_scores_subset(const std::uint64_t* q, std::size_t q_len, const std::uint32_t* ids,
                                    std::size_t n_ids, std::uint32_t* out) const {
        body_overlap_scores_subset(q, q_len, ids, n_ids, out, active_tier());
    }

    // Top-k by overlap (float32 whole numbers), ties by ascending id.
    SearchResult search(const float* queries, std::size_t n_floats, std::size_t k, Tier tier) const;
    SearchResult search(const float* queries, std::size_t n_floats, std::size_t k) const {
        return search(queries, n_floats, k, active_tier());
    }
    SubsetHits search_subset(const float* query, std::size_t len, const std::uint32_t* ids, std::size_t n_ids,
                             std::size_t k, Tier tier) const;
    SubsetHits search_subset(const float* query, std::size_t len, const std::uint32_t* ids, std::size_t n_ids,
                             std::size_t k) const {
        return search_subset(query, len, ids, n_ids, k, active_tier());
    }

    // The min(m, size()) ids of highest overlap, ties by ascending id; on
    // the calling thread.
    std::vector<std::uint32_t> top_m_candidates(const float* query, std::size_t len, std::size_t m,
                                                Tier tier) const;
    std::vector<std::uint32_t> top_m_candidates(const float* query, std::size_t len, std::size_t m) const {
        return top_m_candidates(query, len, m, active_tier());
    }
    // The same for every query row: filtered straight from the scan when
    // the lists are short and the queries many, else through one score
    // buffer of nq * size() overlaps.
    Shortlists top_m_candidates_batched(const float* queries, std::size_t n_floats, std::size_t m,
                                        Tier tier) const;
    Shortlists top_m_candidates_batched(const float* queries, std::size_t n_floats, std::size_t m) const {
        return top_m_candidates_batched(queries, n_floats, m, active_tier());
    }
    // top_m_candidates_batched over groups of batch_size (> 0) rows, the
    // groups in parallel; the same result for any batch_size.
    Shortlists top_m_candidates_batched_chunked(const float* queries, std::size_t n_floats, std::size_t m,
                                                std::size_t batch_size, Tier tier) const;
    Shortlists top_m_candidates_batched_chunked(const float* queries, std::size_t n_floats, std::size_t m,
                                                std::size_t batch_size) const {
        return top_m_candidates_batched_chunked(queries, n_floats, m, batch_size, active_tier());
    }

private:
    void check_query(const float* query, std::size_t len) const;
    std::vector<std::uint64_t> query_bitmap(const float* query, Tier tier) const;
    // The shortlist of one query bitmap, through a score buffer of S.
    template <class S>
    void scan_and_select(const std::uint64_t* q, std::size_t m_eff, Tier tier, std::uint32_t* ids) const;
    // Scores of nq query bitmaps against every row in one buffer of S,
    // then the per-query shortlists (m_eff ids each) into ids.
    template <class S>
    void fill_and_select(const std::uint64_t* qbits, std::size_t nq, std::size_t m_eff, Tier tier,
                         std::uint32_t* ids) const;
    void query_bits_into(const float* query, std::uint64_t* words, std::uint32_t* keys, Tier tier) const;

    std::size_t dim_;
    std::size_t n_top_;
    std::size_t wpv_;
    std::size_t n_vectors_ = 0;
    RowBuffer<std::uint64_t> words_;
};

}  // namespace kwivel
