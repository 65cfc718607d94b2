// The Rank search drivers.  The queries handed to a task are prepared once
// and taken in blocks (kern::rank_block_capacity); each block walks the
// whole index a tile of documents at a time, and every query group of the
// block meets the tile through one call of the tier's step.  Only where a
// call lives differs from a single fused loop, so every tier's bits are the
// bits its steps define (kernels/rank_scan.h).
#include "search/rank_search.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "base/memory.h"
#include "base/parallel.h"
#include "index/rank.h"
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
                const std::vector<float> v = l2_normalise(queries + (b0 + q) * dim, dim);
                float qsum = -0.0f;
                for (std::size_t i = 0; i < dim; ++i) qsum = qsum + v[i];
                std::copy(v.begin(), v.end(), u.begin() + static_cast<std::ptrdiff_t>(q * dim));
                cs[q] = centre * qsum;
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

// The view of the index every scan starts from.
template <class Scan>
Scan scan_of(const RankIndex& index) {
    Scan s;
    s.dim = index.dim();
    s.n = index.size();
    s.ranks = index.ranks().data();
    return s;
}

}  // namespace

SearchResult rank_search_symmetric(const RankIndex& index, const float* queries, std::size_t nq, std::size_t k,
                                   Tier tier) {
    const KernelTable& table = kernel_table(tier);
    const std::size_t n = index.size();
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
    std::vector<std::int16_t> tail((n - s.n_direct) * s.dimp, 0);
    for (std::size_t j = s.n_direct; j < n; ++j)
        std::memcpy(tail.data() + (j - s.n_direct) * s.dimp, index.row(j), s.dim * sizeof(std::uint16_t));
    s.tail = tail.data();
    sym_driver<std::int16_t>(s, table.rank_sym_group, queries, nq, k_eff, out);
    return out;
}

SearchResult rank_search_asymmetric(const RankIndex& index, const float* queries, std::size_t nq, std::size_t k,
                                    Tier tier) {
    const KernelTable& table = kernel_table(tier);
    const std::size_t n = index.size();
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;

    kern::AsymScan s = scan_of<kern::AsymScan>(index);
    s.inv = 1.0f / rank_norm(s.dim);
    asym_driver(s, table, queries, nq, k_eff, out);
    return out;
}

}  // namespace kwivel
