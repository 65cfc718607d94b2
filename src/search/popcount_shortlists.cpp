#include "search/popcount_shortlists.h"

#include <algorithm>
#include <cstdint>

#include "base/error.h"
#include "search/shortlist.h"

namespace kwivel {

namespace {

// Rows per scan tile: about 512 KiB of stored words, and at most 8192 rows so
// that a group's counts for the tile (8 x 4 bytes per row) stay in L2.
std::size_t tile_rows(std::size_t wpv) { return std::clamp<std::size_t>(65536 / wpv, 1, 8192); }

// Widest score range filtered through a histogram (max_score + 1 counts per
// query).
constexpr std::uint32_t kMaxHistogramScore = 65536;

}  // namespace

PopcountShortlists::PopcountShortlists(PopOp op, std::uint32_t max_score, bool best_first, std::size_t m)
    : op_(static_cast<std::size_t>(op)), max_(max_score), flip_(best_first), m_(m) {}

bool PopcountShortlists::worthwhile(std::size_t n, std::size_t m, std::uint32_t max_score) {
    return m <= n / 16 && max_score <= kMaxHistogramScore && n <= UINT32_MAX;
}

void PopcountShortlists::run(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                             const std::uint64_t* queries, std::size_t nq, std::uint32_t* out) {
    KW_ASSERT(nq >= 1 && nq <= kPopGroup, "kwivel: a shortlist group holds 1 to 8 queries");
    const auto collect8 = table.popcount_collect8[op_];
    const auto collect1 = table.popcount_collect[op_];
    const std::size_t block = tile_rows(wpv);
    tile_.resize(kPopGroup * block);
    for (std::size_t q = 0; q < nq; ++q) {
        hist_[q].assign(std::size_t{max_} + 1, 0);
        bound_[q] = max_;
        ids_[q].clear();
        dist_[q].clear();
    }
    for (std::size_t r0 = 0; r0 < n; r0 += block) {
        const std::size_t nb = std::min(block, n - r0);
        if (nq == 1)
            collect1(rows + r0 * wpv, nb, wpv, queries, tile_.data());
        else
            collect8(rows + r0 * wpv, nb, wpv, queries, nq, tile_.data(), block);
        for (std::size_t q = 0; q < nq; ++q) keep(q, tile_.data() + q * block, nb, r0);
    }
    for (std::size_t q = 0; q < nq; ++q) {
        std::uint32_t* dst = out + q * m_;
        const std::size_t got = select_shortlist(dist_[q].data(), dist_[q].size(), max_, m_, ScoreOrder::ascending, dst);
        KW_ASSERT(got == m_, "kwivel: filtered shortlist lost rows");
        for (std::size_t i = 0; i < m_; ++i) dst[i] = ids_[q][dst[i]];
    }
}

void PopcountShortlists::keep(std::size_t q, std::uint32_t* d, std::size_t rows, std::size_t r0) {
    if (flip_)
        for (std::size_t i = 0; i < rows; ++i) d[i] = max_ - d[i];
    std::uint32_t bound = bound_[q];
    std::uint32_t* hist = hist_[q].data();
    for (std::size_t i = 0; i < rows; ++i)
        if (d[i] <= bound) ++hist[d[i]];
    // The m-th smallest distance counted so far, if m rows are counted.
    std::size_t seen = 0;
    for (std::uint32_t b = 0; b <= bound; ++b) {
        seen += hist[b];
        if (seen >= m_) {
            bound = b;
            break;
        }
    }
    bound_[q] = bound;
    for (std::size_t i = 0; i < rows; ++i)
        if (d[i] <= bound) {
            ids_[q].push_back(static_cast<std::uint32_t>(r0 + i));
            dist_[q].push_back(d[i]);
        }
}

}  // namespace kwivel
