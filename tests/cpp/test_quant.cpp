#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/cpu.h"
#include "base/error.h"
#include "index/rank_quant.h"
#include "base/limits.h"
#include "kernels/dispatch.h"
#include "kernels/quant_scan.h"
#include "search/quant_search.h"
#include "search/topk.h"

namespace kwivel {
namespace {

// ---------------------------------------------------------------------------
// Independent oracles.

// Rank by stable ordering of the values (-0.0 and +0.0 compare equal).
std::vector<std::uint32_t> ref_ranks(const float* v, std::size_t d) {
    std::vector<std::size_t> order(d);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    std::vector<std::uint32_t> r(d);
    for (std::size_t p = 0; p < d; ++p) r[order[p]] = static_cast<std::uint32_t>(p);
    return r;
}

std::vector<unsigned> ref_buckets(const float* v, std::size_t d, unsigned bits) {
    const std::vector<std::uint32_t> r = ref_ranks(v, d);
    std::vector<unsigned> b(d);
    for (std::size_t j = 0; j < d; ++j)
        b[j] = static_cast<unsigned>((static_cast<std::uint64_t>(r[j]) * (1u << bits)) / d);
    return b;
}

// Codes packed most significant first, one row.
std::vector<std::uint8_t> ref_encode_row(const float* v, std::size_t d, unsigned bits) {
    const std::vector<unsigned> b = ref_buckets(v, d, bits);
    const std::size_t per = 8 / bits;
    std::vector<std::uint8_t> out(d / per, 0);
    for (std::size_t j = 0; j < d; ++j) {
        const unsigned slot = static_cast<unsigned>(j % per);
        out[j / per] = static_cast<std::uint8_t>(out[j / per] | (b[j] << (8 - bits * (slot + 1))));
    }
    return out;
}

unsigned code_at(const std::uint8_t* row, std::size_t j, unsigned bits) {
    const std::size_t per = 8 / bits;
    const unsigned slot = static_cast<unsigned>(j % per);
    return (row[j / per] >> (8 - bits * (slot + 1))) & ((1u << bits) - 1);
}

std::vector<float> ref_table(const float* q, std::size_t d, unsigned bits) {
    const unsigned levels = 1u << bits;
    const float centre = (static_cast<float>(levels) - 1.0f) * 0.5f;
    const std::vector<unsigned> qb = ref_buckets(q, d, bits);
    std::vector<float> t(d * levels);
    for (std::size_t j = 0; j < d; ++j)
        for (unsigned c = 0; c < levels; ++c) {
            const float a = static_cast<float>(c) - centre;
            const float b = static_cast<float>(qb[j]) - centre;
            t[j * levels + c] = a * b;
        }
    return t;
}

float ref_scale(std::size_t d, unsigned bits) {
    const double levels = static_cast<double>(1u << bits);
    const float norm = static_cast<float>(std::sqrt(static_cast<double>(d) * ((levels * levels - 1.0) / 12.0)));
    const float sq = norm * norm;
    return 1.0f / sq;
}

float ref_doc_sum(const std::uint8_t* row, std::size_t d, unsigned bits, const float* table) {
    float s = 0.0f;
    for (std::size_t j = 0; j < d; ++j) s = s + table[j * (1u << bits) + code_at(row, j, bits)];
    return s;
}

// IEEE total order key, written out again here.
std::int64_t order_key(float x) {
    std::int32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b >= 0 ? static_cast<std::int64_t>(b) : -static_cast<std::int64_t>(b & 0x7fffffff) - 1;
}

struct Hit {
    float score;
    std::int64_t id;
};

// Full scored list, best first (score desc in total order, then id asc).
template <class Codes>
std::vector<Hit> ref_ranking(const Codes& codes, std::size_t n, std::size_t d,
                             unsigned bits, const std::vector<float>& table, float scale) {
    const std::size_t bpv = d * bits / 8;
    std::vector<Hit> hits(n);
    for (std::size_t i = 0; i < n; ++i)
        hits[i] = {ref_doc_sum(codes.data() + i * bpv, d, bits, table.data()) * scale,
                   static_cast<std::int64_t>(i)};
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
        const std::int64_t ka = order_key(a.score), kb = order_key(b.score);
        return ka != kb ? ka > kb : a.id < b.id;
    });
    return hits;
}

SearchResult ref_search(const RankQuantIndex& idx, const std::vector<float>& queries, std::size_t nq,
                        std::size_t k) {
    const std::size_t d = idx.dim(), n = idx.size();
    SearchResult r;
    r.nq = nq;
    r.k_eff = std::min(k, n);
    const float scale = ref_scale(d, idx.bits());
    for (std::size_t q = 0; q < nq; ++q) {
        const std::vector<float> t = ref_table(queries.data() + q * d, d, idx.bits());
        const std::vector<Hit> hits = ref_ranking(idx.codes(), n, d, idx.bits(), t, scale);
        for (std::size_t i = 0; i < r.k_eff; ++i) {
            r.scores.push_back(hits[i].score);
            r.ids.push_back(hits[i].id);
        }
    }
    return r;
}

// Bit-for-bit comparison of two results.
void expect_same(const SearchResult& got, const SearchResult& want, const std::string& what) {
    ASSERT_EQ(got.nq, want.nq) << what;
    ASSERT_EQ(got.k_eff, want.k_eff) << what;
    ASSERT_EQ(got.scores.size(), want.scores.size()) << what;
    ASSERT_EQ(got.ids.size(), want.ids.size()) << what;
    for (std::size_t i = 0; i < want.scores.size(); ++i) {
        std::uint32_t a, b;
        std::memcpy(&a, &got.scores[i], 4);
        std::memcpy(&b, &want.scores[i], 4);
        ASSERT_EQ(a, b) << what << " score " << i << ": " << got.scores[i] << " vs " << want.scores[i];
        ASSERT_EQ(got.ids[i], want.ids[i]) << what << " id " << i;
    }
}

enum class Data { normal, ties, signed_zeros };

std::vector<float> random_rows(std::size_t rows, std::size_t d, std::uint64_t seed, Data kind = Data::normal) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> v(rows * d);
    for (float& x : v) {
        switch (kind) {
            case Data::ties: x = std::round(normal(rng) * 1.5f); break;
            case Data::signed_zeros: x = (rng() % 3 == 0) ? ((rng() & 1) ? 0.0f : -0.0f) : normal(rng); break;
            default: x = normal(rng); break;
        }
    }
    return v;
}

const char* kernel_name(Tier t) { return tier_name(t); }

// ---------------------------------------------------------------------------
// Encoding.

class QuantEncode : public ::testing::TestWithParam<std::tuple<unsigned, std::size_t, Data>> {};

TEST_P(QuantEncode, MatchesReferenceEncoding) {
    const auto [bits, d, kind] = GetParam();
    RankQuantIndex idx(d, bits);
    const std::size_t rows = 37;
    const std::vector<float> v = random_rows(rows, d, 1000 + d * 10 + bits, kind);
    // Two adds: rows land after the existing ones.
    idx.add(v.data(), 20 * d);
    idx.add(v.data() + 20 * d, (rows - 20) * d);
    ASSERT_EQ(idx.size(), rows);
    ASSERT_EQ(idx.bytes_per_vec(), d * bits / 8);
    ASSERT_EQ(idx.codes().size(), rows * idx.bytes_per_vec());
    for (std::size_t i = 0; i < rows; ++i) {
        const std::vector<std::uint8_t> want = ref_encode_row(v.data() + i * d, d, bits);
        ASSERT_EQ(std::vector<std::uint8_t>(idx.row(i), idx.row(i) + idx.bytes_per_vec()), want) << "row " << i;
    }
}

// Every row built by add holds the same multiset of codes: the buckets of
// the ranks 0..d-1.
TEST_P(QuantEncode, EveryRowHasTheSameComposition) {
    const auto [bits, d, kind] = GetParam();
    RankQuantIndex idx(d, bits);
    const std::vector<float> v = random_rows(25, d, 77 + d, kind);
    idx.add(v.data(), v.size());
    std::vector<std::size_t> want(1u << bits, 0);
    for (std::size_t r = 0; r < d; ++r) ++want[(r << bits) / d];
    for (std::size_t i = 0; i < idx.size(); ++i) {
        std::vector<std::size_t> got(1u << bits, 0);
        for (std::size_t j = 0; j < d; ++j) ++got[code_at(idx.row(i), j, bits)];
        ASSERT_EQ(got, want) << "row " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, QuantEncode,
    ::testing::Combine(::testing::Values(1u, 2u, 4u, 8u), ::testing::Values(std::size_t{16}, std::size_t{64}, std::size_t{208}, std::size_t{768}),
                       ::testing::Values(Data::normal, Data::ties, Data::signed_zeros)));

TEST(QuantEncodeKnown, ConstantVectorAtOneBit) {
    RankQuantIndex idx(8, 1);
    const std::vector<float> v(8, 3.0f);
    idx.add(v.data(), v.size());
    ASSERT_EQ(idx.codes().size(), 1u);
    EXPECT_EQ(idx.codes()[0], 0x0F);
}

TEST(QuantEncodeKnown, SignedZerosTieInIndexOrder) {
    // -0.0 == +0.0: the ranks follow the index, as for a constant row.
    RankQuantIndex idx(8, 1);
    const std::vector<float> v{0.0f, -0.0f, 0.0f, -0.0f, -0.0f, 0.0f, 0.0f, -0.0f};
    idx.add(v.data(), v.size());
    EXPECT_EQ(idx.codes()[0], 0x0F);
}

TEST(QuantEncodeKnown, DescendingRowAtTwoBits) {
    // Ranks 7..0 -> buckets 3,3,2,2,1,1,0,0 -> 0b11111010, 0b01010000.
    RankQuantIndex idx(8, 2);
    const std::vector<float> v{8, 7, 6, 5, 4, 3, 2, 1};
    idx.add(v.data(), v.size());
    EXPECT_EQ(idx.codes(), (RowBuffer<std::uint8_t>{0xFA, 0x50}));
}

TEST(QuantEncodeKnown, DimSixteenTwoBitsHoldsFourOfEachCode) {
    RankQuantIndex idx(16, 2);
    const std::vector<float> v = random_rows(50, 16, 5, Data::ties);
    idx.add(v.data(), v.size());
    for (std::size_t i = 0; i < idx.size(); ++i) {
        unsigned count[4] = {};
        for (std::size_t j = 0; j < 16; ++j) ++count[code_at(idx.row(i), j, 2)];
        for (unsigned c = 0; c < 4; ++c) EXPECT_EQ(count[c], 4u) << "row " << i << " code " << c;
    }
}

TEST(QuantEncodeKnown, LargeAddMatchesRowByRowEncoding) {
    // Enough rows to be split across every worker.
    const std::size_t d = 64, rows = 3000;
    const std::vector<float> v = random_rows(rows, d, 9);
    RankQuantIndex whole(d, 4), single(d, 4);
    whole.add(v.data(), v.size());
    for (std::size_t i = 0; i < rows; ++i) single.add(v.data() + i * d, d);
    EXPECT_EQ(whole.codes(), single.codes());
}

// ---------------------------------------------------------------------------
// Construction, loading, removal and internal checks.

template <class F>
std::string panic_message(F&& f) {
    try {
        f();
    } catch (const Panic& e) {
        return e.what();
    }
    return "<no panic>";
}

TEST(QuantIndex, ConstructorChecksWidthAndDim) {
    EXPECT_EQ(panic_message([] { RankQuantIndex(16, 3); }), "bits must be 1, 2, 4, or 8");
    EXPECT_EQ(panic_message([] { RankQuantIndex(16, 0); }), "bits must be 1, 2, 4, or 8");
    // The binding's and the loader's rule: every accepted shape is one the
    // file format can hold.
    EXPECT_EQ(panic_message([] { RankQuantIndex(12, 1); }), "dim 12 must be a multiple of 8 for bits = 1");
    EXPECT_EQ(panic_message([] { RankQuantIndex(24, 4); }), "dim 24 must be a multiple of 16 for bits = 4");
    EXPECT_EQ(panic_message([] { RankQuantIndex(1, 8); }), "dim must be in [2, 65535]");
    EXPECT_EQ(panic_message([] { RankQuantIndex(65536, 2); }), "dim must be in [2, 65535]");
    EXPECT_EQ(panic_message([] { RankQuantIndex(300, 8); }), "<no panic>");
}

TEST(QuantIndex, SymmetricOkOnlyExcludesEightBitsOffMultiplesOf256) {
    EXPECT_TRUE(RankQuantIndex(8, 1).symmetric_ok());
    EXPECT_TRUE(RankQuantIndex(300, 2).symmetric_ok());
    EXPECT_TRUE(RankQuantIndex(512, 8).symmetric_ok());
    EXPECT_FALSE(RankQuantIndex(300, 8).symmetric_ok());
    EXPECT_FALSE(RankQuantIndex(128, 8).symmetric_ok());
}

TEST(QuantIndex, FromPartsAdoptsAndChecks) {
    RowBuffer<std::uint8_t> codes(3 * 8);
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint8_t>(i * 37);
    const RankQuantIndex idx = RankQuantIndex::from_parts(16, 4, 3, codes);
    EXPECT_EQ(idx.size(), 3u);
    EXPECT_EQ(idx.codes(), codes);
    EXPECT_EQ(idx.row(2)[0], codes[16]);

    EXPECT_EQ(panic_message([&] { RankQuantIndex::from_parts(16, 4, 2, codes); }),
              "KWRQ payload length 24 does not match expected 16");
    // Adopted parts obey the shape rule, and 8-bit parts constant composition.
    EXPECT_EQ(panic_message([] { RankQuantIndex::from_parts(8, 4, 0, {}); }),
              "dim 8 must be a multiple of 16 for bits = 4");
    EXPECT_THROW(RankQuantIndex::from_parts(100, 8, 0, {}), Panic);
    EXPECT_EQ(panic_message([] { RankQuantIndex::from_parts(256, 8, 0, {}); }), "<no panic>");
    EXPECT_EQ(panic_message([] {
                  RankQuantIndex::from_parts(256, 8, std::numeric_limits<std::size_t>::max() / 2, {});
              }),
              "KWRQ n_vectors * dim overflows usize");
    EXPECT_EQ(panic_message([] {
                  RankQuantIndex::from_parts(256, 8, std::numeric_limits<std::size_t>::max() / 1024, {});
              }),
              "KWRQ (n_vectors * dim) * bits overflows usize");
}

TEST(QuantIndex, SwapRemoveMovesLastRow) {
    const std::size_t d = 16;
    RankQuantIndex idx(d, 2);
    const std::vector<float> v = random_rows(5, d, 3);
    idx.add(v.data(), v.size());
    const RowBuffer<std::uint8_t> before = idx.codes();
    const std::size_t bpv = idx.bytes_per_vec();

    EXPECT_EQ(idx.swap_remove(1), 4u);
    ASSERT_EQ(idx.size(), 4u);
    ASSERT_EQ(idx.codes().size(), 4 * bpv);
    EXPECT_TRUE(std::equal(idx.row(1), idx.row(1) + bpv, before.begin() + 4 * bpv));
    EXPECT_TRUE(std::equal(idx.row(0), idx.row(0) + bpv, before.begin()));
    EXPECT_TRUE(std::equal(idx.row(3), idx.row(3) + bpv, before.begin() + 3 * bpv));

    // Removing the last row only shrinks.
    EXPECT_EQ(idx.swap_remove(3), 3u);
    EXPECT_EQ(idx.size(), 3u);
    EXPECT_TRUE(std::equal(idx.row(2), idx.row(2) + bpv, before.begin() + 2 * bpv));

    EXPECT_THROW(idx.swap_remove(3), Panic);
    while (idx.size() > 0) idx.swap_remove(0);
    EXPECT_TRUE(idx.codes().empty());
    EXPECT_THROW(idx.swap_remove(0), Panic);

    // The emptied index takes rows again.
    idx.add(v.data(), d);
    EXPECT_EQ(std::vector<std::uint8_t>(idx.row(0), idx.row(0) + bpv), ref_encode_row(v.data(), d, 2));
}

TEST(QuantIndex, AddRejectsBadInputWithoutGrowing) {
    RankQuantIndex idx(16, 4);
    std::vector<float> v = random_rows(4, 16, 1);
    idx.add(v.data(), 16);
    const RowBuffer<std::uint8_t> before = idx.codes();

    EXPECT_EQ(panic_message([&] { idx.add(v.data(), 17); }), "vectors length must be a multiple of dim");
    v[40] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(panic_message([&] { idx.add(v.data(), v.size()); }),
              "kwivel: input contains non-finite (NaN or \u00b1Inf) values; embeddings must be finite");
    v[40] = -std::numeric_limits<float>::infinity();
    EXPECT_THROW(idx.add(v.data(), v.size()), Panic);
    EXPECT_EQ(idx.size(), 1u);
    EXPECT_EQ(idx.codes(), before);

    idx.add(v.data(), 0);
    EXPECT_EQ(idx.size(), 1u);
}

TEST(QuantIndex, AddStopsAtMaxVectors) {
    // One byte per row at dim 8, 1 bit: a full index is 64 MiB.
    RankQuantIndex idx = RankQuantIndex::from_parts(8, 1, MAX_VECTORS, RowBuffer<std::uint8_t>(MAX_VECTORS, 0x5A));
    std::vector<float> row = random_rows(1, 8, 4);
    EXPECT_EQ(panic_message([&] { idx.add(row.data(), row.size()); }),
              "kwivel: index would exceed MAX_VECTORS (67108864); had 67108864, adding 1");
    // Non-finite input is reported before the size limit.
    row[3] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(panic_message([&] { idx.add(row.data(), row.size()); }),
              "kwivel: input contains non-finite (NaN or \u00b1Inf) values; embeddings must be finite");
    EXPECT_EQ(idx.size(), MAX_VECTORS);
    EXPECT_EQ(idx.codes().size(), MAX_VECTORS);
    idx.swap_remove(0);
    row[3] = 1.0f;
    idx.add(row.data(), row.size());
    EXPECT_EQ(idx.size(), MAX_VECTORS);
}

TEST(QuantIndex, SearchRejectsBadQueries) {
    RankQuantIndex idx(16, 2);
    std::vector<float> v = random_rows(3, 16, 2);
    idx.add(v.data(), v.size());
    EXPECT_EQ(panic_message([&] { idx.search(v.data(), 15, 1); }), "vectors length must be a multiple of dim");
    v[3] = std::numeric_limits<float>::infinity();
    EXPECT_THROW(idx.search(v.data(), 16, 1), Panic);
}

// ---------------------------------------------------------------------------
// Search against the naive reference, every variant.

struct SearchCase {
    unsigned bits;
    std::size_t dim;
    std::size_t n;
};

std::string case_name(const ::testing::TestParamInfo<SearchCase>& i) {
    return "b" + std::to_string(i.param.bits) + "_d" + std::to_string(i.param.dim) + "_n" +
           std::to_string(i.param.n);
}

class QuantSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(QuantSearch, EveryVariantMatchesNaiveReference) {
    const SearchCase c = GetParam();
    RankQuantIndex idx(c.dim, c.bits);
    const std::vector<float> docs = random_rows(c.n, c.dim, 31 * c.dim + c.n + c.bits, Data::ties);
    if (c.n) idx.add(docs.data(), docs.size());
    for (std::size_t nq : {0, 1, 5}) {
        // Queries: random rows, plus a stored row (exact self-match) when
        // there is one.
        std::vector<float> qs = random_rows(nq, c.dim, 7 * nq + c.dim);
        if (nq > 1 && c.n > 0) std::copy(docs.begin(), docs.begin() + static_cast<std::ptrdiff_t>(c.dim), qs.begin());
        for (std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{10}, c.n + 3}) {
            const SearchResult want = ref_search(idx, qs, nq, k);
            for (Tier kern : runnable_tiers()) {
                const std::string what = std::string(kernel_name(kern)) + " nq=" + std::to_string(nq) +
                                         " k=" + std::to_string(k);
                expect_same(quant_search_symmetric(idx.rows(), qs.data(), nq, k, kern), want, what);
            }
            expect_same(idx.search(qs.data(), nq * c.dim, k), want, "search() nq=" + std::to_string(nq));
        }
    }
}

std::vector<SearchCase> search_cases() {
    std::vector<SearchCase> out;
    for (unsigned bits : {1u, 2u, 4u, 8u})
        for (std::size_t dim : {8, 16, 64, 768}) {
            if (rankquant_shape_error(dim, bits) || (bits == 8 && dim % 256 != 0)) continue;
            for (std::size_t n : {0, 1, 7, 9, 1003}) out.push_back({bits, dim, n});
        }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Grid, QuantSearch, ::testing::ValuesIn(search_cases()), case_name);

TEST(QuantSearchBlocks, ManyQueriesSpanSeveralBlocks) {
    // More queries than one block holds, and a document count that leaves
    // partial tiles and partial query groups.
    for (unsigned bits : {2u, 4u}) {
        const std::size_t d = 768, n = 203, nq = 263;
        RankQuantIndex idx(d, bits);
        const std::vector<float> docs = random_rows(n, d, 100 + bits);
        idx.add(docs.data(), docs.size());
        const std::vector<float> qs = random_rows(nq, d, 200 + bits);
        const SearchResult want = ref_search(idx, qs, nq, 7);
        for (Tier kern : runnable_tiers())
            expect_same(quant_search_symmetric(idx.rows(), qs.data(), nq, 7, kern), want, kernel_name(kern));
    }
}

TEST(QuantSearchBlocks, WideRowsAndOddChunks) {
    // Rows whose packed length is not a multiple of 32 bytes, and rows long
    // enough to need widening of the 16-bit lanes mid-row.
    const std::pair<unsigned, std::size_t> shapes[] = {{1, 8}, {1, 264}, {2, 100}, {4, 48}, {4, 4000}, {1, 20000}, {2, 9000}};
    for (auto [bits, d] : shapes) {
        RankQuantIndex idx(d, bits);
        const std::size_t n = 19, nq = 6;
        const std::vector<float> docs = random_rows(n, d, d + bits, Data::ties);
        idx.add(docs.data(), docs.size());
        std::vector<float> qs = random_rows(nq, d, 3 * d + bits);
        // Exact matches and reversals give the largest partial sums.
        std::copy(docs.begin(), docs.begin() + static_cast<std::ptrdiff_t>(d), qs.begin());
        for (std::size_t j = 0; j < d; ++j) qs[d + j] = -docs[d + j];
        const SearchResult want = ref_search(idx, qs, nq, 5);
        for (Tier kern : runnable_tiers())
            expect_same(quant_search_symmetric(idx.rows(), qs.data(), nq, 5, kern), want,
                        std::string(kernel_name(kern)) + " d=" + std::to_string(d) + " b=" + std::to_string(bits));
    }
}

TEST(QuantSearchBlocks, LargestDimensionStaysExact) {
    // The integer scan relies on every partial sum being exact in float32;
    // the largest dimension at 4 bits comes closest to that bound.
    const std::size_t d = 65520;
    RankQuantIndex idx(d, 4);
    std::vector<float> docs(4 * d);
    for (std::size_t j = 0; j < d; ++j) {
        docs[j] = static_cast<float>(j);
        docs[d + j] = -static_cast<float>(j);
        docs[2 * d + j] = static_cast<float>((j * 7919) % d);
        docs[3 * d + j] = static_cast<float>(j % 2 ? j : d - j);
    }
    idx.add(docs.data(), docs.size());
    const SearchResult want = ref_search(idx, docs, 4, 4);
    for (Tier kern : runnable_tiers())
        expect_same(quant_search_symmetric(idx.rows(), docs.data(), 4, 4, kern), want, kernel_name(kern));
}

TEST(QuantSearchScores, SelfAndReversedScoreNearPlusAndMinusOne) {
    for (unsigned bits : {1u, 2u, 4u}) {
        const std::size_t d = 768, n = 50;
        RankQuantIndex idx(d, bits);
        const std::vector<float> docs = random_rows(n, d, 55 + bits);  // distinct coordinates
        idx.add(docs.data(), docs.size());
        std::vector<float> q(docs.begin() + 17 * d, docs.begin() + 18 * d);
        for (Tier kern : runnable_tiers()) {
            SearchResult r = quant_search_symmetric(idx.rows(), q.data(), 1, n, kern);
            for (std::size_t i = 0; i < n; ++i)
                if (r.ids[i] == 17) {
                    EXPECT_NEAR(r.scores[i], 1.0f, 1e-5f) << bits;
                }
            EXPECT_NEAR(r.scores[0], 1.0f, 1e-5f);
            std::vector<float> neg(q);
            for (float& x : neg) x = -x;
            r = quant_search_symmetric(idx.rows(), neg.data(), 1, n, kern);
            for (std::size_t i = 0; i < n; ++i)
                if (r.ids[i] == 17) {
                    EXPECT_NEAR(r.scores[i], -1.0f, 1e-5f) << bits;
                }
            EXPECT_NEAR(r.scores[n - 1], -1.0f, 1e-5f);
            EXPECT_EQ(r.ids[n - 1], 17);
        }
    }
}

TEST(QuantSearchScores, EmptyShapes) {
    RankQuantIndex idx(16, 4);
    const std::vector<float> q = random_rows(3, 16, 1);
    SearchResult r = idx.search(q.data(), q.size(), 10);
    EXPECT_EQ(r.nq, 3u);
    EXPECT_EQ(r.k_eff, 0u);
    EXPECT_TRUE(r.scores.empty() && r.ids.empty());
    idx.add(q.data(), 16);
    r = idx.search(q.data(), 0, 10);
    EXPECT_EQ(r.nq, 0u);
    EXPECT_EQ(r.k_eff, 1u);
    r = idx.search(q.data(), q.size(), 0);
    EXPECT_EQ(r.nq, 3u);
    EXPECT_EQ(r.k_eff, 0u);
}

TEST(QuantSearchScores, EightBitsNeedsDimMultipleOf256) {
    RankQuantIndex bad(300, 8);
    const std::vector<float> v = random_rows(4, 300, 8);
    bad.add(v.data(), v.size());
    const std::string msg =
        "RankQuant b=8 symmetric scoring requires dim % 256 == 0; dim=300 supports asymmetric/evidence APIs only.";
    EXPECT_EQ(panic_message([&] { bad.search(v.data(), 300, 1); }), msg);

    RankQuantIndex good(512, 8);
    const std::vector<float> w = random_rows(30, 512, 9);
    good.add(w.data(), w.size());
    expect_same(good.search(w.data(), 2 * 512, 4), ref_search(good, w, 2, 4), "b8 d512");
}

// ---------------------------------------------------------------------------
// Single-query scan kernels.

using ScanFn = std::function<void(const std::uint8_t*, std::size_t, std::size_t, const float*, float, TopK&)>;

// The single-query scan of every runnable tier.
std::vector<ScanFn> scans_for(unsigned bits) {
    std::vector<ScanFn> out;
    for (Tier t : runnable_tiers())
        out.push_back([t, bits](const std::uint8_t* codes, std::size_t n, std::size_t d, const float* table,
                                float scale, TopK& tk) {
            quant_scan_one(kernel_table(t), bits, codes, n, d, table, scale, tk);
        });
    return out;
}

// Every document's (id, score) in the order the accumulator keeps them.
std::vector<Hit> run_scan(const ScanFn& scan, const std::vector<std::uint8_t>& codes, std::size_t n, std::size_t d,
                          const std::vector<float>& table, float scale, std::size_t k,
                          const std::vector<std::pair<std::uint64_t, float>>& prefill = {}) {
    TopK tk(k);
    for (auto [id, s] : prefill) tk.maybe_insert(id, s);
    scan(codes.data(), n, d, table.data(), scale, tk);
    std::vector<float> s(k);
    std::vector<std::int64_t> ids(k);
    std::vector<TopK::Record> scratch;
    tk.finalize_into_with_scratch(s.data(), k, ids.data(), k, scratch);
    std::vector<Hit> out;
    for (std::size_t i = 0; i < k; ++i) out.push_back({s[i], ids[i]});
    return out;
}

void expect_hits_eq(const std::vector<Hit>& a, const std::vector<Hit>& b, const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(order_key(a[i].score), order_key(b[i].score)) << what << " at " << i;
        ASSERT_EQ(a[i].id, b[i].id) << what << " at " << i;
    }
}

class QuantScan : public ::testing::TestWithParam<unsigned> {};

TEST_P(QuantScan, SearchTablesGiveReferenceTopK) {
    const unsigned bits = GetParam();
    for (std::size_t d : {8, 64, 256, 768}) {
        if (d % (8 / bits)) continue;
        for (std::size_t n : {0, 1, 7, 8, 9, 17, 500}) {
            std::vector<std::uint8_t> codes(n * d * bits / 8);
            std::mt19937 rng(static_cast<unsigned>(n + d));
            for (auto& b : codes) b = static_cast<std::uint8_t>(rng());  // any codes are valid
            const std::vector<float> q = random_rows(1, d, n * d);
            const std::vector<float> table = ref_table(q.data(), d, bits);
            const float scale = ref_scale(d, bits);
            const std::vector<Hit> all = ref_ranking(codes, n, d, bits, table, scale);
            for (std::size_t k : {std::size_t{1}, std::size_t{5}, n}) {
                if (k > n) continue;
                const std::vector<Hit> want(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k));
                for (const ScanFn& scan : scans_for(bits))
                    expect_hits_eq(run_scan(scan, codes, n, d, table, scale, k), want,
                                   "d=" + std::to_string(d) + " n=" + std::to_string(n) + " k=" + std::to_string(k));
            }
        }
    }
}

TEST_P(QuantScan, ArbitraryTablesGiveReferenceTopK) {
    // Tables of no particular shape, including ones whose sums round, keep
    // the sequential float32 definition.
    const unsigned bits = GetParam();
    const std::size_t d = 64, n = 300, k = 9;
    std::vector<std::uint8_t> codes(n * d * bits / 8);
    std::mt19937 rng(bits);
    for (auto& b : codes) b = static_cast<std::uint8_t>(rng());
    std::normal_distribution<float> normal;
    for (int variant = 0; variant < 4; ++variant) {
        std::vector<float> table = ref_table(random_rows(1, d, 4 + variant).data(), d, bits);
        float scale = ref_scale(d, bits);
        switch (variant) {
            case 0: for (float& t : table) t = normal(rng); break;
            case 1: table[5 << bits] = table[5 << bits] + 0.125f; break;  // one term off the product shape
            case 2: for (float& t : table) t = t * 1048576.0f; break;       // product-like, sums round
            default: scale = -scale; break;                                // search shape, reversed order
        }
        const std::vector<Hit> all = ref_ranking(codes, n, d, bits, table, scale);
        const std::vector<Hit> want(all.begin(), all.begin() + k);
        for (const ScanFn& scan : scans_for(bits))
            expect_hits_eq(run_scan(scan, codes, n, d, table, scale, k), want, "variant " + std::to_string(variant));
    }
}

TEST_P(QuantScan, PrefilledAccumulatorKeepsItsEntries) {
    // The scan must read the accumulator's current threshold, not assume an
    // empty one, and still offer documents that tie with it (a tie goes to
    // the lower id).
    const unsigned bits = GetParam();
    const std::size_t d = 256, n = 400, k = 6;
    std::vector<std::uint8_t> codes(n * d * bits / 8);
    std::mt19937 rng(11 * bits);
    for (auto& b : codes) b = static_cast<std::uint8_t>(rng());
    const std::vector<float> table = ref_table(random_rows(1, d, 12).data(), d, bits);
    const float scale = ref_scale(d, bits);
    std::vector<Hit> all = ref_ranking(codes, n, d, bits, table, scale);
    for (std::size_t cut : {std::size_t{0}, k - 1, std::size_t{40}}) {
        // k entries tied with the cut-th document, ids above every document.
        std::vector<std::pair<std::uint64_t, float>> pre;
        std::vector<Hit> merged = all;
        for (std::size_t e = 0; e < k; ++e) {
            pre.push_back({n + 100 + e, all[cut].score});
            merged.push_back({all[cut].score, static_cast<std::int64_t>(n + 100 + e)});
        }
        std::sort(merged.begin(), merged.end(), [](const Hit& a, const Hit& b) {
            const std::int64_t ka = order_key(a.score), kb = order_key(b.score);
            return ka != kb ? ka > kb : a.id < b.id;
        });
        const std::vector<Hit> want(merged.begin(), merged.begin() + k);
        for (const ScanFn& scan : scans_for(bits))
            expect_hits_eq(run_scan(scan, codes, n, d, table, scale, k, pre), want,
                           "cut " + std::to_string(cut));
    }
}

// Product-shaped tables with the largest weights the integer scan accepts:
// 16-bit lanes must be widened before they overflow, and sums that could
// round in float32 must not take the integer route at all.
class QuantScanHeavy : public ::testing::TestWithParam<std::tuple<unsigned, std::size_t, int>> {};

TEST_P(QuantScanHeavy, MatchesReference) {
    const auto [bits, d, b] = GetParam();
    const unsigned levels = 1u << bits;
    const float centre = (static_cast<float>(levels) - 1.0f) * 0.5f;
    std::vector<float> table(d * levels);
    for (std::size_t j = 0; j < d; ++j)
        for (unsigned c = 0; c < levels; ++c)
            table[j * levels + c] = (static_cast<float>(c) - centre) * (static_cast<float>(b) * 0.5f);
    const std::size_t n = 5, bpv = d * bits / 8;
    std::vector<std::uint8_t> codes(n * bpv);
    std::mt19937 rng(static_cast<unsigned>(d));
    for (std::size_t i = 0; i < n * bpv; ++i)
        codes[i] = i < 2 * bpv ? (i < bpv ? 0xFF : 0x00) : static_cast<std::uint8_t>(rng());
    const float scale = 1.0f / static_cast<float>(d);
    const std::vector<Hit> all = ref_ranking(codes, n, d, bits, table, scale);
    for (const ScanFn& scan : scans_for(bits))
        expect_hits_eq(run_scan(scan, codes, n, d, table, scale, n), all, "heavy");
}

INSTANTIATE_TEST_SUITE_P(
    Weights, QuantScanHeavy,
    ::testing::Values(std::make_tuple(4u, std::size_t{4000}, 15), std::make_tuple(4u, std::size_t{4000}, -127),
                      std::make_tuple(2u, std::size_t{4096}, 127), std::make_tuple(1u, std::size_t{65528}, 127),
                      std::make_tuple(4u, std::size_t{65520}, 127), std::make_tuple(4u, std::size_t{65520}, -125),
                      std::make_tuple(2u, std::size_t{65532}, 127)));

INSTANTIATE_TEST_SUITE_P(Widths, QuantScan, ::testing::Values(1u, 2u, 4u, 8u));

// ---------------------------------------------------------------------------
// The kernel table.

TEST(QuantTable, PortableScansAndInheritance) {
    const KernelTable& p = kernel_table(Tier::portable);
    EXPECT_EQ(portable_scan(1), &scan_b1_to_topk);
    EXPECT_EQ(portable_scan(2), &scan_b2_to_topk);
    EXPECT_EQ(portable_scan(4), &scan_b4_to_topk);
    EXPECT_EQ(portable_scan(8), &scan_b8_to_topk);
    EXPECT_EQ(p.quant_int_scan, nullptr);
    // The table scans are the definition: only the portable tier installs
    // them, and every tier inherits them.
    for (Tier t : runnable_tiers())
        for (std::size_t w = 0; w < 4; ++w) {
            EXPECT_NE(p.quant_table_scan[w], nullptr);
            EXPECT_EQ(kernel_table(t).quant_table_scan[w], p.quant_table_scan[w]) << tier_name(t);
        }
}

}  // namespace
}  // namespace kwivel
