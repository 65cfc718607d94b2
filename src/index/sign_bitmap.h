// The SignBitmap index core: one bit per coordinate (set when the value is
// greater than zero), dim / 64 words per vector, compared by Hamming
// distance.  Sign agreement, what score_all reports, is dim minus that
// distance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/memory.h"
#include "kernels/dispatch.h"

namespace kwivel {

// Dense score and distance buffers.
using ScoreBuffer = std::vector<std::uint32_t>;

class SignBitmapIndex {
public:
    // dim: a positive multiple of 64, at most MAX_SIGN_BITMAP_DIM (internal
    // checks; the binding raises the user-facing errors first).
    explicit SignBitmapIndex(std::size_t dim);
    // Adopts validated parts (used by the file loader).
    static SignBitmapIndex from_parts(std::size_t dim, std::size_t n_vectors, RowBuffer<std::uint64_t> words);

    std::size_t dim() const { return dim_; }
    std::size_t words_per_vec() const { return wpv_; }
    std::size_t size() const { return n_vectors_; }
    std::size_t bytes_per_vec() const { return 8 * wpv_; }
    std::size_t byte_size() const { return 8 * words_.size(); }
    const RowBuffer<std::uint64_t>& words() const { return words_; }
    const std::uint64_t* row(std::size_t i) const { return words_.data() + i * wpv_; }

    // Appends n_floats / dim rows, their bitmaps built in parallel.  A
    // failed call leaves the index as it was.
    void add(const float* values, std::size_t n_floats);
    // add in two steps: the sign bitmaps of n_floats / dim rows (built in
    // parallel), and their appending.  A value that is not finite is a
    // Panic, or, given `finite`, reported there (false) instead.
    RowBuffer<std::uint64_t> bitmaps(const float* values, std::size_t n_floats, bool* finite = nullptr) const;
    void append(RowBuffer<std::uint64_t> words);

    // The sign bitmap of one query of len (= dim) finite values.
    std::vector<std::uint64_t> build_query_bitmap(const float* query, std::size_t len,
                                                  Tier tier = active_tier()) const;

    // Sign agreement of one query with every stored row, in id order.
    ScoreBuffer score_all(const float* query, std::size_t len, Tier tier = active_tier()) const;
    // The same for n_floats / dim queries: query r's row at r * size().
    ScoreBuffer score_all_batched(const float* queries, std::size_t n_floats, Tier tier = active_tier()) const;

    // The min(m, size()) stored rows nearest to the query (smallest Hamming
    // distance first, ties by ascending id).  Runs on the calling thread.
    std::vector<std::uint32_t> top_m_candidates(const float* query, std::size_t len, std::size_t m,
                                                Tier tier = active_tier()) const;
    // The same for n_floats / dim queries: row r of min(m, size()) ids at
    // r * min(m, size()), each row exactly what top_m_candidates returns.
    std::vector<std::uint32_t> top_m_candidates_batched(const float* queries, std::size_t n_floats, std::size_t m,
                                                        Tier tier = active_tier()) const;

private:
    // Whether shortlists of width m_eff are filtered block by block (short
    // lists of a not too wide index) rather than selected from full rows.
    bool filtered_shortlists(std::size_t m_eff) const;
    std::vector<std::uint64_t> query_bitmaps(const float* queries, std::size_t nq, const KernelTable& table) const;

    std::size_t dim_;
    std::size_t wpv_;
    std::size_t n_vectors_ = 0;
    RowBuffer<std::uint64_t> words_;
};

// Sign words of n_words * 64 floats (a whole number of rows) with the
// kernels of a tier; a non-finite value is a Panic.
void build_sign_words(const float* values, std::size_t n_words, std::uint64_t* words, Tier tier);

// The Hamming distances of one query bitmap (wpv words) to the n rows of
// `words`, in id order.
void sign_scan_collect(const std::uint64_t* words, std::size_t n, std::size_t wpv, const std::uint64_t* query,
                       std::uint32_t* distances, Tier tier = active_tier());
// The same for nq query bitmaps (contiguous, wpv words each), query-major:
// distances[r * n + d].
void sign_scan_collect_batched(const std::uint64_t* words, std::size_t n, std::size_t wpv,
                               const std::uint64_t* queries, std::size_t nq, std::uint32_t* distances,
                               Tier tier = active_tier());

}  // namespace kwivel
