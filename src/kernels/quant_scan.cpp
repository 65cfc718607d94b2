// Entry points of the RankQuant symmetric search and the pieces its tiers
// share: query tables and their integer form.
#include "kernels/quant_scan.h"

#include <cmath>
#include <cstring>
#include <string>

#include "base/error.h"
#include "ordinal/buckets.h"

namespace kwivel {

namespace kern {

bool int_query_from_table(const float* table, std::size_t dim, const Layout& l,
                          std::int8_t* row, IntQuery& q) {
    const unsigned levels = 1u << l.bits;
    const double top = static_cast<double>(levels - 1);
    std::memset(row, 0, l.width);
    std::int64_t bsum = 0;
    std::uint64_t babs = 0;
    unsigned bmax = 0;
    for (std::size_t j = 0; j < dim; ++j) {
        const float* t = table + j * levels;
        // t[L - 1] = (L - 1) * b / 4.
        const double x = static_cast<double>(t[levels - 1]) * 4.0 / top;
        if (!(x >= -127.0 && x <= 127.0)) return false;
        const double bd = std::nearbyint(x);
        if (bd != x) return false;
        for (unsigned c = 0; c < levels; ++c) {
            const double a = 2.0 * c - top;
            // Exact in double: small integers over 4.
            if (a * bd * 0.25 != static_cast<double>(t[c])) return false;
        }
        const int b = static_cast<int>(bd);
        row[expanded_pos(l, j)] = static_cast<std::int8_t>(b);
        bsum += b;
        const unsigned ab = static_cast<unsigned>(b < 0 ? -b : b);
        babs += ab;
        bmax = std::max(bmax, ab);
    }
    if (static_cast<std::uint64_t>(levels - 1) * babs > (std::uint64_t{1} << 24)) return false;
    q.corr = static_cast<std::int32_t>(static_cast<std::int64_t>(levels - 1) * bsum);
    q.bmax = bmax;
    return true;
}

void table_from_ranks(const std::uint16_t* r, std::size_t dim, unsigned bits, float* table) {
    const unsigned levels = 1u << bits;
    const float centre = (static_cast<float>(1u << bits) - 1.0f) * 0.5f;
    for (std::size_t j = 0; j < dim; ++j) {
        const float qc = static_cast<float>(rank_to_bucket(r[j], dim, bits)) - centre;
        float* t = table + j * levels;
        for (unsigned c = 0; c < levels; ++c) t[c] = (static_cast<float>(c) - centre) * qc;
    }
}


}  // namespace kern

KernelTable::QuantScanFn portable_scan(unsigned bits) { return kernel_table(Tier::portable).quant_scan[quant_scan_slot(bits)]; }

std::size_t quant_scan_slot(unsigned bits) {
    switch (bits) {
        case 1: return 0;
        case 2: return 1;
        case 4: return 2;
        case 8: return 3;
        default: panic("bits must be 1,2,4,8");
    }
}

void quant_query_table(const float* query, std::size_t dim, unsigned bits, float* table) {
    KW_ASSERT(packable_bits(bits), "bits must be 1,2,4,8");
    std::vector<std::uint16_t> r(dim);
    rank_transform_into(query, dim, r.data());
    kern::table_from_ranks(r.data(), dim, bits, table);
}

float quant_score_scale(std::size_t dim, unsigned bits) {
    const float norm = rankquant_norm(dim, bits);
    return 1.0f / (norm * norm);
}

SearchResult quant_search_symmetric(const RankQuantIndex& index, const float* queries, std::size_t nq,
                                    std::size_t k, Tier tier) {
    KW_ASSERT(index.symmetric_ok(),
              "RankQuant b=8 symmetric scoring requires dim % 256 == 0; dim=" +
                  std::to_string(index.dim()) + " supports asymmetric/evidence APIs only.");
    const KernelTable& table = kernel_table(tier);
    const std::size_t n = index.size();
    const std::size_t k_eff = std::min(k, n);
    std::size_t len;
    KW_ASSERT(!__builtin_mul_overflow(nq, k_eff, &len),
              "search result buffer length (nq * k) overflows usize");
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;
    const float scale = quant_score_scale(index.dim(), index.bits());
    // 8-bit codes have only the portable scan.
    const KernelTable& run = index.bits() == 8 ? kernel_table(Tier::portable) : table;
    run.quant_search(index, queries, nq, scale, out);
    return out;
}

}  // namespace kwivel
