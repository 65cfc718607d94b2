#include "index/sign_bitmap.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "base/error.h"
#include "base/finite.h"
#include "base/limits.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/popcount.h"
#include "search/popcount_shortlists.h"
#include "search/shortlist.h"

namespace kwivel {

namespace {

constexpr const char* kNonFinite =
    "kwivel: input contains non-finite (NaN or \u00b1Inf) values; embeddings must be finite";

constexpr std::size_t kXor = static_cast<std::size_t>(PopOp::xor_op);

// Less scanning than this (in words, all queries together) is not worth
// waking the pool for.
constexpr std::size_t kSerialScanWords = std::size_t{1} << 17;
// Floats per piece of the parallel bitmap build, at least.
constexpr std::size_t kBuildGrainFloats = std::size_t{1} << 16;

// Fills out[q * n + i] (q < nq, i < n) with the Hamming distance of query q
// to row i, or with dim minus it when `agreement` is set.  The work is cut
// into tiles of (group of 8 queries, block of rows); a run of tiles streams
// the rows once per group, and each tile's counts are converted while they
// are still in cache.  Every entry is written by exactly one tile, so the
// split over the pool changes no value.
void fill_distances(const KernelTable& table, const std::uint64_t* words, std::size_t n, std::size_t wpv,
                    const std::uint64_t* queries, std::size_t nq, std::uint32_t* out, bool agreement,
                    std::uint32_t dim) {
    if (n == 0 || nq == 0) return;
    const auto collect8 = table.popcount_collect8[kXor];
    const std::size_t block = popcount_tile_rows(wpv);
    const std::size_t blocks = (n + block - 1) / block;
    const std::size_t groups = (nq + kPopGroup - 1) / kPopGroup;
    auto run = [&](std::size_t t0, std::size_t t1) {
        for (std::size_t t = t0; t < t1; ++t) {
            const std::size_t g = t / blocks, b = t % blocks;
            const std::size_t q0 = g * kPopGroup, nqg = std::min(kPopGroup, nq - q0);
            const std::size_t r0 = b * block, r1 = std::min(n, r0 + block);
            std::uint32_t* dst = out + q0 * n + r0;
            collect8(words + r0 * wpv, r1 - r0, wpv, queries + q0 * wpv, nqg, dst, n);
            if (agreement)
                for (std::size_t q = 0; q < nqg; ++q)
                    for (std::uint32_t* p = dst + q * n; p != dst + q * n + (r1 - r0); ++p) *p = dim - *p;
        }
    };
    const std::size_t tiles = groups * blocks;
    std::size_t work;
    if (tiles == 1 || (checked_mul(groups * n, wpv, work) && work < kSerialScanWords))
        run(0, tiles);
    else
        parallel_for(0, tiles, run);
}

// n zeroed entries on huge pages where the block is large.  Faulting the
// pages in on one thread, huge, before the parallel fill measures faster
// than leaving them to the fill's threads (small pages, or huge pages
// faulted concurrently).  A count past what a vector can hold is an
// allocation failure like any other (MemoryError), not a length_error.
ScoreBuffer score_buffer(std::size_t n) {
    ScoreBuffer b;
    if (n > b.max_size()) throw std::bad_alloc();
    reserve_for_growth(b, n);
    b.resize(n);
    return b;
}

std::uint32_t dim_u32(std::size_t dim) {
    KW_ASSERT(dim <= UINT32_MAX, "sign bitmap dim fits u32");
    return static_cast<std::uint32_t>(dim);
}

}  // namespace

void build_sign_words(const float* values, std::size_t n_words, std::uint64_t* words, Tier tier) {
    KW_ASSERT(kernel_table(tier).sign_words(values, n_words, words), kNonFinite);
}

void sign_scan_collect(const std::uint64_t* words, std::size_t n, std::size_t wpv, const std::uint64_t* query,
                       std::uint32_t* distances, Tier tier) {
    kernel_table(tier).popcount_collect[kXor](words, n, wpv, query, distances);
}

void sign_scan_collect_batched(const std::uint64_t* words, std::size_t n, std::size_t wpv,
                               const std::uint64_t* queries, std::size_t nq, std::uint32_t* distances, Tier tier) {
    popcount_collect_many(kernel_table(tier), PopOp::xor_op, words, n, wpv, queries, nq, distances, n);
}

SignBitmapIndex::SignBitmapIndex(std::size_t dim) : dim_(dim), wpv_(dim / 64) {
    KW_ASSERT(dim != 0 && dim % 64 == 0, "dim must be a positive multiple of 64");
    KW_ASSERT(dim <= MAX_SIGN_BITMAP_DIM, "dim " + std::to_string(dim) +
                                              " exceeds the maximum sign-bitmap dimension " +
                                              std::to_string(MAX_SIGN_BITMAP_DIM));
}

SignBitmapIndex SignBitmapIndex::from_parts(std::size_t dim, std::size_t n_vectors,
                                            RowBuffer<std::uint64_t> words) {
    SignBitmapIndex idx(dim);
    std::size_t expect;
    KW_ASSERT(checked_mul(n_vectors, idx.wpv_, expect), "KWSB n_vectors * dim/64 overflows usize");
    KW_ASSERT(words.size() == expect, "KWSB payload length " + std::to_string(words.size()) +
                                          " does not match expected " + std::to_string(expect) + " u64 lanes");
    KW_ASSERT(n_vectors <= MAX_VECTORS, "kwivel: n_vectors exceeds MAX_VECTORS");
    idx.n_vectors_ = n_vectors;
    idx.words_ = std::move(words);
    return idx;
}

void SignBitmapIndex::add(const float* values, std::size_t n_floats) { append(bitmaps(values, n_floats)); }

RowBuffer<std::uint64_t> SignBitmapIndex::bitmaps(const float* values, std::size_t n_floats,
                                                  bool* finite_out) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    const std::size_t rows = n_floats / dim_;
    RowBuffer<std::uint64_t> words;
    reserve_for_growth(words, rows * wpv_);  // rows * dim floats exist, so this fits
    words.resize(rows * wpv_);
    const auto sign_words = kernels().sign_words;
    const std::size_t wpv = wpv_, dim = dim_;
    // Finiteness is checked in the same pass as the bits are set.
    std::atomic<bool> finite{true};
    auto build = [&](std::size_t lo, std::size_t hi) {
        if (!sign_words(values + lo * dim, (hi - lo) * wpv, words.data() + lo * wpv))
            finite.store(false, std::memory_order_relaxed);
    };
    if (rows <= 1 || n_floats < kBuildGrainFloats)
        build(0, rows);
    else
        parallel_for(0, rows, build);
    if (finite_out)
        *finite_out = finite.load();
    else
        KW_ASSERT(finite.load(), kNonFinite);
    return words;
}

void SignBitmapIndex::append(RowBuffer<std::uint64_t> words) {
    KW_ASSERT(words.size() % wpv_ == 0, "kwivel: word count is not a multiple of words_per_vec");
    const std::size_t rows = words.size() / wpv_;
    std::size_t total = 0, new_len = 0;
    KW_ASSERT(checked_add(n_vectors_, rows, total), "kwivel: n_vectors overflows usize");
    KW_ASSERT(total <= MAX_VECTORS, "kwivel: index would exceed MAX_VECTORS (" + std::to_string(MAX_VECTORS) +
                                        "); had " + std::to_string(n_vectors_) + ", adding " + std::to_string(rows));
    KW_ASSERT(checked_mul(total, wpv_, new_len),
              "kwivel: index buffer length (n_vectors * elems_per_vec) overflows usize");
    if (rows == 0) return;
    if (words_.empty()) {
        words_ = std::move(words);  // the first rows: adopt the buffer
    } else {
        const std::size_t old_len = words_.size();
        reserve_for_growth(words_, new_len);
        words_.resize(new_len);
        std::memcpy(words_.data() + old_len, words.data(), words.size() * sizeof(std::uint64_t));
    }
    n_vectors_ = total;
}

std::vector<std::uint64_t> SignBitmapIndex::build_query_bitmap(const float* query, std::size_t len,
                                                               Tier tier) const {
    KW_ASSERT(len == dim_, "kwivel: query length does not match the index dimension");
    std::vector<std::uint64_t> q(wpv_);
    build_sign_words(query, wpv_, q.data(), tier);
    return q;
}

bool SignBitmapIndex::filtered_shortlists(std::size_t m_eff) const {
    return dim_ <= UINT32_MAX && PopcountShortlists::worthwhile(n_vectors_, m_eff, static_cast<std::uint32_t>(dim_));
}

std::vector<std::uint64_t> SignBitmapIndex::query_bitmaps(const float* queries, std::size_t nq,
                                                          const KernelTable& table) const {
    std::size_t len;
    KW_ASSERT(checked_mul(nq, wpv_, len), "batched query-bitmap buffer length (batch * qpv) overflows usize");
    std::vector<std::uint64_t> q(len);
    KW_ASSERT(table.sign_words(queries, len, q.data()), kNonFinite);
    return q;
}

ScoreBuffer SignBitmapIndex::score_all(const float* query, std::size_t len, Tier tier) const {
    const std::vector<std::uint64_t> q = build_query_bitmap(query, len, tier);
    ScoreBuffer out = score_buffer(n_vectors_);
    fill_distances(kernel_table(tier), words_.data(), n_vectors_, wpv_, q.data(), 1, out.data(), true,
                   dim_u32(dim_));
    return out;
}

ScoreBuffer SignBitmapIndex::score_all_batched(const float* queries, std::size_t n_floats, Tier tier) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    const std::size_t nq = n_floats / dim_;
    if (nq == 0) return {};
    const KernelTable& table = kernel_table(tier);
    const std::vector<std::uint64_t> q = query_bitmaps(queries, nq, table);
    if (n_vectors_ == 0) return {};
    std::size_t len;
    KW_ASSERT(checked_mul(nq, n_vectors_, len), "batched dense score buffer length (batch * n) overflows usize");
    ScoreBuffer out = score_buffer(len);
    fill_distances(table, words_.data(), n_vectors_, wpv_, q.data(), nq, out.data(), true, dim_u32(dim_));
    return out;
}

std::vector<std::uint32_t> SignBitmapIndex::top_m_candidates(const float* query, std::size_t len, std::size_t m,
                                                             Tier tier) const {
    KW_ASSERT(len == dim_, "kwivel: query length does not match the index dimension");
    const std::size_t m_eff = std::min(m, n_vectors_);
    if (m_eff == 0) {
        assert_all_finite(query, len);
        return {};
    }
    const std::vector<std::uint64_t> q = build_query_bitmap(query, len, tier);
    std::vector<std::uint32_t> out(m_eff);
    if (filtered_shortlists(m_eff)) {
        PopcountShortlists(PopOp::xor_op, dim_u32(dim_), false, m_eff).run(kernel_table(tier), words_.data(), n_vectors_, wpv_, q.data(), 1, out.data());
        return out;
    }
    ScoreBuffer dist = score_buffer(n_vectors_);
    sign_scan_collect(words_.data(), n_vectors_, wpv_, q.data(), dist.data(), tier);
    select_shortlist(dist.data(), n_vectors_, dim_u32(dim_), m_eff, ScoreOrder::ascending, out.data());
    return out;
}

std::vector<std::uint32_t> SignBitmapIndex::top_m_candidates_batched(const float* queries, std::size_t n_floats,
                                                                     std::size_t m, Tier tier) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    const std::size_t nq = n_floats / dim_;
    const std::size_t m_eff = std::min(m, n_vectors_);
    if (nq == 0 || m_eff == 0) {
        assert_all_finite(queries, n_floats);
        return {};
    }
    const KernelTable& table = kernel_table(tier);
    const std::vector<std::uint64_t> q = query_bitmaps(queries, nq, table);
    const std::size_t n = n_vectors_, wpv = wpv_;
    std::size_t olen;
    KW_ASSERT(checked_mul(nq, m_eff, olen), "result size (batch * m) overflows usize");
    std::vector<std::uint32_t> out(olen);
    if (dim_ <= UINT32_MAX &&
        PopcountShortlists::batched_pays(n, m_eff, static_cast<std::uint32_t>(dim_), nq)) {
        PopcountShortlists(PopOp::xor_op, dim_u32(dim_), false, m_eff)
            .run_parallel(table, words_.data(), n, wpv, q.data(), nq, out.data());
        return out;
    }
    // Otherwise queries go in rounds of one group of 8 per pool thread: the distances
    // of a round are filled (the rows streamed once per group), then each
    // query's shortlist is selected from its row.  The distance buffer holds
    // one round, not the whole batch.
    const std::size_t round = std::min(nq, kPopGroup * pool_threads());
    std::size_t dlen;
    KW_ASSERT(checked_mul(round, n, dlen), "batched candidate score buffer length (batch * n) overflows usize");
    ScoreBuffer dist = score_buffer(dlen);
    const std::uint32_t dim = dim_u32(dim_);
    for (std::size_t r0 = 0; r0 < nq; r0 += round) {
        const std::size_t nr = std::min(round, nq - r0);
        fill_distances(table, words_.data(), n, wpv, q.data() + r0 * wpv, nr, dist.data(), false, dim);
        auto select = [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i)
                select_shortlist(dist.data() + i * n, n, dim, m_eff, ScoreOrder::ascending,
                                 out.data() + (r0 + i) * m_eff);
        };
        if (nr == 1)
            select(0, 1);
        else
            parallel_for(0, nr, select);
    }
    return out;
}

}  // namespace kwivel
