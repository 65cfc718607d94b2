// Two-stage search over rows stored cell by cell: a popcount shortlist over
// the cells each query probes, an asymmetric RankQuant rerank of that
// shortlist, and optionally exact cosine rescoring against float vectors.
//
// Contract.  The n rows are stored in cell order: cell c holds rows
// [starts[c], starts[c + 1]).  Query q probes cells[q * nprobe + j] (each
// cell once, however often it is named).  Row r carries the caller's id
// ids[r] (row positions when ids is null; ids are unique) and takes part
// only where allowed is null or allowed[r] != 0.  Per query:
//   1. shortlist: the m rows of its probed cells with the best probe score
//      (overlap, higher first, or Hamming distance, lower first), equal
//      scores by lower caller id;
//   2. rerank: the max(k, rescore) best of the shortlist by asymmetric
//      RankQuant score (the scores quant_search_asymmetric_subset gives),
//      ties by lower caller id;
//   3. rescore > 0: the exact cosine of each reranked row with the query,
//      summed in double and rounded to float, best first, ties by lower
//      caller id; rescore = 0: the rerank's order and scores.
// The best k are written to row q of the result (k entries, padded with
// -inf and -1), ids being caller ids.
//
// Exactness.  The shortlist is exact whatever the order in which cells and
// rows are seen: each query keeps a running bound, the m-th smallest
// distance among the rows it has counted (distance = max_score - overlap for
// overlaps, so one ascending order serves both kinds), from a histogram of
// the counted rows.  The bound only falls, and every row of the final
// shortlist is within it when it is seen (ties at the cut included), so the
// final (distance, id) selection among the kept rows is the selection over
// all reachable rows.  Counts are integers (bit-identical on every tier);
// the rerank scores one row at a time, so its values do not depend on which
// other rows share the shortlist, and each query's work never depends on
// which other queries share a thread or a scan group: results are
// bit-identical for any thread count, and across tiers up to the rerank's
// documented single-precision rounding.
//
// Work split.  Queries are split over the worker pool.  Within a piece,
// blocks of queries are inverted (cell -> the block's queries probing it)
// and each probed cell is read once per group of up to kPopGroup of its
// queries with the group popcount scan.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/popcount.h"
#include "search/topk.h"

namespace kwivel {

struct CellSearchInput {
    // Probe rows (n rows of wpv words), the scan op and the largest count.
    const std::uint64_t* probe_words = nullptr;
    std::size_t wpv = 0;
    PopOp op = PopOp::and_op;
    std::uint32_t max_score = 0;
    bool best_first = true;  // overlaps (true) or distances (false)
    // Rerank codes (n rows of dim * bits / 8 bytes).
    const std::uint8_t* codes = nullptr;
    std::size_t dim = 0;
    unsigned bits = 0;
    std::size_t n = 0;
    // Cells: n_cells + 1 offsets, and nq * nprobe probed cells.
    const std::int64_t* starts = nullptr;
    std::size_t n_cells = 0;
    const std::int64_t* cells = nullptr;
    std::size_t nprobe = 0;
    const std::int64_t* ids = nullptr;     // n caller ids, or null
    const std::uint8_t* allowed = nullptr; // n flags, or null
    // nq finite queries (dim floats each) and their probe bitmaps (wpv words each).
    const float* queries = nullptr;
    const std::uint64_t* query_words = nullptr;
    std::size_t nq = 0;
    std::size_t m = 0;
    std::size_t k = 0;
    std::size_t rescore = 0;
    // Float rows for rescoring (row r at vectors + r * vector_stride floats), or null.
    const float* vectors = nullptr;
    std::size_t vector_stride = 0;
};

// Runs the three stages for every query with the kernels of `tier`; the
// result has nq rows of k entries.  Inputs are validated by the caller
// (offsets in range and non-decreasing, cells below n_cells).
SearchResult cell_search(const CellSearchInput& in, Tier tier);

}  // namespace kwivel
