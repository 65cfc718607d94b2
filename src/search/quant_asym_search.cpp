// The RankQuant asymmetric drivers: the vector paths block the normalised
// queries so that every block shares one pass over the codes, tile by tile
// through the path tier's unpack and group steps; the scalar and 8-bit
// paths scan a query table per query; the subset rerank gathers the named
// rows and runs the same paths over them.
#include "search/quant_asym_search.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/finite.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"
#include "search/quant_search.h"
#include "search/scan_support.h"

namespace kwivel {

namespace {

// Unpacks tiles of the block's documents once; every query group of the
// block meets a tile through one call of the steps' group.
void asym_block(const KernelTable::QuantAsymSteps& steps, const kern::AsymBlock& b) {
    if (b.n == 0 || b.m == 0) return;
    const std::size_t tdocs = kern::asym_tile_docs(b.dim);
    AlignedBuffer<float> tile(tdocs * b.dim);
    for (std::size_t t0 = 0; t0 < b.n; t0 += tdocs) {
        const std::size_t cnt = std::min(tdocs, b.n - t0);
        for (std::size_t d = 0; d < cnt; ++d) steps.unpack(b.codes + (t0 + d) * b.bpv, b.dim, tile.data() + d * b.dim);
        for (std::size_t q0 = 0; q0 < b.m; q0 += steps.group_size)
            steps.group(b, q0, std::min(steps.group_size, b.m - q0), tile.data(), t0, cnt);
    }
}

// The vector steps of a path, which its tier's table must have.
const KernelTable::QuantAsymSteps& vector_steps(Tier path, unsigned bits) {
    const KernelTable::QuantAsymSteps& steps = kernel_table(path).quant_asym[kern::asym_width_slot(bits)];
    KW_ASSERT(steps.unpack != nullptr && steps.group != nullptr,
              std::string("kwivel: no asymmetric steps in the ") + tier_name(path) + " kernels");
    return steps;
}

// A single-query vector scan: qn normalised (dim floats), topk's offset set.
void asym_scan_one(Tier path, unsigned bits, const std::uint8_t* codes, std::size_t n, std::size_t dim,
                   const float* qn, float inv, TopK& topk) {
    kern::check_asym_shape(path, bits, dim);
    const KernelTable::QuantAsymSteps& steps = vector_steps(path, bits);
    float thr = topk.threshold();
    const float offset = topk.score_offset();
    kern::AsymBlock b;
    b.codes = codes;
    b.n = n;
    b.dim = dim;
    b.bpv = dim * bits / 8;
    b.qn = qn;
    b.off = &offset;
    b.m = 1;
    b.inv = inv;
    b.offers = search::topk_offers(&topk, &thr);
    asym_block(steps, b);
}

// Whole search of nq queries over an index on a vector path: blocks of
// queries share each pass over the codes.
void asym_search(Tier path, const std::uint8_t* codes, std::size_t n, std::size_t dim, unsigned bits,
                 const float* queries, std::size_t nq, float inv, SearchResult& out) {
    kern::check_asym_shape(path, bits, dim);
    const KernelTable::QuantAsymSteps& steps = vector_steps(path, bits);
    const std::size_t cap =
        kern::query_block_capacity(dim * sizeof(float), kern::kAsymBlockBytes, steps.group_size, kern::kAsymMaxBlock);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        const std::size_t nb_max = std::min(cap, hi - lo);
        AlignedBuffer<float> qn(nb_max * dim);
        std::vector<float> off(nb_max), thr(nb_max);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        tks.reserve(nb_max);
        search::for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            tks.clear();
            for (std::size_t q = b0; q < b1; ++q) {
                const std::size_t i = q - b0;
                off[i] = kern::prepare_asym_query(queries + q * dim, dim, bits, inv, qn.data() + i * dim);
                tks.emplace_back(out.k_eff);
                tks.back().set_score_offset(off[i]);
                thr[i] = kern::kNegInf;
            }
            kern::AsymBlock b;
            b.codes = codes;
            b.n = n;
            b.dim = dim;
            b.bpv = dim * bits / 8;
            b.qn = qn.data();
            b.off = off.data();
            b.m = b1 - b0;
            b.inv = inv;
            b.offers = search::topk_offers(tks.data(), thr.data());
            asym_block(steps, b);
            for (std::size_t q = b0; q < b1; ++q) search::finalize_row(tks[q - b0], out, q, scratch);
        });
    });
}

}  // namespace

void scan_via_lut_scalar_with_lut(const std::uint8_t* codes, std::size_t n, std::size_t dim, unsigned bits,
                                  const float* qn, std::size_t qn_len, float inv, std::vector<float>& table,
                                  TopK& topk) {
    KW_ASSERT(qn_len == dim, "kwivel: query length must equal dim");
    KW_ASSERT(bits == 1 || bits == 2 || bits == 4, "bits must be 1, 2, or 4 on the table path");
    const unsigned levels = 1u << bits;
    table.resize(dim * levels);
    for (std::size_t j = 0; j < dim; ++j) {
        float* t = table.data() + j * levels;
        for (unsigned c = 0; c < levels; ++c) t[c] = bucket_centre(c, bits) * qn[j];
    }
    switch (bits) {
        case 1: scan_b1_to_topk(codes, n, dim, table.data(), inv, topk); break;
        case 2: scan_b2_to_topk(codes, n, dim, table.data(), inv, topk); break;
        default: scan_b4_to_topk(codes, n, dim, table.data(), inv, topk); break;
    }
}

void scan_b8_asym_with_lut(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* qn,
                           std::size_t qn_len, float inv, std::vector<float>& table, TopK& topk, Tier tier) {
    KW_ASSERT(qn_len == dim, "kwivel: query length must equal dim");
    table.resize(dim * 256);
    for (std::size_t j = 0; j < dim; ++j) {
        float* t = table.data() + j * 256;
        for (unsigned c = 0; c < 256; ++c) t[c] = bucket_centre(c, 8) * qn[j];
    }
    const KernelTable& k = kernel_table(tier);
    if (k.quant_b8_gather != nullptr && dim % 16 == 0) {
        float thr = topk.threshold();
        k.quant_b8_gather(codes, n, dim, table.data(), table.size(), inv, topk.score_offset(),
                          search::topk_offers(&topk, &thr));
    } else {
        scan_b8_to_topk(codes, n, dim, table.data(), inv, topk);
    }
}

SearchResult quant_search_asymmetric(const QuantRows& index, const float* queries, std::size_t nq,
                                     std::size_t k, Tier tier) {
    (void)kernel_table(tier);  // a tier above active_tier() is a Panic
    const std::size_t dim = index.dim, n = index.n;
    const unsigned bits = index.bits;
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;
    const float inv = 1.0f / asymmetric_norm(dim, bits);
    const Tier path = select_simd_tier(tier, dim, bits);
    const std::uint8_t* codes = index.codes;
    if (bits != 8 && path != Tier::portable) {
        asym_search(path, codes, n, dim, bits, queries, nq, inv, out);
        return out;
    }
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<float> lut;
        std::vector<TopK::Record> scratch;
        for (std::size_t q = lo; q < hi; ++q) {
            const std::vector<float> qn = l2_normalise(queries + q * dim, dim);
            TopK tk(k_eff);
            if (bits == 8)
                scan_b8_asym_with_lut(codes, n, dim, qn.data(), qn.size(), inv, lut, tk, tier);
            else
                scan_via_lut_scalar_with_lut(codes, n, dim, bits, qn.data(), qn.size(), inv, lut, tk);
            search::finalize_row(tk, out, q, scratch);
        }
    });
    return out;
}

void quant_asym_scan_rows(const std::uint8_t* codes, std::size_t n, std::size_t dim, unsigned bits,
                          const float* qn, float inv, Tier tier, std::vector<float>& table, TopK& topk) {
    if (bits == 8) {
        scan_b8_asym_with_lut(codes, n, dim, qn, dim, inv, table, topk, tier);
        return;
    }
    const Tier path = select_simd_tier(tier, dim, bits);
    if (path == Tier::portable) {
        scan_via_lut_scalar_with_lut(codes, n, dim, bits, qn, dim, inv, table, topk);
        return;
    }
    float s = -0.0f;
    for (std::size_t j = 0; j < dim; ++j) s = s + qn[j];
    topk.set_score_offset((s * (-code_centre(bits))) * inv);
    asym_scan_one(path, bits, codes, n, dim, qn, inv, topk);
}

SearchResult quant_search_asymmetric_subset(const QuantRows& index, const float* query, std::size_t len,
                                            const std::uint32_t* cands, std::size_t n_cand, std::size_t k,
                                            Tier tier) {
    const std::size_t dim = index.dim, n = index.n, bpv = index.bytes_per_vec();
    const unsigned bits = index.bits;
    KW_ASSERT(len == dim, "kwivel: query length must equal dim");
    assert_all_finite(query, len);
    KW_ASSERT(n_cand <= n, "search_asymmetric_subset: candidate list length " + std::to_string(n_cand) +
                               " exceeds n_vectors " + std::to_string(n) +
                               "; deduplicate repeated ids before calling");
    for (std::size_t s = 0; s < n_cand; ++s)
        KW_ASSERT(cands[s] < n, "search_asymmetric_subset: candidate id out of range (n_vectors " +
                                    std::to_string(n) + ")");
    const std::size_t k_eff = std::min(k, n_cand);
    SearchResult out = SearchResult::sized(1, k_eff);
    if (k_eff == 0) return out;

    SubsetScratch sc;
    sc.qn = l2_normalise(query, dim);
    const float inv = 1.0f / asymmetric_norm(dim, bits);
    sc.gathered.resize(n_cand * bpv);
    for (std::size_t slot = 0; slot < n_cand; ++slot)
        std::memcpy(sc.gathered.data() + slot * bpv, index.row(cands[slot]), bpv);
    sc.global_ids.assign(cands, cands + n_cand);
    TopK tk(k_eff);
    tk.set_id_map(sc.global_ids.data(), n_cand);
    quant_asym_scan_rows(sc.gathered.data(), n_cand, dim, bits, sc.qn.data(), inv, tier, sc.table, tk);

    sc.local_scores.resize(k_eff);
    sc.local_slots.resize(k_eff);
    tk.finalize_into_with_scratch(sc.local_scores.data(), k_eff, sc.local_slots.data(), k_eff, sc.finalize);
    for (std::size_t i = 0; i < k_eff; ++i) {
        const std::int64_t slot = sc.local_slots[i];
        out.scores[i] = sc.local_scores[i];
        out.ids[i] = slot < 0 ? -1 : sc.global_ids[static_cast<std::size_t>(slot)];
    }
    return out;
}

}  // namespace kwivel
