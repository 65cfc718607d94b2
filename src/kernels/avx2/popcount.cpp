// AVX2-tier popcount scans: the hardware 64-bit POPCNT, two rows at a time
// with independent sums so the instruction's latency overlaps.
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

template <PopOp op>
void block_popcnt(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                  std::size_t nq, std::uint32_t* counts, std::size_t stride) {
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
