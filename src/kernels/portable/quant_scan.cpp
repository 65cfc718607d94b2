// Portable RankQuant symmetric scans: the definition.  Per document, the
// table terms of its codes are added one float32 addition at a time in
// coordinate order, a few documents interleaved for instruction-level
// parallelism.
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "kernels/dispatch.h"
#include "kernels/quant_scan.h"
#include "ordinal/buckets.h"

namespace kwivel {
namespace kern {
namespace {


// ---------------------------------------------------------------------------
// Portable scans.

// Documents interleaved per pass (independent float32 chains).
constexpr std::size_t kPortableGroup = 4;

template <unsigned BITS, std::size_t G>
inline void portable_docs(const std::uint8_t* p, std::size_t bpv, const float* table,
                          float* acc) {
    constexpr unsigned cpb = codes_per_byte(BITS), levels = 1u << BITS, mask = levels - 1;
    for (std::size_t g = 0; g < G; ++g) acc[g] = 0.0f;
    for (std::size_t b = 0; b < bpv; ++b) {
        const float* row = table + b * cpb * levels;
        unsigned x[G];
        for (std::size_t g = 0; g < G; ++g) x[g] = p[g * bpv + b];
        for (unsigned t = 0; t < cpb; ++t) {
            const unsigned shift = packing_shift(BITS, t);
            for (std::size_t g = 0; g < G; ++g)
                acc[g] = acc[g] + row[t * levels + ((x[g] >> shift) & mask)];
        }
    }
}

template <unsigned BITS>
void scan_portable(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                   float scale, TopK& tk) {
    check_width(dim, BITS);
    const std::size_t bpv = dim / codes_per_byte(BITS);
    float thr = tk.threshold();
    float acc[kPortableGroup];
    std::size_t i = 0;
    for (; i + kPortableGroup <= n; i += kPortableGroup) {
        portable_docs<BITS, kPortableGroup>(codes + i * bpv, bpv, table, acc);
        for (std::size_t g = 0; g < kPortableGroup; ++g) offer(tk, thr, i + g, acc[g] * scale);
    }
    for (; i < n; ++i) {
        portable_docs<BITS, 1>(codes + i * bpv, bpv, table, acc);
        offer(tk, thr, i, acc[0] * scale);
    }
}

void search_portable(const RankQuantIndex& index, const float* queries, std::size_t nq, float scale,
                     SearchResult& out) {
    const std::size_t dim = index.dim();
    const unsigned bits = index.bits();
    const QuantScanFn scan = portable_scan(bits);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<std::uint16_t> r(dim);
        std::vector<float> table(dim << bits);
        std::vector<TopK::Record> scratch;
        for (std::size_t q = lo; q < hi; ++q) {
            rank_transform_into(queries + q * dim, dim, r.data());
            table_from_ranks(r.data(), dim, bits, table.data());
            TopK tk(out.k_eff);
            scan(index.codes().data(), index.size(), dim, table.data(), scale, tk);
            finalize_row(tk, out, q, scratch);
        }
    });
}

}  // namespace
}  // namespace kern

void scan_b1_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    kern::scan_portable<1>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b2_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    kern::scan_portable<2>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b4_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    kern::scan_portable<4>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b8_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    kern::scan_portable<8>(codes, n_vectors, dim, table, scale, topk);
}

void install_quant_portable(KernelTable& t) {
    t.quant_scan[0] = scan_b1_to_topk;
    t.quant_scan[1] = scan_b2_to_topk;
    t.quant_scan[2] = scan_b4_to_topk;
    t.quant_scan[3] = scan_b8_to_topk;
    t.quant_search = kern::search_portable;
}

}  // namespace kwivel
