// AVX2-tier popcount scans.  One query: the hardware 64-bit POPCNT, two
// rows at a time with independent sums so the instruction's latency
// overlaps.  A group of queries: the nibble-table count on transposed rows
// (rows4_nibble), which spreads the work over the vector ports instead of
// POPCNT's single one.
#include <algorithm>
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/popcount.h"

namespace kwivel {
namespace kern {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

template <PopOp op>
inline void rows2_popcnt(const std::uint64_t* r0, const std::uint64_t* r1, const std::uint64_t* q,
                         std::size_t wpv, std::uint32_t& c0, std::uint32_t& c1) {
    std::uint64_t a0 = 0, a1 = 0, b0 = 0, b1 = 0;
    std::size_t w = 0;
    for (; w + 2 <= wpv; w += 2) {
        const std::uint64_t q0 = q[w], q1 = q[w + 1];
        a0 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q0, r0[w])));
        a1 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q1, r0[w + 1])));
        b0 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q0, r1[w])));
        b1 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q1, r1[w + 1])));
    }
    if (w < wpv) {
        a0 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q[w], r0[w])));
        b0 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q[w], r1[w])));
    }
    c0 = static_cast<std::uint32_t>(a0 + a1);
    c1 = static_cast<std::uint32_t>(b0 + b1);
}

template <PopOp op>
inline std::uint32_t row_popcnt(const std::uint64_t* r, const std::uint64_t* q, std::size_t wpv) {
    std::uint64_t a0 = 0, a1 = 0;
    std::size_t w = 0;
    for (; w + 2 <= wpv; w += 2) {
        a0 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q[w], r[w])));
        a1 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q[w + 1], r[w + 1])));
    }
    if (w < wpv) a0 += static_cast<std::uint64_t>(_mm_popcnt_u64(pop_combine<op>(q[w], r[w])));
    return static_cast<std::uint32_t>(a0 + a1);
}

// Words per byte-count run of the group scan: a byte of the running count
// gains at most 8 per word, so 31 words stay below 256.
constexpr std::size_t kNibbleRun = 31;

template <PopOp op>
inline __m256i combine256(__m256i q, __m256i r) {
    if constexpr (op == PopOp::and_op)
        return _mm256_and_si256(q, r);
    else
        return _mm256_xor_si256(q, r);
}

// The group scan for rows [0, live) of the four starting at rows (live <=
// 4), transposed: a gather puts word w of the four rows in the four lanes
// of one register, which every query of the group then combines with its
// word broadcast.  Bits are counted with the nibble table (VPSHUFB) into
// byte counts, and VPSADBW folds each lane's bytes into its row's count.
template <PopOp op>
inline void rows4_nibble(const std::uint64_t* rows, unsigned live, std::size_t wpv, const std::uint64_t* queries,
                         std::size_t nq, std::uint32_t* counts, std::size_t stride) {
    const long long w = static_cast<long long>(wpv);
    const __m256i idx = _mm256_set_epi64x(3 * w, 2 * w, w, 0);
    const __m256i lanes = _mm256_cmpgt_epi64(_mm256_set1_epi64x(live), _mm256_set_epi64x(3, 2, 1, 0));
    const __m256i lut = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2, 3, 1, 2,
                                         2, 3, 2, 3, 3, 4);
    const __m256i low4 = _mm256_set1_epi8(0x0f);
    const __m256i zero = _mm256_setzero_si256();
    __m256i total[kPopGroup];
    for (std::size_t q = 0; q < nq; ++q) total[q] = zero;
    __m256i t[kNibbleRun];
    for (std::size_t w0 = 0; w0 < wpv; w0 += kNibbleRun) {
        const std::size_t nw = std::min(kNibbleRun, wpv - w0);
        for (std::size_t k = 0; k < nw; ++k)
            t[k] = _mm256_mask_i64gather_epi64(zero, reinterpret_cast<const long long*>(rows + w0 + k), idx, lanes, 8);
        for (std::size_t q = 0; q < nq; ++q) {
            const std::uint64_t* qw = queries + q * wpv + w0;
            __m256i bytes = zero;
            for (std::size_t k = 0; k < nw; ++k) {
                const __m256i x = combine256<op>(_mm256_set1_epi64x(static_cast<long long>(qw[k])), t[k]);
                const __m256i lo = _mm256_and_si256(x, low4);
                const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(x, 4), low4);
                bytes = _mm256_add_epi8(bytes, _mm256_add_epi8(_mm256_shuffle_epi8(lut, lo), _mm256_shuffle_epi8(lut, hi)));
            }
            total[q] = _mm256_add_epi64(total[q], _mm256_sad_epu8(bytes, zero));
        }
    }
    // The low halves of the four 64-bit counts, then a store of the live ones.
    const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m128i store = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(lanes, pick));
    for (std::size_t q = 0; q < nq; ++q)
        _mm_maskstore_epi32(reinterpret_cast<int*>(counts + q * stride), store,
                            _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(total[q], pick)));
}

template <PopOp op>
void block_popcnt(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                  std::size_t nq, std::uint32_t* counts, std::size_t stride) {
    if (nq > 1) {
        std::size_t i = 0;
        for (; i + 4 <= n; i += 4) rows4_nibble<op>(rows + i * wpv, 4, wpv, queries, nq, counts + i, stride);
        if (i < n) rows4_nibble<op>(rows + i * wpv, static_cast<unsigned>(n - i), wpv, queries, nq, counts + i, stride);
        return;
    }
    for (std::size_t q = 0; q < nq; ++q) {
        const std::uint64_t* qw = queries + q * wpv;
        std::uint32_t* out = counts + q * stride;
        std::size_t i = 0;
        for (; i + 2 <= n; i += 2)
            rows2_popcnt<op>(rows + i * wpv, rows + (i + 1) * wpv, qw, wpv, out[i], out[i + 1]);
        if (i < n) out[i] = row_popcnt<op>(rows + i * wpv, qw, wpv);
    }
}

KW_TARGET_END

struct Avx2Steps {
    template <PopOp op>
    static void block(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                      std::size_t nq, std::uint32_t* counts, std::size_t stride) {
        block_popcnt<op>(rows, n, wpv, queries, nq, counts, stride);
    }
};
#endif  // KW_X86

}  // namespace
}  // namespace kern

void install_popcount_avx2(KernelTable& t) {
#ifdef KW_X86
    kern::install_popcount_steps<kern::Avx2Steps>(t);
#else
    (void)t;
#endif
}

}  // namespace kwivel
