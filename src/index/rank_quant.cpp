#include "index/rank_quant.h"

#include <cmath>
#include <optional>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/parallel.h"
#include "kernels/dispatch.h"
#include "search/quant_asym_search.h"
#include "search/quant_search.h"
#include "base/finite.h"
#include "base/limits.h"
#include "base/memory.h"
#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"

namespace kwivel {

namespace {

// The shape rule, restated inside the core.
void check_bits_and_dim(std::size_t dim, unsigned bits) {
    const std::optional<QuantShapeError> err = rankquant_shape_error(dim, bits);
    if (!err) return;
    switch (*err) {
        case QuantShapeError::bits: panic("bits must be 1, 2, 4, or 8");
        case QuantShapeError::dim_range: panic("dim must be in [2, 65535]");
        case QuantShapeError::not_multiple_of_levels:
        case QuantShapeError::not_multiple_of_bytes: panic(rankquant_dim_step_message(dim, bits));
    }
}

// Packs the buckets of one rank row, coordinate p * cpb + t into byte p at
// packing_shift(BITS, t).
template <unsigned BITS>
void pack_row(const std::uint16_t* r, const std::uint8_t* bucket_of, std::size_t bpv,
              std::uint8_t* out) {
    constexpr unsigned cpb = codes_per_byte(BITS);
    for (std::size_t p = 0; p < bpv; ++p) {
        const std::uint16_t* rp = r + p * cpb;
        unsigned byte = 0;
        for (unsigned t = 0; t < cpb; ++t) byte |= static_cast<unsigned>(bucket_of[rp[t]]) << packing_shift(BITS, t);
        out[p] = static_cast<std::uint8_t>(byte);
    }
}

}  // namespace

RankQuantIndex::RankQuantIndex(std::size_t dim, unsigned bits)
    : dim_(dim), bits_(bits), symmetric_ok_(bits != 8 || dim % 256 == 0) {
    check_bits_and_dim(dim, bits);
}

RankQuantIndex RankQuantIndex::from_parts(std::size_t dim, unsigned bits, std::size_t n_vectors,
                                          RowBuffer<std::uint8_t> codes) {
    RankQuantIndex idx(dim, bits);
    KW_ASSERT(idx.symmetric_ok(), "KWRQ dim (" + std::to_string(dim) + ") must be a multiple of 2^bits (" +
                                      std::to_string(1u << bits) + ")");
    const std::size_t nd = mul_or_panic(n_vectors, dim, "KWRQ n_vectors * dim overflows usize");
    const std::size_t ndb = mul_or_panic(nd, bits, "KWRQ (n_vectors * dim) * bits overflows usize");
    const std::size_t expect = ndb / 8;
    KW_ASSERT(codes.size() == expect, "KWRQ payload length " + std::to_string(codes.size()) +
                                          " does not match expected " + std::to_string(expect));
    KW_ASSERT(n_vectors <= MAX_VECTORS, "kwivel: n_vectors exceeds MAX_VECTORS");
    idx.n_vectors_ = n_vectors;
    idx.codes_ = std::move(codes);
    return idx;
}

std::size_t RankQuantIndex::bytes_per_vec() const { return dim_ / codes_per_byte(bits_); }

void RankQuantIndex::add(const float* values, std::size_t n_floats) {
    KW_ASSERT(n_floats % dim_ == 0, "vectors length must be a multiple of dim");
    const std::size_t rows = n_floats / dim_;
    const std::size_t bpv = bytes_per_vec();
    std::size_t total = 0, new_len = 0;
    const bool count_overflows = !checked_add(n_vectors_, rows, total);
    const bool too_many = !count_overflows && total > MAX_VECTORS;
    const bool len_overflows = !count_overflows && !too_many && !checked_mul(total, bpv, new_len);
    if (count_overflows || too_many || len_overflows) {
        // Non-finite input is reported first.
        assert_all_finite(values, n_floats);
        KW_ASSERT(!count_overflows, "kwivel: n_vectors overflows usize");
        KW_ASSERT(!too_many, "kwivel: index would exceed MAX_VECTORS (" + std::to_string(MAX_VECTORS) +
                                 "); had " + std::to_string(n_vectors_) + ", adding " +
                                 std::to_string(rows));
        panic("kwivel: index buffer length (n_vectors * elems_per_vec) overflows usize");
    }
    if (rows == 0) return;

    // Bucket of every rank: floor(r * 2^bits / dim), exact.
    const std::size_t dim = dim_;
    std::vector<std::uint8_t> bucket_of(dim);
    for (std::size_t r = 0; r < dim; ++r) bucket_of[r] = rank_to_bucket(r, dim, bits_);

    const std::size_t old_len = codes_.size();
    reserve_for_growth(codes_, new_len);
    codes_.resize(new_len);  // every new byte is packed below
    std::uint8_t* base = codes_.data() + old_len;
    void (*pack)(const std::uint16_t*, const std::uint8_t*, std::size_t, std::uint8_t*) =
        bits_ == 1 ? pack_row<1> : bits_ == 2 ? pack_row<2> : bits_ == 4 ? pack_row<4> : pack_row<8>;
    // Rows are checked for finiteness as they are rank-transformed (one
    // pass over the input instead of two); a non-finite row leaves the
    // index as it was.
    try {
        parallel_for(0, rows, [&](std::size_t lo, std::size_t hi) {
            std::vector<std::uint16_t> r(dim);
            for (std::size_t i = lo; i < hi; ++i) {
                const float* row = values + i * dim;
                rank_transform_into(row, dim, r.data());
                pack(r.data(), bucket_of.data(), bpv, base + i * bpv);
            }
        });
    } catch (...) {
        codes_.resize(old_len);
        throw;
    }
    n_vectors_ = total;
}

std::size_t RankQuantIndex::swap_remove(std::size_t idx) {
    KW_ASSERT(idx < n_vectors_, "kwivel: swap_remove index out of range");
    const std::size_t bpv = bytes_per_vec();
    const std::size_t last = n_vectors_ - 1;
    if (idx != last) std::memcpy(codes_.data() + idx * bpv, codes_.data() + last * bpv, bpv);
    codes_.resize(last * bpv);
    n_vectors_ = last;
    return last;
}

SearchResult RankQuantIndex::search(const float* queries, std::size_t n_floats,
                                    std::size_t k) const {
    KW_ASSERT(symmetric_ok_, "RankQuant b=8 symmetric scoring requires dim % 256 == 0; dim=" +
                                 std::to_string(dim_) + " supports asymmetric/evidence APIs only.");
    KW_ASSERT(n_floats % dim_ == 0, "vectors length must be a multiple of dim");
    assert_all_finite(queries, n_floats);
    return quant_search_symmetric(rows(), queries, n_floats / dim_, k, active_tier());
}

SearchResult RankQuantIndex::search_asymmetric(const float* queries, std::size_t n_floats, std::size_t k) const {
    KW_ASSERT(n_floats % dim_ == 0, "vectors length must be a multiple of dim");
    assert_all_finite(queries, n_floats);
    return quant_search_asymmetric(rows(), queries, n_floats / dim_, k, active_tier());
}

SearchResult RankQuantIndex::search_asymmetric_subset(const float* query, std::size_t len,
                                                      const std::uint32_t* cands, std::size_t n_cand,
                                                      std::size_t k) const {
    return quant_search_asymmetric_subset(rows(), query, len, cands, n_cand, k, active_tier());
}

}  // namespace kwivel
