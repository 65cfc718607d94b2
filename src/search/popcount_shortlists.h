// Shortlists straight from a popcount scan, without a score buffer of n
// entries per query.
//
// A group of up to kPopGroup queries passes over the rows once, a block at a
// time.  Each block's counts land in a small tile (still in cache) and are
// filtered there: a row is kept when its distance is at most the query's
// running bound, the m-th smallest distance among the rows seen so far.  The
// distance is the count itself (nearest first: Hamming distances) or
// max_score minus it (best first: overlaps), so one ascending selection
// serves both orders with ties by ascending id.  The bound only falls, and
// every row of the final shortlist (ties at its cut included) is within it
// when it is seen, so choosing among the kept rows (in id order, ties by
// position = by id) gives exactly the selection over all n rows.  The bound
// comes from a histogram of the rows counted so far: a row above the bound
// can never move the m-th smallest, so the counts up to the bound are exact.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/dispatch.h"
#include "kernels/popcount.h"

namespace kwivel {

class PopcountShortlists {
public:
    // Scores are popcounts of op(query, row) in [0, max_score]; best_first
    // ranks higher counts first.  m rows are selected per query.
    PopcountShortlists(PopOp op, std::uint32_t max_score, bool best_first, std::size_t m);

    // Whether filtering pays for n rows and m per list (a short list of a
    // large index, and ids and scores that fit the histogram).
    static bool worthwhile(std::size_t n, std::size_t m, std::uint32_t max_score);

    // Writes the m-row shortlists of nq <= kPopGroup queries (query q at
    // queries + q * wpv) to out + q * m.
    void run(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
             const std::uint64_t* queries, std::size_t nq, std::uint32_t* out);

private:
    void keep(std::size_t q, std::uint32_t* counts, std::size_t rows, std::size_t r0);

    std::size_t op_;
    std::uint32_t max_;
    bool flip_;
    std::size_t m_;
    std::vector<std::uint32_t> tile_;
    std::vector<std::uint32_t> hist_[kPopGroup];
    std::uint32_t bound_[kPopGroup] = {};
    std::vector<std::uint32_t> ids_[kPopGroup];
    std::vector<std::uint32_t> dist_[kPopGroup];
};

}  // namespace kwivel
