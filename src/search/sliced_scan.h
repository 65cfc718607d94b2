// The bit-sliced scan of kernels/sliced.h as the shortlist drivers use it:
// the queries' plane lists and tests, and one block of rows on its side.
//
// A query names the shorter of its set and clear bits (padded to a multiple
// of 16 with the all-zero plane dim); a row's count is then, with X the sum
// of the named planes and R = kSliceK - |r|,
//   AND: X (set bits) or K - (X + R) (clear bits);
//   XOR: (K + |Q1|) - (2X + R) (set bits) or (2X + R) - (K - |Q1|) (clear bits);
// so "count >= lo" (best first) or "count <= hi" (nearest first) is one
// comparison of S with a constant.  select() returns the rows of a block
// that pass it, exactly the rows whose distance (max_score - count for best
// first, else the count) is within the bound, with their counts read back
// from S.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/memory.h"
#include "kernels/dispatch.h"
#include "kernels/popcount.h"
#include "kernels/sliced.h"

namespace kwivel {

// Whether `queries` queries sharing each block of rows of wpv words pay for
// turning the block on its side (the table has the kernels, the rows are
// narrow enough, and enough queries share the cost).
bool sliced_scan_pays(const KernelTable& table, std::size_t wpv, std::size_t queries);

class SlicedQueries {
public:
    SlicedQueries(PopOp op, std::uint32_t max_score, bool best_first);
    // The plane lists of nq queries (query q at queries + q * wpv).
    void prepare(const std::uint64_t* queries, std::size_t nq, std::size_t wpv);
    // Whether some query's test reads R (the rows' own counts).
    bool needs_r() const { return needs_r_; }

private:
    friend class SlicedBlock;
    struct Plan {
        std::size_t first = 0, len = 0;
        std::uint32_t ones = 0;  // |Q1|
        bool clear = false;      // names the clear bits
    };
    // A query's test for a bound, and how its count follows from S: count =
    // base - S (down) or S - base.
    struct Form {
        SlicedTest test;
        std::uint32_t base = 0;
        bool down = false;
    };
    Form form(std::size_t q, std::uint32_t bound, const std::uint64_t* r) const;

    bool is_and_;
    std::uint32_t max_;
    bool best_first_;
    bool needs_r_ = false;
    std::vector<Plan> plans_;
    std::vector<std::uint16_t> lists_;
};

class SlicedBlock {
public:
    explicit SlicedBlock(std::size_t wpv);
    // Turns rows [0, n) (n <= kSliceRows) on their side, and bit-slices R
    // when with_r.
    void load(const KernelTable& table, const std::uint64_t* rows, std::size_t n, bool with_r);
    // The positions (ascending, below n) of the block's rows within `bound`
    // for query q of qs, into pos, and their counts into counts (room for
    // kSliceRows each); returns how many.
    std::size_t select(const KernelTable& table, const SlicedQueries& qs, std::size_t q, std::uint32_t bound,
                       std::uint32_t* pos, std::uint32_t* counts);

private:
    std::size_t wpv_, n_ = 0;
    AlignedBuffer<std::uint64_t> planes_;
    AlignedBuffer<std::uint64_t> r_;
    std::uint64_t s_[kSliceSPlanes * kSliceWords];  // S of the last select
    std::vector<std::uint64_t> all_ones_;
};

}  // namespace kwivel
