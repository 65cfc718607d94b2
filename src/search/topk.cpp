#include "search/topk.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/error.h"
#include "base/limits.h"

namespace kwivel {

namespace {

// a strictly worse than b: lower score in the total order, or equal score
// and larger id.
inline bool worse(std::int32_t ka, std::int64_t ida, std::int32_t kb, std::int64_t idb) {
    return ka < kb || (ka == kb && ida > idb);
}

}  // namespace

TopK::TopK(std::size_t k)
    : capacity_(k),
      scores_(k, -std::numeric_limits<float>::infinity()),
      locals_(k, UINT64_MAX),
      ids_(k, INT64_MAX) {}

void TopK::rescan_worst() {
    std::size_t w = 0;
    std::int32_t wk = total_order_key(scores_[0]);
    for (std::size_t s = 1; s < len_; ++s) {
        std::int32_t ks = total_order_key(scores_[s]);
        if (worse(ks, ids_[s], wk, ids_[w])) {
            w = s;
            wk = ks;
        }
    }
    worst_slot_ = w;
    worst_score_ = scores_[w];
    worst_id_ = ids_[w];
}

void TopK::maybe_insert(std::uint64_t local_index, float score) {
    KW_ASSERT(local_index <= static_cast<std::uint64_t>(INT64_MAX), "kwivel: doc_id exceeds i64::MAX");
    const float x = score + offset_;
    std::int64_t g;
    if (id_map_) {
        KW_ASSERT(local_index < id_map_len_, "kwivel: local index outside the id map");
        g = id_map_[local_index];
    } else {
        g = static_cast<std::int64_t>(local_index);
    }
    if (len_ < capacity_) {
        scores_[len_] = x;
        locals_[len_] = local_index;
        ids_[len_] = g;
        ++len_;
        if (len_ == capacity_) rescan_worst();
        return;
    }
    if (capacity_ == 0) return;
    const std::int32_t kx = total_order_key(x);
    const std::int32_t kw = total_order_key(worst_score_);
    if (!(kx > kw || (kx == kw && g < worst_id_))) return;
    scores_[worst_slot_] = x;
    locals_[worst_slot_] = local_index;
    ids_[worst_slot_] = g;
    rescan_worst();
}

void TopK::finalize_into_with_scratch(float* out_scores, std::size_t out_scores_len,
                                      std::int64_t* out_ids, std::size_t out_ids_len,
                                      std::vector<Record>& scratch) const {
    std::fill(out_scores, out_scores + out_scores_len, -std::numeric_limits<float>::infinity());
    std::fill(out_ids, out_ids + out_ids_len, std::int64_t{-1});
    if (len_ == 0) return;
    scratch.clear();
    scratch.reserve(len_);
    for (std::size_t s = 0; s < len_; ++s) scratch.push_back({locals_[s], ids_[s], scores_[s], s});
    std::sort(scratch.begin(), scratch.end(), [](const Record& a, const Record& b) {
        const std::int32_t ka = total_order_key(a.score), kb = total_order_key(b.score);
        if (ka != kb) return ka > kb;
        if (a.id != b.id) return a.id < b.id;
        return a.slot < b.slot;
    });
    const std::size_t n = std::min({out_scores_len, out_ids_len, len_});
    for (std::size_t i = 0; i < n; ++i) {
        out_scores[i] = scratch[i].score;
        out_ids[i] = static_cast<std::int64_t>(scratch[i].local);
    }
}

SearchResult SearchResult::sized(std::size_t nq, std::size_t k_eff) {
    const std::size_t len = mul_or_panic(nq, k_eff, "search result buffer length (nq * k) overflows usize");
    SearchResult r;
    r.nq = nq;
    r.k_eff = k_eff;
    r.scores.assign(len, 0.0f);
    r.ids.assign(len, std::int64_t{-1});
    return r;
}

}  // namespace kwivel
