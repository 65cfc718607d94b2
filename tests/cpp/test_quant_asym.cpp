// RankQuant asymmetric search, subset rerank and evaluation search: every
// tier against a float64 reference of the centred-code cosine (float scores
// agree to single-precision rounding) and against each other on rankings;
// the evaluation search bit for bit against a literal float32 reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "index/eval_search.h"
#include "index/rank_quant.h"
#include "ordinal/rank_transform.h"
#include "kernels/quant_asym.h"
#include "search/quant_asym_search.h"
#include "search/scan_support.h"
#include "tiers.h"

namespace kwivel {
namespace {

std::vector<float> random_rows(std::size_t n, std::size_t dim, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> v(n * dim);
    for (float& x : v) x = dist(gen);
    return v;
}

// Codes of a row from a stable sort of its values.
std::vector<unsigned> ref_codes(const float* v, std::size_t d, unsigned bits) {
    std::vector<std::size_t> order(d);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    std::vector<unsigned> c(d);
    for (std::size_t p = 0; p < d; ++p) c[order[p]] = static_cast<unsigned>((std::uint64_t{p} << bits) / d);
    return c;
}

// The document norm in double: analytic, or the exact norm of one row when
// 8-bit composition is not constant (from the bucket histogram).
double ref_norm(std::size_t dim, unsigned bits) {
    const double levels = std::ldexp(1.0, static_cast<int>(bits));
    if (bits != 8 || dim % 256 == 0) return std::sqrt(dim * (levels * levels - 1.0) / 12.0);
    std::vector<double> count(256, 0.0);
    for (std::size_t r = 0; r < dim; ++r) count[(r * 256) / dim] += 1.0;
    double s = 0.0;
    for (int b = 0; b < 256; ++b) s += count[b] * (b - 127.5) * (b - 127.5);
    return std::sqrt(s);
}

// Full float64 score matrix (nq x n).
std::vector<double> ref_scores(const std::vector<float>& docs, const std::vector<float>& qs, std::size_t dim,
                               unsigned bits) {
    const std::size_t n = docs.size() / dim, nq = qs.size() / dim;
    const double centre = (std::ldexp(1.0, static_cast<int>(bits)) - 1.0) / 2.0, norm = ref_norm(dim, bits);
    std::vector<double> out(nq * n);
    for (std::size_t q = 0; q < nq; ++q) {
        double ss = 0.0;
        for (std::size_t j = 0; j < dim; ++j) ss += double(qs[q * dim + j]) * qs[q * dim + j];
        const double qnorm = std::sqrt(ss);
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<unsigned> c = ref_codes(docs.data() + i * dim, dim, bits);
            double s = 0.0;
            if (qnorm > 1e-12)
                for (std::size_t j = 0; j < dim; ++j) s += (c[j] - centre) * (qs[q * dim + j] / qnorm);
            out[q * n + i] = s / norm;
        }
    }
    return out;
}

// A few float32 roundings of sums of dim terms of size up to 1.
double score_tol(std::size_t dim) { return 8.0 * std::sqrt(double(dim)) * 0x1p-24; }

// A result row is the k best of ref (up to tol), best first, each score
// within tol of its document's reference score.
void expect_topk(const float* scores, const std::int64_t* ids, std::size_t k, const double* ref, std::size_t n,
                 double tol, const std::string& what) {
    std::vector<double> sorted(ref, ref + n);
    std::sort(sorted.rbegin(), sorted.rend());
    for (std::size_t i = 0; i < k; ++i) {
        ASSERT_GE(ids[i], 0) << what;
        ASSERT_LT(ids[i], static_cast<std::int64_t>(n)) << what;
        EXPECT_NEAR(scores[i], ref[ids[i]], tol) << what << " rank " << i;
        EXPECT_GE(ref[ids[i]], sorted[i] - 2 * tol) << what << " rank " << i;
        if (i > 0) {
            EXPECT_GE(scores[i - 1], scores[i]) << what;
        }
    }
}

// Two rankings agree except between documents whose reference scores are
// within 2 tol.
void expect_same_ranking(const SearchResult& a, const SearchResult& b, const double* ref, std::size_t n,
                         double tol, const std::string& what) {
    ASSERT_EQ(a.ids.size(), b.ids.size()) << what;
    for (std::size_t q = 0; q < a.nq; ++q)
        for (std::size_t i = 0; i < a.k_eff; ++i) {
            const std::int64_t x = a.ids[q * a.k_eff + i], y = b.ids[q * a.k_eff + i];
            if (x != y) {
                EXPECT_NEAR(ref[q * n + x], ref[q * n + y], 2 * tol) << what << " q " << q << " rank " << i;
            }
        }
}

std::string panic_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.what();
    }
    return "(no panic)";
}

// ---------------------------------------------------------------------------
// Path choice and norm.

TEST(QuantAsymTier, RuleOnMadeUpLadders) {
    using enum Tier;
    constexpr Tier scalar = portable;
    struct Case {
        Tier ladder;
        std::size_t dim;
        unsigned bits;
        Tier want;
    };
    const Case cases[] = {
        {avx512, 96, 2, avx2},    {avx512, 72, 4, avx2},      {avx512, 72, 2, scalar},
        {avx512, 64, 2, avx512},  {avx512, 128, 4, avx512},   {avx512_vpopcnt, 768, 4, avx512},
        {avx512, 64, 1, scalar},  {avx512, 256, 8, scalar},   {avx2, 64, 2, avx2},
        {avx2, 768, 4, avx2},     {avx2, 36, 2, scalar},      {avx2, 12, 4, scalar},
        {portable, 64, 4, scalar}, {portable, 768, 2, scalar}, {avx2, 8, 1, scalar},
    };
    for (const Case& c : cases)
        EXPECT_EQ(select_simd_tier(c.ladder, c.dim, c.bits), c.want)
            << tier_name(c.ladder) << " dim " << c.dim << " bits " << c.bits;
    EXPECT_EQ(select_simd_tier(64, 2), select_simd_tier(active_tier(), 64, 2));
}

TEST(QuantAsymTier, NormIsAnalyticOrExact) {
    for (unsigned bits : {1u, 2u, 4u, 8u})
        for (std::size_t dim : {2, 48, 100, 256, 768, 65535})
            EXPECT_EQ(asymmetric_norm(dim, bits), static_cast<float>(ref_norm(dim, bits))) << dim << " " << bits;
    EXPECT_EQ(panic_message([] { asymmetric_norm(64, 3); }), "bits must be 1,2,4,8");
    EXPECT_EQ(panic_message([] { asymmetric_norm(1, 8); }), "dim must be >= 2");
    EXPECT_EQ(panic_message([] { asymmetric_norm(65536 + 1, 8); }), "dim must fit in u16");
}

// ---------------------------------------------------------------------------
// Full and subset searches, every tier.

class QuantAsymEachTier : public testing::TestWithParam<Tier> {
protected:
    void SetUp() override {
        if (GetParam() > active_tier()) GTEST_SKIP() << "this machine does not run the " << tier_name(GetParam()) << " tier";
    }
};

struct Shape {
    unsigned bits;
    std::size_t dim;
};
// Every path: scalar 1, 2, 4 bits; AVX2 2 bits (96) and 4 bits (48); AVX-512
// (64, 768); 8 bits with the gather (256, 48) and without (100).
const Shape kShapes[] = {{1, 64}, {2, 36}, {2, 96}, {2, 64}, {4, 48}, {4, 768}, {4, 64}, {8, 256}, {8, 48}, {8, 100}};

TEST_P(QuantAsymEachTier, ScoresMatchFloat64ReferenceAndPortableRanking) {
    const Tier tier = GetParam();
    for (const Shape& sh : kShapes) {
        const std::size_t n = 157, nq = 7, k = 12;
        const std::vector<float> docs = random_rows(n, sh.dim, 11 * sh.dim + sh.bits);
        std::vector<float> qs = random_rows(nq, sh.dim, 5 * sh.dim + sh.bits);
        for (std::size_t j = 0; j < sh.dim; ++j) qs[j] = std::fabs(qs[j]) + 3.0f;  // a large centring term
        RankQuantIndex idx(sh.dim, sh.bits);
        idx.add(docs.data(), docs.size());
        const std::vector<double> ref = ref_scores(docs, qs, sh.dim, sh.bits);
        const double tol = score_tol(sh.dim);
        const std::string what = std::string(tier_name(tier)) + " bits " + std::to_string(sh.bits) + " dim " +
                                 std::to_string(sh.dim);
        const SearchResult got = quant_search_asymmetric(idx.rows(), qs.data(), nq, k, tier);
        ASSERT_EQ(got.scores.size(), nq * k) << what;
        for (std::size_t q = 0; q < nq; ++q)
            expect_topk(got.scores.data() + q * k, got.ids.data() + q * k, k, ref.data() + q * n, n, tol,
                        what + " q " + std::to_string(q));
        expect_same_ranking(got, quant_search_asymmetric(idx.rows(), qs.data(), nq, k, Tier::portable), ref.data(), n,
                            tol, what);
        // One query at a time gives the batch's bits.
        const SearchResult one = quant_search_asymmetric(idx.rows(), qs.data() + 3 * sh.dim, 1, k, tier);
        for (std::size_t i = 0; i < k; ++i) {
            EXPECT_EQ(one.ids[i], got.ids[3 * k + i]) << what;
            EXPECT_EQ(one.scores[i], got.scores[3 * k + i]) << what;
        }
    }
}

TEST_P(QuantAsymEachTier, SubsetScoresAreTheFullSearchScoresTiesByGlobalId) {
    const Tier tier = GetParam();
    std::mt19937 gen(17);
    for (const Shape& sh : kShapes) {
        const std::size_t n = 60;
        std::vector<float> docs = random_rows(n, sh.dim, 7 * sh.dim + sh.bits);
        std::copy(docs.begin(), docs.begin() + sh.dim, docs.begin() + 33 * sh.dim);  // equal to row 0
        RankQuantIndex idx(sh.dim, sh.bits);
        idx.add(docs.data(), docs.size());
        const std::vector<float> q = random_rows(1, sh.dim, sh.dim);
        const SearchResult full = quant_search_asymmetric(idx.rows(), q.data(), 1, n, tier);
        std::vector<float> score_of(n);
        for (std::size_t i = 0; i < n; ++i) score_of[full.ids[i]] = full.scores[i];
        std::vector<std::uint32_t> cands;
        for (std::size_t m = 0; m < 30; ++m) cands.push_back(static_cast<std::uint32_t>(gen() % n));
        cands.push_back(33);
        cands.push_back(0);
        for (std::size_t k : {0, 1, 7, 100}) {
            const SearchResult got =
                quant_search_asymmetric_subset(idx.rows(), q.data(), sh.dim, cands.data(), cands.size(), k, tier);
            std::vector<std::pair<float, std::int64_t>> want;
            for (std::uint32_t c : cands) want.push_back({score_of[c], c});
            std::stable_sort(want.begin(), want.end(), [](const auto& a, const auto& b) {
                return a.first != b.first ? a.first > b.first : a.second < b.second;
            });
            want.resize(std::min(k, cands.size()));
            ASSERT_EQ(got.ids.size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                EXPECT_EQ(got.ids[i], want[i].second) << tier_name(tier) << " " << sh.bits << " " << sh.dim;
                EXPECT_EQ(got.scores[i], want[i].first) << tier_name(tier) << " " << sh.bits << " " << sh.dim;
            }
        }
    }
}

// Each path's accumulation scheme written out lane by lane (std::fma for
// the vector paths): scores must match bit for bit.
float scheme_score(Tier simd, unsigned bits, const std::vector<unsigned>& c, const std::vector<float>& qn,
                   float inv) {
    const std::size_t dim = c.size();
    const float centre = (static_cast<float>(1u << bits) - 1.0f) * 0.5f;
    if (simd == Tier::portable) {
        float sum = 0.0f;
        for (std::size_t j = 0; j < dim; ++j) sum = sum + (static_cast<float>(c[j]) - centre) * qn[j];
        return sum * inv;
    }
    float acc[4][16] = {};
    std::size_t lanes = 16, nacc = 4;
    if (bits == 8) {  // the gather: groups of 16 rotate over 4 accumulators, leftovers to 0
        const std::size_t groups = dim / 16, full = groups / 4 * 4;
        for (std::size_t g = 0; g < groups; ++g)
            for (std::size_t l = 0; l < 16; ++l) {
                const std::size_t j = 16 * g + l;
                float& a = acc[g < full ? g % 4 : 0][l];
                a = a + (static_cast<float>(c[j]) + (-127.5f)) * qn[j];
            }
    } else {
        lanes = simd == Tier::avx512 ? 16 : 8;
        nacc = simd == Tier::avx512 ? 4 : bits == 2 ? 2 : 1;
        for (std::size_t j = 0; j < dim; ++j) {
            float& a = acc[(j / lanes) % nacc][j % lanes];
            a = std::fma(static_cast<float>(c[j]), qn[j], a);
        }
    }
    float v[16];
    for (std::size_t l = 0; l < lanes; ++l)
        v[l] = nacc == 4 ? (acc[0][l] + acc[1][l]) + (acc[2][l] + acc[3][l]) : nacc == 2 ? acc[0][l] + acc[1][l] : acc[0][l];
    if (lanes == 16)
        for (std::size_t l = 0; l < 8; ++l) v[l] = v[l] + v[l + 8];
    for (std::size_t l = 0; l < 4; ++l) v[l] = v[l] + v[l + 4];
    const float f = lanes == 16 ? (v[0] + v[2]) + (v[1] + v[3]) : (v[0] + v[1]) + (v[2] + v[3]);
    return f * inv;
}

TEST_P(QuantAsymEachTier, EveryPathFollowsItsAccumulationSchemeBitForBit) {
    const Tier tier = GetParam();
    for (const Shape& sh : kShapes) {
        const std::size_t n = 37;
        const std::vector<float> docs = random_rows(n, sh.dim, 19 * sh.dim + sh.bits);
        const std::vector<float> q = random_rows(1, sh.dim, 23 * sh.dim);
        RankQuantIndex idx(sh.dim, sh.bits);
        idx.add(docs.data(), docs.size());
        const Tier simd = select_simd_tier(tier, sh.dim, sh.bits);
        const bool gather = sh.bits == 8 && tier >= Tier::avx512 && sh.dim % 16 == 0;
        const float inv = 1.0f / asymmetric_norm(sh.dim, sh.bits);
        const std::vector<float> qn = l2_normalise(q.data(), sh.dim);
        float s = -0.0f;
        for (float x : qn) s = s + x;
        const float centre = (static_cast<float>(1u << sh.bits) - 1.0f) * 0.5f;
        const float offset = simd == Tier::portable ? -0.0f : (s * (-centre)) * inv;
        const SearchResult got = quant_search_asymmetric(idx.rows(), q.data(), 1, n, tier);
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<unsigned> c = ref_codes(docs.data() + got.ids[i] * sh.dim, sh.dim, sh.bits);
            const Tier path = sh.bits == 8 ? (gather ? Tier::avx512 : Tier::portable) : simd;
            const float want = scheme_score(path, sh.bits, c, qn, inv) + offset;
            EXPECT_EQ(got.scores[i], want) << tier_name(tier) << " bits " << sh.bits << " dim " << sh.dim;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ladder, QuantAsymEachTier, testing::ValuesIn(tiers::all_tiers()),
                         [](const auto& info) { return std::string(tier_name(info.param)); });

TEST(QuantAsymSubset, RefusalsAndEmptyShapes) {
    RankQuantIndex idx(64, 2);
    const std::vector<float> docs = random_rows(2, 64, 1);
    idx.add(docs.data(), docs.size());
    const std::uint32_t three[] = {0, 0, 0}, bad[] = {1, 2};
    EXPECT_EQ(panic_message([&] { idx.search_asymmetric_subset(docs.data(), 64, three, 3, 1); }),
              "search_asymmetric_subset: candidate list length 3 exceeds n_vectors 2; deduplicate repeated ids "
              "before calling");
    EXPECT_EQ(panic_message([&] { idx.search_asymmetric_subset(docs.data(), 64, bad, 2, 1); }),
              "search_asymmetric_subset: candidate id out of range (n_vectors 2)");
    EXPECT_THROW(idx.search_asymmetric_subset(docs.data(), 63, bad, 1, 1), Panic);
    std::vector<float> nan = docs;
    nan[5] = std::nanf("");
    EXPECT_THROW(idx.search_asymmetric_subset(nan.data(), 64, bad, 1, 1), Panic);
    EXPECT_TRUE(idx.search_asymmetric_subset(docs.data(), 64, bad, 0, 5).ids.empty());
    EXPECT_TRUE(idx.search_asymmetric_subset(docs.data(), 64, bad, 1, 0).ids.empty());
    const RankQuantIndex empty(64, 2);
    EXPECT_TRUE(empty.search_asymmetric_subset(docs.data(), 64, bad, 0, 5).ids.empty());
    const SearchResult r = empty.search_asymmetric(docs.data(), 128, 4);
    EXPECT_EQ(r.nq, 2u);
    EXPECT_EQ(r.k_eff, 0u);
    EXPECT_TRUE(idx.search_asymmetric(docs.data(), 0, 4).ids.empty());
    EXPECT_EQ(panic_message([&] { idx.search_asymmetric(docs.data(), 65, 1); }),
              "vectors length must be a multiple of dim");
}

TEST(QuantAsymKernels, PreconditionsAreAsserted) {
    EXPECT_EQ(panic_message([] { kern::check_asym_shape(Tier::avx2, 2, 72); }),
              "b=2 AVX2 path needs dim % 16 == 0");
    EXPECT_EQ(panic_message([] { kern::check_asym_shape(Tier::avx2, 4, 12); }),
              "b=4 AVX2 path needs dim % 8 == 0");
    EXPECT_EQ(panic_message([] { kern::check_asym_shape(Tier::avx512, 2, 96); }),
              "b=2 AVX-512 path needs dim % 64 == 0 for 4-way unroll");
    EXPECT_EQ(panic_message([] { kern::check_asym_shape(Tier::avx512, 4, 48); }),
              "b=4 AVX-512 path needs dim % 64 == 0 for 4-way unroll");
}

TEST(QuantAsymKernels, GatherPreconditionsAreAsserted) {
    if (active_tier() < Tier::avx512) GTEST_SKIP() << "this machine does not run the avx512 tier";
    const auto gather = kernel_table(Tier::avx512).quant_b8_gather;
    ASSERT_NE(gather, nullptr);
    std::vector<float> table(48 * 256);
    std::vector<std::uint8_t> codes(48);
    TopK tk(1);
    float thr = tk.threshold();
    const kern::Offers offers = search::topk_offers(&tk, &thr);
    EXPECT_EQ(panic_message([&] { gather(codes.data(), 1, 40, table.data(), 40 * 256, 1.0f, -0.0f, offers); }),
              "b=8 AVX-512 gather path needs dim % 16 == 0");
    EXPECT_EQ(panic_message([&] { gather(codes.data(), 1, 48, table.data(), 100, 1.0f, -0.0f, offers); }),
              "b=8 LUT must be dim * 256 entries");
}

// ---------------------------------------------------------------------------
// Evaluation search.

// The score written out literally in float32, every row scored, sorted.
SearchResult ref_eval(const std::vector<float>& corpus, const std::vector<float>& qs, std::size_t dim,
                      unsigned bits, std::size_t k) {
    const std::size_t n = corpus.size() / dim, nq = qs.size() / dim;
    const float centre = (static_cast<float>(1u << bits) - 1.0f) * 0.5f;
    float s = 0.0f;
    for (std::size_t r = 0; r < dim; ++r) {
        const float c = static_cast<float>((std::uint64_t{r} << bits) / dim) - centre;
        s = s + c * c;
    }
    const float scale = 1.0f / (std::sqrt(s) * std::sqrt(s));
    SearchResult out = SearchResult::sized(nq, std::min(k, n));
    for (std::size_t q = 0; q < nq; ++q) {
        const std::vector<unsigned> qc = ref_codes(qs.data() + q * dim, dim, bits);
        std::vector<std::pair<float, std::int64_t>> hits;
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<unsigned> c = ref_codes(corpus.data() + i * dim, dim, bits);
            float x = -0.0f;
            for (std::size_t j = 0; j < dim; ++j) {
                const float p = (static_cast<float>(qc[j]) - centre) * (static_cast<float>(c[j]) - centre);
                x = x + p;
            }
            hits.push_back({x * scale, static_cast<std::int64_t>(i)});
        }
        std::stable_sort(hits.begin(), hits.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (std::size_t i = 0; i < out.k_eff; ++i) {
            out.scores[q * out.k_eff + i] = hits[i].first;
            out.ids[q * out.k_eff + i] = hits[i].second;
        }
    }
    return out;
}

class EvalEachTier : public QuantAsymEachTier {};

TEST_P(EvalEachTier, BitForBitTheLiteralFloat32Sum) {
    const Tier tier = GetParam();
    for (unsigned bits = 1; bits <= 8; ++bits)
        for (std::size_t dim : {2, 10, 33, 96}) {
            const std::size_t n = 45;
            std::vector<float> corpus = random_rows(n, dim, 13 * dim + bits);
            std::copy(corpus.begin(), corpus.begin() + dim, corpus.begin() + 20 * dim);  // a duplicate row
            const std::vector<float> qs = random_rows(6, dim, 29 * dim + bits);
            for (std::size_t k : {1, 9, 60}) {
                const SearchResult got =
                    rankquant_eval_search(corpus.data(), corpus.size(), qs.data(), qs.size(), dim, bits, k, tier);
                const SearchResult want = ref_eval(corpus, qs, dim, bits, k);
                EXPECT_EQ(got.ids, want.ids) << tier_name(tier) << " bits " << bits << " dim " << dim;
                EXPECT_EQ(got.scores, want.scores) << tier_name(tier) << " bits " << bits << " dim " << dim;
            }
        }
}

INSTANTIATE_TEST_SUITE_P(Ladder, EvalEachTier, testing::ValuesIn(tiers::all_tiers()),
                         [](const auto& info) { return std::string(tier_name(info.param)); });

TEST(EvalSearch, InternalChecksAndEmptyShapes) {
    const std::vector<float> v = random_rows(4, 8, 1);
    const Tier t = active_tier();
    EXPECT_EQ(panic_message([&] { rankquant_eval_search(v.data(), 32, v.data(), 8, 8, 9, 1, t); }),
              "bits must be in 1..=8");
    EXPECT_EQ(panic_message([&] { rankquant_eval_search(v.data(), 32, v.data(), 8, 1, 2, 1, t); }),
              "dim must be >= 2");
    EXPECT_EQ(panic_message([&] { rankquant_eval_search(v.data(), 32, v.data(), 8, 65536, 2, 1, t); }),
              "dim must fit in u16");
    EXPECT_EQ(panic_message([&] { rankquant_eval_search(v.data(), 31, v.data(), 8, 8, 2, 1, t); }),
              "corpus length must be a multiple of dim");
    EXPECT_EQ(panic_message([&] { rankquant_eval_search(v.data(), 32, v.data(), 7, 8, 2, 1, t); }),
              "queries length must be a multiple of dim");
    SearchResult r = rankquant_eval_search(v.data(), 32, v.data(), 16, 8, 2, 0, t);
    EXPECT_EQ(r.nq, 2u);
    EXPECT_EQ(r.k_eff, 0u);
    r = rankquant_eval_search(v.data(), 32, v.data(), 0, 8, 2, 3, t);
    EXPECT_EQ(r.nq, 0u);
    EXPECT_EQ(r.k_eff, 3u);
    r = rankquant_eval_search(v.data(), 32, v.data(), 8, 8, 2, 10, t);
    EXPECT_EQ(r.k_eff, 4u);
}

}  // namespace
}  // namespace kwivel
