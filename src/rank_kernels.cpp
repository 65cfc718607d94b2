// Exhaustive top-k scans of the Rank index.
//
// Both searches have the same shape.  The queries handed to a task are
// prepared once (centred int16 ranks, or L2-normalised floats) and taken in
// blocks of up to a few hundred.  Each block walks the whole index once, a
// small tile of documents at a time, so the index streams from memory once
// per block rather than once per query, while the tile stays in L1/L2.
// Inside a tile a group of four queries meets two documents (or two lanes of
// eight) in registers.  A score is offered to its query's TopK only when it
// can be admitted (score >= threshold); everything else costs one vector
// compare.  Offers per query arrive in ascending document order.
//
// Symmetric scores are exact integers until the final conversion, so any
// summation order gives the same bits.  Asymmetric scores add their terms in
// coordinate order per document; the vector kernel puts one document in each
// lane, which keeps that order in every lane.
#include "rank_kernels.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "error.h"
#include "parallel.h"
#include "util.h"

#if defined(__x86_64__) || defined(__i386__)
#define KW_RANK_X86 1
#include <immintrin.h>
#endif

#include "simd_avx2.h"

namespace kwivel {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// Queries sharing one pass over a document group (register blocking).
constexpr std::size_t kQueryGroup = 4;
// Prepared queries per block.  The block is re-read once per document tile
// (from L2, or L3 when it does not fit, which the arithmetic per tile easily
// hides); larger blocks mean fewer passes over the index and, for the
// asymmetric search, fewer tile transposes.
constexpr std::size_t kBlockBytes = 512 * 1024;
constexpr std::size_t kMaxBlock = 256;
// Symmetric document tiles are sized to stay in L1 across the query groups.
constexpr std::size_t kSymTileBytes = 24 * 1024;
// Asymmetric tiles: 16 documents (two lanes of 8) transposed to floats.
constexpr std::size_t kAsymTile = 16;

// Queries per block for prepared rows of row_bytes each: a multiple of the
// query group, at least one group.
std::size_t block_capacity(std::size_t row_bytes) {
    return query_block_capacity(row_bytes, kBlockBytes, kQueryGroup, kMaxBlock);
}

// Runs body(lo, hi) over [begin, end) in near-equal blocks of at most cap.
template <class F>
void for_blocks(std::size_t begin, std::size_t end, std::size_t cap, F&& body) {
    const std::size_t n = end - begin;
    if (n == 0) return;
    const std::size_t nblocks = (n + cap - 1) / cap;
    const std::size_t size = (n + nblocks - 1) / nblocks;
    for (std::size_t lo = begin; lo < end; lo += size) body(lo, std::min(end, lo + size));
}

// Spreads prefetches of [p, p + bytes) over `parts` calls; call `part` is
// the part-th share.
inline void prefetch_share(const void* p, std::size_t bytes, std::size_t part, std::size_t parts) {
    if (bytes == 0) return;
    const std::size_t lines = (bytes + 63) / 64;
    const std::size_t lo = lines * part / parts, hi = lines * (part + 1) / parts;
    const char* c = static_cast<const char*>(p);
    for (std::size_t l = lo; l < hi; ++l) __builtin_prefetch(c + 64 * l, 0, 2);
}

// Cache-line aligned float buffer.
class AlignedFloats {
public:
    explicit AlignedFloats(std::size_t n) : buf_(n + 16, 0.0f) {
        auto a = reinterpret_cast<std::uintptr_t>(buf_.data());
        data_ = buf_.data() + ((64 - a % 64) % 64) / sizeof(float);
    }
    float* data() { return data_; }

private:
    std::vector<float> buf_;
    float* data_;
};

void check_kernel(RankKernel kernel) {
#ifdef KW_RANK_X86
    KW_ASSERT(kernel != RankKernel::avx2 || cpu::features().avx2,
              "kwivel: the avx2 rank kernel needs a processor with AVX2");
#else
    KW_ASSERT(kernel == RankKernel::portable,
              "kwivel: the avx2 rank kernel needs an x86 processor");
#endif
}

// Offers the lanes set in mask (lane = query * nd + doc offset), lowest lane
// first, and refreshes the thresholds of the queries that took an offer.
inline void offer_lanes(unsigned mask, const float* scores, std::size_t j, unsigned nd, TopK* tks,
                        float* thr) {
    while (mask) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(mask));
        mask &= mask - 1;
        const unsigned q = lane / nd;
        tks[q].maybe_insert(j + lane % nd, scores[lane]);
        thr[q] = tks[q].threshold();
    }
}

// ---------------------------------------------------------------------------
// Symmetric search.
//
// With rq the query ranks and rd a document's, the score's integer is
//   dot = sum_i (2 rq_i - (d-1)) (2 rd_i - (d-1)).
// The centred query cq_i = 2 rq_i - (d-1) sums to zero (rq is a permutation
// of 0..d-1), so dot = 2 S with S = sum_i cq_i rd_i: documents are used
// as stored, with no per-document centring.  Stored rows are rank
// transforms (the file loader rejects rows that are not permutations), so
// every rd_i is below d: up to d = 32768 it reads the same as int16, and
// |rd_i - (d-1)/2| <= (d-1)/2 gives |S| <= (d-1)/2 * sum_i |cq_i|.  When
// that fits int32 (d <= 2048), wrapping int32 sums in any order give S
// exactly.  float(2S) * 0.25f equals float(S) * 0.5f bit for bit (scaling by
// two commutes with rounding).

// sum over a permutation r of 0..d-1 of |2 r - (d-1)|.
std::uint64_t centred_abs_sum(std::uint64_t d) {
    std::uint64_t s = 0;
    for (std::uint64_t r = 0; r < d; ++r) {
        const std::int64_t c = 2 * static_cast<std::int64_t>(r) - static_cast<std::int64_t>(d - 1);
        s += static_cast<std::uint64_t>(c < 0 ? -c : c);
    }
    return s;
}

// Centred queries fit int16 up to this dimension.
constexpr std::size_t kMaxInt16Dim = 32768;

struct SymScan {
    std::size_t dim = 0;
    std::size_t dimp = 0;    // prepared query stride: dim rounded up to 16
    std::size_t nvec = 0;    // dimp / 16
    std::size_t n = 0;
    const std::uint16_t* ranks = nullptr;
    // Vector kernels read whole 16-lane chunks past the end of a row (the
    // padded query lanes are zero, so the extra terms vanish); documents from
    // n_direct on would read past the index and use padded copies instead.
    std::size_t n_direct = 0;
    const std::int16_t* tail = nullptr;
    // Whether wrapping int32 sums of S are exact (see above).
    bool exact_int32 = false;
    // Otherwise: 16-bit multiply-add steps per int32 lane between flushes
    // into int64 (each step adds at most 2 (d-1)^2 to a lane).
    std::size_t lane_steps = 0;
    float inv = 0.0f;

    const std::int16_t* doc(std::size_t j) const {
        return j < n_direct ? reinterpret_cast<const std::int16_t*>(ranks) + j * dim
                            : tail + (j - n_direct) * dimp;
    }
};

// Score of an exact dot (int64), in the fixed float32 order.
inline float sym_score(std::int64_t dot, float inv) {
    return static_cast<float>(dot) * 0.25f * inv;
}

// Processes documents [j0, j1) for nqg prepared queries (stride dimp).
template <class Q>
using SymGroupFn = void (*)(const SymScan&, const Q* cq, std::size_t nqg, std::size_t j0,
                            std::size_t j1, TopK* tks, float* thr);

// ---- portable symmetric kernels ----

// S for one query and two documents, wrapping int32 sums.  The main loop's
// trip count is visibly a multiple of 16, which lets the compiler vectorise
// it without a scalar epilogue at any optimisation level.
// Kept out of line: inlined into the document loop, GCC 12 at -O2 no longer
// vectorises it.
__attribute__((noinline)) void sym_dot2_i32(const std::int16_t* q, const std::int16_t* d0,
                                            const std::int16_t* d1, std::size_t dim,
                                            std::int32_t& s0, std::int32_t& s1) {
    std::uint32_t a0 = 0, a1 = 0;
    const std::size_t n16 = dim & ~std::size_t{15};
    for (std::size_t i = 0; i < n16; ++i) {
        const std::int32_t c = q[i];
        a0 += static_cast<std::uint32_t>(c * d0[i]);
        a1 += static_cast<std::uint32_t>(c * d1[i]);
    }
    for (std::size_t i = n16; i < dim; ++i) {
        const std::int32_t c = q[i];
        a0 += static_cast<std::uint32_t>(c * d0[i]);
        a1 += static_cast<std::uint32_t>(c * d1[i]);
    }
    s0 = static_cast<std::int32_t>(a0);
    s1 = static_cast<std::int32_t>(a1);
}

inline std::int64_t sym_dot_i64(const std::int16_t* q, const std::int16_t* d, std::size_t dim) {
    std::int64_t a = 0;
    for (std::size_t i = 0; i < dim; ++i) a += static_cast<std::int32_t>(q[i]) * d[i];
    return a;
}

void sym_group_portable(const SymScan& s, const std::int16_t* cq, std::size_t nqg, std::size_t j0,
                        std::size_t j1, TopK* tks, float* thr) {
    const std::int16_t* base = reinterpret_cast<const std::int16_t*>(s.ranks);
    const std::size_t dim = s.dim;
    std::size_t j = j0;
    if (s.exact_int32) {
        for (; j + 2 <= j1; j += 2) {
            const std::int16_t* d0 = base + j * dim;
            for (std::size_t q = 0; q < nqg; ++q) {
                std::int32_t s0, s1;
                sym_dot2_i32(cq + q * s.dimp, d0, d0 + dim, dim, s0, s1);
                const float f0 = sym_score(2 * static_cast<std::int64_t>(s0), s.inv);
                const float f1 = sym_score(2 * static_cast<std::int64_t>(s1), s.inv);
                if (f0 >= thr[q]) {
                    tks[q].maybe_insert(j, f0);
                    thr[q] = tks[q].threshold();
                }
                if (f1 >= thr[q]) {
                    tks[q].maybe_insert(j + 1, f1);
                    thr[q] = tks[q].threshold();
                }
            }
        }
    }
    for (; j < j1; ++j) {
        const std::int16_t* d = base + j * dim;
        for (std::size_t q = 0; q < nqg; ++q) {
            const float f = sym_score(2 * sym_dot_i64(cq + q * s.dimp, d, dim), s.inv);
            if (f >= thr[q]) {
                tks[q].maybe_insert(j, f);
                thr[q] = tks[q].threshold();
            }
        }
    }
}

// Dimensions past the int16 range: int32 centred queries, int64 products.
// Shared by every variant.
void sym_group_wide(const SymScan& s, const std::int32_t* cq, std::size_t nqg, std::size_t j0,
                    std::size_t j1, TopK* tks, float* thr) {
    const std::size_t dim = s.dim;
    for (std::size_t j = j0; j < j1; ++j) {
        const std::uint16_t* d = s.ranks + j * dim;
        for (std::size_t q = 0; q < nqg; ++q) {
            const std::int32_t* c = cq + q * s.dimp;
            std::int64_t a = 0;
            for (std::size_t i = 0; i < dim; ++i) a += static_cast<std::int64_t>(c[i]) * d[i];
            const float f = sym_score(2 * a, s.inv);
            if (f >= thr[q]) {
                tks[q].maybe_insert(j, f);
                thr[q] = tks[q].threshold();
            }
        }
    }
}

template <class Q>
void sym_driver(const SymScan& s, const float* queries, std::size_t nq, std::size_t k_eff,
                SymGroupFn<Q> group, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = block_capacity(s.dimp * sizeof(Q));
    const std::size_t tile_docs = kSymTileBytes / (dim * sizeof(std::uint16_t));
    const std::size_t tile = std::max<std::size_t>(2, std::min<std::size_t>(64, tile_docs) / 2 * 2);
    const std::int32_t offset = static_cast<std::int32_t>(dim) - 1;
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<Q> cq(std::min(cap, hi - lo) * s.dimp, Q{0});
        std::vector<std::uint16_t> r(dim);
        std::vector<float> thr(cap + kQueryGroup);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                rank_transform_into(queries + (b0 + q) * dim, dim, r.data());
                Q* c = cq.data() + q * s.dimp;
                for (std::size_t i = 0; i < dim; ++i)
                    c[i] = static_cast<Q>(2 * static_cast<std::int32_t>(r[i]) - offset);
                tks.emplace_back(k_eff);
                thr[q] = kNegInf;
            }
            const std::size_t groups = (nb + kQueryGroup - 1) / kQueryGroup;
            for (std::size_t t0 = 0; t0 < s.n; t0 += tile) {
                const std::size_t t1 = std::min(s.n, t0 + tile);
                const std::size_t t2 = std::min(s.n, t1 + tile);
                const void* next = s.ranks + t1 * dim;
                const std::size_t next_bytes = (t2 - t1) * dim * sizeof(std::uint16_t);
                for (std::size_t g = 0; g < groups; ++g) {
                    prefetch_share(next, next_bytes, g, groups);
                    const std::size_t q0 = g * kQueryGroup;
                    group(s, cq.data() + q0 * s.dimp, std::min(kQueryGroup, nb - q0), t0, t1,
                          tks.data() + q0, thr.data() + q0);
                }
            }
            for (std::size_t q = 0; q < nb; ++q) {
                const std::size_t row = (b0 + q) * k_eff;
                tks[q].finalize_into_with_scratch(out.scores.data() + row, k_eff,
                                                  out.ids.data() + row, k_eff, scratch);
            }
        });
    });
}

// ---------------------------------------------------------------------------
// Asymmetric search.
//
// score = (sum_i float(rd_i) * u_i - centre * qsum) * inv, the sum taken in
// coordinate order from +0.0.  Documents are transposed, 16 at a time, into
// a coordinate-major float tile (tile[i * 16 + lane]); zero lanes past the
// end of the index are never offered.

struct AsymScan {
    std::size_t dim = 0;
    std::size_t n = 0;
    const std::uint16_t* ranks = nullptr;
    float inv = 0.0f;
};

using AsymFillFn = void (*)(const AsymScan&, std::size_t j0, std::size_t j1, float* tile);
// nqg normalised queries u (stride dim) with their centre * qsum terms cs.
using AsymGroupFn = void (*)(const AsymScan&, const float* u, const float* cs, std::size_t nqg,
                             const float* tile, std::size_t j0, std::size_t j1, TopK* tks,
                             float* thr);

// Transposes lanes [l0, l1) of the tile one value at a time.
void asym_fill_scalar(const AsymScan& s, std::size_t j0, std::size_t j1, std::size_t l0,
                      std::size_t l1, float* tile) {
    const std::size_t dim = s.dim;
    for (std::size_t l = l0; l < l1; ++l) {
        float* t = tile + l;
        if (j0 + l < j1) {
            const std::uint16_t* d = s.ranks + (j0 + l) * dim;
            for (std::size_t i = 0; i < dim; ++i) t[i * kAsymTile] = static_cast<float>(d[i]);
        } else {
            for (std::size_t i = 0; i < dim; ++i) t[i * kAsymTile] = 0.0f;
        }
    }
}

void asym_fill_portable(const AsymScan& s, std::size_t j0, std::size_t j1, float* tile) {
    asym_fill_scalar(s, j0, j1, 0, kAsymTile, tile);
}

// Four float lanes with plain operators: the compiler lowers them to the
// target's vector registers (or to scalars), and each lane is computed with
// the same IEEE float32 multiply and add as the scalar formula.  Spelling
// the lanes out keeps the compiler from vectorising along the coordinate
// loop, whose additions must stay in order.
typedef float f32x4 __attribute__((vector_size(16)));

template <std::size_t NQ>
void asym_tile_portable(const AsymScan& s, const float* u, const float* cs, const float* tile,
                        std::size_t j0, std::size_t j1, TopK* tks, float* thr) {
    constexpr std::size_t kV = kAsymTile / 4;
    const std::size_t dim = s.dim;
    f32x4 acc[NQ][kV];
#pragma GCC unroll 8
    for (std::size_t q = 0; q < NQ; ++q) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < kV; ++v) acc[q][v] = f32x4{0.0f, 0.0f, 0.0f, 0.0f};
    }
    for (std::size_t i = 0; i < dim; ++i) {
        f32x4 t[kV];
        std::memcpy(t, tile + i * kAsymTile, sizeof t);
#pragma GCC unroll 8
        for (std::size_t q = 0; q < NQ; ++q) {
            const float w = u[q * dim + i];
            const f32x4 wv = {w, w, w, w};
#pragma GCC unroll 4
            for (std::size_t v = 0; v < kV; ++v) acc[q][v] = acc[q][v] + t[v] * wv;
        }
    }
    const std::size_t lanes = std::min(kAsymTile, j1 - j0);
    for (std::size_t q = 0; q < NQ; ++q) {
        for (std::size_t l = 0; l < lanes; ++l) {
            const float f = (acc[q][l / 4][l % 4] - cs[q]) * s.inv;
            if (f >= thr[q]) {
                tks[q].maybe_insert(j0 + l, f);
                thr[q] = tks[q].threshold();
            }
        }
    }
}

void asym_group_portable(const AsymScan& s, const float* u, const float* cs, std::size_t nqg,
                         const float* tile, std::size_t j0, std::size_t j1, TopK* tks,
                         float* thr) {
    std::size_t q = 0;
    for (; q + 2 <= nqg; q += 2)
        asym_tile_portable<2>(s, u + q * s.dim, cs + q, tile, j0, j1, tks + q, thr + q);
    if (q < nqg) asym_tile_portable<1>(s, u + q * s.dim, cs + q, tile, j0, j1, tks + q, thr + q);
}

void asym_driver(const AsymScan& s, const float* queries, std::size_t nq, std::size_t k_eff,
                 AsymFillFn fill, AsymGroupFn group, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = block_capacity(dim * sizeof(float));
    const float centre = (static_cast<float>(dim) - 1.0f) * 0.5f;
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<float> u(std::min(cap, hi - lo) * dim);
        std::vector<float> cs(cap), thr(cap + kQueryGroup);
        AlignedFloats tile(dim * kAsymTile);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                const std::vector<float> v = l2_normalise(queries + (b0 + q) * dim, dim);
                float qsum = -0.0f;
                for (std::size_t i = 0; i < dim; ++i) qsum = qsum + v[i];
                std::copy(v.begin(), v.end(), u.begin() + static_cast<std::ptrdiff_t>(q * dim));
                cs[q] = centre * qsum;
                tks.emplace_back(k_eff);
                thr[q] = kNegInf;
            }
            const std::size_t groups = (nb + kQueryGroup - 1) / kQueryGroup;
            for (std::size_t t0 = 0; t0 < s.n; t0 += kAsymTile) {
                const std::size_t t1 = std::min(s.n, t0 + kAsymTile);
                fill(s, t0, t1, tile.data());
                for (std::size_t g = 0; g < groups; ++g) {
                    const std::size_t q0 = g * kQueryGroup;
                    group(s, u.data() + q0 * dim, cs.data() + q0, std::min(kQueryGroup, nb - q0),
                          tile.data(), t0, t1, tks.data() + q0, thr.data() + q0);
                }
            }
            for (std::size_t q = 0; q < nb; ++q) {
                const std::size_t row = (b0 + q) * k_eff;
                tks[q].finalize_into_with_scratch(out.scores.data() + row, k_eff,
                                                  out.ids.data() + row, k_eff, scratch);
            }
        });
    });
}

// ---------------------------------------------------------------------------
// AVX2 kernels.  Only AVX2 integer and single-precision instructions are
// used (no FMA), so AVX2 alone is enough.

#ifdef KW_RANK_X86
KW_AVX2_BEGIN

using avx2::hsum8_epi32;

inline std::int64_t hsum_epi64(__m256i v) {
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_cvtsi128_si64(s) + _mm_extract_epi64(s, 1);
}

// acc[q * ND + d] += 16-bit multiply-adds of query q (rows of cq, stride
// apart) and document dp[d] over 16-lane chunks [v0, v1).
template <unsigned NQ, unsigned ND>
inline void madd_chunks(__m256i* acc, const std::int16_t* const* dp, const std::int16_t* cq,
                        std::size_t stride, std::size_t v0, std::size_t v1) {
#pragma GCC unroll 2
    for (std::size_t v = v0; v < v1; ++v) {
        __m256i dv[ND];
#pragma GCC unroll 8
        for (unsigned d = 0; d < ND; ++d)
            dv[d] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dp[d] + 16 * v));
#pragma GCC unroll 8
        for (unsigned q = 0; q < NQ; ++q) {
            const __m256i qv =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cq + q * stride + 16 * v));
#pragma GCC unroll 8
            for (unsigned d = 0; d < ND; ++d)
                acc[q * ND + d] = _mm256_add_epi32(acc[q * ND + d], _mm256_madd_epi16(qv, dv[d]));
        }
    }
}

// NQ queries x ND documents starting at j; lane q * ND + d of the scores is
// query q against document j + d.
template <unsigned NQ, unsigned ND>
inline void sym_step_avx2(const SymScan& s, const std::int16_t* cq, std::size_t j, TopK* tks,
                          float* thr) {
    static_assert(NQ <= 4 && ND <= 2);
    const std::int16_t* dp[ND];
#pragma GCC unroll 8
    for (unsigned d = 0; d < ND; ++d) dp[d] = s.doc(j + d);
    alignas(32) float sc[8];
    unsigned mask;

    if (s.exact_int32) {
        __m256i acc[8];
#pragma GCC unroll 8
        for (unsigned a = 0; a < 8; ++a) acc[a] = _mm256_setzero_si256();
        madd_chunks<NQ, ND>(acc, dp, cq, s.dimp, 0, s.nvec);
        const __m256 f = _mm256_mul_ps(
            _mm256_mul_ps(_mm256_cvtepi32_ps(hsum8_epi32(acc)), _mm256_set1_ps(0.5f)),
            _mm256_set1_ps(s.inv));
        const __m256i idx = ND == 2 ? _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3)
                                    : _mm256_setr_epi32(0, 1, 2, 3, 3, 3, 3, 3);
        const __m256 t = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(thr)), idx);
        mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(f, t, _CMP_GE_OQ))) &
               ((1u << (NQ * ND)) - 1);
        if (!mask) return;
        _mm256_store_ps(sc, f);
    } else {
        // Per-lane int32 sums, flushed into int64 lanes every lane_steps.
        __m256i wide[NQ * ND];
#pragma GCC unroll 8
        for (unsigned a = 0; a < NQ * ND; ++a) wide[a] = _mm256_setzero_si256();
        for (std::size_t v0 = 0; v0 < s.nvec; v0 += s.lane_steps) {
            __m256i acc[NQ * ND];
#pragma GCC unroll 8
            for (unsigned a = 0; a < NQ * ND; ++a) acc[a] = _mm256_setzero_si256();
            madd_chunks<NQ, ND>(acc, dp, cq, s.dimp, v0, std::min(s.nvec, v0 + s.lane_steps));
#pragma GCC unroll 8
            for (unsigned a = 0; a < NQ * ND; ++a) {
                const __m256i lo = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(acc[a]));
                const __m256i hi = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(acc[a], 1));
                wide[a] = _mm256_add_epi64(wide[a], _mm256_add_epi64(lo, hi));
            }
        }
        mask = 0;
        for (unsigned a = 0; a < NQ * ND; ++a) {
            sc[a] = sym_score(2 * hsum_epi64(wide[a]), s.inv);
            if (sc[a] >= thr[a / ND]) mask |= 1u << a;
        }
        if (!mask) return;
    }
    offer_lanes(mask, sc, j, ND, tks, thr);
}

template <unsigned NQ>
void sym_docs_avx2(const SymScan& s, const std::int16_t* cq, std::size_t j0, std::size_t j1,
                   TopK* tks, float* thr) {
    std::size_t j = j0;
    for (; j + 2 <= j1; j += 2) sym_step_avx2<NQ, 2>(s, cq, j, tks, thr);
    if (j < j1) sym_step_avx2<NQ, 1>(s, cq, j, tks, thr);
}

void sym_group_avx2(const SymScan& s, const std::int16_t* cq, std::size_t nqg, std::size_t j0,
                    std::size_t j1, TopK* tks, float* thr) {
    switch (nqg) {
        case 4: sym_docs_avx2<4>(s, cq, j0, j1, tks, thr); break;
        case 3: sym_docs_avx2<3>(s, cq, j0, j1, tks, thr); break;
        case 2: sym_docs_avx2<2>(s, cq, j0, j1, tks, thr); break;
        default: sym_docs_avx2<1>(s, cq, j0, j1, tks, thr); break;
    }
}

// Sixteen coordinates of eight rows (uint16) to tile rows i..i+15: an 8x8
// transpose of 16-bit values inside each 128-bit half (coordinates i..i+7
// and i+8..i+15 side by side), then widening to float.
inline void fill16_avx2(const std::uint16_t* d, std::size_t dim, std::size_t i, float* tile) {
    __m256i r[8];
#pragma GCC unroll 8
    for (unsigned l = 0; l < 8; ++l)
        r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + l * dim + i));
    const __m256i t0 = _mm256_unpacklo_epi16(r[0], r[1]), t1 = _mm256_unpackhi_epi16(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi16(r[2], r[3]), t3 = _mm256_unpackhi_epi16(r[2], r[3]);
    const __m256i t4 = _mm256_unpacklo_epi16(r[4], r[5]), t5 = _mm256_unpackhi_epi16(r[4], r[5]);
    const __m256i t6 = _mm256_unpacklo_epi16(r[6], r[7]), t7 = _mm256_unpackhi_epi16(r[6], r[7]);
    const __m256i u0 = _mm256_unpacklo_epi32(t0, t2), u1 = _mm256_unpackhi_epi32(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi32(t1, t3), u3 = _mm256_unpackhi_epi32(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi32(t4, t6), u5 = _mm256_unpackhi_epi32(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi32(t5, t7), u7 = _mm256_unpackhi_epi32(t5, t7);
    __m256i c[8];
    c[0] = _mm256_unpacklo_epi64(u0, u4);
    c[1] = _mm256_unpackhi_epi64(u0, u4);
    c[2] = _mm256_unpacklo_epi64(u1, u5);
    c[3] = _mm256_unpackhi_epi64(u1, u5);
    c[4] = _mm256_unpacklo_epi64(u2, u6);
    c[5] = _mm256_unpackhi_epi64(u2, u6);
    c[6] = _mm256_unpacklo_epi64(u3, u7);
    c[7] = _mm256_unpackhi_epi64(u3, u7);
#pragma GCC unroll 8
    for (unsigned m = 0; m < 8; ++m) {
        const __m256 lo = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(c[m])));
        const __m256 hi =
            _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(c[m], 1)));
        _mm256_store_ps(tile + (i + m) * kAsymTile, lo);
        _mm256_store_ps(tile + (i + 8 + m) * kAsymTile, hi);
    }
}

void asym_fill_avx2(const AsymScan& s, std::size_t j0, std::size_t j1, float* tile) {
    const std::size_t dim = s.dim;
    for (std::size_t l0 = 0; l0 < kAsymTile; l0 += 8) {
        if (j0 + l0 + 8 > j1) {
            asym_fill_scalar(s, j0, j1, l0, l0 + 8, tile);
            continue;
        }
        const std::uint16_t* d = s.ranks + (j0 + l0) * dim;
        float* t = tile + l0;
        // The same rows of the next tile are pulled into L2 meanwhile, a
        // line per row every 32 coordinates, so the stream stays ahead.
        const bool ahead = j0 + l0 + kAsymTile + 8 <= s.n;
        const std::uint16_t* next = d + kAsymTile * dim;
        std::size_t i = 0;
        for (; i + 16 <= dim; i += 16) {
            if (ahead && i % 32 == 0) {
#pragma GCC unroll 8
                for (unsigned l = 0; l < 8; ++l) __builtin_prefetch(next + l * dim + i, 0, 2);
            }
            fill16_avx2(d, dim, i, t);
        }
        for (; i < dim; ++i) {
#pragma GCC unroll 8
            for (unsigned l = 0; l < 8; ++l)
                t[i * kAsymTile + l] = static_cast<float>(d[l * dim + i]);
        }
    }
}

// NQ queries against NO lanes of 8 documents of the tile.
template <unsigned NQ, unsigned NO>
inline void asym_step_avx2(const AsymScan& s, const float* u, const float* cs, const float* tile,
                           std::size_t j0, std::size_t j1, TopK* tks, float* thr) {
    const std::size_t dim = s.dim;
    __m256 acc[NQ][NO];
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) {
#pragma GCC unroll 8
        for (unsigned o = 0; o < NO; ++o) acc[q][o] = _mm256_setzero_ps();
    }
#pragma GCC unroll 2
    for (std::size_t i = 0; i < dim; ++i) {
        __m256 t[NO];
#pragma GCC unroll 8
        for (unsigned o = 0; o < NO; ++o) t[o] = _mm256_load_ps(tile + i * kAsymTile + 8 * o);
#pragma GCC unroll 8
        for (unsigned q = 0; q < NQ; ++q) {
            const __m256 w = _mm256_broadcast_ss(u + q * dim + i);
#pragma GCC unroll 8
            for (unsigned o = 0; o < NO; ++o)
                acc[q][o] = _mm256_add_ps(acc[q][o], _mm256_mul_ps(t[o], w));
        }
    }
    const __m256 inv = _mm256_set1_ps(s.inv);
#pragma GCC unroll 8
    for (unsigned q = 0; q < NQ; ++q) {
#pragma GCC unroll 8
        for (unsigned o = 0; o < NO; ++o) {
            const std::size_t jo = j0 + 8 * o;
            if (jo >= j1) break;
            const __m256 f = _mm256_mul_ps(_mm256_sub_ps(acc[q][o], _mm256_set1_ps(cs[q])), inv);
            unsigned mask = static_cast<unsigned>(
                _mm256_movemask_ps(_mm256_cmp_ps(f, _mm256_set1_ps(thr[q]), _CMP_GE_OQ)));
            if (j1 - jo < 8) mask &= (1u << (j1 - jo)) - 1;
            if (!mask) continue;
            alignas(32) float sc[8];
            _mm256_store_ps(sc, f);
            offer_lanes(mask, sc, jo, 8, tks + q, thr + q);
        }
    }
}

template <unsigned NQ>
void asym_lanes_avx2(const AsymScan& s, const float* u, const float* cs, const float* tile,
                     std::size_t j0, std::size_t j1, TopK* tks, float* thr) {
    if (j1 - j0 > 8)
        asym_step_avx2<NQ, 2>(s, u, cs, tile, j0, j1, tks, thr);
    else
        asym_step_avx2<NQ, 1>(s, u, cs, tile, j0, j1, tks, thr);
}

void asym_group_avx2(const AsymScan& s, const float* u, const float* cs, std::size_t nqg,
                     const float* tile, std::size_t j0, std::size_t j1, TopK* tks, float* thr) {
    switch (nqg) {
        case 4: asym_lanes_avx2<4>(s, u, cs, tile, j0, j1, tks, thr); break;
        case 3: asym_lanes_avx2<3>(s, u, cs, tile, j0, j1, tks, thr); break;
        case 2: asym_lanes_avx2<2>(s, u, cs, tile, j0, j1, tks, thr); break;
        default: asym_lanes_avx2<1>(s, u, cs, tile, j0, j1, tks, thr); break;
    }
}

KW_AVX2_END
#endif  // KW_RANK_X86

}  // namespace

RankKernel select_rank_kernel(const cpu::Features& f) {
    // The vector kernels use AVX2 integer and float instructions but never
    // FMA (a fused multiply-add would change the asymmetric scores), so AVX2
    // alone decides.
    return f.avx2 ? RankKernel::avx2 : RankKernel::portable;
}

RankKernel selected_rank_kernel() {
    static const RankKernel k = select_rank_kernel(cpu::features());
    return k;
}

SearchResult rank_search_symmetric(const RankIndex& index, const float* queries, std::size_t nq,
                                   std::size_t k, RankKernel kernel) {
    check_kernel(kernel);
    const std::size_t n = index.size();
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;

    SymScan s;
    s.dim = index.dim();
    s.n = n;
    s.ranks = index.ranks().data();
    const float rn = rank_norm(s.dim);
    s.inv = 1.0f / (rn * rn);

    if (s.dim > kMaxInt16Dim) {
        s.dimp = s.dim;
        sym_driver<std::int32_t>(s, queries, nq, k_eff, sym_group_wide, out);
        return out;
    }

    s.dimp = (s.dim + 15) / 16 * 16;
    s.nvec = s.dimp / 16;
    const std::uint64_t d1 = s.dim - 1;
    const std::uint64_t bound2 = d1 * centred_abs_sum(s.dim);  // 2 * bound on |S|
    const std::uint64_t i32max = std::numeric_limits<std::int32_t>::max();
    s.exact_int32 = bound2 <= 2 * i32max;
    s.lane_steps = std::max<std::uint64_t>(1, i32max / (2 * d1 * d1));

    std::vector<std::int16_t> tail;
    if (kernel == RankKernel::avx2) {
        // Documents whose padded read would pass the end of the index.
        const std::size_t total = n * s.dim;
        s.n_direct = total >= s.dimp ? (total - s.dimp) / s.dim + 1 : 0;
        s.n_direct = std::min(s.n_direct, n);
        tail.assign((n - s.n_direct) * s.dimp, 0);
        for (std::size_t j = s.n_direct; j < n; ++j)
            std::memcpy(tail.data() + (j - s.n_direct) * s.dimp, index.row(j),
                        s.dim * sizeof(std::uint16_t));
        s.tail = tail.data();
    } else {
        s.n_direct = n;
    }

    SymGroupFn<std::int16_t> group = sym_group_portable;
#ifdef KW_RANK_X86
    if (kernel == RankKernel::avx2) group = sym_group_avx2;
#endif
    sym_driver<std::int16_t>(s, queries, nq, k_eff, group, out);
    return out;
}

SearchResult rank_search_asymmetric(const RankIndex& index, const float* queries, std::size_t nq,
                                    std::size_t k, RankKernel kernel) {
    check_kernel(kernel);
    const std::size_t n = index.size();
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;

    AsymScan s;
    s.dim = index.dim();
    s.n = n;
    s.ranks = index.ranks().data();
    s.inv = 1.0f / rank_norm(s.dim);

    AsymFillFn fill = asym_fill_portable;
    AsymGroupFn group = asym_group_portable;
#ifdef KW_RANK_X86
    if (kernel == RankKernel::avx2) {
        fill = asym_fill_avx2;
        group = asym_group_avx2;
    }
#endif
    asym_driver(s, queries, nq, k_eff, fill, group, out);
    return out;
}

}  // namespace kwivel
