// The Rank search drivers (the asymmetric search of dimensions in the int16
// range goes through integer bounds, below).  The queries handed to a task are prepared once
// and taken in blocks (kern::rank_block_capacity); each block walks the
// whole index a tile of documents at a time, and every query group of the
// block meets the tile through one call of the tier's step.  Only where a
// call lives differs from a single fused loop, so every tier's bits are the
// bits its steps define (kernels/rank_scan.h).
#include "search/rank_search.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/rank_scan.h"
#include "ordinal/rank_transform.h"
#include "search/scan_support.h"

namespace kwivel {

namespace {

using kern::kAsymTile;
using kern::kNegInf;
using kern::kRankQueryGroup;

// Centred query ranks of type Q (stride dimp) through `step`, one call per
// (document tile, query group).
template <class Q>
void sym_driver(const kern::SymScan& s,
                void (*step)(const kern::SymScan&, const Q*, std::size_t, std::size_t, std::size_t,
                             const kern::Offers&),
                const float* queries, std::size_t nq, std::size_t k_eff, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = kern::rank_block_capacity(s.dimp * sizeof(Q));
    const std::size_t tile_docs = kern::kSymTileBytes / (dim * sizeof(std::uint16_t));
    const std::size_t tile = std::max<std::size_t>(2, std::min<std::size_t>(64, tile_docs) / 2 * 2);
    const std::int32_t offset = static_cast<std::int32_t>(dim) - 1;
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<Q> cq(std::min(cap, hi - lo) * s.dimp, Q{0});
        std::vector<std::uint16_t> r(dim);
        std::vector<float> thr(cap + kRankQueryGroup);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        search::for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
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
            const kern::Offers offers = search::topk_offers(tks.data(), thr.data());
            const std::size_t groups = (nb + kRankQueryGroup - 1) / kRankQueryGroup;
            for (std::size_t t0 = 0; t0 < s.n; t0 += tile) {
                const std::size_t t1 = std::min(s.n, t0 + tile);
                const std::size_t t2 = std::min(s.n, t1 + tile);
                const void* next = s.ranks + t1 * dim;
                const std::size_t next_bytes = (t2 - t1) * dim * sizeof(std::uint16_t);
                for (std::size_t g = 0; g < groups; ++g) {
                    kern::prefetch_share(next, next_bytes, g, groups);
                    const std::size_t q0 = g * kRankQueryGroup;
                    step(s, cq.data() + q0 * s.dimp, std::min(kRankQueryGroup, nb - q0), t0, t1, offers.from(q0));
                }
            }
            for (std::size_t q = 0; q < nb; ++q) search::finalize_row(tks[q], out, b0 + q, scratch);
        });
    });
}

// Writes the L2-normalised query to u and returns its centring term
// centre * qsum (qsum summed in coordinate order from -0.0).
float normalised_query(const float* query, std::size_t dim, float centre, float* u) {
    const std::vector<float> v = l2_normalise(query, dim);
    float qsum = -0.0f;
    for (std::size_t i = 0; i < dim; ++i) qsum = qsum + v[i];
    std::copy(v.begin(), v.end(), u);
    return centre * qsum;
}

// Normalised queries through the table's fill and group steps, one fill
// per tile and one group call per (tile, query group).
void asym_driver(const kern::AsymScan& s, const KernelTable& table, const float* queries, std::size_t nq,
                 std::size_t k_eff, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = kern::rank_block_capacity(dim * sizeof(float));
    const float centre = (static_cast<float>(dim) - 1.0f) * 0.5f;
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<float> u(std::min(cap, hi - lo) * dim);
        std::vector<float> cs(cap), thr(cap + kRankQueryGroup);
        AlignedBuffer<float> tile(dim * kAsymTile);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        search::for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                cs[q] = normalised_query(queries + (b0 + q) * dim, dim, centre, u.data() + q * dim);
                tks.emplace_back(k_eff);
                thr[q] = kNegInf;
            }
            const kern::Offers offers = search::topk_offers(tks.data(), thr.data());
            const std::size_t groups = (nb + kRankQueryGroup - 1) / kRankQueryGroup;
            for (std::size_t t0 = 0; t0 < s.n; t0 += kAsymTile) {
                const std::size_t t1 = std::min(s.n, t0 + kAsymTile);
                table.rank_asym_fill(s, t0, t1, tile.data());
                for (std::size_t g = 0; g < groups; ++g) {
                    const std::size_t q0 = g * kRankQueryGroup;
                    table.rank_asym_group(s, u.data() + q0 * dim, cs.data() + q0,
                                          std::min(kRankQueryGroup, nb - q0), tile.data(), t0, t1,
                                          offers.from(q0));
                }
            }
            for (std::size_t q = 0; q < nb; ++q) search::finalize_row(tks[q], out, b0 + q, scratch);
        });
    });
}

// ---------------------------------------------------------------------------
// The asymmetric search through integer bounds (dim <= kMaxInt16Dim).
//
// The exact score of document j is f = (a - cs) * inv with a the float32 sum
// of float(rd_i) * u_i in coordinate order.  Computing a for every document
// costs a float multiply and add per coordinate; most documents cannot reach
// their query's current threshold, and an integer dot product proves that
// far more cheaply.  With S = 2^p and weights w_i = nearbyint(u_i * S)
// (|w_i| <= 32767), A = sum_i rd_i w_i is exact in wrapping int32 arithmetic
// while (d - 1) * sum_i |w_i| < 2^31 (p is chosen so).  In real arithmetic,
// with e_i = u_i - w_i / S (exact in double, S being a power of two),
//     T = sum_i rd_i u_i = A / S + sum_i rd_i e_i  <=  A / S + Emax,
// where Emax = sum_k e_(k) k pairs the k-th smallest e_i with rank k: the
// largest sum_i r_i e_i over all permutations r of 0..d-1 (rearrangement
// inequality; stored rows are permutations).  The float32 sum differs from T
// by at most gamma_d * sum_i |rd_i u_i| (the bound for a recursive dot
// product, gamma_d = d eps / (1 - d eps), eps = 2^-24), and sum_i |rd_i u_i|
// <= P = sum_k |u|_(k) k likewise.  So
//     a <= B = A / S + margin,    margin = Emax + gamma_d P,
// and, rounding being monotone, f <= U(B) = (B - cs) inv (1 +- eps)^2 (the
// sign of B - cs picks + or -).  A document may be admitted only if U(B) >=
// thr, that is A >= bound_threshold(thr): only those get their exact float
// score, still in ascending order per query, so each accumulator sees
// exactly the offers it would have accepted from the plain float scan and
// the results are its bits.  The bounds are taken in double with a slack far
// above double rounding.

struct BoundQuery {
    float cs = 0.0f;      // centre * qsum, as in the exact score
    double scale = 1.0;   // S
    double margin = 0.0;  // Emax + gamma_d * P
    bool zero = false;    // all-zero normalised query: every score is the same
};

// w[0, dimp) (zero padded) and the bound terms of one normalised query u.
BoundQuery prepare_bounds(const float* u, std::size_t dim, std::size_t dimp, float cs, std::int16_t* w,
                          std::vector<double>& scratch) {
    BoundQuery q;
    q.cs = cs;
    float umax = 0.0f;
    for (std::size_t i = 0; i < dim; ++i) umax = std::max(umax, std::fabs(u[i]));
    std::fill(w, w + dimp, std::int16_t{0});
    if (umax == 0.0f) {
        q.zero = true;
        return q;
    }
    // The largest p with |u_i| 2^p <= 32767 and (d - 1) sum_i |w_i| < 2^31.
    int p = 0;
    std::frexp(32767.0 / static_cast<double>(umax), &p);
    p -= 1;
    const double d1 = static_cast<double>(dim - 1);
    for (;; --p) {
        const double sc = std::ldexp(1.0, p);
        double wsum = 0.0;
        for (std::size_t i = 0; i < dim; ++i) wsum += std::fabs(std::nearbyint(static_cast<double>(u[i]) * sc));
        if (d1 * wsum < 2147483647.0) break;
    }
    q.scale = std::ldexp(1.0, p);
    scratch.resize(2 * dim);
    double* e = scratch.data();
    double* a = e + dim;
    for (std::size_t i = 0; i < dim; ++i) {
        const double wi = std::nearbyint(static_cast<double>(u[i]) * q.scale);  // the product is exact
        w[i] = static_cast<std::int16_t>(wi);
        e[i] = static_cast<double>(u[i]) - wi / q.scale;                        // exact
        a[i] = std::fabs(static_cast<double>(u[i]));
    }
    std::sort(e, e + dim);
    std::sort(a, a + dim);
    double emax = 0.0, pmax = 0.0;
    for (std::size_t k = 0; k < dim; ++k) {
        emax += e[k] * static_cast<double>(k);
        pmax += a[k] * static_cast<double>(k);
    }
    const double nd = static_cast<double>(dim) * std::ldexp(1.0, -24);
    const double gamma = nd / (1.0 - nd);
    q.margin = (emax + gamma * pmax) * (1.0 + 1e-9) + 1e-9 * (std::fabs(emax) + pmax) + 1e-12;
    return q;
}

// The smallest A that may still give a score >= thr (INT32_MIN: every document).
std::int32_t bound_threshold(const BoundQuery& q, float thr, float inv) {
    if (!(thr > kNegInf)) return INT32_MIN;
    const double eps = std::ldexp(1.0, -24);
    const double t = thr, iv = inv;
    const double z = t > 0 ? t / (iv * (1.0 + eps) * (1.0 + eps)) : t / (iv * (1.0 - eps) * (1.0 - eps));
    const double x = q.scale * (static_cast<double>(q.cs) + z - q.margin);
    const double lim = std::floor(x - 1e-9 * (std::fabs(x) + q.scale * (std::fabs(z) + std::fabs(q.cs))) - 1.0);
    if (lim <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    if (lim >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    return static_cast<std::int32_t>(lim);
}

// The exact asymmetric score of one document (the definition).
float exact_asym_score(const std::uint16_t* d, std::size_t dim, const float* u, float cs, float inv) {
    float acc = 0.0f;
    for (std::size_t i = 0; i < dim; ++i) acc = acc + static_cast<float>(d[i]) * u[i];
    return (acc - cs) * inv;
}

void asym_bounds_driver(const kern::SymScan& s, const KernelTable& table, const float* queries, std::size_t nq,
                        std::size_t k_eff, SearchResult& out) {
    const std::size_t dim = s.dim;
    const std::size_t cap = kern::rank_block_capacity(s.dimp * sizeof(std::int16_t) + dim * sizeof(float));
    const std::size_t tile_docs = kern::kSymTileBytes / (dim * sizeof(std::uint16_t));
    const std::size_t tile = std::max<std::size_t>(2, std::min<std::size_t>(64, tile_docs) / 2 * 2);
    const float centre = (static_cast<float>(dim) - 1.0f) * 0.5f;
    const float inv = s.inv;
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        const std::size_t nb_max = std::min(cap, hi - lo);
        std::vector<std::int16_t> w(nb_max * s.dimp, 0);
        std::vector<float> u(nb_max * dim);
        std::vector<BoundQuery> bq(nb_max);
        std::vector<float> thr(nb_max + kRankQueryGroup);
        std::vector<std::int32_t> ta(nb_max + kRankQueryGroup);
        std::vector<kern::AsymCandidate> cand(kRankQueryGroup * tile);
        std::vector<double> scratch;
        std::vector<TopK> tks;
        std::vector<TopK::Record> rec;
        search::for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                float* uq = u.data() + q * dim;
                const float cs = normalised_query(queries + (b0 + q) * dim, dim, centre, uq);
                bq[q] = prepare_bounds(uq, dim, s.dimp, cs, w.data() + q * s.dimp, scratch);
                tks.emplace_back(k_eff);
                thr[q] = kNegInf;
                ta[q] = INT32_MIN;
                if (bq[q].zero) {
                    // Every score is the same: the first k_eff documents win, in id order.
                    for (std::size_t j = 0; j < k_eff; ++j)
                        tks[q].maybe_insert(j, exact_asym_score(s.ranks + j * dim, dim, u.data() + q * dim,
                                                                bq[q].cs, inv));
                    ta[q] = INT32_MAX;  // A = 0 < ta: nothing more is offered
                }
            }
            const std::size_t groups = (nb + kRankQueryGroup - 1) / kRankQueryGroup;
            for (std::size_t t0 = 0; t0 < s.n; t0 += tile) {
                const std::size_t t1 = std::min(s.n, t0 + tile);
                const std::size_t t2 = std::min(s.n, t1 + tile);
                const void* next = s.ranks + t1 * dim;
                const std::size_t next_bytes = (t2 - t1) * dim * sizeof(std::uint16_t);
                for (std::size_t g = 0; g < groups; ++g) {
                    kern::prefetch_share(next, next_bytes, g, groups);
                    const std::size_t q0 = g * kRankQueryGroup;
                    const std::size_t nc = table.rank_asym_bounds(s, w.data() + q0 * s.dimp,
                                                                  std::min(kRankQueryGroup, nb - q0), t0, t1,
                                                                  ta.data() + q0, cand.data());
                    for (std::size_t c = 0; c < nc; ++c) {
                        const std::size_t q = q0 + cand[c].q, j = cand[c].j;
                        const float f = exact_asym_score(s.ranks + j * dim, dim, u.data() + q * dim, bq[q].cs, inv);
                        if (f < thr[q]) continue;
                        tks[q].maybe_insert(j, f);
                        const float t = tks[q].threshold();
                        if (t != thr[q]) {
                            thr[q] = t;
                            ta[q] = bound_threshold(bq[q], t, inv);
                        }
                    }
                }
            }
            for (std::size_t q = 0; q < nb; ++q) search::finalize_row(tks[q], out, b0 + q, rec);
        });
    });
}

// The int16 view of the stored rows that the symmetric steps and the
// asymmetric bounds read (dim <= kMaxInt16Dim); `tail` holds the padded
// copies of the last rows.
kern::SymScan int16_scan(const RankRows& index, std::vector<std::int16_t>& tail) {
    kern::SymScan s;
    const std::size_t n = index.n;
    s.dim = index.dim;
    s.n = n;
    s.ranks = index.ranks;
    s.dimp = (s.dim + 15) / 16 * 16;
    s.nvec = s.dimp / 16;
    const std::uint64_t d1 = s.dim - 1;
    const std::uint64_t bound2 = d1 * kern::centred_abs_sum(s.dim);  // 2 * bound on |S|
    const std::uint64_t i32max = std::numeric_limits<std::int32_t>::max();
    s.exact_int32 = bound2 <= 2 * i32max;
    s.lane_steps = std::max<std::uint64_t>(1, i32max / (2 * d1 * d1));

    // Vector steps read whole 16-lane chunks: documents whose padded read
    // would pass the end of the index are read from padded copies.
    const std::size_t total = n * s.dim;
    s.n_direct = std::min(total >= s.dimp ? (total - s.dimp) / s.dim + 1 : 0, n);
    tail.assign((n - s.n_direct) * s.dimp, 0);
    for (std::size_t j = s.n_direct; j < n; ++j)
        std::memcpy(tail.data() + (j - s.n_direct) * s.dimp, index.row(j), s.dim * sizeof(std::uint16_t));
    s.tail = tail.data();
    return s;
}

// The view of the index every scan starts from.
template <class Scan>
Scan scan_of(const RankRows& index) {
    Scan s;
    s.dim = index.dim;
    s.n = index.n;
    s.ranks = index.ranks;
    return s;
}

}  // namespace

SearchResult rank_search_symmetric(const RankRows& index, const float* queries, std::size_t nq, std::size_t k,
                                   Tier tier) {
    const KernelTable& table = kernel_table(tier);
    const std::size_t n = index.n;
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;

    kern::SymScan s = scan_of<kern::SymScan>(index);
    const float rn = rank_norm(s.dim);
    s.inv = 1.0f / (rn * rn);

    if (s.dim > kern::kMaxInt16Dim) {
        s.dimp = s.dim;
        sym_driver<std::int32_t>(s, table.rank_sym_group_wide, queries, nq, k_eff, out);
        return out;
    }

    std::vector<std::int16_t> tail;
    s = int16_scan(index, tail);
    s.inv = 1.0f / (rn * rn);
    sym_driver<std::int16_t>(s, table.rank_sym_group, queries, nq, k_eff, out);
    return out;
}

SearchResult rank_search_asymmetric(const RankRows& index, const float* queries, std::size_t nq, std::size_t k,
                                    Tier tier) {
    const KernelTable& table = kernel_table(tier);
    const std::size_t n = index.n;
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;

    if (index.dim <= kern::kMaxInt16Dim) {
        std::vector<std::int16_t> tail;
        kern::SymScan s = int16_scan(index, tail);
        s.inv = 1.0f / rank_norm(s.dim);
        asym_bounds_driver(s, table, queries, nq, k_eff, out);
        return out;
    }
    kern::AsymScan s = scan_of<kern::AsymScan>(index);
    s.inv = 1.0f / rank_norm(s.dim);
    asym_driver(s, table, queries, nq, k_eff, out);
    return out;
}

}  // namespace kwivel
