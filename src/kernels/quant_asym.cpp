// Entry points of the RankQuant asymmetric searches: the path choice, the
// document norm, query preparation, and the full and subset searches.
#include "kernels/quant_asym.h"

#include <cmath>
#include <cstring>
#include <string>

#include "base/finite.h"
#include "index/rank_quant.h"
#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"

namespace kwivel {

const char* simd_tier_name(SimdTier t) {
    switch (t) {
        case SimdTier::avx2: return "AVX2";
        case SimdTier::avx512: return "AVX-512";
        default: return "scalar";
    }
}

SimdTier select_simd_tier(Tier ladder, std::size_t dim, unsigned bits) {
    if (bits != 2 && bits != 4) return SimdTier::scalar;
    if (ladder >= Tier::avx512 && dim % 64 == 0) return SimdTier::avx512;
    if (ladder >= Tier::avx2 && ((bits == 2 && dim % 16 == 0) || (bits == 4 && dim % 8 == 0)))
        return SimdTier::avx2;
    return SimdTier::scalar;
}

SimdTier select_simd_tier(std::size_t dim, unsigned bits) { return select_simd_tier(active_tier(), dim, bits); }

float asymmetric_norm(std::size_t dim, unsigned bits) {
    KW_ASSERT(packable_bits(bits), "bits must be 1,2,4,8");
    if (bits == 8 && dim % 256 != 0) {
        KW_ASSERT(dim >= 2, "dim must be >= 2");
        KW_ASSERT(dim <= 65535, "dim must fit in u16");
        double sum = 0.0;
        for (std::size_t r = 0; r < dim; ++r) {
            const double c = static_cast<double>((r * 256) / dim) - 127.5;
            sum += c * c;
        }
        return static_cast<float>(std::sqrt(sum));
    }
    return rankquant_norm(dim, bits);
}

namespace kern {

void check_asym_shape(SimdTier simd, unsigned bits, std::size_t dim) {
    if (simd == SimdTier::avx2) {
        if (bits == 2) KW_ASSERT(dim % 16 == 0, "b=2 AVX2 path needs dim % 16 == 0");
        else KW_ASSERT(dim % 8 == 0, "b=4 AVX2 path needs dim % 8 == 0");
    } else if (simd == SimdTier::avx512) {
        if (bits == 2) KW_ASSERT(dim % 64 == 0, "b=2 AVX-512 path needs dim % 64 == 0 for 4-way unroll");
        else KW_ASSERT(dim % 64 == 0, "b=4 AVX-512 path needs dim % 64 == 0 for 4-way unroll");
    }
}

float prepare_asym_query(const float* query, std::size_t dim, unsigned bits, float inv, float* qn) {
    const std::vector<float> v = l2_normalise(query, dim);
    float s = -0.0f;
    for (std::size_t j = 0; j < dim; ++j) {
        qn[j] = v[j];
        s = s + v[j];
    }
    const float centre = (static_cast<float>(1u << bits) - 1.0f) * 0.5f;
    return (s * (-centre)) * inv;
}

}  // namespace kern

namespace {

const KernelTable::QuantAsymScanFn& vector_scan(const KernelTable& t, SimdTier simd, unsigned bits) {
    const auto& fn = t.quant_asym_scan[static_cast<std::size_t>(simd)][kern::asym_width_slot(bits)];
    KW_ASSERT(fn != nullptr, std::string("kwivel: no ") + simd_tier_name(simd) + " asymmetric scan in the " +
                                 tier_name(t.tier) + " kernels");
    return fn;
}

}  // namespace

SearchResult quant_search_asymmetric(const RankQuantIndex& index, const float* queries, std::size_t nq,
                                     std::size_t k, Tier tier) {
    const KernelTable& table = kernel_table(tier);
    const std::size_t dim = index.dim(), n = index.size();
    const unsigned bits = index.bits();
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;
    const float inv = 1.0f / asymmetric_norm(dim, bits);
    const SimdTier simd = select_simd_tier(tier, dim, bits);
    const std::uint8_t* codes = index.codes().data();
    if (bits != 8 && simd != SimdTier::scalar) {
        const auto search = table.quant_asym_search[static_cast<std::size_t>(simd)][kern::asym_width_slot(bits)];
        KW_ASSERT(search != nullptr, std::string("kwivel: no ") + simd_tier_name(simd) +
                                         " asymmetric search in the " + tier_name(tier) + " kernels");
        search(codes, n, dim, queries, nq, inv, out);
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
            kern::finalize_row(tk, out, q, scratch);
        }
    });
    return out;
}

SearchResult quant_search_asymmetric_subset(const RankQuantIndex& index, const float* query, std::size_t len,
                                            const std::uint32_t* cands, std::size_t n_cand, std::size_t k,
                                            Tier tier) {
    const std::size_t dim = index.dim(), n = index.size(), bpv = index.bytes_per_vec();
    const unsigned bits = index.bits();
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
    float s = -0.0f;
    for (float v : sc.qn) s = s + v;
    const float offset = (((static_cast<float>(1u << bits) - 1.0f) * (-0.5f)) * s) * inv;

    sc.gathered.resize(n_cand * bpv);
    for (std::size_t slot = 0; slot < n_cand; ++slot)
        std::memcpy(sc.gathered.data() + slot * bpv, index.row(cands[slot]), bpv);
    const SimdTier simd = select_simd_tier(tier, dim, bits);
    sc.global_ids.assign(cands, cands + n_cand);
    TopK tk(k_eff);
    tk.set_id_map(sc.global_ids.data(), n_cand);

    if (bits == 8) {
        scan_b8_asym_with_lut(sc.gathered.data(), n_cand, dim, sc.qn.data(), dim, inv, sc.table, tk, tier);
    } else if (simd != SimdTier::scalar) {
        tk.set_score_offset(offset);
        vector_scan(kernel_table(tier), simd, bits)(sc.gathered.data(), n_cand, dim, sc.qn.data(), inv, tk);
    } else {
        scan_via_lut_scalar_with_lut(sc.gathered.data(), n_cand, dim, bits, sc.qn.data(), dim, inv, sc.table, tk);
    }

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
