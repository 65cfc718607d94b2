// Entry points of the Rank searches: set up the scan, then run the driver
// instantiation in the kernel table of the tier asked for.
#include "kernels/rank_scan.h"

#include <limits>

#include "index/rank.h"

namespace kwivel {

SearchResult rank_search_symmetric(const RankIndex& index, const float* queries, std::size_t nq, std::size_t k,
                                   Tier tier) {
    const KernelTable& table = kernel_table(tier);
    const std::size_t n = index.size();
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;

    kern::SymScan s;
    s.dim = index.dim();
    s.n = n;
    s.ranks = index.ranks().data();
    const float rn = rank_norm(s.dim);
    s.inv = 1.0f / (rn * rn);

    if (s.dim > kern::kMaxInt16Dim) {
        s.dimp = s.dim;
        table.rank_symmetric_wide(s, queries, nq, k_eff, out);
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
    table.rank_symmetric(s, queries, nq, k_eff, out);
    return out;
}

SearchResult rank_search_asymmetric(const RankIndex& index, const float* queries, std::size_t nq, std::size_t k,
                                    Tier tier) {
    const KernelTable& table = kernel_table(tier);
    const std::size_t n = index.size();
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;

    kern::AsymScan s;
    s.dim = index.dim();
    s.n = n;
    s.ranks = index.ranks().data();
    s.inv = 1.0f / rank_norm(s.dim);
    table.rank_asymmetric(s, queries, nq, k_eff, out);
    return out;
}

}  // namespace kwivel
