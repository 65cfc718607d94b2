// The popcount scans: one family for the Bitmap overlap, popcount(query AND
// row), and the SignBitmap Hamming distance, popcount(query XOR row).
//
// Contract.  Rows are n consecutive rows of wpv 64-bit words each (row i at
// rows + i * wpv); a query is wpv words in the same packing.  A scan writes,
// for every row i, the number of set bits of op(query, row i) over its wpv
// words as an unsigned 32-bit count (wpv * 64 is at most 2^24 for every
// index, so a count never wraps).  The single-query form writes counts[i];
// the group form takes up to kPopGroup queries (query q at queries + q * wpv)
// and writes counts[q * stride + i].
//
// Exactness.  A count is an integer sum of per-word bit counts; integer
// addition is associative, so every tier gives identical arrays whatever its
// word order, lane layout or blocking.  The portable tier defines the values.
//
// Shape of the tiers.  The group form walks the rows in blocks small enough
// to stay in L1 and lets every query of the group pass over a block before
// the next one is read, so the rows stream from memory once per group.  Each
// tier supplies one step, Steps::block<op>(rows, n, wpv, queries, nq,
// counts, stride), which scores the n rows of one block for nq <= kPopGroup
// queries; the drivers below do the blocking.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "kernels/dispatch.h"

namespace kwivel {

enum class PopOp : std::uint8_t { and_op = 0, xor_op = 1 };
inline constexpr std::size_t kPopOpCount = 2;

// Queries sharing one pass over the rows in the group form.
inline constexpr std::size_t kPopGroup = 8;

// Counts for any number of queries: groups of kPopGroup through the group
// form of the table.  counts[q * stride + i] for q < nq, i < n.
inline void popcount_collect_many(const KernelTable& table, PopOp op, const std::uint64_t* rows, std::size_t n,
                                  std::size_t wpv, const std::uint64_t* queries, std::size_t nq,
                                  std::uint32_t* counts, std::size_t stride) {
    const auto collect8 = table.popcount_collect8[static_cast<std::size_t>(op)];
    for (std::size_t q0 = 0; q0 < nq; q0 += kPopGroup)
        collect8(rows, n, wpv, queries + q0 * wpv, std::min(kPopGroup, nq - q0), counts + q0 * stride, stride);
}

namespace kern {

template <PopOp op>
inline std::uint64_t pop_combine(std::uint64_t q, std::uint64_t r) {
    if constexpr (op == PopOp::and_op)
        return q & r;
    else
        return q ^ r;
}

// Rows per block of the group form: about 16 KiB of rows, a multiple of 8,
// at least 8.
inline std::size_t pop_block_rows(std::size_t wpv) {
    const std::size_t rows = 16384 / (8 * std::max<std::size_t>(wpv, 1));
    return std::max<std::size_t>(8, rows / 8 * 8);
}

template <PopOp op, class Steps>
void pop_collect_driver(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* query,
                        std::uint32_t* counts) {
    Steps::template block<op>(rows, n, wpv, query, 1, counts, 0);
}

template <PopOp op, class Steps>
void pop_collect8_driver(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                         std::size_t nq, std::uint32_t* counts, std::size_t stride) {
    KW_ASSERT(nq <= kPopGroup, "kwivel: popcount group of more than 8 queries");
    if (nq == 0) return;
    const std::size_t block = pop_block_rows(wpv);
    for (std::size_t i0 = 0; i0 < n; i0 += block) {
        const std::size_t i1 = std::min(n, i0 + block);
        Steps::template block<op>(rows + i0 * wpv, i1 - i0, wpv, queries, nq, counts + i0, stride);
    }
}

// Fills both operations of a table with the drivers over Steps.
template <class Steps>
void install_popcount_steps(KernelTable& t) {
    t.popcount_collect[0] = pop_collect_driver<PopOp::and_op, Steps>;
    t.popcount_collect[1] = pop_collect_driver<PopOp::xor_op, Steps>;
    t.popcount_collect8[0] = pop_collect8_driver<PopOp::and_op, Steps>;
    t.popcount_collect8[1] = pop_collect8_driver<PopOp::xor_op, Steps>;
}

}  // namespace kern
}  // namespace kwivel
