#include "index/bitmap.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"
#include "base/finite.h"
#include "base/limits.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/common.h"
#include "kernels/popcount.h"
#include "kernels/top_bits.h"
#include "search/popcount_shortlists.h"
#include "search/shortlist.h"

namespace kwivel {

namespace {

constexpr std::size_t kAnd = static_cast<std::size_t>(PopOp::and_op);

// Rows scored per block by the searches: the block's counts for a group of
// eight queries stay in L2 while they are offered.
constexpr std::size_t kSearchBlock = 2048;
// Rows per block of the batched fill: about 256 KiB of rows, which every
// group of queries reads from L2.
inline std::size_t fill_block_rows(std::size_t wpv) { return std::max<std::size_t>(64, (256 * 1024) / (8 * wpv)); }
// Below this many row-query pairs the batched fill stays on one thread.
constexpr std::size_t kParallelFillPairs = std::size_t{1} << 18;

// A buffer of n values that are all written before they are read.
template <class T>
std::unique_ptr<T[]> uninitialised(std::size_t n) {
    std::unique_ptr<T[]> p(new T[n]);
    advise_huge_pages(p.get(), n * sizeof(T));
    return p;
}

}  // namespace

std::optional<std::string> BitmapIndex::shape_error(std::uint64_t dim, std::uint64_t n_top) {
    if (dim == 0 || dim % 64 != 0) return std::string("dim must be a positive multiple of 64");
    if (dim > MAX_DIM)
        return "dim " + std::to_string(dim) + " exceeds the maximum bitmap dimension " + std::to_string(MAX_DIM) +
               " (u16 rank invariant)";
    if (n_top == 0 || n_top >= dim)
        return "n_top must satisfy 0 < n_top < dim (got n_top = " + std::to_string(n_top) +
               ", dim = " + std::to_string(dim) + ")";
    return std::nullopt;
}

BitmapIndex::BitmapIndex(std::size_t dim, std::size_t n_top) : dim_(dim), n_top_(n_top), wpv_(dim / 64) {
    const std::optional<std::string> err = shape_error(dim, n_top);
    KW_ASSERT(!err, "kwivel: " + err.value_or(""));
}

BitmapIndex BitmapIndex::from_parts(std::size_t dim, std::size_t n_top, std::size_t n_vectors,
                                    RowBuffer<std::uint64_t> words) {
    BitmapIndex idx(dim, n_top);
    std::size_t expect;
    KW_ASSERT(checked_mul(n_vectors, idx.wpv_, expect), "KWBM n_vectors * dim/64 overflows usize");
    KW_ASSERT(words.size() == expect, "KWBM payload length " + std::to_string(words.size()) +
                                          " does not match expected " + std::to_string(expect) + " u64 lanes");
    KW_ASSERT(n_vectors <= MAX_VECTORS, "kwivel: n_vectors exceeds MAX_VECTORS");
    idx.n_vectors_ = n_vectors;
    idx.words_ = std::move(words);
    return idx;
}

void BitmapIndex::add(const float* values, std::size_t n_floats) {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    const std::size_t rows = n_floats / dim_;
    std::size_t total;
    KW_ASSERT(checked_add(n_vectors_, rows, total), "kwivel: n_vectors overflows usize");
    KW_ASSERT(total <= MAX_VECTORS, "kwivel: index would exceed MAX_VECTORS (" + std::to_string(MAX_VECTORS) +
                                        "); had " + std::to_string(n_vectors_) + ", adding " + std::to_string(rows));
    std::size_t new_len;
    KW_ASSERT(checked_mul(total, wpv_, new_len),
              "kwivel: index buffer length (n_vectors * elems_per_vec) overflows usize");
    if (rows == 0) return;
    const std::size_t old_len = words_.size();
    reserve_for_growth(words_, new_len);
    words_.resize(new_len, 0);
    std::uint64_t* base = words_.data() + old_len;
    const std::size_t dim = dim_, wpv = wpv_, n_top = n_top_;
    const auto top = kernels().top_bits;
    // Finiteness is checked in the same pass as the bits; a failure puts
    // the buffer back as it was before the Panic.
    std::atomic<bool> finite{true};
    parallel_for(0, rows, [&](std::size_t lo, std::size_t hi) {
        std::vector<std::uint32_t> scratch(kern::kTopBitsScratch * dim + 16);
        bool ok = true;
        for (std::size_t r = lo; r < hi; ++r)
            ok &= top(values + r * dim, dim, n_top, /*ties_high=*/true, scratch.data(), base + r * wpv);
        if (!ok) finite.store(false, std::memory_order_relaxed);
    });
    if (!finite.load()) {
        words_.resize(old_len);
        panic("kwivel: input contains non-finite (NaN or \u00b1Inf) values; embeddings must be finite");
    }
    n_vectors_ = total;
}

void BitmapIndex::check_query(const float* query, std::size_t len) const {
    KW_ASSERT(len == dim_, "kwivel: query length " + std::to_string(len) + " does not match dim " +
                               std::to_string(dim_));
    assert_all_finite(query, len);
}

void BitmapIndex::query_bits_into(const float* query, std::uint64_t* words, std::uint32_t* keys, Tier tier) const {
    std::fill(words, words + wpv_, std::uint64_t{0});
    kernel_table(tier).top_bits(query, dim_, n_top_, /*ties_high=*/false, keys, words);
}

std::vector<std::uint64_t> BitmapIndex::query_bitmap(const float* query, Tier tier) const {
    std::vector<std::uint64_t> words(wpv_, 0);
    std::vector<std::uint32_t> keys(kern::kTopBitsScratch * dim_ + 16);
    query_bits_into(query, words.data(), keys.data(), tier);
    return words;
}

std::vector<std::uint64_t> BitmapIndex::build_query_bitmap_fp32(const float* query, std::size_t len) const {
    check_query(query, len);
    return query_bitmap(query, active_tier());
}

void BitmapIndex::body_overlap_scores_subset(const std::uint64_t* q, std::size_t q_len, const std::uint32_t* ids,
                                             std::size_t n_ids, std::uint32_t* out, Tier tier) const {
    KW_ASSERT(q_len == wpv_, "popcount: doc and query bitmap rows must be equal length");
    for (std::size_t i = 0; i < n_ids; ++i)
        KW_ASSERT(ids[i] < n_vectors_,
                  "body_overlap_scores_subset: doc_id out of range [0, " + std::to_string(n_vectors_) + ")");
    const auto collect = kernel_table(tier).popcount_collect[kAnd];
    // Listed rows are copied into a contiguous block so the scan runs over
    // whole groups of rows.
    constexpr std::size_t kGather = 64;
    std::vector<std::uint64_t> block(std::min(n_ids, kGather) * wpv_);
    for (std::size_t i0 = 0; i0 < n_ids; i0 += kGather) {
        const std::size_t nb = std::min(kGather, n_ids - i0);
        for (std::size_t i = 0; i < nb; ++i)
            std::memcpy(block.data() + i * wpv_, row(ids[i0 + i]), wpv_ * sizeof(std::uint64_t));
        collect(block.data(), nb, wpv_, q, out + i0);
    }
}

SearchResult BitmapIndex::search(const float* queries, std::size_t n_floats, std::size_t k, Tier tier) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(queries, n_floats);
    const std::size_t nq = n_floats / dim_;
    const std::size_t n = n_vectors_, wpv = wpv_;
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    std::fill(out.scores.begin(), out.scores.end(), kern::kNegInf);
    if (k_eff == 0 || nq == 0) return out;
    const auto collect8 = kernel_table(tier).popcount_collect8[kAnd];
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<std::uint32_t> keys(kern::kTopBitsScratch * dim_ + 16);
        std::vector<std::uint64_t> qbits(kPopGroup * wpv);
        std::vector<std::uint32_t> counts(kPopGroup * kSearchBlock);
        std::vector<TopK> tks;
        float thr[kPopGroup];
        std::vector<TopK::Record> scratch;
        for (std::size_t q0 = lo; q0 < hi; q0 += kPopGroup) {
            const std::size_t g = std::min(kPopGroup, hi - q0);
            tks.clear();
            for (std::size_t q = 0; q < g; ++q) {
                query_bits_into(queries + (q0 + q) * dim_, qbits.data() + q * wpv, keys.data(), tier);
                tks.emplace_back(k_eff);
                thr[q] = kern::kNegInf;
            }
            for (std::size_t i0 = 0; i0 < n; i0 += kSearchBlock) {
                const std::size_t nb = std::min(kSearchBlock, n - i0);
                collect8(row(i0), nb, wpv, qbits.data(), g, counts.data(), kSearchBlock);
                for (std::size_t q = 0; q < g; ++q) {
                    const std::uint32_t* c = counts.data() + q * kSearchBlock;
                    for (std::size_t i = 0; i < nb; ++i)
                        search::offer(tks[q], thr[q], i0 + i, static_cast<float>(c[i]));
                }
            }
            for (std::size_t q = 0; q < g; ++q) search::finalize_row(tks[q], out, q0 + q, scratch);
        }
    });
    return out;
}

SubsetHits BitmapIndex::search_subset(const float* query, std::size_t len, const std::uint32_t* ids,
                                      std::size_t n_ids, std::size_t k, Tier tier) const {
    check_query(query, len);
    SubsetHits hits;
    const std::size_t k_sub = std::min(n_ids, k);
    if (k_sub == 0) return hits;
    const std::vector<std::uint64_t> q = query_bitmap(query, tier);
    std::vector<std::uint32_t> overlaps(n_ids);
    body_overlap_scores_subset(q.data(), q.size(), ids, n_ids, overlaps.data(), tier);
    // (overlap, id) packed so that a larger key is better: overlap high,
    // the complemented id low.
    std::vector<std::uint64_t> keyed(n_ids);
    for (std::size_t i = 0; i < n_ids; ++i)
        keyed[i] = (static_cast<std::uint64_t>(overlaps[i]) << 32) | static_cast<std::uint32_t>(~ids[i]);
    const auto better = [](std::uint64_t a, std::uint64_t b) { return a > b; };
    if (k_sub < n_ids)
        std::nth_element(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(k_sub - 1), keyed.end(), better);
    std::sort(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(k_sub), better);
    hits.scores.resize(k_sub);
    hits.ids.resize(k_sub);
    for (std::size_t i = 0; i < k_sub; ++i) {
        hits.scores[i] = static_cast<float>(keyed[i] >> 32);
        hits.ids[i] = static_cast<std::uint32_t>(~static_cast<std::uint32_t>(keyed[i]));
    }
    return hits;
}

std::vector<std::uint32_t> BitmapIndex::top_m_candidates(const float* query, std::size_t len, std::size_t m,
                                                         Tier tier) const {
    check_query(query, len);
    const std::size_t n = n_vectors_;
    const std::size_t m_eff = std::min(m, n);
    if (m_eff == 0) return {};
    const std::vector<std::uint64_t> q = query_bitmap(query, tier);
    std::vector<std::uint32_t> out(m_eff);
    const auto max_score = static_cast<std::uint32_t>(n_top_);
    if (PopcountShortlists::worthwhile(n, m_eff, max_score)) {
        PopcountShortlists(PopOp::and_op, max_score, true, m_eff)
            .run(kernel_table(tier), words_.data(), n, wpv_, q.data(), 1, out.data());
        return out;
    }
    if (n_top_ < 256)
        scan_and_select<std::uint8_t>(q.data(), m_eff, tier, out.data());
    else
        scan_and_select<std::uint16_t>(q.data(), m_eff, tier, out.data());
    return out;
}

template <class S>
void BitmapIndex::scan_and_select(const std::uint64_t* q, std::size_t m_eff, Tier tier, std::uint32_t* ids) const {
    // Counts of a block of rows stay in L1 and are narrowed into a score
    // buffer of a quarter (or half) the size of 32-bit counts.
    const std::size_t n = n_vectors_;
    const auto collect = kernel_table(tier).popcount_collect[kAnd];
    auto scores = uninitialised<S>(n);
    constexpr std::size_t kBlock = 2048;
    std::uint32_t counts[kBlock];
    for (std::size_t r0 = 0; r0 < n; r0 += kBlock) {
        const std::size_t nb = std::min(kBlock, n - r0);
        collect(row(r0), nb, wpv_, q, counts);
        S* dst = scores.get() + r0;
        for (std::size_t i = 0; i < nb; ++i) dst[i] = static_cast<S>(counts[i]);
    }
    select_shortlist(scores.get(), n, static_cast<std::uint32_t>(n_top_), m_eff, ScoreOrder::descending, ids);
}

Shortlists BitmapIndex::top_m_candidates_batched(const float* queries, std::size_t n_floats, std::size_t m,
                                                 Tier tier) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(queries, n_floats);
    Shortlists out;
    out.nq = n_floats / dim_;
    const std::size_t nq = out.nq, n = n_vectors_, wpv = wpv_;
    out.m_eff = std::min(m, n);
    const std::size_t m_eff = out.m_eff;
    if (nq == 0 || m_eff == 0) return out;

    std::size_t qlen, slen, sbytes, olen;
    KW_ASSERT(checked_mul(nq, wpv, qlen), "batched query-bitmap buffer length (batch * qpv) overflows usize");
    KW_ASSERT(checked_mul(nq, n, slen) && checked_mul(slen, sizeof(std::uint32_t), sbytes),
              "batched candidate score buffer length (batch * n) overflows usize");
    KW_ASSERT(checked_mul(nq, m_eff, olen), "result size (batch * m) overflows usize");
    std::vector<std::uint64_t> qbits(qlen, 0);
    {
        std::vector<std::uint32_t> keys(kern::kTopBitsScratch * dim_ + 16);
        for (std::size_t q = 0; q < nq; ++q) query_bits_into(queries + q * dim_, qbits.data() + q * wpv, keys.data(), tier);
    }
    out.ids.resize(olen);
    const auto max_score = static_cast<std::uint32_t>(n_top_);
    if (PopcountShortlists::batched_pays(n, m_eff, max_score, nq)) {
        PopcountShortlists(PopOp::and_op, max_score, true, m_eff)
            .run_parallel(kernel_table(tier), words_.data(), n, wpv, qbits.data(), nq, out.ids.data());
        return out;
    }
    // Overlaps never exceed n_top, so the score buffer holds them in 8 bits
    // (n_top < 256) or 16: a quarter or half of the 4 * nq * n bytes of
    // 32-bit scores, in memory, page clearing and bandwidth alike.
    if (n_top_ < 256)
        fill_and_select<std::uint8_t>(qbits.data(), nq, m_eff, tier, out.ids.data());
    else
        fill_and_select<std::uint16_t>(qbits.data(), nq, m_eff, tier, out.ids.data());
    return out;
}

template <class S>
void BitmapIndex::fill_and_select(const std::uint64_t* qbits, std::size_t nq, std::size_t m_eff, Tier tier,
                                  std::uint32_t* ids) const {
    const std::size_t n = n_vectors_, wpv = wpv_;
    auto scores = uninitialised<S>(nq * n);
    const KernelTable& table = kernel_table(tier);
    // Each piece scores its own range of rows for every query, a row block
    // at a time (from L2 for every group of eight queries), so the rows
    // stream from memory once whatever nq is.  Counts land in a small 32-bit
    // block and are narrowed into the score buffer.
    const auto fill = [&](std::size_t lo, std::size_t hi) {
        const std::size_t block = fill_block_rows(wpv);
        std::vector<std::uint32_t> counts(kPopGroup * block);
        for (std::size_t r0 = lo; r0 < hi; r0 += block) {
            const std::size_t nb = std::min(block, hi - r0);
            for (std::size_t q0 = 0; q0 < nq; q0 += kPopGroup) {
                const std::size_t g = std::min(kPopGroup, nq - q0);
                table.popcount_collect8[kAnd](row(r0), nb, wpv, qbits + q0 * wpv, g, counts.data(), block);
                for (std::size_t q = 0; q < g; ++q) {
                    const std::uint32_t* c = counts.data() + q * block;
                    S* dst = scores.get() + (q0 + q) * n + r0;
                    for (std::size_t i = 0; i < nb; ++i) dst[i] = static_cast<S>(c[i]);
                }
            }
        }
    };
    if (nq * n >= kParallelFillPairs)
        parallel_for(0, n, fill);
    else
        fill(0, n);
    const std::uint32_t max_score = static_cast<std::uint32_t>(n_top_);
    parallel_for_each(0, nq, [&](std::size_t q) {
        select_shortlist(scores.get() + q * n, n, max_score, m_eff, ScoreOrder::descending, ids + q * m_eff);
    });
}

Shortlists BitmapIndex::top_m_candidates_batched_chunked(const float* queries, std::size_t n_floats, std::size_t m,
                                                         std::size_t batch_size, Tier tier) const {
    KW_ASSERT(batch_size > 0, "batch_size must be > 0");
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    Shortlists out;
    out.nq = n_floats / dim_;
    out.m_eff = std::min(m, n_vectors_);
    const std::size_t nq = out.nq, m_eff = out.m_eff;
    if (nq == 0) return out;
    std::size_t olen;
    KW_ASSERT(checked_mul(nq, m_eff, olen), "result size (n_queries * m) overflows usize");
    out.ids.resize(olen);
    const std::size_t g = std::min(batch_size, nq);
    const std::size_t groups = (nq + g - 1) / g;
    parallel_for_each(0, groups, [&](std::size_t gi) {
        const std::size_t q0 = gi * g, rows = std::min(g, nq - q0);
        const Shortlists part = top_m_candidates_batched(queries + q0 * dim_, rows * dim_, m, tier);
        std::copy(part.ids.begin(), part.ids.end(), out.ids.begin() + static_cast<std::ptrdiff_t>(q0 * m_eff));
    });
    return out;
}

}  // namespace kwivel
