// Bitmap index: the stored and query bit rules against a rank-transform and
// stable-sort reference, every search form against a brute-force
// std::popcount oracle on each tier, and the KWBM file checks in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <unistd.h>
#include <numeric>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "index/bitmap.h"
#include "io/formats.h"
#include "kernels/top_bits.h"
#include "ordinal/rank_transform.h"
#include "tiers.h"

namespace kwivel {
namespace {

using Words = std::vector<std::uint64_t>;

Words words_of(const BitmapIndex& idx) { return Words(idx.words().begin(), idx.words().end()); }

// Rows drawn from a few levels (ties everywhere, -0.0 beside +0.0) or
// continuous values.
std::vector<float> rows(std::size_t n, std::size_t dim, std::uint32_t seed, bool tied) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g;
    std::vector<float> v(n * dim);
    const float levels[] = {-1.0f, -0.0f, 0.0f, 0.5f, 2.0f};
    for (auto& x : v) x = tied ? levels[rng() % 5] : g(rng);
    return v;
}

// Stored rule: rank (equal values in index order) >= dim - n_top.
Words stored_reference(const float* v, std::size_t dim, std::size_t n_top) {
    const std::vector<std::uint16_t> r = rank_transform(v, dim);
    Words w(dim / 64, 0);
    for (std::size_t j = 0; j < dim; ++j)
        if (r[j] >= dim - n_top) w[j / 64] |= std::uint64_t{1} << (j % 64);
    return w;
}

// Query rule: first n_top of a stable descending sort.
Words query_reference(const float* v, std::size_t dim, std::size_t n_top) {
    std::vector<std::size_t> order(dim);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] > v[b]; });
    Words w(dim / 64, 0);
    for (std::size_t i = 0; i < n_top; ++i) w[order[i] / 64] |= std::uint64_t{1} << (order[i] % 64);
    return w;
}

std::vector<std::uint32_t> overlaps(const BitmapIndex& idx, const Words& q) {
    std::vector<std::uint32_t> o(idx.size());
    for (std::size_t i = 0; i < idx.size(); ++i)
        for (std::size_t w = 0; w < q.size(); ++w)
            o[i] += static_cast<std::uint32_t>(std::popcount(q[w] & idx.row(i)[w]));
    return o;
}

// Ids best-first: overlap descending, id ascending.
std::vector<std::uint32_t> ranked(const std::vector<std::uint32_t>& o, std::size_t m) {
    std::vector<std::uint32_t> ids(o.size());
    std::iota(ids.begin(), ids.end(), 0u);
    std::stable_sort(ids.begin(), ids.end(), [&](std::uint32_t a, std::uint32_t b) { return o[a] > o[b]; });
    ids.resize(std::min(m, ids.size()));
    return ids;
}

BitmapIndex make(std::size_t dim, std::size_t n_top, const std::vector<float>& v) {
    BitmapIndex idx(dim, n_top);
    idx.add(v.data(), v.size());
    return idx;
}

// ---------------------------------------------------------------------------

TEST(BitmapBits, WorkedExamples) {
    std::vector<float> ramp(64), flat(64, 3.0f), pair(64, 0.0f);
    std::iota(ramp.begin(), ramp.end(), 0.0f);
    pair[0] = pair[1] = 1.0f;
    EXPECT_EQ(words_of(make(64, 1, ramp)), Words{std::uint64_t{1} << 63});
    EXPECT_EQ(words_of(make(64, 4, flat)), Words{0xfULL << 60});
    EXPECT_EQ(words_of(make(64, 1, pair)), Words{2});  // ties at the cut: the higher index
    const BitmapIndex idx(64, 1);
    EXPECT_EQ(idx.build_query_bitmap_fp32(pair.data(), 64), Words{1});  // the query takes the lower
    EXPECT_EQ(idx.build_query_bitmap_fp32(ramp.data(), 64), Words{std::uint64_t{1} << 63});
    EXPECT_EQ(BitmapIndex(64, 4).build_query_bitmap_fp32(flat.data(), 64), Words{0xf});
    // -0.0 and +0.0 are equal: only the index decides.
    std::vector<float> zeros(64, -1.0f);
    zeros[5] = -0.0f;
    zeros[9] = 0.0f;
    EXPECT_EQ(words_of(make(64, 1, zeros)), Words{std::uint64_t{1} << 9});
    zeros[5] = 0.0f;
    zeros[9] = -0.0f;
    EXPECT_EQ(words_of(make(64, 1, zeros)), Words{std::uint64_t{1} << 9});
}

TEST(BitmapBits, ChecksBeforeGrowing) {
    BitmapIndex idx(64, 3);
    std::vector<float> v(128, 1.0f);
    v[100] = std::numeric_limits<float>::infinity();
    EXPECT_THROW(idx.add(v.data(), 128), Panic);
    EXPECT_THROW(idx.add(v.data(), 63), Panic);
    EXPECT_EQ(idx.size(), 0u);
    EXPECT_TRUE(idx.words().empty());
}

// ---------------------------------------------------------------------------
// Searches on every tier.

class BitmapEachTier : public testing::TestWithParam<Tier> {
protected:
    void SetUp() override {
        if (GetParam() > active_tier()) GTEST_SKIP() << "this machine does not run the " << tier_name(GetParam()) << " tier";
    }
};

TEST_P(BitmapEachTier, SearchesMatchBruteForce) {
    const Tier tier = GetParam();
    // n_top 8 and 80 keep batched scores in 8 bits, 320 in 16.
    for (const auto& [dim, n_top] : {std::pair<std::size_t, std::size_t>{64, 8}, {640, 80}, {640, 320}}) {
        const std::size_t n = 300;
        // Tied rows make equal overlaps common, so the id order is exercised.
        const BitmapIndex idx = make(dim, n_top, rows(n, dim, 3, true));
        // m = 37 selects from full score buffers, m = 9 (at most n / 16)
        // filters each block of counts against a running cut.
        for (std::size_t nq = 1; nq <= 17; nq += (nq < 9 ? 1 : 8))
        for (const std::size_t m : {std::size_t{37}, std::size_t{9}}) {
            const auto q = rows(nq, dim, static_cast<std::uint32_t>(nq), nq % 2 == 0);
            const Shortlists batched = idx.top_m_candidates_batched(q.data(), q.size(), m, tier);
            const Shortlists chunked = idx.top_m_candidates_batched_chunked(q.data(), q.size(), m, 3, tier);
            const SearchResult top = idx.search(q.data(), q.size(), m, tier);
            ASSERT_EQ(batched.m_eff, m);
            ASSERT_EQ(chunked.ids, batched.ids);
            for (std::size_t r = 0; r < nq; ++r) {
                const float* qr = q.data() + r * dim;
                const auto o = overlaps(idx, query_reference(qr, dim, n_top));
                const auto want = ranked(o, m);
                const std::string at = "dim " + std::to_string(dim) + " nq " + std::to_string(nq) + " row " + std::to_string(r);
                ASSERT_EQ(idx.top_m_candidates(qr, dim, m, tier), want) << at;
                ASSERT_EQ(std::vector<std::uint32_t>(batched.ids.begin() + r * m, batched.ids.begin() + (r + 1) * m), want) << at;
                for (std::size_t i = 0; i < m; ++i) {
                    ASSERT_EQ(top.ids[r * m + i], want[i]) << at;
                    ASSERT_EQ(top.scores[r * m + i], static_cast<float>(o[want[i]])) << at;
                }
            }
        }
        // Subset forms: unsorted ids with duplicates.
        const auto q = rows(1, dim, 99, false);
        const auto o = overlaps(idx, idx.build_query_bitmap_fp32(q.data(), dim));
        std::vector<std::uint32_t> ids;
        for (std::uint32_t i = 0; i < 120; ++i) ids.push_back((i * 37) % n);
        ids.push_back(ids[5]);
        std::vector<std::uint32_t> got(ids.size());
        const Words qb = idx.build_query_bitmap_fp32(q.data(), dim);
        idx.body_overlap_scores_subset(qb.data(), qb.size(), ids.data(), ids.size(), got.data(), tier);
        for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(got[i], o[ids[i]]);
        for (std::size_t k : {std::size_t{1}, std::size_t{50}, ids.size() + 5}) {
            const SubsetHits h = idx.search_subset(q.data(), dim, ids.data(), ids.size(), k, tier);
            std::vector<std::uint32_t> want = ids;
            std::stable_sort(want.begin(), want.end(), [&](std::uint32_t a, std::uint32_t b) {
                return o[a] != o[b] ? o[a] > o[b] : a < b;
            });
            want.resize(std::min(k, ids.size()));
            ASSERT_EQ(h.ids.size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                ASSERT_EQ(h.ids[i], want[i]);
                ASSERT_EQ(h.scores[i], static_cast<float>(o[want[i]]));
            }
        }
    }
}

TEST_P(BitmapEachTier, StoredAndQueryBitsMatchReferences) {
    const auto top = kernel_table(GetParam()).top_bits;
    const float big = std::numeric_limits<float>::max(), tiny = std::numeric_limits<float>::denorm_min();
    for (std::size_t dim : {64, 128, 640}) {
        std::vector<std::uint32_t> scratch(kern::kTopBitsScratch * dim + 16);
        for (std::size_t n_top : {std::size_t{1}, dim / 4, dim - 1}) {
            for (int kind = 0; kind < 3; ++kind) {
                auto v = rows(20, dim, static_cast<std::uint32_t>(dim + n_top + kind), kind == 0);
                if (kind == 2)  // extremes: the largest and smallest keys, denormals, zeros
                    for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::array<float, 6>{big, -big, tiny, -tiny, 0.0f, -0.0f}[(i * 7 + i / 5) % 6];
                for (std::size_t i = 0; i < 20; ++i) {
                    const float* r = v.data() + i * dim;
                    Words stored(dim / 64, 0), query(dim / 64, 0);
                    top(r, dim, n_top, true, scratch.data(), stored.data());
                    top(r, dim, n_top, false, scratch.data(), query.data());
                    ASSERT_EQ(stored, stored_reference(r, dim, n_top)) << dim << " " << n_top << " " << kind;
                    ASSERT_EQ(query, query_reference(r, dim, n_top)) << dim << " " << n_top << " " << kind;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tiers, BitmapEachTier, testing::ValuesIn(tiers::all_tiers()),
                         [](const testing::TestParamInfo<Tier>& info) { return tiers::tier_label(info.param); });

TEST(BitmapSearch, ShapeEdges) {
    const BitmapIndex empty(128, 16);
    const auto q = rows(3, 128, 1, false);
    EXPECT_TRUE(empty.top_m_candidates(q.data(), 128, 5).empty());
    const Shortlists e = empty.top_m_candidates_batched(q.data(), q.size(), 5);
    EXPECT_EQ(e.nq, 3u);
    EXPECT_EQ(e.m_eff, 0u);
    EXPECT_EQ(empty.search(q.data(), q.size(), 4).k_eff, 0u);

    const BitmapIndex idx = make(128, 16, std::vector<float>(10 * 128, 1.0f));  // identical rows
    const Shortlists none = idx.top_m_candidates_batched_chunked(q.data(), 0, 4, 2);
    EXPECT_EQ(none.nq, 0u);
    EXPECT_EQ(none.m_eff, 4u);
    EXPECT_EQ(idx.top_m_candidates(q.data(), 128, 0).size(), 0u);
    EXPECT_EQ(idx.top_m_candidates(q.data(), 128, 4), (std::vector<std::uint32_t>{0, 1, 2, 3}));
    EXPECT_EQ(idx.top_m_candidates(q.data(), 128, 50).size(), 10u);
    const Shortlists big = idx.top_m_candidates_batched_chunked(q.data(), q.size(), 6, 1000);
    EXPECT_EQ(big.ids, idx.top_m_candidates_batched(q.data(), q.size(), 6).ids);
    EXPECT_EQ(idx.search(q.data(), q.size(), 50).k_eff, 10u);
    EXPECT_THROW(idx.top_m_candidates(q.data(), 64, 1), Panic);
    EXPECT_THROW(idx.top_m_candidates_batched_chunked(q.data(), q.size(), 1, 0), Panic);
    const std::uint32_t bad[] = {3, 10};
    std::uint32_t out[2];
    const Words qb(2, ~std::uint64_t{0});
    EXPECT_THROW(idx.body_overlap_scores_subset(qb.data(), 2, bad, 2, out), Panic);
    idx.body_overlap_scores_subset(qb.data(), 2, bad, 1, out);
    EXPECT_EQ(out[0], 16u);  // an all-ones query meets every stored bit
}

// ---------------------------------------------------------------------------
// KWBM files.

struct Bytes {
    std::vector<std::uint8_t> b;
    Bytes& raw(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes& u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    static Bytes header(std::uint32_t dim, std::uint32_t n_top, std::uint32_t n, std::string_view magic = "KWBM") {
        Bytes x;
        x.raw(magic).b.push_back(1);
        return x.u32(dim).u32(n_top).u32(n);
    }
};

std::string load_error(const Bytes& x) {
    try {
        load_bitmap_from_memory(x.b.data(), x.b.size());
    } catch (const IoError& e) {
        return e.what();
    }
    return "loaded";
}

TEST(BitmapFile, LoadChecksInOrder) {
    const auto cut = [](Bytes x, std::size_t n) {
        x.b.resize(n);
        return x;
    };
    const Bytes ok = Bytes::header(128, 3, 2).u64(7).u64(0).u64(0).u64(0x8000000000000003ULL);
    EXPECT_EQ(load_error(ok), "loaded");
    EXPECT_EQ(load_error(cut(ok, 0)), "KWBM header truncated while reading magic");
    EXPECT_EQ(load_error(cut(ok, 4)), "KWBM header truncated while reading version");
    EXPECT_EQ(load_error(cut(ok, 8)), "KWBM header truncated while reading dim");
    EXPECT_EQ(load_error(cut(ok, 12)), "KWBM header truncated while reading n_top");
    EXPECT_EQ(load_error(cut(ok, 16)), "KWBM header truncated while reading n_vectors");
    EXPECT_EQ(load_error(Bytes::header(128, 3, 2, "KWRQ")), "not an KWBM/HYBM (Bitmap) file: wrong magic");
    EXPECT_EQ(load_error(cut(Bytes::header(1, 0, 0), 9)), "dim 1 out of range [2, 65535]");
    EXPECT_EQ(load_error(Bytes::header(65536, 0, 0)), "dim 65536 out of range [2, 65535]");
    EXPECT_EQ(load_error(cut(Bytes::header(100, 0, 0), 9)), "KWBM dim 100 is not a multiple of 64");
    EXPECT_EQ(load_error(Bytes::header(64, 0, 0)), "KWBM n_top 0 must satisfy 0 < n_top < dim (64)");
    EXPECT_EQ(load_error(Bytes::header(64, 64, 0)), "KWBM n_top 64 must satisfy 0 < n_top < dim (64)");
    EXPECT_EQ(load_error(Bytes::header(64, 1, 67108865)), "n_vectors 67108865 exceeds MAX_VECTORS=67108864");
    EXPECT_EQ(load_error(Bytes::header(65472, 1, 67108864)), "payload 549218942976 B exceeds MAX_PAYLOAD=137438953472");
    EXPECT_EQ(load_error(cut(ok, ok.b.size() - 1)),
              "KWBM payload truncated: header declares 32 B but file has 31 B remaining");
    Bytes extra = ok;
    extra.b.push_back(0);
    EXPECT_EQ(load_error(extra), "KWBM payload has trailing bytes: header declares 32 B but file has 33 B remaining");
    // The first bad row decides; a row with one bit cleared reports n_top - 1.
    EXPECT_EQ(load_error(Bytes::header(64, 2, 3).u64(3).u64(1).u64(0)), "KWBM row 1 has 1 bits set, expected n_top = 2");
}

TEST(BitmapFile, RoundTripAndLegacyMagic) {
    const auto dir = std::filesystem::temp_directory_path() / ("kwbm_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "a.kwbm").string();
    const BitmapIndex idx = make(128, 16, rows(2, 128, 4, false));
    write_bitmap(idx, path);
    EXPECT_EQ(std::filesystem::file_size(path), 17u + 32u);
    const BitmapIndex back = load_bitmap(path);
    EXPECT_EQ(back.words(), idx.words());
    EXPECT_EQ(back.n_top(), 16u);
    write_bitmap(BitmapIndex(64, 5), path);
    EXPECT_EQ(std::filesystem::file_size(path), 17u);
    EXPECT_EQ(load_bitmap(path).n_top(), 5u);

    Bytes legacy = Bytes::header(64, 1, 1, "HYBM").u64(1);
    const BitmapIndex l = load_bitmap_from_memory(legacy.b.data(), legacy.b.size());
    write_bitmap(l, path);
    std::vector<char> head(4);
    std::ifstream(path, std::ios::binary).read(head.data(), 4);
    EXPECT_EQ(std::string(head.begin(), head.end()), "KWBM");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kwivel
