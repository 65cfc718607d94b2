#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "base/error.h"
#include "index/rank.h"
#include "kernels/dispatch.h"

namespace kwivel {
namespace {

// Independent oracle: count-based definition of the rank.
std::vector<std::uint16_t> counted_ranks(const std::vector<float>& v) {
    std::vector<std::uint16_t> r(v.size());
    for (std::size_t k = 0; k < v.size(); ++k) {
        std::size_t c = 0;
        for (std::size_t j = 0; j < v.size(); ++j) c += v[j] < v[k] || (v[j] == v[k] && j < k);
        r[k] = static_cast<std::uint16_t>(c);
    }
    return r;
}

TEST(RankTransform, KnownVectors) {
    EXPECT_EQ(rank_transform(std::vector<float>{0.5f, -1.0f, 0.5f}.data(), 3), (std::vector<std::uint16_t>{1, 0, 2}));
    EXPECT_EQ(rank_transform(std::vector<float>{0.0f, -0.0f}.data(), 2), (std::vector<std::uint16_t>{0, 1}));
    EXPECT_EQ(rank_transform(std::vector<float>{-0.0f, 0.0f}.data(), 2), (std::vector<std::uint16_t>{0, 1}));
    EXPECT_EQ(rank_transform(std::vector<float>{1.0f, 0.5f, 1.0f, 0.5f}.data(), 4),
              (std::vector<std::uint16_t>{2, 0, 3, 1}));
    EXPECT_TRUE(rank_transform(nullptr, 0).empty());
}

class RankTransformRandom : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RankTransformRandom, MatchesCountingDefinition) {
    const std::size_t d = GetParam();
    std::mt19937 rng(static_cast<unsigned>(d));
    std::normal_distribution<float> normal;
    for (int trial = 0; trial < 5; ++trial) {
        std::vector<float> v(d);
        for (float& x : v) {
            switch (rng() % 4) {
                case 0: x = std::round(normal(rng) * 2.0f) * 0.5f; break;  // ties
                case 1: x = (rng() % 2) ? 0.0f : -0.0f; break;              // signed zeros
                case 2: x = normal(rng) * 1e30f; break;                      // wide exponents
                default: x = normal(rng); break;
            }
        }
        const std::vector<std::uint16_t> want = counted_ranks(v);
        EXPECT_EQ(rank_transform(v.data(), d), want);
        for (Tier t : runnable_tiers()) {
            std::vector<std::uint16_t> got(d);
            kernel_table(t).rank_row(v.data(), d, got.data());
            EXPECT_EQ(got, want) << tier_name(t);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, RankTransformRandom, ::testing::Values(1, 2, 3, 17, 256, 768, 1025, 3000));

TEST(RankTransform, LargestDimensionIsAPermutation) {
    std::vector<float> v(MAX_DIM);
    std::mt19937 rng(1);
    for (float& x : v) x = static_cast<float>(rng() % 1000);
    auto r = rank_transform(v.data(), v.size());
    std::vector<std::uint16_t> sorted(r);
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(sorted[i], i);
}

TEST(RankTransform, InternalChecks) {
    std::vector<float> big(MAX_DIM + 1, 0.0f);
    EXPECT_THROW(rank_transform(big.data(), big.size()), Panic);
    const float bad[] = {1.0f, NAN};
    EXPECT_THROW(rank_transform(bad, 2), Panic);
    const float inf[] = {INFINITY, 1.0f};
    EXPECT_THROW(rank_transform(inf, 2), Panic);
}

TEST(RankNorm, KnownValues) {
    EXPECT_EQ(rank_norm(768), 6143.99462890625f);
    EXPECT_EQ(rank_norm(2), 0.7071067690849304f);
    EXPECT_EQ(rank_norm(1), 0.0f);
    EXPECT_EQ(rank_norm(0), 0.0f);
}

TEST(RankIndex, AddStoresRankRowsAndSwapRemoveMovesLast) {
    RankIndex idx(4);
    const std::vector<float> rows = {1.0f, 0.5f, 1.0f, 0.5f,   //
                                     0.0f, 1.0f, 2.0f, 3.0f,   //
                                     9.0f, 8.0f, 7.0f, 6.0f};
    idx.add(rows.data(), rows.size());
    ASSERT_EQ(idx.size(), 3u);
    EXPECT_EQ(std::vector<std::uint16_t>(idx.row(0), idx.row(0) + 4), (std::vector<std::uint16_t>{2, 0, 3, 1}));
    EXPECT_EQ(idx.swap_remove(0), 2u);
    EXPECT_EQ(idx.size(), 2u);
    EXPECT_EQ(std::vector<std::uint16_t>(idx.row(0), idx.row(0) + 4), (std::vector<std::uint16_t>{3, 2, 1, 0}));
    EXPECT_EQ(idx.swap_remove(1), 1u);
    EXPECT_EQ(idx.ranks().size(), 4u);
}

TEST(RankIndex, ParallelAddMatchesRowByRowTransform) {
    const std::size_t d = 300, n = 517;
    std::vector<float> rows(n * d);
    std::mt19937 rng(7);
    for (float& x : rows) x = static_cast<float>(rng() % 50);
    RankIndex idx(d);
    idx.add(rows.data(), 0);
    idx.add(rows.data(), 100 * d);
    idx.add(rows.data() + 100 * d, (n - 100) * d);
    ASSERT_EQ(idx.size(), n);
    for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(std::vector<std::uint16_t>(idx.row(i), idx.row(i) + d), rank_transform(rows.data() + i * d, d)) << i;
}

TEST(RankIndex, InternalChecksRejectBadInputWithoutGrowing) {
    RankIndex idx(4);
    const std::vector<float> bad = {1.0f, 2.0f, NAN, 0.0f};
    EXPECT_THROW(idx.add(bad.data(), 4), Panic);
    EXPECT_THROW(idx.add(bad.data(), 3), Panic);
    EXPECT_EQ(idx.size(), 0u);
    EXPECT_TRUE(idx.ranks().empty());
    EXPECT_THROW(RankIndex(1), Panic);
    EXPECT_THROW(idx.swap_remove(0), Panic);
}

}  // namespace
}  // namespace kwivel
