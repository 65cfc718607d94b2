// AVX2-tier popcount scans.  Every form, one query or a group, runs the same
// step: query-outer over a block of rows that stays in L1 (the drivers of
// kernels/popcount.h cut the blocks), rows-inner with plain contiguous
// 256-bit loads -- no gathers, which AMD cores before Zen 3 run as microcode.
//
// Counting.  A row of wpv words is wpv / 4 full vectors and, for wpv % 4 !=
// 0, a tail vector read with a masked load (the missing lanes read as zero
// in the row and in the query, so they add nothing for AND and XOR alike).
// Three combined vectors a, b, c are folded by a carry-save adder first:
// popcount(a) + popcount(b) + popcount(c) = popcount(a ^ b ^ c) + 2 *
// popcount(maj(a, b, c)), bit for bit, so two nibble-table counts (VPSHUFB;
// the second through a table of doubled counts) replace three.  Byte counts
// grow by at most 8 per vector, so a run of at most 31 vectors (30 full ones
// and the tail) stays below 256 before VPSADBW folds it into 64-bit sums.
// Four rows' sums are folded together into four 32-bit counts with shifts,
// unpacks and adds -- no horizontal sum per (query, row) pair.  All of it is
// exact integer arithmetic, so the counts equal the portable tier's.
#include <algorithm>
#include <cstdint>

#include "base/memory.h"
#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/popcount.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

// Full vectors per byte-count run (the tail, if any, joins the last run).
constexpr std::size_t kRunVectors = 30;

inline __m256i load4(const std::uint64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

template <PopOp op>
inline __m256i combine256(__m256i q, __m256i r) {
    if constexpr (op == PopOp::and_op)
        return _mm256_and_si256(q, r);
    else
        return _mm256_xor_si256(q, r);
}

// Nibble-table counts of a vector as 32 byte counts, through the table of
// single (0..4) or doubled (0..8) nibble counts.
inline __m256i nibble_count(__m256i table, __m256i x) {
    const __m256i low4 = _mm256_set1_epi8(0x0f);
    const __m256i lo = _mm256_and_si256(x, low4);
    const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), low4);
    return _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
}

struct Tables {
    __m256i once, twice;
};

inline Tables nibble_tables() {
    const __m256i once = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1,
                                          2, 2, 3, 2, 3, 3, 4);
    return {once, _mm256_add_epi8(once, once)};
}

// Byte counts of op(q, r) over the full vectors [k0, k1) (at most 30) of one
// row, plus its tail vector when `tail` (qt: the query's tail, zero-padded).
// The query's vectors come from qv (kept in registers when the shape is
// fixed at compile time).
template <PopOp op>
inline __m256i run_bytes(const Tables& tb, const std::uint64_t* r, const __m256i* qv, std::size_t k0,
                         std::size_t k1, bool tail, __m256i qt, __m256i mask) {
    __m256i bytes = _mm256_setzero_si256();
    std::size_t k = k0;
    for (; k + 3 <= k1; k += 3) {
        const __m256i a = combine256<op>(qv[k], load4(r + 4 * k));
        const __m256i b = combine256<op>(qv[k + 1], load4(r + 4 * k + 4));
        const __m256i c = combine256<op>(qv[k + 2], load4(r + 4 * k + 8));
        const __m256i ab = _mm256_xor_si256(a, b);
        const __m256i sum = _mm256_xor_si256(ab, c);
        const __m256i carry = _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(ab, c));
        bytes = _mm256_add_epi8(bytes, _mm256_add_epi8(nibble_count(tb.once, sum), nibble_count(tb.twice, carry)));
    }
    for (; k < k1; ++k)
        bytes = _mm256_add_epi8(bytes, nibble_count(tb.once, combine256<op>(qv[k], load4(r + 4 * k))));
    if (tail) {
        const __m256i x = _mm256_maskload_epi64(reinterpret_cast<const long long*>(r + 4 * k1), mask);
        bytes = _mm256_add_epi8(bytes, nibble_count(tb.once, combine256<op>(qt, x)));
    }
    return bytes;
}

// Counts of one query against the four rows r[0..3]: four 32-bit counts.
// full: the row's full vectors (kFull when fixed at compile time, >= 0).
template <PopOp op, int kFull>
inline __m128i rows4(const Tables& tb, std::size_t full, bool has_tail, __m256i mask,
                     const std::uint64_t* const r[4], const __m256i* qv, __m256i qt) {
    if constexpr (kFull >= 0) full = static_cast<std::size_t>(kFull);
    const __m256i zero = _mm256_setzero_si256();
    __m256i s0 = zero, s1 = zero, s2 = zero, s3 = zero;
    for (std::size_t k0 = 0;; k0 += kRunVectors) {
        const std::size_t k1 = std::min(full, k0 + kRunVectors);
        const bool tail = has_tail && k1 == full;
        s0 = _mm256_add_epi64(s0, _mm256_sad_epu8(run_bytes<op>(tb, r[0], qv, k0, k1, tail, qt, mask), zero));
        s1 = _mm256_add_epi64(s1, _mm256_sad_epu8(run_bytes<op>(tb, r[1], qv, k0, k1, tail, qt, mask), zero));
        s2 = _mm256_add_epi64(s2, _mm256_sad_epu8(run_bytes<op>(tb, r[2], qv, k0, k1, tail, qt, mask), zero));
        s3 = _mm256_add_epi64(s3, _mm256_sad_epu8(run_bytes<op>(tb, r[3], qv, k0, k1, tail, qt, mask), zero));
        if (k1 == full) break;
    }
    // Every 64-bit lane sum is below 2^32: lanes of two rows pair up as
    // 32-bit halves, [a0 b0 a1 b1 | a2 b2 a3 b3] and the same of c, d; the
    // unpacks line up [a0 b0 c0 d0 | a2 b2 c2 d2] with [a1 b1 c1 d1 | a3 b3
    // c3 d3], and two adds leave [a b c d].
    const __m256i ab = _mm256_or_si256(s0, _mm256_slli_epi64(s1, 32));
    const __m256i cd = _mm256_or_si256(s2, _mm256_slli_epi64(s3, 32));
    const __m256i t = _mm256_add_epi32(_mm256_unpacklo_epi64(ab, cd), _mm256_unpackhi_epi64(ab, cd));
    return _mm_add_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
}

// One query against the n rows of a block.  qv holds the query's full
// vectors (kFull of them when fixed, else wpv / 4).
template <PopOp op, int kFull>
void query_rows(const Tables& tb, const std::uint64_t* rows, std::size_t n, std::size_t wpv, const __m256i* qv_mem,
                __m256i qt, __m256i mask, std::uint32_t* out) {
    const std::size_t full = wpv / 4;
    const bool has_tail = wpv % 4 != 0;
    constexpr std::size_t kRegs = kFull > 0 ? static_cast<std::size_t>(kFull) : 1;
    __m256i regs[kRegs];
    const __m256i* qv = qv_mem;
    if constexpr (kFull > 0) {
        for (std::size_t k = 0; k < kRegs; ++k) regs[k] = qv_mem[k];
        qv = regs;
    }
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const std::uint64_t* const r[4] = {rows + i * wpv, rows + (i + 1) * wpv, rows + (i + 2) * wpv,
                                           rows + (i + 3) * wpv};
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), rows4<op, kFull>(tb, full, has_tail, mask, r, qv, qt));
    }
    if (i < n) {
        // The last one to three rows, the final one standing in for the
        // missing ones; only the live counts are kept.
        const std::uint64_t* const r[4] = {rows + i * wpv, rows + std::min(i + 1, n - 1) * wpv,
                                           rows + std::min(i + 2, n - 1) * wpv, rows + (n - 1) * wpv};
        alignas(16) std::uint32_t c[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(c), rows4<op, kFull>(tb, full, has_tail, mask, r, qv, qt));
        for (std::size_t j = 0; i + j < n; ++j) out[i + j] = c[j];
    }
}

template <PopOp op>
void block_nibble(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                  std::size_t nq, std::uint32_t* counts, std::size_t stride) {
    if (n == 0) return;
    const Tables tb = nibble_tables();
    const std::size_t full = wpv / 4;
    const long long t = static_cast<long long>(wpv % 4);
    const __m256i mask = _mm256_cmpgt_epi64(_mm256_set1_epi64x(t), _mm256_set_epi64x(3, 2, 1, 0));
    // The query's full vectors as aligned copies (the query words need not
    // be 32-byte aligned): a small buffer for the fixed shapes, which lift
    // them into registers, a heap one for wider rows.
    constexpr std::size_t kFixed = 8;
    __m256i qbuf[kFixed];
    AlignedBuffer<std::uint64_t> wide(full > kFixed ? 4 * full : 0);
    for (std::size_t q = 0; q < nq; ++q) {
        const std::uint64_t* qw = queries + q * wpv;
        const __m256i qt = _mm256_maskload_epi64(reinterpret_cast<const long long*>(qw + 4 * full), mask);
        std::uint32_t* out = counts + q * stride;
        if (full > kFixed) {
            std::copy(qw, qw + 4 * full, wide.data());
            query_rows<op, -1>(tb, rows, n, wpv, reinterpret_cast<const __m256i*>(wide.data()), qt, mask, out);
            continue;
        }
        for (std::size_t k = 0; k < full; ++k) qbuf[k] = load4(qw + 4 * k);
        switch (full) {
            case 0: query_rows<op, 0>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
            case 1: query_rows<op, 1>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
            case 2: query_rows<op, 2>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
            case 3: query_rows<op, 3>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
            case 4: query_rows<op, 4>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
            case 5: query_rows<op, 5>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
            case 6: query_rows<op, 6>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
            default: query_rows<op, -1>(tb, rows, n, wpv, qbuf, qt, mask, out); break;
        }
    }
}

// The filter: 32 counts per round, four compares each way (signed: counts
// are below 2^31) folded into one mask of the rows out of range.
std::size_t select_in_range(const std::uint32_t* counts, std::size_t n, std::uint32_t lo, std::uint32_t hi,
                            std::uint32_t* out) {
    const __m256i below = _mm256_set1_epi32(static_cast<int>(lo));
    const __m256i above = _mm256_set1_epi32(static_cast<int>(hi));
    auto outside = [&](std::size_t i) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + i));
        const __m256i bad = _mm256_or_si256(_mm256_cmpgt_epi32(below, c), _mm256_cmpgt_epi32(c, above));
        return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(bad)));
    };
    std::size_t got = 0, i = 0;
    for (; i + 32 <= n; i += 32) {
        const std::uint32_t bad = outside(i) | outside(i + 8) << 8 | outside(i + 16) << 16 | outside(i + 24) << 24;
        for (std::uint32_t in = ~bad; in != 0; in &= in - 1)
            out[got++] = static_cast<std::uint32_t>(i + static_cast<std::size_t>(__builtin_ctz(in)));
    }
    for (; i < n; ++i) {
        out[got] = static_cast<std::uint32_t>(i);
        got += counts[i] >= lo && counts[i] <= hi;
    }
    return got;
}

KW_TARGET_END

struct Avx2Steps {
    template <PopOp op>
    static void block(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                      std::size_t nq, std::uint32_t* counts, std::size_t stride) {
        block_nibble<op>(rows, n, wpv, queries, nq, counts, stride);
    }
};
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_popcount_avx2(KernelTable& t) {
#ifdef KW_X86
    kern::install_popcount_steps<kern::Avx2Steps>(t);
    t.pop_select = kern::select_in_range;
#else
    (void)t;
#endif
}

}  // namespace kwivel
