#include "search/popcount_shortlists.h"

#include <algorithm>
#include <cstdint>

#include "base/error.h"
#include "base/parallel.h"
#include "search/shortlist.h"
#include "search/sliced_scan.h"

namespace kwivel {

namespace {

// Widest score range filtered through a histogram (max_score + 1 counts per
// query).
constexpr std::uint32_t kMaxHistogramScore = 65536;

// Rows per block of a run: about 256 KiB of rows, read from L2 by every
// group of queries; a multiple of 8, at least 8.
std::size_t run_block_rows(std::size_t wpv) {
    const std::size_t rows = (256 * 1024) / (8 * std::max<std::size_t>(wpv, 1));
    return std::max<std::size_t>(8, rows / 8 * 8);
}

// Histogram words a run may hold for its queries together: runs of more
// queries go in several passes over the rows.
constexpr std::size_t kHistogramBudget = std::size_t{1} << 20;

}  // namespace

PopcountShortlists::PopcountShortlists(PopOp op, std::uint32_t max_score, bool best_first, std::size_t m)
    : op_(static_cast<std::size_t>(op)), max_(max_score), flip_(best_first), m_(m) {}

bool PopcountShortlists::worthwhile(std::size_t n, std::size_t m, std::uint32_t max_score) {
    return m <= n / 16 && max_score <= kMaxHistogramScore && n <= UINT32_MAX;
}

bool PopcountShortlists::batched_pays(std::size_t n, std::size_t m, std::uint32_t max_score, std::size_t nq) {
    return worthwhile(n, m, max_score) && (nq + kPopGroup - 1) / kPopGroup >= pool_threads();
}

void PopcountShortlists::run_parallel(const KernelTable& table, const std::uint64_t* rows, std::size_t n,
                                      std::size_t wpv, const std::uint64_t* queries, std::size_t nq,
                                      std::uint32_t* out) const {
    const std::size_t groups = (nq + kPopGroup - 1) / kPopGroup;
    parallel_for(0, groups, [&](std::size_t g0, std::size_t g1) {
        PopcountShortlists lists(static_cast<PopOp>(op_), max_, flip_, m_);
        const std::size_t q0 = g0 * kPopGroup, q1 = std::min(nq, g1 * kPopGroup);
        lists.run(table, rows, n, wpv, queries + q0 * wpv, q1 - q0, out + q0 * m_);
    });
}

void PopcountShortlists::run(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                             const std::uint64_t* queries, std::size_t nq, std::uint32_t* out) {
    KW_ASSERT(nq >= 1, "kwivel: a shortlist run holds at least one query");
    const std::size_t bins = std::size_t{max_} + 1;
    const std::size_t per_pass = std::max(kPopGroup, kHistogramBudget / bins / kPopGroup * kPopGroup);
    for (std::size_t q0 = 0; q0 < nq; q0 += per_pass)
        run_some(table, rows, n, wpv, queries + q0 * wpv, std::min(per_pass, nq - q0), out + q0 * m_);
}

void PopcountShortlists::run_some(const KernelTable& table, const std::uint64_t* rows, std::size_t n,
                                  std::size_t wpv, const std::uint64_t* queries, std::size_t nq,
                                  std::uint32_t* out) {
    const std::size_t bins = std::size_t{max_} + 1;
    hist_.assign(nq * bins, 0);
    state_.resize(nq);
    for (Query& st : state_) {
        st.bound = max_;
        st.within = 0;
        st.ids.clear();
        st.dist.clear();
    }
    if (sliced_scan_pays(table, wpv, nq))
        scan_sliced(table, rows, n, wpv, queries, nq);
    else
        scan_groups(table, rows, n, wpv, queries, nq);
    for (std::size_t q = 0; q < nq; ++q) {
        const Query& st = state_[q];
        std::uint32_t* dst = out + q * m_;
        const std::size_t got = select_shortlist(st.dist.data(), st.dist.size(), max_, m_, ScoreOrder::ascending, dst);
        KW_ASSERT(got == m_, "kwivel: filtered shortlist lost rows");
        for (std::size_t i = 0; i < m_; ++i) dst[i] = st.ids[dst[i]];
    }
}

void PopcountShortlists::scan_groups(const KernelTable& table, const std::uint64_t* rows, std::size_t n,
                                     std::size_t wpv, const std::uint64_t* queries, std::size_t nq) {
    const auto collect8 = table.popcount_collect8[op_];
    const std::size_t bins = std::size_t{max_} + 1;
    const std::size_t block = run_block_rows(wpv);
    tile_.resize(kPopGroup * block);
    picked_.resize(block);
    picked_counts_.resize(block);
    for (std::size_t r0 = 0; r0 < n; r0 += block) {
        const std::size_t nb = std::min(block, n - r0);
        for (std::size_t g0 = 0; g0 < nq; g0 += kPopGroup) {
            const std::size_t g = std::min(kPopGroup, nq - g0);
            collect8(rows + r0 * wpv, nb, wpv, queries + g0 * wpv, g, tile_.data(), block);
            for (std::size_t q = 0; q < g; ++q)
                keep(table, state_[g0 + q], hist_.data() + (g0 + q) * bins, tile_.data() + q * block, nb, r0);
        }
    }
}

void PopcountShortlists::scan_sliced(const KernelTable& table, const std::uint64_t* rows, std::size_t n,
                                     std::size_t wpv, const std::uint64_t* queries, std::size_t nq) {
    const std::size_t bins = std::size_t{max_} + 1;
    SlicedQueries qs(static_cast<PopOp>(op_), max_, flip_);
    qs.prepare(queries, nq, wpv);
    SlicedBlock block(wpv);
    picked_.resize(kSliceRows);
    std::uint32_t counts[kSliceRows];
    for (std::size_t r0 = 0; r0 < n; r0 += kSliceRows) {
        block.load(table, rows + r0 * wpv, std::min(kSliceRows, n - r0), qs.needs_r());
        for (std::size_t q = 0; q < nq; ++q) {
            Query& st = state_[q];
            const std::size_t got = block.select(table, qs, q, st.bound, picked_.data(), counts);
            admit(st, hist_.data() + q * bins, counts, got, r0);
        }
    }
}

void PopcountShortlists::keep(const KernelTable& table, Query& st, std::uint32_t* hist, const std::uint32_t* counts,
                              std::size_t rows, std::size_t r0) {
    // A row is kept when its distance is within the bound: for best-first
    // scores, when its count is at least max_score - bound.  The table's
    // filter finds those rows (nearly none once the bound has settled).
    const std::uint32_t bound = st.bound;
    const std::size_t got = flip_ ? table.pop_select(counts, rows, max_ - bound, max_, picked_.data())
                                  : table.pop_select(counts, rows, 0, bound, picked_.data());
    for (std::size_t j = 0; j < got; ++j) picked_counts_[j] = counts[picked_[j]];
    admit(st, hist, picked_counts_.data(), got, r0);
}

void PopcountShortlists::admit(Query& st, std::uint32_t* hist, const std::uint32_t* counts, std::size_t got,
                               std::size_t r0) {
    const std::size_t before = st.ids.size();
    for (std::size_t j = 0; j < got; ++j) {
        const std::uint32_t d = flip_ ? max_ - counts[j] : counts[j];
        ++hist[d];
        st.ids.push_back(static_cast<std::uint32_t>(r0 + picked_[j]));
        st.dist.push_back(d);
    }
    if (got == 0) return;
    const std::uint32_t bound = st.bound;
    // The bound falls to the m-th smallest distance kept, once m rows are:
    // the smallest b with at least m kept rows at or below it.
    std::size_t within = st.within + (st.ids.size() - before);
    std::uint32_t b = bound;
    while (b > 0 && within - hist[b] >= m_) within -= hist[b--];
    st.within = within;
    st.bound = b;
    // Rows above the bound can no longer be chosen: drop them (in order)
    // when they outnumber the rest.
    if (st.ids.size() > 2 * within + 1024) {
        std::size_t w = 0;
        for (std::size_t i = 0; i < st.ids.size(); ++i)
            if (st.dist[i] <= b) {
                st.ids[w] = st.ids[i];
                st.dist[w++] = st.dist[i];
            }
        st.ids.resize(w);
        st.dist.resize(w);
    }
}

}  // namespace kwivel
