#include "index/eval_search.h"

#include <cmath>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/finite.h"
#include "base/limits.h"
#include "base/memory.h"
#include "base/parallel.h"
#include "kernels/eval_scan.h"
#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"
#include "search/scan_support.h"

namespace kwivel {

namespace {

// The code of every rank, checked against the width.
std::vector<std::uint8_t> rank_codes(std::size_t dim, unsigned bits) {
    std::vector<std::uint8_t> code(dim);
    for (std::size_t r = 0; r < dim; ++r) {
        const std::uint64_t c = (static_cast<std::uint64_t>(r) << bits) / dim;
        KW_ASSERT(c < (std::uint64_t{1} << bits),
                  "bucket " + std::to_string(c) + " out of range for bits = " + std::to_string(bits));
        code[r] = static_cast<std::uint8_t>(c);
    }
    return code;
}

// nq queries' centred codes over the corpus: blocks of queries share each
// pass, a tile of 16 documents is filled once and every query group of the
// block meets it through one call of the table's step.
void eval_driver(const KernelTable& table, const kern::EvalScan& s, const float* qc, std::size_t nq,
                 SearchResult& out) {
    using kern::kEvalTile;
    const std::size_t dim = s.dim, group = table.eval_group_size;
    const std::size_t cap = kern::query_block_capacity(dim * sizeof(float), kern::kEvalBlockBytes, group,
                                                       kern::kEvalMaxBlock);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        AlignedBuffer<float> tile(dim * kEvalTile);
        std::vector<float> thr(cap);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        tks.reserve(cap);
        search::for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            const std::size_t nb = b1 - b0;
            tks.clear();
            for (std::size_t q = 0; q < nb; ++q) {
                tks.emplace_back(out.k_eff);
                thr[q] = kern::kNegInf;
            }
            const kern::Offers offers = search::topk_offers(tks.data(), thr.data());
            for (std::size_t t0 = 0; t0 < s.n; t0 += kEvalTile) {
                const std::size_t t1 = std::min(s.n, t0 + kEvalTile);
                kern::eval_fill(s, t0, t1, tile.data());
                for (std::size_t q0 = 0; q0 < nb; q0 += group)
                    table.eval_group(s, qc + (b0 + q0) * dim, std::min(group, nb - q0), tile.data(), t0, t1,
                                     offers.from(q0));
            }
            for (std::size_t q = 0; q < nb; ++q) search::finalize_row(tks[q], out, b0 + q, scratch);
        });
    });
}

}  // namespace

float eval_scale(std::size_t dim, unsigned bits) {
    float s = 0.0f;
    for (std::size_t r = 0; r < dim; ++r) {
        const float c = bucket_centre(rank_to_bucket(r, dim, bits), bits);
        s = s + c * c;
    }
    const float root = std::sqrt(s);
    return 1.0f / (root * root);
}

SearchResult rankquant_eval_search(const float* corpus, std::size_t corpus_len, const float* queries,
                                   std::size_t queries_len, std::size_t dim, unsigned bits, std::size_t k,
                                   Tier tier) {
    KW_ASSERT(bits >= 1 && bits <= 8, "bits must be in 1..=8");
    KW_ASSERT(dim >= 2, "dim must be >= 2");
    KW_ASSERT(dim <= MAX_DIM, "dim must fit in u16");
    KW_ASSERT(corpus_len % dim == 0, "corpus length must be a multiple of dim");
    KW_ASSERT(queries_len % dim == 0, "queries length must be a multiple of dim");
    assert_all_finite(corpus, corpus_len);
    assert_all_finite(queries, queries_len);
    const std::size_t n_docs = corpus_len / dim, nq = queries_len / dim;
    const std::size_t k_eff = std::min(k, n_docs);
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (nq == 0 || k_eff == 0) return out;

    std::vector<float> values(std::size_t{1} << bits);
    for (std::size_t c = 0; c < values.size(); ++c) values[c] = bucket_centre(static_cast<unsigned>(c), bits);
    const std::vector<std::uint8_t> code_of = rank_codes(dim, bits);

    // Encode the corpus, one row per work item.
    std::vector<std::uint8_t> codes;
    reserve_for_growth(codes, n_docs * dim);
    codes.resize(n_docs * dim);
    parallel_for(0, n_docs, [&](std::size_t lo, std::size_t hi) {
        std::vector<std::uint16_t> r(dim);
        for (std::size_t i = lo; i < hi; ++i) {
            rank_rows_into(corpus + i * dim, dim, r.data());
            std::uint8_t* row = codes.data() + i * dim;
            for (std::size_t j = 0; j < dim; ++j) row[j] = code_of[r[j]];
        }
    });

    // Centred query codes.
    std::vector<float> qc(nq * dim);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        std::vector<std::uint16_t> r(dim);
        for (std::size_t q = lo; q < hi; ++q) {
            rank_rows_into(queries + q * dim, dim, r.data());
            float* row = qc.data() + q * dim;
            for (std::size_t j = 0; j < dim; ++j) row[j] = values[code_of[r[j]]];
        }
    });

    kern::EvalScan s;
    s.dim = dim;
    s.n = n_docs;
    s.codes = codes.data();
    s.values = values.data();
    s.scale = eval_scale(dim, bits);
    eval_driver(kernel_table(tier), s, qc.data(), nq, out);
    return out;
}

}  // namespace kwivel
