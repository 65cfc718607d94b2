// The RankQuant symmetric drivers: per query a table from its ranks; the
// portable path scans each table over the index, the integer path blocks
// the queries so that every block shares one pass of the tier's
// quant_int_scan over the index.
#include "search/quant_search.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/quant_scan.h"
#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"
#include "search/scan_support.h"

namespace kwivel {

namespace {

// The portable table scan of a width into one accumulator.
void table_scan_into(unsigned bits, const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                     float scale, TopK& tk) {
    float thr = tk.threshold();
    kernel_table(Tier::portable).quant_table_scan[quant_scan_slot(bits)](codes, n, dim, table, scale,
                                                                          search::topk_offers(&tk, &thr));
}

// One query in the integer domain; a table of another shape goes to the
// portable scan of the width.
void scan_int_one(const KernelTable& kernels, unsigned bits, const std::uint8_t* codes, std::size_t n,
                  std::size_t dim, const float* table, float scale, TopK& tk) {
    kern::check_width(dim, bits);
    const kern::Layout l = kern::make_layout(dim, bits);
    AlignedBuffer<std::uint8_t> row(l.width);
    kern::IntQuery q;
    if (!kern::int_query_from_table(table, dim, l, reinterpret_cast<std::int8_t*>(row.data()), q)) {
        portable_scan(bits)(codes, n, dim, table, scale, tk);
        return;
    }
    if (n == 0) return;
    float thr = tk.threshold();
    kern::IntBlock b;
    b.layout = &l;
    b.codes = codes;
    b.n = n;
    b.rows = reinterpret_cast<const std::int8_t*>(row.data());
    b.corr = &q.corr;
    b.m = 1;
    b.steps = kern::lane_steps(l, q.bmax);
    b.scale = scale;
    b.offers = search::topk_offers(&tk, &thr);
    const std::size_t tdocs = kern::quant_tile_docs(l.width);
    AlignedBuffer<std::uint8_t> tile(tdocs * l.width);
    kernels.quant_int_scan(b, tile.data(), tdocs);
}

// One table per query, scanned over the whole index.
void search_tables(const QuantRows& index, const float* queries, std::size_t nq, float scale,
                   SearchResult& out) {
    const std::size_t dim = index.dim;
    const unsigned bits = index.bits;
    const QuantScanFn scan = portable_scan(bits);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<std::uint16_t> r(dim);
        std::vector<float> table(dim << bits);
        std::vector<TopK::Record> scratch;
        for (std::size_t q = lo; q < hi; ++q) {
            rank_transform_into(queries + q * dim, dim, r.data());
            kern::table_from_ranks(r.data(), dim, bits, table.data());
            TopK tk(out.k_eff);
            scan(index.codes, index.n, dim, table.data(), scale, tk);
            search::finalize_row(tk, out, q, scratch);
        }
    });
}

// The batched search in the integer domain: query blocks share passes of
// the table's quant_int_scan over the index.
void search_int(const KernelTable& kernels, const QuantRows& index, const float* queries, std::size_t nq,
                float scale, SearchResult& out) {
    const std::size_t dim = index.dim;
    const unsigned bits = index.bits;
    const kern::Layout l = kern::make_layout(dim, bits);
    const std::size_t cap = kern::quant_block_capacity(l.width);
    const std::size_t tdocs = kern::quant_tile_docs(l.width);
    const QuantScanFn fallback = portable_scan(bits);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        const std::size_t nb_max = std::min(cap, hi - lo);
        AlignedBuffer<std::uint8_t> rows(nb_max * l.width);
        AlignedBuffer<std::uint8_t> tile(tdocs * l.width);
        std::vector<std::int32_t> corr(nb_max);
        std::vector<float> thr(nb_max);
        std::vector<std::size_t> slot(nb_max);
        std::vector<std::uint16_t> r(dim);
        std::vector<float> table(dim << bits);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        tks.reserve(nb_max);
        search::for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            tks.clear();
            std::size_t m = 0;
            unsigned bmax = 0;
            for (std::size_t q = b0; q < b1; ++q) {
                rank_transform_into(queries + q * dim, dim, r.data());
                kern::table_from_ranks(r.data(), dim, bits, table.data());
                kern::IntQuery iq;
                auto* row = reinterpret_cast<std::int8_t*>(rows.data() + m * l.width);
                if (kern::int_query_from_table(table.data(), dim, l, row, iq)) {
                    corr[m] = iq.corr;
                    bmax = std::max(bmax, iq.bmax);
                    thr[m] = kern::kNegInf;
                    slot[m] = q;
                    tks.emplace_back(out.k_eff);
                    ++m;
                } else {
                    // Not reached for bits <= 4; kept so that the result
                    // never depends on the integer argument.
                    TopK tk(out.k_eff);
                    fallback(index.codes, index.n, dim, table.data(), scale, tk);
                    search::finalize_row(tk, out, q, scratch);
                }
            }
            if (m == 0) return;
            kern::IntBlock b;
            b.layout = &l;
            b.codes = index.codes;
            b.n = index.n;
            b.rows = reinterpret_cast<const std::int8_t*>(rows.data());
            b.corr = corr.data();
            b.m = m;
            b.steps = kern::lane_steps(l, bmax);
            b.scale = scale;
            b.offers = search::topk_offers(tks.data(), thr.data());
            kernels.quant_int_scan(b, tile.data(), tdocs);
            for (std::size_t i = 0; i < m; ++i) search::finalize_row(tks[i], out, slot[i], scratch);
        });
    });
}

}  // namespace

void scan_b1_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    table_scan_into(1, codes, n_vectors, dim, table, scale, topk);
}
void scan_b2_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    table_scan_into(2, codes, n_vectors, dim, table, scale, topk);
}
void scan_b4_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    table_scan_into(4, codes, n_vectors, dim, table, scale, topk);
}
void scan_b8_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim, const float* table,
                     float scale, TopK& topk) {
    table_scan_into(8, codes, n_vectors, dim, table, scale, topk);
}

QuantScanFn portable_scan(unsigned bits) {
    static constexpr QuantScanFn kScans[4] = {scan_b1_to_topk, scan_b2_to_topk, scan_b4_to_topk, scan_b8_to_topk};
    return kScans[quant_scan_slot(bits)];
}

void quant_scan_one(const KernelTable& kernels, unsigned bits, const std::uint8_t* codes, std::size_t n_vectors,
                    std::size_t dim, const float* table, float scale, TopK& topk) {
    if (bits != 8 && kernels.quant_int_scan != nullptr)
        scan_int_one(kernels, bits, codes, n_vectors, dim, table, scale, topk);
    else
        portable_scan(bits)(codes, n_vectors, dim, table, scale, topk);
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

SearchResult quant_search_symmetric(const QuantRows& index, const float* queries, std::size_t nq,
                                    std::size_t k, Tier tier) {
    const KernelTable& kernels = kernel_table(tier);
    const std::size_t n = index.n;
    const std::size_t k_eff = std::min(k, n);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;
    const float scale = quant_score_scale(index.dim, index.bits);
    // 8-bit codes have only the portable scan.
    if (index.bits != 8 && kernels.quant_int_scan != nullptr)
        search_int(kernels, index, queries, nq, scale, out);
    else
        search_tables(index, queries, nq, scale, out);
    return out;
}

}  // namespace kwivel
