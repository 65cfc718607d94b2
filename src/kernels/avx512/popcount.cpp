// AVX-512 VPOPCNTDQ popcount scans.
//
// A group of queries: eight rows at a time, transposed, so that word w of
// the eight rows sits in the eight lanes of one register (transpose8); one
// AND (or XOR) with the query's word broadcast, one VPOPCNTQ and one add
// then advance all eight rows, and the accumulator ends up holding the
// eight counts with no horizontal sum.  The transposed words (up to
// kWordChunk of them at a time) are reused by every query of the group.
// Rows past the end of the block are neither loaded nor stored.  One
// query: rows_one_query below.
#include <algorithm>
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/popcount.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX512_VPOPCNT_BEGIN

constexpr std::size_t kWordChunk = 32;

template <PopOp op>
inline __m512i combine512(__m512i q, __m512i r) {
    if constexpr (op == PopOp::and_op)
        return _mm512_and_si512(q, r);
    else
        return _mm512_xor_si512(q, r);
}

// Words [0, nw) (nw <= 8) of rows [0, live) (live <= 8, rows wpv words
// apart) into t[0, 8): lane r of t[w] is word w of row r, zero for rows
// past live and words past nw.  Eight row loads and an 8 x 8 transpose of
// 64-bit lanes in three rounds of shuffles (a gather per word would cost
// far more).
inline void transpose8(const std::uint64_t* rows, unsigned live, std::size_t wpv, std::size_t nw, __m512i* t) {
    const __mmask8 words = static_cast<__mmask8>((1u << nw) - 1u);
    __m512i r[8];
    for (unsigned i = 0; i < 8; ++i)
        r[i] = i < live ? _mm512_maskz_loadu_epi64(words, rows + i * wpv) : _mm512_setzero_si512();
    __m512i a[8], b[8];
    for (int i = 0; i < 4; ++i) {  // a[2i]: even words of rows 2i, 2i+1; a[2i+1]: odd words
        a[2 * i] = _mm512_unpacklo_epi64(r[2 * i], r[2 * i + 1]);
        a[2 * i + 1] = _mm512_unpackhi_epi64(r[2 * i], r[2 * i + 1]);
    }
    for (int h = 0; h < 2; ++h) {  // rows 4h .. 4h+3
        const __m512i* x = a + 4 * h;
        b[4 * h + 0] = _mm512_shuffle_i64x2(x[0], x[2], 0x88);  // words 0, 4
        b[4 * h + 1] = _mm512_shuffle_i64x2(x[0], x[2], 0xdd);  // words 2, 6
        b[4 * h + 2] = _mm512_shuffle_i64x2(x[1], x[3], 0x88);  // words 1, 5
        b[4 * h + 3] = _mm512_shuffle_i64x2(x[1], x[3], 0xdd);  // words 3, 7
    }
    t[0] = _mm512_shuffle_i64x2(b[0], b[4], 0x88);
    t[4] = _mm512_shuffle_i64x2(b[0], b[4], 0xdd);
    t[2] = _mm512_shuffle_i64x2(b[1], b[5], 0x88);
    t[6] = _mm512_shuffle_i64x2(b[1], b[5], 0xdd);
    t[1] = _mm512_shuffle_i64x2(b[2], b[6], 0x88);
    t[5] = _mm512_shuffle_i64x2(b[2], b[6], 0xdd);
    t[3] = _mm512_shuffle_i64x2(b[3], b[7], 0x88);
    t[7] = _mm512_shuffle_i64x2(b[3], b[7], 0xdd);
}

// Rows [0, live) of the eight starting at rows (live <= 8).
template <PopOp op>
inline void rows8_vpop(const std::uint64_t* rows, unsigned live, std::size_t wpv, const std::uint64_t* queries,
                       std::size_t nq, std::uint32_t* counts, std::size_t stride) {
    const __mmask8 mask = static_cast<__mmask8>((1u << live) - 1u);
    __m512i acc[kPopGroup];
    for (std::size_t q = 0; q < nq; ++q) acc[q] = _mm512_setzero_si512();
    __m512i t[kWordChunk + 8];
    for (std::size_t w0 = 0; w0 < wpv; w0 += kWordChunk) {
        const std::size_t nw = std::min(kWordChunk, wpv - w0);
        for (std::size_t b = 0; b < nw; b += 8)
            transpose8(rows + w0 + b, live, wpv, std::min<std::size_t>(8, nw - b), t + b);
        for (std::size_t q = 0; q < nq; ++q) {
            const std::uint64_t* qw = queries + q * wpv + w0;
            __m512i a = acc[q], b = _mm512_setzero_si512();
            std::size_t w = 0;
            for (; w + 2 <= nw; w += 2) {
                a = _mm512_add_epi64(a, _mm512_popcnt_epi64(combine512<op>(
                                            _mm512_set1_epi64(static_cast<long long>(qw[w])), t[w])));
                b = _mm512_add_epi64(b, _mm512_popcnt_epi64(combine512<op>(
                                            _mm512_set1_epi64(static_cast<long long>(qw[w + 1])), t[w + 1])));
            }
            if (w < nw)
                a = _mm512_add_epi64(a, _mm512_popcnt_epi64(combine512<op>(
                                            _mm512_set1_epi64(static_cast<long long>(qw[w])), t[w])));
            acc[q] = _mm512_add_epi64(a, b);
        }
    }
    for (std::size_t q = 0; q < nq; ++q)
        _mm512_mask_cvtepi64_storeu_epi32(counts + q * stride, mask, acc[q]);
}

// Lane sums of eight accumulators: lane r of the result is the sum of the
// eight lanes of a[r].
inline __m512i sum_lanes8(const __m512i* a) {
    __m512i t[4], u[2];
    for (int i = 0; i < 4; ++i)  // 128-bit lanes hold (a[2i], a[2i+1]) partial sums
        t[i] = _mm512_add_epi64(_mm512_unpacklo_epi64(a[2 * i], a[2 * i + 1]),
                                _mm512_unpackhi_epi64(a[2 * i], a[2 * i + 1]));
    for (int i = 0; i < 2; ++i)
        u[i] = _mm512_add_epi64(_mm512_shuffle_i64x2(t[2 * i], t[2 * i + 1], 0x88),
                                _mm512_shuffle_i64x2(t[2 * i], t[2 * i + 1], 0xdd));
    return _mm512_add_epi64(_mm512_shuffle_i64x2(u[0], u[1], 0x88), _mm512_shuffle_i64x2(u[0], u[1], 0xdd));
}

// One query: each row is read with plain loads, eight words at a time (the
// last block under a lane mask), and eight rows' accumulators are summed
// together.  Rows past live are not read.
template <PopOp op>
void rows_one_query(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* query,
                    std::uint32_t* counts) {
    const std::size_t full = wpv / 8;
    const __mmask8 tail = static_cast<__mmask8>((1u << (wpv % 8)) - 1u);
    for (std::size_t i0 = 0; i0 < n; i0 += 8) {
        const unsigned live = static_cast<unsigned>(std::min<std::size_t>(8, n - i0));
        __m512i acc[8];
        for (unsigned r = 0; r < 8; ++r) {
            acc[r] = _mm512_setzero_si512();
            if (r >= live) continue;
            const std::uint64_t* row = rows + (i0 + r) * wpv;
            for (std::size_t b = 0; b < wpv; b += 8)  // every line of the row sixteen rows ahead
                _mm_prefetch(reinterpret_cast<const char*>(row + 16 * wpv + b), _MM_HINT_T0);
            for (std::size_t b = 0; b < full; ++b)
                acc[r] = _mm512_add_epi64(acc[r], _mm512_popcnt_epi64(combine512<op>(
                                                      _mm512_loadu_si512(query + 8 * b), _mm512_loadu_si512(row + 8 * b))));
            if (tail)
                acc[r] = _mm512_add_epi64(acc[r], _mm512_popcnt_epi64(combine512<op>(
                                                      _mm512_maskz_loadu_epi64(tail, query + 8 * full),
                                                      _mm512_maskz_loadu_epi64(tail, row + 8 * full))));
        }
        _mm512_mask_cvtepi64_storeu_epi32(counts + i0, static_cast<__mmask8>((1u << live) - 1u), sum_lanes8(acc));
    }
}

template <PopOp op>
void block_vpop(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                std::size_t nq, std::uint32_t* counts, std::size_t stride) {
    if (nq == 1) return rows_one_query<op>(rows, n, wpv, queries, counts);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) rows8_vpop<op>(rows + i * wpv, 8, wpv, queries, nq, counts + i, stride);
    if (i < n) rows8_vpop<op>(rows + i * wpv, static_cast<unsigned>(n - i), wpv, queries, nq, counts + i, stride);
}

KW_TARGET_END

struct VpopSteps {
    template <PopOp op>
    static void block(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                      std::size_t nq, std::uint32_t* counts, std::size_t stride) {
        block_vpop<op>(rows, n, wpv, queries, nq, counts, stride);
    }
};
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_popcount_avx512_vpopcnt(KernelTable& t) {
#ifdef KW_X86
    kern::install_popcount_steps<kern::VpopSteps>(t);
#else
    (void)t;
#endif
}

}  // namespace kwivel
