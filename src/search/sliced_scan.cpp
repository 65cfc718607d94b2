#include "search/sliced_scan.h"

#include <algorithm>

namespace kwivel {

namespace {

// Queries sharing a block from which turning it on its side pays: that
// costs about as much as scanning the block for a dozen queries.
constexpr std::size_t kSlicedQueries = 24;

}  // namespace

bool sliced_scan_pays(const KernelTable& table, std::size_t wpv, std::size_t queries) {
    return table.sliced_select != nullptr && wpv * 64 <= kSliceMaxDim && queries >= kSlicedQueries;
}

SlicedQueries::SlicedQueries(PopOp op, std::uint32_t max_score, bool best_first)
    : is_and_(op == PopOp::and_op), max_(max_score), best_first_(best_first) {}

void SlicedQueries::prepare(const std::uint64_t* queries, std::size_t nq, std::size_t wpv) {
    const std::size_t dim = wpv * 64;
    plans_.assign(nq, Plan{});
    lists_.clear();
    needs_r_ = !is_and_;
    for (std::size_t q = 0; q < nq; ++q) {
        const std::uint64_t* qw = queries + q * wpv;
        Plan& p = plans_[q];
        for (std::size_t w = 0; w < wpv; ++w) p.ones += static_cast<std::uint32_t>(__builtin_popcountll(qw[w]));
        p.clear = p.ones > dim / 2;
        needs_r_ |= p.clear;
        p.first = lists_.size();
        for (std::size_t j = 0; j < dim; ++j)
            if ((((qw[j / 64] >> (j % 64)) & 1u) != 0) != p.clear) lists_.push_back(static_cast<std::uint16_t>(j));
        while ((lists_.size() - p.first) % 16 != 0) lists_.push_back(static_cast<std::uint16_t>(dim));
        p.len = lists_.size() - p.first;
    }
}

SlicedQueries::Form SlicedQueries::form(std::size_t q, std::uint32_t bound, const std::uint64_t* r) const {
    const Plan& p = plans_[q];
    // Kept: count >= lo (best first) or count <= hi.
    const std::uint32_t lo = max_ - std::min(bound, max_), hi = bound;
    Form f;
    f.down = is_and_ == p.clear;  // AND on clear bits, XOR on set bits
    if (is_and_ && !p.clear) {
        f.base = 0;  // count = X = S
    } else {
        f.test.r = r;
        f.test.shift = is_and_ ? 0 : 1;
        f.base = is_and_ ? kSliceK : (p.clear ? kSliceK - p.ones : kSliceK + p.ones);
    }
    f.test.at_least = best_first_ != f.down;
    f.test.c = best_first_ ? (f.down ? f.base - lo : f.base + lo) : (f.down ? f.base - hi : f.base + hi);
    return f;
}

// Rows wider than kSliceMaxDim never take the scan: no planes for them.
SlicedBlock::SlicedBlock(std::size_t wpv)
    : wpv_(wpv),
      planes_(wpv * 64 <= kSliceMaxDim ? (wpv * 64 + 1) * kSliceWords : 0),
      r_(kSliceRPlanes * kSliceWords),
      all_ones_(wpv * 64 <= kSliceMaxDim ? wpv : 0, ~std::uint64_t{0}) {
    // Plane dim: the all-zero plane the lists are padded with.
    if (wpv * 64 <= kSliceMaxDim)
        std::fill(planes_.data() + wpv * 64 * kSliceWords, planes_.data() + (wpv * 64 + 1) * kSliceWords, 0);
}

void SlicedBlock::load(const KernelTable& table, const std::uint64_t* rows, std::size_t n, bool with_r) {
    n_ = n;
    table.slice_block(rows, n, wpv_, planes_.data());
    if (!with_r) return;
    std::uint32_t counts[kSliceRows];
    table.popcount_collect[static_cast<std::size_t>(PopOp::and_op)](rows, n, wpv_, all_ones_.data(), counts);
    std::fill(r_.data(), r_.data() + kSliceRPlanes * kSliceWords, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = kSliceK - counts[i];
        for (unsigned b = 0; b < kSliceRPlanes; ++b)
            r_.data()[b * kSliceWords + i / 64] |= std::uint64_t{(r >> b) & 1u} << (i % 64);
    }
}

std::size_t SlicedBlock::select(const KernelTable& table, const SlicedQueries& qs, std::size_t q, std::uint32_t bound,
                                std::uint32_t* pos, std::uint32_t* counts) {
    const SlicedQueries::Plan& p = qs.plans_[q];
    const SlicedQueries::Form f = qs.form(q, bound, r_.data());
    std::uint64_t mask[kSliceWords];
    table.sliced_select(planes_.data(), qs.lists_.data() + p.first, p.len, f.test, mask, s_);
    std::size_t got = 0;
    for (std::size_t w = 0; w < kSliceWords && w * 64 < n_; ++w) {
        std::uint64_t bits = mask[w];
        if (n_ - w * 64 < 64) bits &= (std::uint64_t{1} << (n_ - w * 64)) - 1;
        for (; bits != 0; bits &= bits - 1) {
            const unsigned lane = static_cast<unsigned>(__builtin_ctzll(bits));
            std::uint32_t sv = 0;
            for (unsigned b = 0; b < kSliceSPlanes; ++b)
                sv |= static_cast<std::uint32_t>((s_[b * kSliceWords + w] >> lane) & 1u) << b;
            pos[got] = static_cast<std::uint32_t>(w * 64 + lane);
            counts[got++] = f.down ? f.base - sv : sv - f.base;
        }
    }
    return got;
}

}  // namespace kwivel
