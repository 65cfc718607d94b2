#include "util.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cmath>
#include <limits>

#include <sys/mman.h>

#include "error.h"
#include "parallel.h"

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

std::vector<float> l2_normalise(const float* values, std::size_t d) {
    float s = 0.0f;
    for (std::size_t i = 0; i < d; ++i) s = s + values[i] * values[i];
    const float norm = std::sqrt(s);
    std::vector<float> out(d, 0.0f);
    if (norm <= 1e-12f) return out;
    const float inv = 1.0f / norm;
    for (std::size_t i = 0; i < d; ++i) out[i] = values[i] * inv;
    return out;
}

namespace {

// Branch-free within blocks so the compiler vectorises the exponent test.
bool all_finite_serial(const float* values, std::size_t n) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(values);
    constexpr std::size_t kBlock = 4096;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t end = std::min(n, start + kBlock);
        std::uint32_t bad = 0;
        for (std::size_t i = start; i < end; ++i) {
            std::uint32_t b;
            std::memcpy(&b, bytes + 4 * i, sizeof b);
            bad |= static_cast<std::uint32_t>((b & 0x7f800000u) == 0x7f800000u);
        }
        if (bad) return false;
    }
    return true;
}

}  // namespace

bool all_finite(const float* values, std::size_t n) {
    if (n < (std::size_t{1} << 20)) return all_finite_serial(values, n);
    std::atomic<bool> ok{true};
    parallel_for(0, n, [&](std::size_t lo, std::size_t hi) {
        if (!all_finite_serial(values + lo, hi - lo)) ok.store(false, std::memory_order_relaxed);
    });
    return ok.load();
}

void advise_huge_pages(void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 2 * kHuge) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t lo = (begin + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t hi = (begin + bytes) & ~(kHuge - 1);
    if (lo < hi) (void)::madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace kwivel
