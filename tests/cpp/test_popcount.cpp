// Popcount scans and counting shortlists: every tier this processor runs
// must give the counts of a plain std::popcount reference exactly, and the
// shortlist must be the head of a full stable sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory.h"
#include "kernels/popcount.h"
#include "kernels/sliced.h"
#include "search/shortlist.h"
#include "tiers.h"

namespace kwivel {
namespace {

std::vector<std::uint64_t> random_words(std::size_t count, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> w(count);
    // Mix dense, sparse and extreme words so carries in the counting matter.
    for (auto& x : w) {
        switch (rng() % 4) {
            case 0: x = rng(); break;
            case 1: x = rng() & rng() & rng(); break;
            case 2: x = ~std::uint64_t{0}; break;
            default: x = rng() | rng(); break;
        }
    }
    return w;
}

std::uint32_t reference(PopOp op, const std::uint64_t* q, const std::uint64_t* r, std::size_t wpv) {
    std::uint32_t c = 0;
    for (std::size_t w = 0; w < wpv; ++w)
        c += static_cast<std::uint32_t>(std::popcount(op == PopOp::and_op ? q[w] & r[w] : q[w] ^ r[w]));
    return c;
}

class PopcountEachTier : public testing::TestWithParam<Tier> {
protected:
    void SetUp() override {
        if (GetParam() > active_tier()) GTEST_SKIP() << "this machine does not run the " << tier_name(GetParam()) << " tier";
    }
};

TEST_P(PopcountEachTier, CountsMatchReference) {
    const KernelTable& table = kernel_table(GetParam());
    for (std::size_t wpv : {1, 3, 10, 12, 33, 70}) {
        for (std::size_t n : {0, 1, 7, 8, 9, 515}) {
            const auto rows = random_words(n * wpv, static_cast<std::uint32_t>(wpv * 1000 + n));
            const std::size_t nq = 17, stride = n + 3;
            const auto queries = random_words(nq * wpv, static_cast<std::uint32_t>(n + 7));
            for (PopOp op : {PopOp::and_op, PopOp::xor_op}) {
                const std::size_t o = static_cast<std::size_t>(op);
                const std::string what = "wpv " + std::to_string(wpv) + " n " + std::to_string(n) + " op " +
                                         std::to_string(o);
                std::vector<std::uint32_t> one(n + 1, 0xdeadbeef);
                table.popcount_collect[o](rows.data(), n, wpv, queries.data(), one.data());
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(one[i], reference(op, queries.data(), rows.data() + i * wpv, wpv)) << what;
                ASSERT_EQ(one[n], 0xdeadbeefu) << what;
                // Groups of 1 to 17 queries: across and past multiples of 8.
                for (std::size_t g = 1; g <= nq; g += (g < 9 ? 1 : 8)) {
                    std::vector<std::uint32_t> many(nq * stride, 0xdeadbeef);
                    popcount_collect_many(table, op, rows.data(), n, wpv, queries.data(), g, many.data(), stride);
                    for (std::size_t q = 0; q < nq; ++q)
                        for (std::size_t i = 0; i < stride; ++i) {
                            const std::uint32_t want = q < g && i < n
                                ? reference(op, queries.data() + q * wpv, rows.data() + i * wpv, wpv)
                                : 0xdeadbeefu;
                            ASSERT_EQ(many[q * stride + i], want) << what << " group " << g << " q " << q << " i " << i;
                        }
                }
            }
        }
    }
}

// The shortlist filter: every position in [lo, hi], ascending, for ranges
// that take nothing, some rows or all of them, over lengths across the
// vector widths.
TEST_P(PopcountEachTier, SelectMatchesReference) {
    const KernelTable& table = kernel_table(GetParam());
    std::mt19937 rng(5);
    for (std::size_t n : {0, 1, 31, 32, 33, 100, 1000}) {
        std::vector<std::uint32_t> counts(n);
        for (auto& c : counts) c = rng() % 200;
        for (auto [lo, hi] : {std::pair{0u, 0u}, {0u, 10u}, {190u, 199u}, {50u, 60u}, {0u, 1u << 24}, {7u, 3u}}) {
            std::vector<std::uint32_t> want;
            for (std::size_t i = 0; i < n; ++i)
                if (counts[i] >= lo && counts[i] <= hi) want.push_back(static_cast<std::uint32_t>(i));
            std::vector<std::uint32_t> got(n + 1, 0xdeadbeef);
            got.resize(table.pop_select(counts.data(), n, lo, hi, got.data()));
            ASSERT_EQ(got, want) << "n " << n << " range " << lo << ".." << hi;
        }
    }
}

// Bit-sliced blocks: the planes hold the rows' bits, and the mask of a test
// is the plain integer comparison of S = (X << shift) + R with c, X the sum
// of the listed planes, for lists of set or clear query bits.
TEST_P(PopcountEachTier, SlicedMatchesReference) {
    const KernelTable& table = kernel_table(GetParam());
    std::mt19937 rng(9);
    for (std::size_t wpv : {1, 3, 12, 16}) {
        const std::size_t dim = wpv * 64;
        for (std::size_t n : {1, 100, 256}) {
            const auto rows = random_words(n * wpv, static_cast<std::uint32_t>(wpv * 7 + n));
            AlignedBuffer<std::uint64_t> planes((dim + 1) * kSliceWords);
            std::fill(planes.data(), planes.data() + (dim + 1) * kSliceWords, 0x5a5a5a5a5a5a5a5aULL);
            std::fill(planes.data() + dim * kSliceWords, planes.data() + (dim + 1) * kSliceWords, 0);
            table.slice_block(rows.data(), n, wpv, planes.data());
            auto bit = [&](std::size_t j, std::size_t i) { return (planes.data()[j * kSliceWords + i / 64] >> (i % 64)) & 1; };
            auto row_bit = [&](std::size_t i, std::size_t j) {
                return i < n ? (rows[i * wpv + j / 64] >> (j % 64)) & 1 : std::uint64_t{0};
            };
            for (std::size_t i = 0; i < kSliceRows; ++i)
                for (std::size_t j = 0; j < dim; ++j) ASSERT_EQ(bit(j, i), row_bit(i, j)) << "wpv " << wpv << " n " << n;
            // R from the rows' own counts, as the shortlist driver makes it.
            AlignedBuffer<std::uint64_t> r(kSliceRPlanes * kSliceWords);
            std::vector<std::uint32_t> rv(kSliceRows);
            std::fill(r.data(), r.data() + kSliceRPlanes * kSliceWords, 0);
            for (std::size_t i = 0; i < kSliceRows; ++i) {
                std::uint32_t ones = 0;
                for (std::size_t j = 0; j < dim; ++j) ones += static_cast<std::uint32_t>(row_bit(i, j));
                rv[i] = kSliceK - ones;
                for (unsigned b = 0; b < kSliceRPlanes; ++b) r.data()[b * kSliceWords + i / 64] |= std::uint64_t{(rv[i] >> b) & 1} << (i % 64);
            }
            for (int trial = 0; trial < 12; ++trial) {
                std::vector<std::uint16_t> list;
                for (std::size_t j = 0; j < dim; ++j)
                    if (rng() % 3 == 0) list.push_back(static_cast<std::uint16_t>(j));
                while (list.size() % 16) list.push_back(static_cast<std::uint16_t>(dim));
                SlicedTest t;
                t.r = trial % 2 ? r.data() : nullptr;
                t.shift = static_cast<unsigned>(trial / 2 % 2);
                t.at_least = trial / 4 % 2 == 0;
                std::vector<std::uint32_t> sv(kSliceRows);
                for (std::size_t i = 0; i < kSliceRows; ++i) {
                    std::uint32_t x = 0;
                    for (std::uint16_t j : list) x += j < dim ? static_cast<std::uint32_t>(row_bit(i, j)) : 0u;
                    sv[i] = (x << t.shift) + (t.r ? rv[i] : 0u);
                }
                t.c = sv[rng() % kSliceRows] + static_cast<std::uint32_t>(trial % 3) - 1u;
                std::uint64_t mask[kSliceWords], s[kSliceSPlanes * kSliceWords];
                table.sliced_select(planes.data(), list.data(), list.size(), t, mask, s);
                for (std::size_t i = 0; i < kSliceRows; ++i) {
                    ASSERT_EQ((mask[i / 64] >> (i % 64)) & 1, t.at_least ? sv[i] >= t.c : sv[i] <= t.c)
                        << "wpv " << wpv << " n " << n << " trial " << trial << " row " << i;
                    std::uint32_t got = 0;
                    for (unsigned b = 0; b < kSliceSPlanes; ++b)
                        got |= static_cast<std::uint32_t>((s[b * kSliceWords + i / 64] >> (i % 64)) & 1) << b;
                    ASSERT_EQ(got, sv[i]) << "wpv " << wpv << " n " << n << " trial " << trial << " row " << i;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tiers, PopcountEachTier, testing::ValuesIn(tiers::all_tiers()),
                         [](const testing::TestParamInfo<Tier>& info) { return tiers::tier_label(info.param); });

// ---------------------------------------------------------------------------
// select_shortlist against a stable sort of all ids.

std::vector<std::uint32_t> sorted_head(const std::vector<std::uint32_t>& s, std::size_t m, ScoreOrder order) {
    std::vector<std::uint32_t> ids(s.size());
    std::iota(ids.begin(), ids.end(), 0u);
    std::stable_sort(ids.begin(), ids.end(), [&](std::uint32_t a, std::uint32_t b) {
        return order == ScoreOrder::descending ? s[a] > s[b] : s[a] < s[b];
    });
    ids.resize(std::min(m, s.size()));
    return ids;
}

TEST(Shortlist, HeadOfStableSort) {
    std::mt19937 rng(5);
    for (std::uint32_t max_score : {0u, 1u, 48u, 4095u, 70000u, 16777216u}) {
        for (std::size_t n : {0, 1, 5, 300, 5000}) {
            // Narrow spreads make ties at the cut common.
            for (std::uint32_t spread : {max_score, std::min<std::uint32_t>(max_score, 3)}) {
                std::vector<std::uint32_t> s(n);
                const std::uint32_t lo = max_score - spread;
                for (auto& x : s) x = lo + static_cast<std::uint32_t>(rng() % (std::uint64_t{spread} + 1));
                for (std::size_t m : {std::size_t{0}, std::size_t{1}, n / 3, n, n + 10}) {
                    for (ScoreOrder order : {ScoreOrder::descending, ScoreOrder::ascending}) {
                        std::vector<std::uint32_t> out(m + 1, 0xffffffffu);
                        const std::size_t got = select_shortlist(s.data(), n, max_score, m, order, out.data());
                        const auto want = sorted_head(s, m, order);
                        ASSERT_EQ(got, want.size());
                        ASSERT_EQ(std::vector<std::uint32_t>(out.begin(), out.begin() + got), want)
                            << "max " << max_score << " n " << n << " m " << m << " spread " << spread;
                        ASSERT_EQ(out[got], 0xffffffffu);
                    }
                }
            }
        }
    }
}

TEST(Shortlist, ScoreAboveMaximumIsPanic) {
    for (std::size_t n : {3, 40}) {
        std::vector<std::uint32_t> s(n, 2), out(n);
        s[n - 1] = 9;
        EXPECT_THROW(select_shortlist(s.data(), n, 8, 2, ScoreOrder::ascending, out.data()), Panic);
    }
}

}  // namespace
}  // namespace kwivel
