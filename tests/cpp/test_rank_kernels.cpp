// Rank search kernels: every variant this processor can run must give the
// same bits as a plain reference written out below, for every shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/cpu.h"
#include "index/rank.h"
#include "search/rank_search.h"
#include "tiers.h"
#include "search/topk.h"

namespace kwivel {
namespace {

const char* kernel_name(Tier t) { return tier_name(t); }

std::uint32_t bits(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// ---------------------------------------------------------------------------
// Reference: the scores written out literally, every document scored, then
// sorted by score (descending, IEEE total order) and id (ascending).

struct Hit {
    float score;
    std::int64_t id;
};

void emit_top(std::vector<Hit>& hits, std::size_t k_eff, SearchResult& out, std::size_t q) {
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
        const std::int32_t ka = total_order_key(a.score), kb = total_order_key(b.score);
        if (ka != kb) return ka > kb;
        return a.id < b.id;
    });
    for (std::size_t i = 0; i < k_eff; ++i) {
        out.scores[q * k_eff + i] = hits[i].score;
        out.ids[q * k_eff + i] = hits[i].id;
    }
}

SearchResult reference_symmetric(const RankIndex& index, const std::vector<float>& queries,
                                 std::size_t k) {
    const std::size_t dim = index.dim(), n = index.size(), nq = queries.size() / dim;
    SearchResult out;
    out.nq = nq;
    out.k_eff = std::min(k, n);
    out.scores.assign(nq * out.k_eff, 0.0f);
    out.ids.assign(nq * out.k_eff, -1);
    const std::int64_t offset = static_cast<std::int64_t>(dim) - 1;
    const float rn = rank_norm(dim);
    const float inv = 1.0f / (rn * rn);
    for (std::size_t q = 0; q < nq && out.k_eff > 0; ++q) {
        const std::vector<std::uint16_t> rq = rank_transform(queries.data() + q * dim, dim);
        std::vector<Hit> hits;
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint16_t* rd = index.row(j);
            std::int64_t dot = 0;
            for (std::size_t i = 0; i < dim; ++i)
                dot += (2 * static_cast<std::int64_t>(rq[i]) - offset) *
                       (2 * static_cast<std::int64_t>(rd[i]) - offset);
            float score = static_cast<float>(dot);
            score = score * 0.25f;
            score = score * inv;
            hits.push_back({score, static_cast<std::int64_t>(j)});
        }
        emit_top(hits, out.k_eff, out, q);
    }
    return out;
}

SearchResult reference_asymmetric(const RankIndex& index, const std::vector<float>& queries,
                                  std::size_t k) {
    const std::size_t dim = index.dim(), n = index.size(), nq = queries.size() / dim;
    SearchResult out;
    out.nq = nq;
    out.k_eff = std::min(k, n);
    out.scores.assign(nq * out.k_eff, 0.0f);
    out.ids.assign(nq * out.k_eff, -1);
    const float centre = (static_cast<float>(dim) - 1.0f) * 0.5f;
    const float inv = 1.0f / rank_norm(dim);
    for (std::size_t q = 0; q < nq && out.k_eff > 0; ++q) {
        const std::vector<float> u = l2_normalise(queries.data() + q * dim, dim);
        float qsum = -0.0f;
        for (std::size_t i = 0; i < dim; ++i) qsum = qsum + u[i];
        std::vector<Hit> hits;
        for (std::size_t j = 0; j < n; ++j) {
            const std::uint16_t* rd = index.row(j);
            float acc = 0.0f;
            for (std::size_t i = 0; i < dim; ++i) {
                const float p = static_cast<float>(rd[i]) * u[i];
                acc = acc + p;
            }
            const float cq = centre * qsum;
            const float diff = acc - cq;
            hits.push_back({diff * inv, static_cast<std::int64_t>(j)});
        }
        emit_top(hits, out.k_eff, out, q);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Data.

std::vector<float> random_rows(std::size_t rows, std::size_t dim, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> nd;
    std::vector<float> v(rows * dim);
    for (float& x : v) x = nd(gen);
    return v;
}

// A corpus that exercises more than random data: besides random rows it
// holds each of the first queries and its negation (the extreme scores, +1
// and -1, where wide integer sums matter) and runs of duplicated rows (ties
// that must come out by ascending id).
std::vector<float> corpus_for(const std::vector<float>& queries, std::size_t n, std::size_t dim,
                              std::uint32_t seed) {
    std::vector<float> rows = random_rows(n, dim, seed);
    const std::size_t nq = queries.size() / dim;
    std::mt19937 gen(seed ^ 0x9e3779b9u);
    for (std::size_t q = 0; q < std::min<std::size_t>(nq, 3) && n >= 8; ++q) {
        const std::size_t at = gen() % n, neg = gen() % n;
        std::copy_n(queries.begin() + static_cast<std::ptrdiff_t>(q * dim), dim,
                    rows.begin() + static_cast<std::ptrdiff_t>(at * dim));
        for (std::size_t i = 0; i < dim; ++i) rows[neg * dim + i] = -queries[q * dim + i];
    }
    if (n >= 20) {
        for (int r = 0; r < 4; ++r) {
            const std::size_t src = gen() % n;
            for (int c = 0; c < 3; ++c) {
                const std::size_t dst = gen() % n;
                std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(src * dim), dim,
                            rows.begin() + static_cast<std::ptrdiff_t>(dst * dim));
            }
        }
    }
    return rows;
}

RankIndex make_index(const std::vector<float>& rows, std::size_t dim) {
    RankIndex index(dim);
    index.add(rows.data(), rows.size());
    return index;
}

void expect_same(const SearchResult& want, const SearchResult& got, const std::string& what) {
    ASSERT_EQ(want.nq, got.nq) << what;
    ASSERT_EQ(want.k_eff, got.k_eff) << what;
    ASSERT_EQ(want.scores.size(), got.scores.size()) << what;
    ASSERT_EQ(want.ids.size(), got.ids.size()) << what;
    for (std::size_t q = 0; q < want.nq; ++q) {
        for (std::size_t i = 0; i < want.k_eff; ++i) {
            const std::size_t at = q * want.k_eff + i;
            ASSERT_EQ(want.ids[at], got.ids[at]) << what << " query " << q << " rank " << i;
            ASSERT_EQ(bits(want.scores[at]), bits(got.scores[at]))
                << what << " query " << q << " rank " << i << ": " << want.scores[at] << " vs "
                << got.scores[at];
        }
    }
}

// ---------------------------------------------------------------------------
// Every variant against the reference, over a grid of shapes.

struct Shape {
    std::size_t dim, n, nq, k;
};

std::string shape_name(const testing::TestParamInfo<Shape>& info) {
    const Shape& s = info.param;
    std::ostringstream name;
    name << "d" << s.dim << "_n" << s.n << "_q" << s.nq << "_k" << s.k;
    return name.str();
}

class RankKernelShapes : public testing::TestWithParam<Shape> {
protected:
    void SetUp() override {
        const Shape& s = GetParam();
        const auto seed = static_cast<std::uint32_t>(s.dim * 7919 + s.n * 31 + s.nq);
        queries_ = random_rows(s.nq, s.dim, seed);
        rows_ = corpus_for(queries_, s.n, s.dim, seed + 1);
    }
    std::vector<float> queries_, rows_;
};

TEST_P(RankKernelShapes, SymmetricMatchesReference) {
    const Shape& s = GetParam();
    const RankIndex index = make_index(rows_, s.dim);
    const SearchResult want = reference_symmetric(index, queries_, s.k);
    for (Tier kernel : runnable_tiers()) {
        const SearchResult got = rank_search_symmetric(index.rows(), queries_.data(), s.nq, s.k, kernel);
        expect_same(want, got, kernel_name(kernel));
    }
}

TEST_P(RankKernelShapes, AsymmetricMatchesReference) {
    const Shape& s = GetParam();
    const RankIndex index = make_index(rows_, s.dim);
    const SearchResult want = reference_asymmetric(index, queries_, s.k);
    for (Tier kernel : runnable_tiers()) {
        const SearchResult got = rank_search_asymmetric(index.rows(), queries_.data(), s.nq, s.k, kernel);
        expect_same(want, got, kernel_name(kernel));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Grid, RankKernelShapes,
    testing::Values(
        // Tiny dimensions: few distinct scores, so nearly every offer ties.
        Shape{2, 1000, 37, 10}, Shape{2, 5, 3, 10}, Shape{3, 1, 1, 1}, Shape{3, 1003, 37, 1},
        Shape{5, 5, 3, 10}, Shape{5, 1000, 1, 10}, Shape{17, 1000, 37, 10},
        Shape{17, 1001, 3, 2000}, Shape{33, 517, 600, 7},
        // Empty shapes.
        Shape{5, 0, 3, 10}, Shape{17, 1000, 0, 10}, Shape{768, 1000, 3, 0}, Shape{2, 0, 0, 0},
        // Working dimensions, odd document counts (partial tiles and pairs).
        Shape{768, 1003, 37, 10}, Shape{768, 1, 3, 10}, Shape{768, 5, 37, 10},
        Shape{768, 200, 400, 5},
        Shape{1000, 1000, 3, 1500}, Shape{1000, 1017, 37, 1},
        // Where plain int32 sums would overflow, and the int16 limit.
        Shape{1291, 300, 3, 10}, Shape{2048, 100, 3, 10}, Shape{2049, 100, 3, 10},
        Shape{2500, 100, 3, 10}, Shape{5000, 61, 5, 10}, Shape{20000, 9, 3, 4},
        Shape{32768, 7, 2, 3}, Shape{32769, 5, 2, 3}, Shape{40000, 6, 3, 10}),
    shape_name);

// ---------------------------------------------------------------------------
// Independence from how queries are spread over tasks.

class RankKernelEachVariant : public testing::TestWithParam<Tier> {
protected:
    void SetUp() override {
        if (GetParam() > active_tier()) GTEST_SKIP() << "this machine does not run the " << tier_name(GetParam()) << " tier";
    }
};

std::string variant_name(const testing::TestParamInfo<Tier>& info) {
    return kernel_name(info.param);
}

SearchResult one_by_one(bool symmetric, const RankIndex& index, const std::vector<float>& queries,
                        std::size_t k, Tier kernel) {
    const std::size_t dim = index.dim(), nq = queries.size() / dim;
    SearchResult all;
    all.nq = nq;
    for (std::size_t q = 0; q < nq; ++q) {
        const float* row = queries.data() + q * dim;
        SearchResult r = symmetric ? rank_search_symmetric(index.rows(), row, 1, k, kernel)
                                   : rank_search_asymmetric(index.rows(), row, 1, k, kernel);
        all.k_eff = r.k_eff;
        all.scores.insert(all.scores.end(), r.scores.begin(), r.scores.end());
        all.ids.insert(all.ids.end(), r.ids.begin(), r.ids.end());
    }
    return all;
}

TEST_P(RankKernelEachVariant, BatchEqualsQueriesOneByOne) {
    const Tier kernel = GetParam();
    for (std::size_t dim : {6, 96, 768}) {
        const std::vector<float> queries = random_rows(150, dim, 11);
        const RankIndex index = make_index(corpus_for(queries, 700, dim, 12), dim);
        for (bool symmetric : {true, false}) {
            const SearchResult batch =
                symmetric ? rank_search_symmetric(index.rows(), queries.data(), 150, 9, kernel)
                          : rank_search_asymmetric(index.rows(), queries.data(), 150, 9, kernel);
            expect_same(batch, one_by_one(symmetric, index, queries, 9, kernel),
                        std::string(symmetric ? "symmetric" : "asymmetric") + " dim " +
                            std::to_string(dim));
        }
    }
}

TEST_P(RankKernelEachVariant, UnalignedQueryRows) {
    const Tier kernel = GetParam();
    const std::size_t dim = 37, nq = 5;
    const std::vector<float> queries = random_rows(nq, dim, 21);
    const RankIndex index = make_index(random_rows(300, dim, 22), dim);
    std::vector<float> shifted(queries.size() + 1);
    std::copy(queries.begin(), queries.end(), shifted.begin() + 1);
    expect_same(rank_search_symmetric(index.rows(), queries.data(), nq, 4, kernel),
                rank_search_symmetric(index.rows(), shifted.data() + 1, nq, 4, kernel), "symmetric");
    expect_same(rank_search_asymmetric(index.rows(), queries.data(), nq, 4, kernel),
                rank_search_asymmetric(index.rows(), shifted.data() + 1, nq, 4, kernel), "asymmetric");
}

// ---------------------------------------------------------------------------
// Known values and edge cases.

// Documents one or two adjacent-rank swaps away from the query's own ranks
// score within a few float32 ulps of each other, right at the top: the
// integer bounds of the asymmetric scan must let every one of them through to
// its exact score, or the top-k would differ from the reference.
TEST_P(RankKernelEachVariant, AsymmetricNearTiesAtTheTop) {
    const Tier kernel = GetParam();
    const std::size_t dim = 768, n = 3000;
    std::mt19937 rng(11);
    std::normal_distribution<float> g;
    std::vector<float> query(dim);
    for (float& v : query) v = g(rng);
    const std::vector<std::uint16_t> r = rank_transform(query.data(), dim);
    std::vector<std::size_t> at(dim);  // coordinate holding each rank
    for (std::size_t i = 0; i < dim; ++i) at[r[i]] = i;
    std::vector<float> rows(n * dim);
    std::uniform_int_distribution<std::size_t> pick(0, dim - 2);
    for (std::size_t j = 0; j < n; ++j) {
        std::vector<float> row(dim);
        for (std::size_t i = 0; i < dim; ++i) row[i] = static_cast<float>(r[i]);
        for (std::size_t s = 0; s < 1 + j % 2; ++s) {  // swap ranks t and t + 1
            const std::size_t t = pick(rng);
            std::swap(row[at[t]], row[at[t + 1]]);
        }
        std::copy(row.begin(), row.end(), rows.begin() + static_cast<std::ptrdiff_t>(j * dim));
    }
    const RankIndex index = make_index(rows, dim);
    const SearchResult want = reference_asymmetric(index, query, 50);
    expect_same(want, rank_search_asymmetric(index.rows(), query.data(), 1, 50, kernel), kernel_name(kernel));
}

TEST_P(RankKernelEachVariant, KnownSymmetricScores) {
    const Tier kernel = GetParam();
    const std::vector<float> doc{0.1f, 0.2f, 0.3f, 0.4f};
    const RankIndex index = make_index(doc, 4);
    const std::vector<float> same{1, 2, 3, 4}, reversed{4, 3, 2, 1};
    SearchResult r = rank_search_symmetric(index.rows(), same.data(), 1, 1, kernel);
    EXPECT_EQ(r.ids[0], 0);
    EXPECT_EQ(r.scores[0], 1.0f);
    r = rank_search_symmetric(index.rows(), reversed.data(), 1, 1, kernel);
    EXPECT_EQ(r.ids[0], 0);
    EXPECT_EQ(r.scores[0], -1.0f);
}

TEST_P(RankKernelEachVariant, KnownAsymmetricScores) {
    const Tier kernel = GetParam();
    const std::vector<float> doc{0.1f, 0.2f, 0.3f, 0.4f};
    const RankIndex index = make_index(doc, 4);
    const std::vector<float> centred{-3, -1, 1, 3}, zero{0, 0, 0, 0};
    SearchResult r = rank_search_asymmetric(index.rows(), centred.data(), 1, 1, kernel);
    EXPECT_EQ(r.ids[0], 0);
    EXPECT_NEAR(r.scores[0], 1.0f, 1e-6f);
    r = rank_search_asymmetric(index.rows(), zero.data(), 1, 1, kernel);
    EXPECT_EQ(r.ids[0], 0);
    EXPECT_EQ(bits(r.scores[0]), bits(0.0f));
}

TEST_P(RankKernelEachVariant, ZeroQueryScoresEveryDocumentZero) {
    const Tier kernel = GetParam();
    const std::size_t dim = 50, n = 40;
    const RankIndex index = make_index(random_rows(n, dim, 5), dim);
    const std::vector<float> zero(dim, 0.0f);
    const SearchResult r = rank_search_asymmetric(index.rows(), zero.data(), 1, n, kernel);
    ASSERT_EQ(r.k_eff, n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(bits(r.scores[i]), bits(0.0f)) << i;
        EXPECT_EQ(r.ids[i], static_cast<std::int64_t>(i));  // all tied: ascending ids
    }
}

TEST_P(RankKernelEachVariant, DuplicateDocumentsComeOutByAscendingId) {
    const Tier kernel = GetParam();
    const std::size_t dim = 24, n = 50;
    std::vector<float> rows = random_rows(n, dim, 8);
    const std::vector<float> queries = random_rows(2, dim, 9);
    // Twelve copies of the first query, scattered; everything else random.
    const std::vector<std::size_t> at{3, 7, 8, 15, 16, 17, 23, 31, 32, 40, 41, 49};
    for (std::size_t j : at)
        std::copy_n(queries.begin(), dim, rows.begin() + static_cast<std::ptrdiff_t>(j * dim));
    const RankIndex index = make_index(rows, dim);
    for (bool symmetric : {true, false}) {
        const SearchResult r = symmetric
                                   ? rank_search_symmetric(index.rows(), queries.data(), 1, 10, kernel)
                                   : rank_search_asymmetric(index.rows(), queries.data(), 1, 10, kernel);
        for (std::size_t i = 0; i < 10; ++i) {
            EXPECT_EQ(r.ids[i], static_cast<std::int64_t>(at[i])) << symmetric << " rank " << i;
            EXPECT_EQ(bits(r.scores[i]), bits(r.scores[0])) << symmetric << " rank " << i;
        }
        if (symmetric) {
            EXPECT_NEAR(r.scores[0], 1.0f, 1e-5f);
        }
    }
}

TEST_P(RankKernelEachVariant, EmptyShapesGiveEmptyBuffers) {
    const Tier kernel = GetParam();
    const std::size_t dim = 8;
    const std::vector<float> queries = random_rows(3, dim, 1);
    const RankIndex empty(dim);
    const RankIndex index = make_index(random_rows(4, dim, 2), dim);
    for (bool symmetric : {true, false}) {
        auto run = [&](const RankIndex& idx, std::size_t nq, std::size_t k) {
            return symmetric ? rank_search_symmetric(idx.rows(), queries.data(), nq, k, kernel)
                             : rank_search_asymmetric(idx.rows(), queries.data(), nq, k, kernel);
        };
        SearchResult r = run(empty, 3, 5);
        EXPECT_EQ(r.nq, 3u);
        EXPECT_EQ(r.k_eff, 0u);
        EXPECT_TRUE(r.scores.empty());
        EXPECT_TRUE(r.ids.empty());
        r = run(index, 3, 0);
        EXPECT_EQ(r.nq, 3u);
        EXPECT_EQ(r.k_eff, 0u);
        EXPECT_TRUE(r.scores.empty());
        EXPECT_TRUE(r.ids.empty());
        r = run(index, 0, 5);
        EXPECT_EQ(r.nq, 0u);
        EXPECT_EQ(r.k_eff, 4u);
        EXPECT_TRUE(r.scores.empty());
        EXPECT_TRUE(r.ids.empty());
        // k past the index size: every document, each once.
        r = run(index, 3, 100);
        ASSERT_EQ(r.k_eff, 4u);
        for (std::size_t q = 0; q < 3; ++q) {
            std::vector<std::int64_t> ids(r.ids.begin() + static_cast<std::ptrdiff_t>(q * 4),
                                          r.ids.begin() + static_cast<std::ptrdiff_t>(q * 4 + 4));
            std::sort(ids.begin(), ids.end());
            EXPECT_EQ(ids, (std::vector<std::int64_t>{0, 1, 2, 3}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, RankKernelEachVariant,
                         testing::ValuesIn(kwivel::tiers::all_tiers()), variant_name);

// ---------------------------------------------------------------------------
// The index runs the active tier.

TEST(RankKernelTier, IndexSearchesRunTheActiveTier) {
    const std::size_t dim = 20;
    const std::vector<float> queries = random_rows(4, dim, 3);
    const RankIndex index = make_index(random_rows(90, dim, 4), dim);
    expect_same(rank_search_symmetric(index.rows(), queries.data(), 4, 6, active_tier()),
                index.search(queries.data(), queries.size(), 6), "symmetric");
    expect_same(rank_search_asymmetric(index.rows(), queries.data(), 4, 6, active_tier()),
                index.search_asymmetric(queries.data(), queries.size(), 6), "asymmetric");
}

}  // namespace
}  // namespace kwivel
