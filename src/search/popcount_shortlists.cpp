#include "search/popcount_shortlists.h"

#include <algorithm>
#include <cstdint>

#include "base/error.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/sliced.h"
#include "search/shortlist.h"

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

// Queries of a run from which the bit-sliced scan pays: turning a block on
// its side costs about as much as scanning it for a dozen queries.
constexpr std::size_t kSlicedQueries = 32;

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
    if (sliced_pays(table, wpv, nq))
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

bool PopcountShortlists::sliced_pays(const KernelTable& table, std::size_t wpv, std::size_t nq) {
    return table.sliced_select != nullptr && wpv * 64 <= kSliceMaxDim && nq >= kSlicedQueries;
}

void PopcountShortlists::scan_groups(const KernelTable& table, const std::uint64_t* rows, std::size_t n,
                                     std::size_t wpv, const std::uint64_t* queries, std::size_t nq) {
    const auto collect8 = table.popcount_collect8[op_];
    const std::size_t bins = std::size_t{max_} + 1;
    const std::size_t block = run_block_rows(wpv);
    tile_.resize(kPopGroup * block);
    picked_.resize(block);
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

// Each query names the shorter of its set and clear bits (padded to a
// multiple of 16 with the all-zero plane dim); a row's count is then, with
// X the sum of the named planes,
//   AND: X (set bits) or |r| - X (clear bits);
//   XOR: |Q1| + |r| - 2X (set bits) or |Q1| - |r| + 2X (clear bits);
// and "count >= lo" (best first) or "count <= hi" (nearest first) becomes a
// comparison of S = (X << shift) + R, R = K - |r|, with a constant.
void PopcountShortlists::scan_sliced(const KernelTable& table, const std::uint64_t* rows, std::size_t n,
                                     std::size_t wpv, const std::uint64_t* queries, std::size_t nq) {
    const std::size_t dim = wpv * 64, bins = std::size_t{max_} + 1;
    const bool is_and = op_ == static_cast<std::size_t>(PopOp::and_op);
    struct Plan {
        std::size_t first = 0, len = 0;
        std::uint32_t ones = 0;  // |Q1|
        bool clear = false;      // names the clear bits
    };
    std::vector<Plan> plans(nq);
    std::vector<std::uint16_t> lists;
    bool need_r = !is_and;
    for (std::size_t q = 0; q < nq; ++q) {
        const std::uint64_t* qw = queries + q * wpv;
        Plan& p = plans[q];
        for (std::size_t w = 0; w < wpv; ++w) p.ones += static_cast<std::uint32_t>(__builtin_popcountll(qw[w]));
        p.clear = p.ones > dim / 2;
        need_r |= p.clear;
        p.first = lists.size();
        for (std::size_t j = 0; j < dim; ++j)
            if ((((qw[j / 64] >> (j % 64)) & 1u) != 0) != p.clear) lists.push_back(static_cast<std::uint16_t>(j));
        while ((lists.size() - p.first) % 16 != 0) lists.push_back(static_cast<std::uint16_t>(dim));
        p.len = lists.size() - p.first;
    }
    AlignedBuffer<std::uint64_t> planes((dim + 1) * kSliceWords);
    std::fill(planes.data() + dim * kSliceWords, planes.data() + (dim + 1) * kSliceWords, 0);
    AlignedBuffer<std::uint64_t> r_planes(kSliceRPlanes * kSliceWords);
    std::vector<std::uint64_t> all_ones(wpv, ~std::uint64_t{0});
    std::uint32_t counts[kSliceRows];
    std::uint64_t mask[kSliceWords];
    for (std::size_t r0 = 0; r0 < n; r0 += kSliceRows) {
        const std::size_t nb = std::min(kSliceRows, n - r0);
        const std::uint64_t* block = rows + r0 * wpv;
        table.slice_block(block, nb, wpv, planes.data());
        if (need_r) {
            table.popcount_collect[static_cast<std::size_t>(PopOp::and_op)](block, nb, wpv, all_ones.data(), counts);
            std::fill(r_planes.data(), r_planes.data() + kSliceRPlanes * kSliceWords, 0);
            for (std::size_t i = 0; i < nb; ++i) {
                const std::uint32_t r = kSliceK - counts[i];
                for (unsigned b = 0; b < kSliceRPlanes; ++b)
                    r_planes.data()[b * kSliceWords + i / 64] |= std::uint64_t{(r >> b) & 1u} << (i % 64);
            }
        }
        for (std::size_t q = 0; q < nq; ++q) {
            Query& st = state_[q];
            const Plan& p = plans[q];
            // The kept rows: count >= lo (best first) or count <= hi.
            const std::uint32_t lo = max_ - st.bound, hi = st.bound;
            const std::uint32_t K = kSliceK;
            SlicedTest t;
            if (is_and && !p.clear) {
                t.at_least = flip_;
                t.c = flip_ ? lo : hi;
            } else {
                t.r = r_planes.data();
                t.shift = is_and ? 0 : 1;
                // With R: AND on clear bits and XOR on set bits count down as S grows.
                const bool down = is_and || !p.clear;
                const std::uint32_t base = is_and ? K : (p.clear ? K - p.ones : K + p.ones);
                t.at_least = flip_ != down;
                t.c = flip_ ? (down ? base - lo : base + lo) : (down ? base - hi : base + hi);
            }
            table.sliced_select(planes.data(), lists.data() + p.first, p.len, t, mask);
            const std::size_t before = st.ids.size();
            std::uint32_t* hist = hist_.data() + q * bins;
            for (std::size_t w = 0; w < kSliceWords; ++w) {
                std::uint64_t bits = mask[w];
                if (w * 64 + 64 > nb) bits &= w * 64 >= nb ? 0 : (std::uint64_t{1} << (nb - w * 64)) - 1;
                for (; bits != 0; bits &= bits - 1) {
                    const std::size_t i = w * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
                    std::uint32_t c = 0;
                    table.popcount_collect[op_](block + i * wpv, 1, wpv, queries + q * wpv, &c);
                    const std::uint32_t d = flip_ ? max_ - c : c;
                    ++hist[d];
                    st.ids.push_back(static_cast<std::uint32_t>(r0 + i));
                    st.dist.push_back(d);
                }
            }
            settle(st, hist, before);
        }
    }
}

void PopcountShortlists::keep(const KernelTable& table, Query& st, std::uint32_t* hist, const std::uint32_t* counts,
                              std::size_t rows, std::size_t r0) {
    // A row is kept when its distance is within the bound: for best-first
    // scores, when its count is at least max_score - bound.  The table's
    // filter finds those rows (nearly none once the bound has settled).
    const std::uint32_t bound = st.bound;
    const std::size_t before = st.ids.size();
    const std::size_t got = flip_ ? table.pop_select(counts, rows, max_ - bound, max_, picked_.data())
                                  : table.pop_select(counts, rows, 0, bound, picked_.data());
    for (std::size_t j = 0; j < got; ++j) {
        const std::uint32_t i = picked_[j];
        const std::uint32_t d = flip_ ? max_ - counts[i] : counts[i];
        ++hist[d];
        st.ids.push_back(static_cast<std::uint32_t>(r0 + i));
        st.dist.push_back(d);
    }
    settle(st, hist, before);
}

void PopcountShortlists::settle(Query& st, const std::uint32_t* hist, std::size_t before) const {
    if (st.ids.size() == before) return;
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
