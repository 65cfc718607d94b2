#include "rank.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "error.h"
#include "parallel.h"
#include "rank_kernels.h"
#include "util.h"

namespace kwivel {

namespace {

// Order-preserving unsigned key of a finite float with -0.0 folded onto +0.0.
inline std::uint32_t sort_key(float x) {
    x = x + 0.0f;  // -0.0 + 0.0 == +0.0
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}

// Least-significant-digit radix sort of (key, index) pairs, 8 bits per pass.
// Pairs enter in index order and every pass is stable, so equal keys stay in
// index order: exactly the tie rule of the rank transform.  Passes whose
// digit is the same for every key are skipped.  Once the two low key bytes
// are sorted they are no longer needed, so the last two passes move 32-bit
// (high key half, index) pairs instead of 64-bit ones.
template <class T>
inline void radix_pass(const T* src, T* dst, std::size_t d, std::uint32_t* h, unsigned shift) {
    std::uint32_t sum = 0;
    for (int j = 0; j < 256; ++j) {
        const std::uint32_t c = h[j];
        h[j] = sum;
        sum += c;
    }
    for (std::size_t i = 0; i < d; ++i) {
        const T e = src[i];
        dst[h[(e >> shift) & 0xff]++] = e;
    }
}

void rank_by_radix(const float* values, std::size_t d, std::uint16_t* out) {
    constexpr std::size_t kInline = 1024;
    std::uint64_t stack_wide[2 * kInline];
    std::vector<std::uint64_t> heap_wide;
    std::uint64_t* a = stack_wide;
    if (d > kInline) {
        heap_wide.resize(2 * d);
        a = heap_wide.data();
    }
    std::uint64_t* b = a + d;

    std::uint32_t hist[4][256] = {};
    for (std::size_t i = 0; i < d; ++i) {
        const std::uint32_t k = sort_key(values[i]);
        a[i] = (static_cast<std::uint64_t>(k) << 16) | i;
        ++hist[0][k & 0xff];
        ++hist[1][(k >> 8) & 0xff];
        ++hist[2][(k >> 16) & 0xff];
        ++hist[3][k >> 24];
    }
    auto trivial = [&](int pass, std::uint32_t digit) { return hist[pass][digit] == d; };
    const std::uint32_t k0 = static_cast<std::uint32_t>(a[0] >> 16);
    for (int pass = 0; pass < 2; ++pass) {
        if (trivial(pass, (k0 >> (8 * pass)) & 0xff)) continue;
        radix_pass(a, b, d, hist[pass], 16 + 8 * pass);
        std::swap(a, b);
    }
    // Narrow to (high 16 key bits << 16 | index).
    std::uint32_t* na = reinterpret_cast<std::uint32_t*>(b);
    std::uint32_t* nb = na + d;
    for (std::size_t i = 0; i < d; ++i)
        na[i] = static_cast<std::uint32_t>((a[i] >> 16) & 0xffff0000u) | static_cast<std::uint32_t>(a[i] & 0xffff);
    // b spans 2*d u32 slots == d u64 slots, enough for both narrow buffers.
    for (int pass = 2; pass < 4; ++pass) {
        if (trivial(pass, (k0 >> (8 * pass)) & 0xff)) continue;
        radix_pass(na, nb, d, hist[pass], 8 * pass);
        std::swap(na, nb);
    }
    for (std::size_t p = 0; p < d; ++p) out[na[p] & 0xffff] = static_cast<std::uint16_t>(p);
}

}  // namespace

void assert_all_finite(const float* values, std::size_t n) {
    KW_ASSERT(all_finite(values, n),
              "kwivel: input contains non-finite (NaN or \u00b1Inf) values; embeddings must be finite");
}

void rank_transform_into(const float* values, std::size_t d, std::uint16_t* out) {
    KW_ASSERT(d <= MAX_DIM, "dim must fit in u16");
    assert_all_finite(values, d);
    if (d == 0) return;
    rank_by_radix(values, d, out);
}

std::vector<std::uint16_t> rank_transform(const float* values, std::size_t d) {
    KW_ASSERT(d <= MAX_DIM, "dim must fit in u16");
    std::vector<std::uint16_t> out(d, 0);
    rank_transform_into(values, d, out.data());
    return out;
}

float rank_norm(std::uint64_t d) {
    const double x = static_cast<double>(d);
    double t = (x * x - 1.0) * x;
    t = t / 12.0;
    return static_cast<float>(std::sqrt(t) + 0.0);  // + 0.0: d = 0 gives +0.0, not -0.0
}

std::vector<std::uint8_t> bucket_ranks(const std::uint16_t* ranks, std::size_t n, unsigned bits) {
    KW_ASSERT(bits <= 8, "bits too large");
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        KW_ASSERT(ranks[i] < n, "rank (" + std::to_string(ranks[i]) + ") must be < d (" + std::to_string(n) + ")");
        out[i] = rank_to_bucket(ranks[i], n, bits);
    }
    return out;
}

std::vector<std::uint8_t> pack_buckets(const std::uint8_t* codes, std::size_t n, unsigned bits) {
    KW_ASSERT(bits == 1 || bits == 2 || bits == 4 || bits == 8, "bits must be 1, 2, 4, or 8");
    const std::size_t per_byte = 8 / bits;
    KW_ASSERT(n % per_byte == 0, "d (" + std::to_string(n) + ") must be a multiple of codes_per_byte (" +
                                     std::to_string(per_byte) + ") for bits = " + std::to_string(bits));
    const unsigned limit = 1u << bits;
    std::vector<std::uint8_t> out(n / per_byte, 0);
    for (std::size_t i = 0; i < n; ++i) {
        KW_ASSERT(codes[i] < limit, "bucket code " + std::to_string(codes[i]) +
                                        " out of range: every code must be < 1 << bits (" + std::to_string(limit) + ")");
        out[i / per_byte] |= static_cast<std::uint8_t>(codes[i] << (bits * (per_byte - 1 - i % per_byte)));
    }
    return out;
}

std::vector<std::uint8_t> unpack_buckets(const std::uint8_t* packed, std::size_t d, unsigned bits) {
    KW_ASSERT(bits == 1 || bits == 2 || bits == 4 || bits == 8, "bits must be 1, 2, 4, or 8");
    const std::size_t per_byte = 8 / bits;
    const unsigned mask = (1u << bits) - 1;
    std::vector<std::uint8_t> out(d);
    for (std::size_t i = 0; i < d; ++i)
        out[i] = static_cast<std::uint8_t>((packed[i / per_byte] >> (bits * (per_byte - 1 - i % per_byte))) & mask);
    return out;
}

float bucket_centre(unsigned bucket, unsigned bits) {
    return (static_cast<float>(1u << bits) - 1.0f) * -0.5f + static_cast<float>(bucket);
}

float rankquant_norm(std::uint64_t d, unsigned bits) {
    const double levels = static_cast<double>(1u << bits);
    const double t = (levels * levels - 1.0) / 12.0;
    return static_cast<float>(std::sqrt(static_cast<double>(d) * t));
}

SearchResult SearchResult::sized(std::size_t nq, std::size_t k_eff) {
    std::size_t len;
    KW_ASSERT(!__builtin_mul_overflow(nq, k_eff, &len), "search result buffer length (nq * k) overflows usize");
    SearchResult r;
    r.nq = nq;
    r.k_eff = k_eff;
    r.scores.assign(len, 0.0f);
    r.ids.assign(len, std::int64_t{-1});
    return r;
}

RankIndex::RankIndex(std::size_t dim) : dim_(dim) {
    KW_ASSERT(dim >= 2 && dim <= MAX_DIM, "dim must be in [2, 65535]");
}

RankIndex RankIndex::from_parts(std::size_t dim, std::size_t n_vectors,
                                std::vector<std::uint16_t> ranks) {
    RankIndex idx(dim);
    std::size_t expect;
    KW_ASSERT(!__builtin_mul_overflow(n_vectors, dim, &expect), "KWR1 n_vectors * dim overflows usize");
    KW_ASSERT(ranks.size() == expect, "KWR1 payload length does not match dim * n_vectors");
    KW_ASSERT(n_vectors <= MAX_VECTORS, "kwivel: n_vectors exceeds MAX_VECTORS");
    idx.n_vectors_ = n_vectors;
    idx.ranks_ = std::move(ranks);
    return idx;
}

void RankIndex::add(const float* values, std::size_t n_floats) {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(values, n_floats);
    const std::size_t rows = n_floats / dim_;
    std::size_t total;
    KW_ASSERT(!__builtin_add_overflow(n_vectors_, rows, &total) && total <= MAX_VECTORS,
              "kwivel: index would exceed MAX_VECTORS (" + std::to_string(MAX_VECTORS) + "); had " +
                  std::to_string(n_vectors_) + ", adding " + std::to_string(rows));
    std::size_t new_len;
    KW_ASSERT(!__builtin_mul_overflow(total, dim_, &new_len),
              "index buffer length (n_vectors * elems_per_vec) overflows usize");
    if (rows == 0) return;
    const std::size_t old_len = ranks_.size();
    reserve_for_growth(ranks_, new_len);
    ranks_.resize(new_len, 0);
    std::uint16_t* base = ranks_.data() + old_len;
    const std::size_t dim = dim_;
    parallel_for_each(0, rows, [&](std::size_t r) {
        rank_by_radix(values + r * dim, dim, base + r * dim);
    });
    n_vectors_ = total;
}

std::size_t RankIndex::swap_remove(std::size_t idx) {
    KW_ASSERT(idx < n_vectors_, "kwivel: swap_remove index out of range");
    const std::size_t last = n_vectors_ - 1;
    if (idx != last) std::memmove(ranks_.data() + idx * dim_, ranks_.data() + last * dim_, dim_ * sizeof(std::uint16_t));
    ranks_.resize(last * dim_);
    n_vectors_ = last;
    return last;
}

SearchResult RankIndex::search(const float* queries, std::size_t n_floats, std::size_t k) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(queries, n_floats);
    return rank_search_symmetric(*this, queries, n_floats / dim_, k, selected_rank_kernel());
}

SearchResult RankIndex::search_asymmetric(const float* queries, std::size_t n_floats,
                                          std::size_t k) const {
    KW_ASSERT(n_floats % dim_ == 0, "kwivel: float count is not a multiple of dim");
    assert_all_finite(queries, n_floats);
    return rank_search_asymmetric(*this, queries, n_floats / dim_, k, selected_rank_kernel());
}

}  // namespace kwivel
