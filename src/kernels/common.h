// Pieces every scan step shares: the sink a step offers its scores to,
// query-block sizing and prefetch spreading.  Steps see plain views and an
// Offers sink only; the top-k accumulators behind the sink belong to the
// drivers (src/search/, src/index/).
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>

namespace kwivel::kern {

inline constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// Where a step sends the scores that pass admission.  thr[q] is the
// admission threshold of query q of the step's group: a score is offered
// only when score >= thr[q], so everything else costs one compare.  take
// hands (query first + q, document id, score) to the caller's accumulator
// and returns that query's new threshold, which the step stores in thr[q].
// Offers are rare (the threshold rises fast), so the indirect call costs
// nothing measurable; offers per query arrive in ascending document order,
// as every step walks its documents in order.
struct Offers {
    float* thr = nullptr;
    void* ctx = nullptr;
    float (*take)(void* ctx, std::size_t q, std::size_t id, float score) = nullptr;
    std::size_t first = 0;

    // The same sink seen from query q0 of the group on.
    Offers from(std::size_t q0) const { return Offers{thr + q0, ctx, take, first + q0}; }
};

// Offers a finished score of query q unless its threshold turns it down.
inline void offer(const Offers& o, std::size_t q, std::size_t id, float f) {
    if (f >= o.thr[q]) o.thr[q] = o.take(o.ctx, o.first + q, id, f);
}

// Offers the lanes set in mask (lane = query * nd + document offset), lowest
// lane first; every lane in mask has passed its query's threshold.
inline void offer_lanes(unsigned mask, const float* scores, std::size_t j, unsigned nd, const Offers& o) {
    while (mask) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(mask));
        mask &= mask - 1;
        const unsigned q = lane / nd;
        o.thr[q] = o.take(o.ctx, o.first + q, j + lane % nd, scores[lane]);
    }
}

// Queries per block when prepared query rows take row_bytes each: as many
// as fit block_bytes, clamped to [group, max_block], a multiple of group.
inline std::size_t query_block_capacity(std::size_t row_bytes, std::size_t block_bytes, std::size_t group,
                                        std::size_t max_block) {
    std::size_t b = block_bytes / std::max<std::size_t>(row_bytes, 1);
    b = std::clamp(b, group, max_block);
    return b / group * group;
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

}  // namespace kwivel::kern
