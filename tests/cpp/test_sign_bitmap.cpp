// SignBitmap: sign words on every tier against a per-value reference, the
// dense scores and shortlists against sign agreement counted straight from
// the floats, and the KWSB loader (every failure in order, legacy magic).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "index/sign_bitmap.h"
#include "io/formats.h"
#include "tiers.h"

namespace kwivel {
namespace {

// Rows of floats with many exact zeros of both signs, denormals and ties of
// sign, so that the "greater than zero" rule is exercised at its edges.
std::vector<float> signed_rows(std::size_t rows, std::size_t dim, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(rows * dim);
    for (float& x : v) {
        switch (rng() % 8) {
            case 0: x = 0.0f; break;
            case 1: x = -0.0f; break;
            case 2: x = (rng() % 2 ? 1.0f : -1.0f) * std::numeric_limits<float>::denorm_min(); break;
            default: x = normal(rng); break;
        }
    }
    return v;
}

// Coordinates whose values are both positive or both not positive.
std::uint32_t agreement(const float* a, const float* b, std::size_t dim) {
    std::uint32_t s = 0;
    for (std::size_t j = 0; j < dim; ++j) s += (a[j] > 0.0f) == (b[j] > 0.0f);
    return s;
}

SignBitmapIndex make_index(const std::vector<float>& rows, std::size_t dim) {
    SignBitmapIndex idx(dim);
    idx.add(rows.data(), rows.size());
    return idx;
}

class SignEachTier : public testing::TestWithParam<Tier> {
protected:
    void SetUp() override {
        if (GetParam() > active_tier()) GTEST_SKIP() << "this machine does not run the " << tier_name(GetParam()) << " tier";
    }
};

TEST_P(SignEachTier, WordsFollowTheGreaterThanZeroRule) {
    const auto sign_words = kernel_table(GetParam()).sign_words;
    const std::vector<float> v = signed_rows(37, 64, 1);
    std::vector<std::uint64_t> words(38, 0x5555);
    ASSERT_TRUE(sign_words(v.data(), 37, words.data()));
    for (std::size_t w = 0; w < 37; ++w)
        for (unsigned b = 0; b < 64; ++b)
            ASSERT_EQ((words[w] >> b) & 1, v[64 * w + b] > 0.0f ? 1u : 0u) << "word " << w << " bit " << b;
    EXPECT_EQ(words[37], 0x5555u);  // nothing past n_words

    // The worked example: 1, -1, 0, 2, then negatives, is the word 9.
    std::vector<float> q(64, -0.5f);
    q[0] = 1.0f, q[1] = -1.0f, q[2] = 0.0f, q[3] = 2.0f;
    ASSERT_TRUE(sign_words(q.data(), 1, words.data()));
    EXPECT_EQ(words[0], 9u);
}

TEST_P(SignEachTier, NonFiniteValuesAreReportedWherever) {
    const auto sign_words = kernel_table(GetParam()).sign_words;
    const float bad[] = {std::nanf(""), -std::nanf(""), INFINITY, -INFINITY};
    std::vector<std::uint64_t> words(4);
    for (float x : bad)
        for (std::size_t at : {0, 15, 16, 63, 64 * 3 + 40}) {
            std::vector<float> v(64 * 4, 1.0f);
            v[at] = x;
            EXPECT_FALSE(sign_words(v.data(), 4, words.data())) << x << " at " << at;
        }
    std::vector<float> big(64, std::numeric_limits<float>::max());
    EXPECT_TRUE(sign_words(big.data(), 1, words.data()));
}

TEST_P(SignEachTier, ScoresAndShortlistsMatchAgreementFromFloats) {
    const Tier tier = GetParam();
    for (std::size_t dim : {64, 576, 640}) {
        const std::size_t n = 300;
        std::vector<float> rows = signed_rows(n, dim, static_cast<std::uint32_t>(dim));
        const std::vector<float> queries = signed_rows(17, dim, static_cast<std::uint32_t>(dim + 1));
        // Copies of query 0 at rows 5 and 9 (distance 0, ties by id), and
        // duplicates elsewhere so that ties at the cut are common.
        std::copy_n(queries.begin(), dim, rows.begin() + 5 * dim);
        std::copy_n(queries.begin(), dim, rows.begin() + 9 * dim);
        for (std::size_t r = 100; r < 200; ++r) std::copy_n(rows.begin() + 20 * dim, dim, rows.begin() + r * dim);
        const SignBitmapIndex idx = make_index(rows, dim);
        for (std::size_t nq = 1; nq <= 17; ++nq) {
            const ScoreBuffer dense = idx.score_all_batched(queries.data(), nq * dim, tier);
            ASSERT_EQ(dense.size(), nq * n);
            for (std::size_t m : {std::size_t{1}, std::size_t{10}, std::size_t{150}, n + 5}) {
                const std::size_t m_eff = std::min(m, n);
                const std::vector<std::uint32_t> lists =
                    idx.top_m_candidates_batched(queries.data(), nq * dim, m, tier);
                ASSERT_EQ(lists.size(), nq * m_eff);
                for (std::size_t q = 0; q < nq; ++q) {
                    const std::vector<std::uint32_t> one = idx.top_m_candidates(queries.data() + q * dim, dim, m, tier);
                    ASSERT_TRUE(std::equal(one.begin(), one.end(), lists.begin() + q * m_eff))
                        << "dim " << dim << " nq " << nq << " m " << m << " q " << q;
                }
            }
            if (nq != 17) continue;
            // The plain batched scan: distances, query-major.
            std::vector<std::uint64_t> qbits(nq * idx.words_per_vec());
            build_sign_words(queries.data(), qbits.size(), qbits.data(), tier);
            std::vector<std::uint32_t> dist(nq * n);
            sign_scan_collect_batched(idx.words().data(), n, idx.words_per_vec(), qbits.data(), nq, dist.data(), tier);
            for (std::size_t i = 0; i < nq * n; ++i) ASSERT_EQ(dist[i], dim - dense[i]) << "dim " << dim << " at " << i;
            for (std::size_t q = 0; q < nq; ++q) {
                const float* qv = queries.data() + q * dim;
                const ScoreBuffer single = idx.score_all(qv, dim, tier);
                std::vector<std::uint32_t> want(n);
                for (std::size_t d = 0; d < n; ++d) want[d] = agreement(qv, rows.data() + d * dim, dim);
                ASSERT_EQ(std::vector<std::uint32_t>(single.begin(), single.end()), want) << "dim " << dim << " q " << q;
                ASSERT_TRUE(std::equal(want.begin(), want.end(), dense.begin() + q * n)) << "dim " << dim << " q " << q;
                // Nearest first = most agreement first, ties by ascending id.
                std::vector<std::uint32_t> ids(n);
                std::iota(ids.begin(), ids.end(), 0u);
                std::stable_sort(ids.begin(), ids.end(), [&](std::uint32_t a, std::uint32_t b) { return want[a] > want[b]; });
                for (std::size_t m : {10, 40}) {  // filtered, and selected from the full row
                    const std::vector<std::uint32_t> head(ids.begin(), ids.begin() + m);
                    ASSERT_EQ(idx.top_m_candidates(qv, dim, m, tier), head) << "dim " << dim << " q " << q;
                }
            }
            EXPECT_EQ(idx.score_all(queries.data(), dim, tier)[5], dim);
            EXPECT_EQ(idx.top_m_candidates(queries.data(), dim, 2, tier), (std::vector<std::uint32_t>{5, 9}));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tiers, SignEachTier, testing::ValuesIn(tiers::all_tiers()),
                         [](const testing::TestParamInfo<Tier>& info) { return tiers::tier_label(info.param); });

TEST(SignBitmap, ScansSplitOverThePoolGiveTheSameValues) {
    // Enough rows and queries for the tiled, parallel fills and rounds.
    const std::size_t dim = 128, n = 70000;
    const std::vector<float> rows = signed_rows(n, dim, 3);
    const std::vector<float> queries = signed_rows(40, dim, 4);
    const SignBitmapIndex idx = make_index(rows, dim);
    const ScoreBuffer dense = idx.score_all_batched(queries.data(), queries.size());
    const std::vector<std::uint32_t> lists = idx.top_m_candidates_batched(queries.data(), queries.size(), 25);
    for (std::size_t q = 0; q < 40; ++q) {
        const float* qv = queries.data() + q * dim;
        // Shortlists filtered block by block (or selected from full rows)
        // are the head of a stable sort of the dense scores, ties included.
        std::vector<std::uint32_t> want(n);
        std::iota(want.begin(), want.end(), 0u);
        const std::uint32_t* s = dense.data() + q * n;
        std::stable_sort(want.begin(), want.end(), [&](std::uint32_t a, std::uint32_t b) { return s[a] > s[b]; });
        want.resize(25);
        ASSERT_EQ(idx.top_m_candidates(qv, dim, 25), want) << q;
        ASSERT_TRUE(std::equal(want.begin(), want.end(), lists.begin() + q * 25)) << q;
        if (q % 13) continue;
        for (std::size_t d = 0; d < n; d += 997)
            ASSERT_EQ(dense[q * n + d], agreement(qv, rows.data() + d * dim, dim)) << q << " " << d;
        ASSERT_TRUE(std::equal(dense.begin() + q * n, dense.begin() + (q + 1) * n, idx.score_all(qv, dim).begin()));
    }
}

TEST(SignBitmap, AddAppendsAndRefusesNonFiniteRowsWithoutChange) {
    const std::size_t dim = 64;
    SignBitmapIndex idx(dim);
    const std::vector<float> a = signed_rows(3, dim, 5);
    idx.add(a.data(), a.size());
    std::vector<float> b = signed_rows(2000, dim, 6);
    b[1500 * dim + 7] = std::nanf("");
    EXPECT_THROW(idx.add(b.data(), b.size()), Panic);
    EXPECT_EQ(idx.size(), 3u);
    EXPECT_EQ(idx.words().size(), 3u);
    b[1500 * dim + 7] = 0.0f;
    idx.add(b.data(), b.size());
    ASSERT_EQ(idx.size(), 2003u);
    for (std::size_t r : {0, 2, 3, 1502, 2002}) {
        const float* src = r < 3 ? a.data() + r * dim : b.data() + (r - 3) * dim;
        EXPECT_EQ(idx.row(r)[0], idx.build_query_bitmap(src, dim)[0]) << r;
    }
    EXPECT_EQ(idx.byte_size(), 2003u * 8);
    EXPECT_EQ(idx.bytes_per_vec(), 8u);
}

// ---------------------------------------------------------------------------
// The KWSB file.

std::vector<std::uint8_t> header(std::string_view magic, std::uint8_t version, std::uint32_t dim, std::uint32_t n) {
    std::vector<std::uint8_t> b(magic.begin(), magic.end());
    b.push_back(version);
    for (std::uint32_t v : {dim, n})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}

std::string load_error(const std::vector<std::uint8_t>& bytes) {
    try {
        load_sign_bitmap_from_memory(bytes.data(), bytes.size());
    } catch (const IoError& e) {
        return e.what();
    }
    return "(loaded)";
}

TEST(SignBitmapFile, LoadFailuresInCheckOrder) {
    std::vector<std::uint8_t> ok = header("KWSB", 1, 64, 2);
    ok.resize(ok.size() + 16, 0xab);
    auto cut = [&](std::size_t len) { return std::vector<std::uint8_t>(ok.begin(), ok.begin() + len); };
    EXPECT_EQ(load_error({}), "KWSB header truncated while reading magic");
    EXPECT_EQ(load_error(cut(4)), "KWSB header truncated while reading version");
    EXPECT_EQ(load_error(cut(7)), "KWSB header truncated while reading dim");
    EXPECT_EQ(load_error(cut(11)), "KWSB header truncated while reading n_vectors");
    EXPECT_EQ(load_error(header("KWBM", 1, 64, 0)), "not an KWSB/HYSB (SignBitmap) file: wrong magic");
    EXPECT_EQ(load_error(header("KWSB", 2, 64, 0)), "unsupported KWSB version: 2");
    // dim is judged before n_vectors is read: a file cut after dim says so.
    for (std::uint32_t bad : {0u, 32u, 16777280u, 4294967295u}) {
        auto b = header("KWSB", 1, bad, 0);
        EXPECT_EQ(load_error(b), "KWSB dim " + std::to_string(bad) + " out of range [64, 16777216]");
        b.resize(9);
        EXPECT_EQ(load_error(b), "KWSB dim " + std::to_string(bad) + " out of range [64, 16777216]");
    }
    EXPECT_EQ(load_error(header("KWSB", 1, 100, 0)), "KWSB dim 100 is not a multiple of 64");
    EXPECT_EQ(load_error(header("KWSB", 1, 64, 67108865)), "n_vectors 67108865 exceeds MAX_VECTORS=67108864");
    // 67108864 rows of 2^24 bits: 2^47 bytes.
    EXPECT_EQ(load_error(header("KWSB", 1, 16777216, 67108864)), "payload 140737488355328 B exceeds MAX_PAYLOAD=137438953472");
    EXPECT_EQ(load_error(cut(ok.size() - 1)),
              "KWSB payload truncated: header declares 16 B but file has 15 B remaining");
    auto longer = ok;
    longer.push_back(0);
    EXPECT_EQ(load_error(longer), "KWSB payload has trailing bytes: header declares 16 B but file has 17 B remaining");
    EXPECT_EQ(load_error(ok), "(loaded)");
    std::memcpy(ok.data(), "HYSB", 4);
    EXPECT_EQ(load_error(ok), "(loaded)");
}

}  // namespace
}  // namespace kwivel
