// Shared helpers: the bounded top-k accumulator and L2 normalisation.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

namespace kwivel {

// Order-preserving integer key of a float under the IEEE total order
// (-0.0 below +0.0).
inline std::int32_t total_order_key(float x) {
    std::int32_t b;
    __builtin_memcpy(&b, &x, sizeof b);
    return b ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(b >> 31) >> 1);
}

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

// Whether no value is a NaN or an infinity (exponent bits all ones).  Reads
// bytewise, so unaligned data is fine; large inputs are scanned on the
// worker pool.
bool all_finite(const float* values, std::size_t n);

// Asks for transparent huge pages over a large, not yet touched block (as
// numpy does for its arrays): far fewer page faults while it is filled.
// Only a hint; it never fails.
void advise_huge_pages(void* data, std::size_t bytes);

// Grows v's capacity to at least n elements (geometrically), advising huge
// pages for a large new block, so that the following resize faults in few
// pages.
template <class T>
void reserve_for_growth(std::vector<T>& v, std::size_t n) {
    if (v.capacity() >= n) return;
    v.reserve(std::max(n, v.capacity() + v.capacity() / 2));
    advise_huge_pages(v.data(), v.capacity() * sizeof(T));
}

// Queries per block when prepared query rows take row_bytes each: as many
// as fit block_bytes, clamped to [group, max_block], a multiple of group.
inline std::size_t query_block_capacity(std::size_t row_bytes, std::size_t block_bytes, std::size_t group,
                                        std::size_t max_block) {
    std::size_t b = block_bytes / std::max<std::size_t>(row_bytes, 1);
    b = std::clamp(b, group, max_block);
    return b / group * group;
}

// v * (1 / ||v||) with the sum of squares accumulated in float32 in index
// order; all zeros when the norm is at most 1e-12.
std::vector<float> l2_normalise(const float* values, std::size_t d);

}  // namespace kwivel
