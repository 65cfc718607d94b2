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
#include "kernels/popcount.h"
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
