#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "base/error.h"
#include "ordinal/rank_transform.h"
#include "search/topk.h"

namespace kwivel {
namespace {

struct Offer {
    std::uint64_t id;
    float score;
};

struct Row {
    std::vector<float> scores;
    std::vector<std::int64_t> ids;
};

Row run_topk(std::size_t k, const std::vector<Offer>& offers, std::size_t row_len) {
    TopK t(k);
    for (const Offer& o : offers) t.maybe_insert(o.id, o.score);
    Row r{std::vector<float>(row_len), std::vector<std::int64_t>(row_len)};
    std::vector<TopK::Record> scratch;
    t.finalize_into_with_scratch(r.scores.data(), row_len, r.ids.data(), row_len, scratch);
    return r;
}

// Independent oracle: full sort by (score desc in total order, id asc).
Row oracle(std::size_t k, std::vector<Offer> offers, std::size_t row_len) {
    std::stable_sort(offers.begin(), offers.end(), [](const Offer& a, const Offer& b) {
        if (total_order_key(a.score) != total_order_key(b.score))
            return total_order_key(a.score) > total_order_key(b.score);
        return a.id < b.id;
    });
    Row r{std::vector<float>(row_len, -std::numeric_limits<float>::infinity()), std::vector<std::int64_t>(row_len, -1)};
    for (std::size_t i = 0; i < std::min({k, row_len, offers.size()}); ++i) {
        r.scores[i] = offers[i].score;
        r.ids[i] = static_cast<std::int64_t>(offers[i].id);
    }
    return r;
}

TEST(TopK, TiesGoToSmallerIdsInAnyOfferOrder) {
    std::vector<Offer> offers = {{0, 0.5f}, {1, 0.9f}, {2, 0.5f}, {3, 0.5f}};
    for (int rev = 0; rev < 2; ++rev) {
        Row r = run_topk(3, offers, 3);
        EXPECT_EQ(r.ids, (std::vector<std::int64_t>{1, 0, 2}));
        EXPECT_EQ(r.scores, (std::vector<float>{0.9f, 0.5f, 0.5f}));
        std::reverse(offers.begin(), offers.end());
    }
}

TEST(TopK, PositiveZeroBeatsNegativeZero) {
    Row r = run_topk(1, {{0, -0.0f}, {5, 0.0f}}, 1);
    EXPECT_EQ(r.ids[0], 5);
    EXPECT_FALSE(std::signbit(r.scores[0]));
    r = run_topk(1, {{5, 0.0f}, {0, -0.0f}}, 1);
    EXPECT_EQ(r.ids[0], 5);
}

TEST(TopK, ZeroCapacityKeepsNothingAndPadsRows) {
    Row r = run_topk(0, {{0, 1.0f}, {1, 2.0f}}, 2);
    EXPECT_EQ(r.ids, (std::vector<std::int64_t>{-1, -1}));
    EXPECT_TRUE(std::isinf(r.scores[0]) && r.scores[0] < 0);
}

TEST(TopK, RowsLongerThanOffersEndInPadding) {
    Row r = run_topk(5, {{7, 0.25f}, {3, 0.75f}}, 5);
    EXPECT_EQ(r.ids, (std::vector<std::int64_t>{3, 7, -1, -1, -1}));
    EXPECT_EQ(r.scores[1], 0.25f);
    EXPECT_TRUE(std::isinf(r.scores[4]) && r.scores[4] < 0);
}

class TopKRandom : public ::testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(TopKRandom, MatchesFullSortForAnyOfferOrder) {
    const auto [k, levels] = GetParam();
    std::mt19937 rng(static_cast<unsigned>(k * 131 + levels));
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t n = 1 + rng() % 300;
        std::vector<Offer> offers;
        // Few distinct score levels produce many ties.
        for (std::size_t i = 0; i < n; ++i) offers.push_back({i, static_cast<float>(static_cast<int>(rng() % levels) - levels / 2)});
        std::shuffle(offers.begin(), offers.end(), rng);
        EXPECT_EQ(run_topk(k, offers, k).ids, oracle(k, offers, k).ids);
        EXPECT_EQ(run_topk(k, offers, k).scores, oracle(k, offers, k).scores);
    }
}

INSTANTIATE_TEST_SUITE_P(CapacitiesAndTies, TopKRandom,
                         ::testing::Combine(::testing::Values(1, 2, 10, 64, 500), ::testing::Values(2, 7, 1000000)));

TEST(TopK, ScoreOffsetIsAddedBeforeComparison) {
    TopK t(2);
    t.set_score_offset(10.0f);
    t.maybe_insert(0, 1.0f);
    t.maybe_insert(1, 2.0f);
    std::vector<float> s(2);
    std::vector<std::int64_t> ids(2);
    std::vector<TopK::Record> scratch;
    t.finalize_into_with_scratch(s.data(), 2, ids.data(), 2, scratch);
    EXPECT_EQ(s, (std::vector<float>{12.0f, 11.0f}));
}

TEST(TopK, IdMapOrdersTiesByGlobalIdButReportsLocalIndex) {
    const std::int64_t map[] = {40, 10, 30};
    TopK t(2);
    t.set_id_map(map, 3);
    for (std::uint64_t i = 0; i < 3; ++i) t.maybe_insert(i, 1.0f);
    std::vector<float> s(2);
    std::vector<std::int64_t> ids(2);
    std::vector<TopK::Record> scratch;
    t.finalize_into_with_scratch(s.data(), 2, ids.data(), 2, scratch);
    EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2}));  // global 10 then 30
}

TEST(TopK, OversizedLocalIndexIsAnInternalFailure) {
    TopK t(1);
    EXPECT_THROW(t.maybe_insert(static_cast<std::uint64_t>(INT64_MAX) + 1, 0.0f), Panic);
}

TEST(L2Normalise, ScalesByFloatReciprocal) {
    const float v[] = {3.0f, 4.0f};
    auto u = l2_normalise(v, 2);
    const float inv = 1.0f / 5.0f;
    EXPECT_EQ(u[0], 3.0f * inv);
    EXPECT_EQ(u[1], 4.0f * inv);
}

TEST(L2Normalise, TinyZeroAndOverflowingNormsGiveZeros) {
    for (float x : {0.0f, 1e-13f, 1e20f}) {
        const float v[] = {x, x, x};
        for (float y : l2_normalise(v, 3)) EXPECT_EQ(y, 0.0f) << x;
    }
}

}  // namespace
}  // namespace kwivel
