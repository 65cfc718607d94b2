// Shortlists straight from a popcount scan, without a score buffer of n
// entries per query, and the tiling every batched popcount scan shares.
//
// The rows are walked once per run in blocks sized for L2, and every query
// of the run (in groups of kPopGroup through the group scan) passes over a
// block before the next one is read, so the rows stream from memory once
// per run, not once per group.  Each block's counts land in a small tile
// (still in cache) and are filtered there: a row is kept when its distance
// is at most the query's running bound, the m-th smallest distance among
// the rows seen so far.  The distance is the count itself (nearest first:
// Hamming distances) or max_score minus it (best first: overlaps), so one
// ascending selection serves both orders with ties by ascending id.  The
// bound only falls, and every row of the final shortlist (ties at its cut
// included) is within it when it is seen, so choosing among the kept rows
// (in id order, ties by position = by id) gives exactly the selection over
// all n rows.  The bound comes from a histogram of the kept rows: a row
// above the bound can never move the m-th smallest, so the counts up to the
// bound are exact.  Each query's state is its own, so splitting the queries
// over the pool (each thread its queries and its own pass over the rows)
// changes no result.  A run of many queries reads the rows in bit-sliced
// blocks instead (search/sliced_scan.h), which pick the rows within each
// query's bound directly; the bound and the selection are the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/dispatch.h"
#include "kernels/popcount.h"

namespace kwivel {

// Rows per scan tile of a batched popcount scan: about 512 KiB of stored
// words, and at most 8192 rows so that a group's counts for the tile (8 x 4
// bytes per row) stay in L2.
inline std::size_t popcount_tile_rows(std::size_t wpv) {
    const std::size_t rows = 65536 / (wpv == 0 ? 1 : wpv);
    return rows < 1 ? 1 : (rows > 8192 ? 8192 : rows);
}

class PopcountShortlists {
public:
    // Scores are popcounts of op(query, row) in [0, max_score]; best_first
    // ranks higher counts first.  m rows are selected per query.
    PopcountShortlists(PopOp op, std::uint32_t max_score, bool best_first, std::size_t m);

    // Whether filtering pays for n rows and m per list (a short list of a
    // large index, and ids and scores that fit the histogram).
    static bool worthwhile(std::size_t n, std::size_t m, std::uint32_t max_score);
    // Whether a batch of nq queries goes through run_parallel: filtering
    // pays, and there is a group of queries for every pool thread (fewer
    // queries scan faster split by rows into a score buffer).
    static bool batched_pays(std::size_t n, std::size_t m, std::uint32_t max_score, std::size_t nq);

    // Writes the m-row shortlists of nq queries (query q at queries + q *
    // wpv) to out + q * m, on the calling thread.
    void run(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
             const std::uint64_t* queries, std::size_t nq, std::uint32_t* out);
    // The same with the queries split over the pool, whole groups per piece.
    void run_parallel(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                      const std::uint64_t* queries, std::size_t nq, std::uint32_t* out) const;

private:
    struct Query {
        std::uint32_t bound = 0;
        std::size_t within = 0;  // kept rows at or below the bound
        std::vector<std::uint32_t> ids;
        std::vector<std::uint32_t> dist;
    };
    void run_some(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                  const std::uint64_t* queries, std::size_t nq, std::uint32_t* out);
    // The two scans of a run: groups of kPopGroup queries through the group
    // counts and the filter, or every query against bit-sliced blocks
    // (search/sliced_scan.h) where that pays.
    void scan_groups(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                     const std::uint64_t* queries, std::size_t nq);
    void scan_sliced(const KernelTable& table, const std::uint64_t* rows, std::size_t n, std::size_t wpv,
                     const std::uint64_t* queries, std::size_t nq);
    // Keeps the got rows picked_[0 .. got) of a tile (first row r0) with
    // the given counts, then lowers the query's bound.
    void admit(Query& st, std::uint32_t* hist, const std::uint32_t* counts, std::size_t got, std::size_t r0);
    void keep(const KernelTable& table, Query& st, std::uint32_t* hist, const std::uint32_t* counts,
              std::size_t rows, std::size_t r0);

    std::size_t op_;
    std::uint32_t max_;
    bool flip_;
    std::size_t m_;
    std::vector<std::uint32_t> tile_;
    std::vector<std::uint32_t> hist_;
    std::vector<std::uint32_t> picked_;
    std::vector<std::uint32_t> picked_counts_;
    std::vector<Query> state_;
};

}  // namespace kwivel
