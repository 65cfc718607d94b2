// What the scan drivers share on the search side: query blocking and the
// Offers sink over an array of TopK accumulators (the admission test in
// front of one TopK and the hand-off of a finished row are in topk.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "kernels/common.h"
#include "search/topk.h"

namespace kwivel::search {

// Runs body(lo, hi) over [begin, end) in near-equal blocks of at most cap.
template <class F>
void for_blocks(std::size_t begin, std::size_t end, std::size_t cap, F&& body) {
    const std::size_t n = end - begin;
    if (n == 0) return;
    const std::size_t nblocks = (n + cap - 1) / cap;
    const std::size_t size = (n + nblocks - 1) / nblocks;
    for (std::size_t lo = begin; lo < end; lo += size) body(lo, std::min(end, lo + size));
}

// The take of an Offers whose ctx is an array of TopK: inserts into
// tks[q] and returns its threshold.
inline float take_into_topk(void* ctx, std::size_t q, std::size_t id, float score) {
    TopK& tk = static_cast<TopK*>(ctx)[q];
    tk.maybe_insert(id, score);
    return tk.threshold();
}

// A sink over tks[0 ..) with thresholds thr[0 ..) (thr[q] must equal
// tks[q].threshold() when the step starts).
inline kern::Offers topk_offers(TopK* tks, float* thr) { return kern::Offers{thr, tks, take_into_topk, 0}; }

}  // namespace kwivel::search
