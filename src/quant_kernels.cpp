// Symmetric scans of the RankQuant index.
//
// Portable scans follow the definition literally: per document, the table
// terms of its codes are added one float32 addition at a time in coordinate
// order, a few documents interleaved for instruction-level parallelism.
//
// The AVX2 scans compute the same sums exactly in integers.  A search table
// has product shape: with L = 2^bits and a(c) = 2c - (L - 1),
//     table[j * L + c] = (a(c) / 2) * (b_j / 2),   b_j = 2 qb_j - (L - 1),
// both factors half-integers, so every term is an integer multiple of 1/4
// and so is every partial sum.  A float32 holds K / 4 exactly for |K| <=
// 2^24, so as long as
//     (L - 1) * sum_j |b_j|  <=  2^24                        (*)
// (a bound on 4 * |partial sum| for any codes) no addition of the float32
// sequence ever rounds, and the float32 sum is exactly S / 4 with the
// integer
//     S = sum_j a(c_j) b_j = 2 sum_j c_j b_j - (L - 1) sum_j b_j.
// float(S) is exact too, so float(S) * 0.25f * scale is bit for bit the
// sequential result (a zero sum is +0.0 both ways: the sequence starts at
// +0.0f and an exact x + y == 0 rounds to +0.0).  For bits <= 4, |b_j| <= 15 and dim <= 65535, so (*)
// always holds for search tables; the kernels nevertheless read b_j back
// out of the float table and check the shape and (*) term by term, handing
// anything else to the portable scan.
//
// sum_j c_j b_j is an unsigned-by-signed byte dot product (vpmaddubsw, 32
// products per instruction).  Packed rows are expanded into one code per
// byte in a permuted coordinate order: 32 packed bytes give 8 / bits
// vectors, vector t holding the code at shift bits * (8 / bits - 1 - t) of
// each byte; the query's b_j are stored in the same order, padded with
// zeros.  A tile of expanded documents stays in L1 while a block of queries
// (sized for L2) passes over it, a few queries and documents at a time in
// registers, so the index streams from memory once per query block.
#include "quant_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "error.h"
#include "parallel.h"
#include "util.h"

#if defined(__x86_64__) || defined(__i386__)
#define KW_QUANT_X86 1
#include <immintrin.h>
#endif

#include "simd_avx2.h"

namespace kwivel {

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

bool valid_bits(unsigned bits) { return bits == 1 || bits == 2 || bits == 4 || bits == 8; }

void check_width(std::size_t dim, unsigned bits) {
    KW_ASSERT(valid_bits(bits), "bits must be 1,2,4,8");
    const std::size_t per_byte = 8 / bits;
    KW_ASSERT(dim % per_byte == 0, "d (" + std::to_string(dim) +
                                       ") must be a multiple of codes_per_byte (" +
                                       std::to_string(per_byte) + ") for bits = " +
                                       std::to_string(bits));
}

// Offers a finished score unless the accumulator would turn it down.
inline void offer(TopK& tk, float& thr, std::size_t i, float f) {
    if (f >= thr) {
        tk.maybe_insert(i, f);
        thr = tk.threshold();
    }
}

// ---------------------------------------------------------------------------
// Portable scans.

// Documents interleaved per pass (independent float32 chains).
constexpr std::size_t kPortableGroup = 4;

template <unsigned BITS, std::size_t G>
inline void portable_docs(const std::uint8_t* p, std::size_t bpv, const float* table,
                          float* acc) {
    constexpr unsigned cpb = 8 / BITS, levels = 1u << BITS, mask = levels - 1;
    for (std::size_t g = 0; g < G; ++g) acc[g] = 0.0f;
    for (std::size_t b = 0; b < bpv; ++b) {
        const float* row = table + b * cpb * levels;
        unsigned x[G];
        for (std::size_t g = 0; g < G; ++g) x[g] = p[g * bpv + b];
        for (unsigned t = 0; t < cpb; ++t) {
            const unsigned shift = BITS * (cpb - 1 - t);
            for (std::size_t g = 0; g < G; ++g)
                acc[g] = acc[g] + row[t * levels + ((x[g] >> shift) & mask)];
        }
    }
}

template <unsigned BITS>
void scan_portable(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                   float scale, TopK& tk) {
    check_width(dim, BITS);
    const std::size_t bpv = dim / (8 / BITS);
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

QuantScanFn portable_scan(unsigned bits) {
    switch (bits) {
        case 1: return scan_b1_to_topk;
        case 2: return scan_b2_to_topk;
        case 4: return scan_b4_to_topk;
        default: return scan_b8_to_topk;
    }
}

// ---------------------------------------------------------------------------
// Integer form of a table (see the top of the file).

// Expanded row layout of one code width and dimension.
struct Layout {
    unsigned bits = 0;
    std::size_t cpb = 0;      // codes per packed byte
    std::size_t bpv = 0;      // packed bytes per row
    std::size_t chunks = 0;   // 32-byte chunks per packed row (at least one)
    std::size_t width = 0;    // expanded bytes per row: chunks * cpb * 32
    std::size_t nvec = 0;     // 32-byte vectors per expanded row
};

Layout make_layout(std::size_t dim, unsigned bits) {
    Layout l;
    l.bits = bits;
    l.cpb = 8 / bits;
    l.bpv = dim / l.cpb;
    l.chunks = std::max<std::size_t>(1, (l.bpv + 31) / 32);
    l.nvec = l.chunks * l.cpb;
    l.width = l.nvec * 32;
    return l;
}

// Expanded position of coordinate j.
inline std::size_t expanded_pos(const Layout& l, std::size_t j) {
    const std::size_t byte = j / l.cpb, t = j % l.cpb;
    return ((byte / 32) * l.cpb + t) * 32 + byte % 32;
}

struct IntQuery {
    std::int32_t corr = 0;   // (L - 1) * sum_j b_j
    unsigned bmax = 0;       // max_j |b_j|
};

// Reads b_j back out of a table of product shape into row (layout order,
// zero padding) and checks (*).  False when the table has another shape,
// a |b_j| above 127 or a sum that could round.
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

// Byte-product steps a 16-bit lane takes before it must be widened: each
// step adds two products c * b with c <= L - 1 and |b| <= bmax.
std::size_t lane_steps(const Layout& l, unsigned bmax) {
    const std::size_t per_step = 2 * ((std::size_t{1} << l.bits) - 1) * std::max(bmax, 1u);
    return std::max<std::size_t>(1, 32767 / per_step);
}

// Cache-line aligned byte buffer.
class AlignedBytes {
public:
    explicit AlignedBytes(std::size_t n) : buf_(n + 64, 0) {
        const auto a = reinterpret_cast<std::uintptr_t>(buf_.data());
        data_ = buf_.data() + (64 - a % 64) % 64;
    }
    std::uint8_t* data() { return data_; }

private:
    std::vector<std::uint8_t> buf_;
    std::uint8_t* data_;
};

// Prepared queries of a block share one pass over the index.
constexpr std::size_t kQueryGroup = 4;
constexpr std::size_t kBlockBytes = 192 * 1024;
constexpr std::size_t kMaxBlock = 128;
// Expanded document tiles stay in L1 while the block passes.
constexpr std::size_t kTileBytes = 16 * 1024;
constexpr std::size_t kTileQuantum = 8;

std::size_t block_capacity(std::size_t row_bytes) {
    return query_block_capacity(row_bytes, kBlockBytes, kQueryGroup, kMaxBlock);
}

std::size_t tile_docs(std::size_t row_bytes) {
    const std::size_t t = kTileBytes / std::max<std::size_t>(row_bytes, 1);
    return std::max(kTileQuantum, t / kTileQuantum * kTileQuantum);
}

// Runs body(lo, hi) over [begin, end) in near-equal blocks of at most cap.
template <class F>
void for_blocks(std::size_t begin, std::size_t end, std::size_t cap, F&& body) {
    const std::size_t n = end - begin;
    if (n == 0) return;
    const std::size_t nblocks = (n + cap - 1) / cap;
    const std::size_t size = (n + nblocks - 1) / nblocks;
    for (std::size_t lo = begin; lo < end; lo += size) body(lo, std::min(end, lo + size));
}

// Offers the lanes set in mask (lane = query * nd + document offset), lowest
// lane first, refreshing the thresholds of the queries that took an offer.
inline void offer_lanes(unsigned mask, const float* scores, std::size_t j, unsigned nd, TopK* tks,
                        float* thr) {
    while (mask) {
        const unsigned lane = static_cast<unsigned>(__builtin_ctz(mask));
        mask &= mask - 1;
        const unsigned q = lane / nd;
        tks[q].maybe_insert(j + lane % nd, scores[lane]);
        thr[q] = tks[q].threshold();
    }
}

// One block of prepared queries against the whole index.
struct IntBlock {
    const Layout* layout = nullptr;
    const std::uint8_t* codes = nullptr;
    std::size_t n = 0;
    const std::int8_t* rows = nullptr;  // m rows of layout->width bytes
    const std::int32_t* corr = nullptr;
    std::size_t m = 0;
    std::size_t steps = 1;              // lane_steps of the block
    float scale = 0.0f;
    TopK* tks = nullptr;
    float* thr = nullptr;
};

void check_avx2() {
#ifdef KW_QUANT_X86
    KW_ASSERT(cpu::features().avx2, "kwivel: the avx2 RankQuant kernel needs a processor with AVX2");
#else
    panic("kwivel: the avx2 RankQuant kernel needs an x86 processor");
#endif
}

// ---------------------------------------------------------------------------
// AVX2 kernels: integer and single-precision AVX2 instructions only (no FMA).

#ifdef KW_QUANT_X86
KW_AVX2_BEGIN

using avx2::hsum8_epi32;

// Expands rows [i0, i0 + cnt) into out (stride layout.width).
template <unsigned BITS>
void expand_rows_avx2(const Layout& l, const std::uint8_t* codes, std::size_t i0, std::size_t cnt,
                      std::uint8_t* out) {
    constexpr unsigned cpb = 8 / BITS;
    const __m256i mask = _mm256_set1_epi8(static_cast<char>((1u << BITS) - 1));
    const std::size_t bpv = l.bpv;
    for (std::size_t d = 0; d < cnt; ++d) {
        const std::uint8_t* row = codes + (i0 + d) * bpv;
        std::uint8_t* o = out + d * l.width;
        for (std::size_t k = 0; k < l.chunks; ++k) {
            __m256i x;
            if (32 * k + 32 <= bpv) {
                x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 32 * k));
            } else {
                alignas(32) std::uint8_t tmp[32] = {};
                if (bpv > 32 * k) std::memcpy(tmp, row + 32 * k, bpv - 32 * k);
                x = _mm256_load_si256(reinterpret_cast<const __m256i*>(tmp));
            }
            for (unsigned t = 0; t < cpb; ++t) {
                const int shift = static_cast<int>(BITS * (cpb - 1 - t));
                // 16-bit shifts; the mask drops what crosses from the
                // neighbouring byte.
                const __m256i v = _mm256_and_si256(_mm256_srli_epi16(x, shift), mask);
                _mm256_store_si256(reinterpret_cast<__m256i*>(o + (k * cpb + t) * 32), v);
            }
        }
    }
}

// NQ queries x ND expanded documents starting at index j.
template <unsigned NQ, unsigned ND>
inline void int_step_avx2(const IntBlock& b, const std::int8_t* rows, const std::int32_t* corr,
                          const std::uint8_t* docs, std::size_t j, TopK* tks, float* thr) {
    constexpr unsigned P = NQ * ND;
    static_assert(P <= 8);
    const std::size_t width = b.layout->width, nvec = b.layout->nvec, steps = b.steps;
    __m256i total = _mm256_setzero_si256();
    for (std::size_t v0 = 0; v0 < nvec; v0 += steps) {
        const std::size_t v1 = std::min(nvec, v0 + steps);
        __m256i acc[P];
        for (unsigned p = 0; p < P; ++p) acc[p] = _mm256_setzero_si256();
#pragma GCC unroll 4
        for (std::size_t v = v0; v < v1; ++v) {
            __m256i dv[ND];
            for (unsigned d = 0; d < ND; ++d)
                dv[d] = _mm256_load_si256(reinterpret_cast<const __m256i*>(docs + d * width + 32 * v));
            for (unsigned q = 0; q < NQ; ++q) {
                const __m256i qv =
                    _mm256_load_si256(reinterpret_cast<const __m256i*>(rows + q * width + 32 * v));
                for (unsigned d = 0; d < ND; ++d)
                    acc[q * ND + d] =
                        _mm256_add_epi16(acc[q * ND + d], _mm256_maddubs_epi16(dv[d], qv));
            }
        }
        const __m256i ones = _mm256_set1_epi16(1);
        __m256i wide[8];
        for (unsigned p = 0; p < 8; ++p)
            wide[p] = p < P ? _mm256_madd_epi16(acc[p], ones) : _mm256_setzero_si256();
        total = _mm256_add_epi32(total, hsum8_epi32(wide));
    }
    alignas(32) std::int32_t cl[8];
    alignas(32) float tl[8];
    for (unsigned p = 0; p < 8; ++p) {
        cl[p] = p < P ? corr[p / ND] : 0;
        tl[p] = p < P ? thr[p / ND] : std::numeric_limits<float>::infinity();
    }
    // S = 2 * sum c b - corr; float(S) / 4 is the float32 sum.
    const __m256i s = _mm256_sub_epi32(_mm256_slli_epi32(total, 1),
                                       _mm256_load_si256(reinterpret_cast<const __m256i*>(cl)));
    const __m256 f = _mm256_mul_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(s), _mm256_set1_ps(0.25f)),
                                   _mm256_set1_ps(b.scale));
    const unsigned mask =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(f, _mm256_load_ps(tl), _CMP_GE_OQ))) &
        ((1u << P) - 1);
    if (!mask) return;
    alignas(32) float sc[8];
    _mm256_store_ps(sc, f);
    offer_lanes(mask, sc, j, ND, tks, thr);
}

// NQ queries against cnt expanded documents of a tile starting at index j0.
template <unsigned NQ>
void int_docs_avx2(const IntBlock& b, std::size_t q0, const std::uint8_t* tile, std::size_t j0,
                   std::size_t cnt) {
    constexpr unsigned ND = NQ == 1 ? 8 : NQ == 2 ? 4 : 2;
    const std::size_t width = b.layout->width;
    const std::int8_t* rows = b.rows + q0 * width;
    const std::int32_t* corr = b.corr + q0;
    TopK* tks = b.tks + q0;
    float* thr = b.thr + q0;
    std::size_t d = 0;
    for (; d + ND <= cnt; d += ND)
        int_step_avx2<NQ, ND>(b, rows, corr, tile + d * width, j0 + d, tks, thr);
    for (; d < cnt; ++d) int_step_avx2<NQ, 1>(b, rows, corr, tile + d * width, j0 + d, tks, thr);
}

// The whole index against every query of the block; tile holds tile_docs
// expanded rows.
void int_scan_avx2(const IntBlock& b, std::uint8_t* tile, std::size_t tdocs) {
    const Layout& l = *b.layout;
    void (*expand)(const Layout&, const std::uint8_t*, std::size_t, std::size_t, std::uint8_t*) =
        l.bits == 1 ? expand_rows_avx2<1> : l.bits == 2 ? expand_rows_avx2<2> : expand_rows_avx2<4>;
    for (std::size_t t0 = 0; t0 < b.n; t0 += tdocs) {
        const std::size_t cnt = std::min(tdocs, b.n - t0);
        expand(l, b.codes, t0, cnt, tile);
        for (std::size_t q0 = 0; q0 < b.m; q0 += kQueryGroup) {
            switch (std::min(kQueryGroup, b.m - q0)) {
                case 4: int_docs_avx2<4>(b, q0, tile, t0, cnt); break;
                case 3: int_docs_avx2<3>(b, q0, tile, t0, cnt); break;
                case 2: int_docs_avx2<2>(b, q0, tile, t0, cnt); break;
                default: int_docs_avx2<1>(b, q0, tile, t0, cnt); break;
            }
        }
    }
}

KW_AVX2_END
#endif  // KW_QUANT_X86

template <unsigned BITS>
void scan_avx2_one(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                   float scale, TopK& tk) {
    static_assert(BITS == 1 || BITS == 2 || BITS == 4);
    check_avx2();
    check_width(dim, BITS);
#ifdef KW_QUANT_X86
    const Layout l = make_layout(dim, BITS);
    AlignedBytes row(l.width);
    IntQuery q;
    if (!int_query_from_table(table, dim, l, reinterpret_cast<std::int8_t*>(row.data()), q)) {
        scan_portable<BITS>(codes, n, dim, table, scale, tk);
        return;
    }
    if (n == 0) return;
    float thr = tk.threshold();
    IntBlock b;
    b.layout = &l;
    b.codes = codes;
    b.n = n;
    b.rows = reinterpret_cast<const std::int8_t*>(row.data());
    b.corr = &q.corr;
    b.m = 1;
    b.steps = lane_steps(l, q.bmax);
    b.scale = scale;
    b.tks = &tk;
    b.thr = &thr;
    const std::size_t tdocs = tile_docs(l.width);
    AlignedBytes tile(tdocs * l.width);
    int_scan_avx2(b, tile.data(), tdocs);
#else
    (void)codes, (void)n, (void)table, (void)scale, (void)tk;
#endif
}

// ---------------------------------------------------------------------------
// Search drivers.

// Query table from precomputed query ranks.
void table_from_ranks(const std::uint16_t* r, std::size_t dim, unsigned bits, float* table) {
    const unsigned levels = 1u << bits;
    const float centre = (static_cast<float>(1u << bits) - 1.0f) * 0.5f;
    for (std::size_t j = 0; j < dim; ++j) {
        const float qc = static_cast<float>(rank_to_bucket(r[j], dim, bits)) - centre;
        float* t = table + j * levels;
        for (unsigned c = 0; c < levels; ++c) t[c] = (static_cast<float>(c) - centre) * qc;
    }
}

void finalize_row(const TopK& tk, SearchResult& out, std::size_t q,
                  std::vector<TopK::Record>& scratch) {
    const std::size_t k = out.k_eff;
    tk.finalize_into_with_scratch(out.scores.data() + q * k, k, out.ids.data() + q * k, k, scratch);
}

void search_portable(const RankQuantIndex& index, const float* queries, std::size_t nq,
                     float scale, SearchResult& out) {
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

#ifdef KW_QUANT_X86
void search_avx2(const RankQuantIndex& index, const float* queries, std::size_t nq, float scale,
                 SearchResult& out) {
    const std::size_t dim = index.dim();
    const unsigned bits = index.bits();
    const Layout l = make_layout(dim, bits);
    const std::size_t cap = block_capacity(l.width);
    const std::size_t tdocs = tile_docs(l.width);
    const QuantScanFn fallback = portable_scan(bits);
    parallel_for(0, nq, [&](std::size_t lo, std::size_t hi) {
        const std::size_t nb_max = std::min(cap, hi - lo);
        AlignedBytes rows(nb_max * l.width);
        AlignedBytes tile(tdocs * l.width);
        std::vector<std::int32_t> corr(nb_max);
        std::vector<float> thr(nb_max);
        std::vector<std::size_t> slot(nb_max);
        std::vector<std::uint16_t> r(dim);
        std::vector<float> table(dim << bits);
        std::vector<TopK> tks;
        std::vector<TopK::Record> scratch;
        tks.reserve(nb_max);
        for_blocks(lo, hi, cap, [&](std::size_t b0, std::size_t b1) {
            tks.clear();
            std::size_t m = 0;
            unsigned bmax = 0;
            for (std::size_t q = b0; q < b1; ++q) {
                rank_transform_into(queries + q * dim, dim, r.data());
                table_from_ranks(r.data(), dim, bits, table.data());
                IntQuery iq;
                auto* row = reinterpret_cast<std::int8_t*>(rows.data() + m * l.width);
                if (int_query_from_table(table.data(), dim, l, row, iq)) {
                    corr[m] = iq.corr;
                    bmax = std::max(bmax, iq.bmax);
                    thr[m] = kNegInf;
                    slot[m] = q;
                    tks.emplace_back(out.k_eff);
                    ++m;
                } else {
                    // Not reached for bits <= 4; kept so that the result
                    // never depends on the integer argument.
                    TopK tk(out.k_eff);
                    fallback(index.codes().data(), index.size(), dim, table.data(), scale, tk);
                    finalize_row(tk, out, q, scratch);
                }
            }
            if (m == 0) return;
            IntBlock b;
            b.layout = &l;
            b.codes = index.codes().data();
            b.n = index.size();
            b.rows = reinterpret_cast<const std::int8_t*>(rows.data());
            b.corr = corr.data();
            b.m = m;
            b.steps = lane_steps(l, bmax);
            b.scale = scale;
            b.tks = tks.data();
            b.thr = thr.data();
            int_scan_avx2(b, tile.data(), tdocs);
            for (std::size_t i = 0; i < m; ++i) finalize_row(tks[i], out, slot[i], scratch);
        });
    });
}
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points.

void scan_b1_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk) {
    scan_portable<1>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b2_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk) {
    scan_portable<2>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b4_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk) {
    scan_portable<4>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b8_to_topk(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                     const float* table, float scale, TopK& topk) {
    scan_portable<8>(codes, n_vectors, dim, table, scale, topk);
}

void scan_b1_to_topk_avx2(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                          const float* table, float scale, TopK& topk) {
    scan_avx2_one<1>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b2_to_topk_avx2(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                          const float* table, float scale, TopK& topk) {
    scan_avx2_one<2>(codes, n_vectors, dim, table, scale, topk);
}
void scan_b4_to_topk_avx2(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                          const float* table, float scale, TopK& topk) {
    scan_avx2_one<4>(codes, n_vectors, dim, table, scale, topk);
}

QuantKernel select_quant_kernel(const cpu::Features& f, unsigned bits) {
    // The integer kernels use AVX2 integer and float instructions, never
    // FMA, so AVX2 alone decides.
    return f.avx2 && (bits == 1 || bits == 2 || bits == 4) ? QuantKernel::avx2
                                                           : QuantKernel::portable;
}

QuantKernel selected_quant_kernel(unsigned bits) {
    static const QuantKernel choice[4] = {
        select_quant_kernel(cpu::features(), 1), select_quant_kernel(cpu::features(), 2),
        select_quant_kernel(cpu::features(), 4), select_quant_kernel(cpu::features(), 8)};
    switch (bits) {
        case 1: return choice[0];
        case 2: return choice[1];
        case 4: return choice[2];
        default: return choice[3];
    }
}

QuantScanFn quant_scan_kernel(QuantKernel kernel, unsigned bits) {
    KW_ASSERT(valid_bits(bits), "bits must be 1,2,4,8");
    if (kernel == QuantKernel::avx2) {
        switch (bits) {
            case 1: return scan_b1_to_topk_avx2;
            case 2: return scan_b2_to_topk_avx2;
            case 4: return scan_b4_to_topk_avx2;
            default: break;
        }
    }
    return portable_scan(bits);
}

void quant_query_table(const float* query, std::size_t dim, unsigned bits, float* table) {
    KW_ASSERT(valid_bits(bits), "bits must be 1,2,4,8");
    std::vector<std::uint16_t> r(dim);
    rank_transform_into(query, dim, r.data());
    table_from_ranks(r.data(), dim, bits, table);
}

float quant_score_scale(std::size_t dim, unsigned bits) {
    const float norm = rankquant_norm(dim, bits);
    return 1.0f / (norm * norm);
}

SearchResult quant_search_symmetric(const RankQuantIndex& index, const float* queries,
                                    std::size_t nq, std::size_t k, QuantKernel kernel) {
    KW_ASSERT(index.symmetric_ok(),
              "RankQuant b=8 symmetric scoring requires dim % 256 == 0; dim=" +
                  std::to_string(index.dim()) + " supports asymmetric/evidence APIs only.");
    if (kernel == QuantKernel::avx2) check_avx2();
    const std::size_t n = index.size();
    const std::size_t k_eff = std::min(k, n);
    std::size_t len;
    KW_ASSERT(!__builtin_mul_overflow(nq, k_eff, &len),
              "search result buffer length (nq * k) overflows usize");
    SearchResult out = SearchResult::sized(nq, k_eff);
    if (k_eff == 0 || nq == 0) return out;
    const float scale = quant_score_scale(index.dim(), index.bits());
#ifdef KW_QUANT_X86
    if (kernel == QuantKernel::avx2 && index.bits() != 8) {
        search_avx2(index, queries, nq, scale, out);
        return out;
    }
#endif
    search_portable(index, queries, nq, scale, out);
    return out;
}

}  // namespace kwivel
