// Pieces every scan driver shares: query blocking, the admission test in
// front of a TopK, and prefetch spreading.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>

#include "search/topk.h"

namespace kwivel::kern {

inline constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// Queries per block when prepared query rows take row_bytes each: as many
// as fit block_bytes, clamped to [group, max_block], a multiple of group.
inline std::size_t query_block_capacity(std::size_t row_bytes, std::size_t block_bytes, std::size_t group,
                                        std::size_t max_block) {
    std::size_t b = block_bytes / std::max<std::size_t>(row_bytes, 1);
    b = std::clamp(b, group, max_block);
    return b / group * group;
}

// Runs body(lo, hi) over [begin, end) in near-equal blocks of at most cap.
template <class F>
void for_blocks(std::size_t begin, std::size_t end, std::size_t cap, F&& body) {
    const std::size_t n = end - begin;
    if (n == 0) return;
    const std::size_t nblocks = (n + cap - 1) / cap;
    const std::size_t size = (n + nblocks - 1) / nblocks;
    for (std::size_t lo = begin; lo < end; lo += size) body(lo, std::min(end, lo + size));
}

// Spreads prefetches of [p, p + bytes) over `parts` calls; call `part` is
// the part-th share.
inline void prefetch_share(const void* p, std::size_t bytes, std::size_t part, std::size_t parts) {
    if (bytes == 0) return;
    const std::size_t lines = (bytes + 63) / 64;
    const std::size_t lo = lines * part / parts, hi = lines * (part + 1) / parts;
    const char* c = static_cast<const char*>(p);
    for (std::size_t l = lo; l < hi; ++l) __builtin_prefetch(c + 64 * l, 0, 2);
}

// Offers a finished score unless the accumulator would turn it down.
inline void offer(TopK& tk, float& thr, std::size_t i, float f) {
    if (f >= thr) {
        tk.maybe_insert(i, f);
        thr = tk.threshold();
    }
}

// Offers the lanes set in mask (lane = query * nd + document offset), lowest
// lane first, refreshing the thresholds of the queries that took an offer.
inline void offer_lanes(unsigned mask, const float* scores, std::size_t j, unsigned nd, TopK* tks, float* thr) {
    while (mask) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(mask));
        mask &= mask - 1;
        const unsigned q = lane / nd;
        tks[q].maybe_insert(j + lane % nd, scores[lane]);
        thr[q] = tks[q].threshold();
    }
}

// Writes a finished accumulator into row q of a result.
inline void finalize_row(const TopK& tk, SearchResult& out, std::size_t q, std::vector<TopK::Record>& scratch) {
    const std::size_t k = out.k_eff;
    tk.finalize_into_with_scratch(out.scores.data() + q * k, k, out.ids.data() + q * k, k, scratch);
}

}  // namespace kwivel::kern
