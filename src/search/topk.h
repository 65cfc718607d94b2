// The bounded top-k accumulator, its better-first order, and the result
// layout every top-k search shares.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/float_keys.h"

namespace kwivel {

// Scores compare by total_order_key (base/float_keys.h): -0.0 below +0.0.

// Bounded top-k accumulator: an unsorted buffer of at most k entries with a
// cached worst entry.  Better-first order: higher score in the total order,
// then lower global id.
class TopK {
public:
    struct Record {
        std::uint64_t local;
        std::int64_t id;
        float score;
        std::uint64_t slot;
    };

    explicit TopK(std::size_t k);

    // Added to every offered score before comparison and storage.
    void set_score_offset(float offset) { offset_ = offset; }
    float score_offset() const { return offset_; }
    // Global id of each local index; must outlive the accumulator.
    void set_id_map(const std::int64_t* map, std::size_t len) {
        id_map_ = map;
        id_map_len_ = len;
    }

    std::size_t capacity() const { return capacity_; }
    std::size_t size() const { return len_; }

    // Score (after offset) an offer must beat when the buffer is full; used
    // by kernels to skip the call for hopeless candidates.  -inf while not
    // full.
    float threshold() const { return len_ < capacity_ ? -__builtin_inff() : worst_score_; }

    void maybe_insert(std::uint64_t local_index, float score);

    // Writes the kept entries best-first; positions past the kept count get
    // -inf and -1.
    void finalize_into_with_scratch(float* out_scores, std::size_t out_scores_len,
                                    std::int64_t* out_ids, std::size_t out_ids_len,
                                    std::vector<Record>& scratch) const;

private:
    void rescan_worst();

    std::size_t capacity_;
    std::vector<float> scores_;
    std::vector<std::uint64_t> locals_;
    std::vector<std::int64_t> ids_;
    const std::int64_t* id_map_ = nullptr;
    std::size_t id_map_len_ = 0;
    std::size_t len_ = 0;
    std::size_t worst_slot_ = 0;
    std::int64_t worst_id_ = INT64_MAX;
    float worst_score_ = __builtin_inff();
    // -0.0 is the exact identity of addition (x + 0.0 would turn -0.0 into
    // +0.0 and lose its place in the total order).
    float offset_ = -0.0f;
};

// Result of a top-k search: nq rows of k_eff entries each.
struct SearchResult {
    std::size_t nq = 0;
    std::size_t k_eff = 0;
    std::vector<float> scores;
    std::vector<std::int64_t> ids;

    // nq rows of k_eff entries, scores 0 and ids -1 until each row is
    // finalised.
    static SearchResult sized(std::size_t nq, std::size_t k_eff);
};

namespace search {

// Offers a finished score unless the accumulator would turn it down.
inline void offer(TopK& tk, float& thr, std::size_t i, float f) {
    if (f >= thr) {
        tk.maybe_insert(i, f);
        thr = tk.threshold();
    }
}

// Writes a finished accumulator into row q of a result.
inline void finalize_row(const TopK& tk, SearchResult& out, std::size_t q, std::vector<TopK::Record>& scratch) {
    const std::size_t k = out.k_eff;
    tk.finalize_into_with_scratch(out.scores.data() + q * k, k, out.ids.data() + q * k, k, scratch);
}

}  // namespace search

}  // namespace kwivel
