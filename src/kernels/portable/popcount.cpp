// Portable popcount scans.  Baseline x86-64 has no population-count
// instruction, so bits are counted in software: the SWAR method sums bit
// pairs, nibbles and bytes in place, and byte sums of up to 31 words are
// gathered before the eight bytes are folded together.
#include <algorithm>
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/popcount.h"

namespace kwivel {
namespace kern {
namespace {

constexpr std::uint64_t k55 = 0x5555555555555555ULL;
constexpr std::uint64_t k33 = 0x3333333333333333ULL;
constexpr std::uint64_t k0f = 0x0f0f0f0f0f0f0f0fULL;
constexpr std::uint64_t k00ff = 0x00ff00ff00ff00ffULL;
constexpr std::uint64_t k0001 = 0x0001000100010001ULL;

// Per-byte bit counts of x (each byte 0..8).
inline std::uint64_t byte_counts(std::uint64_t x) {
    x = x - ((x >> 1) & k55);
    x = (x & k33) + ((x >> 2) & k33);
    return (x + (x >> 4)) & k0f;
}

// Sum of the eight bytes of x: bytes pair up into 16-bit lanes, and one
// multiply adds the four lanes (the total, at most 8 * 255, fits a lane).
inline std::uint32_t fold_bytes(std::uint64_t x) {
    x = (x & k00ff) + ((x >> 8) & k00ff);
    return static_cast<std::uint32_t>((x * k0001) >> 48);
}

template <PopOp op>
std::uint32_t row_count(const std::uint64_t* r, const std::uint64_t* q, std::size_t wpv) {
    std::uint32_t total = 0;
    for (std::size_t w0 = 0; w0 < wpv; w0 += 31) {
        const std::size_t w1 = std::min(wpv, w0 + 31);
        std::uint64_t bytes = 0;  // at most 31 * 8 = 248 per byte
        for (std::size_t w = w0; w < w1; ++w) bytes += byte_counts(pop_combine<op>(q[w], r[w]));
        total += fold_bytes(bytes);
    }
    return total;
}

struct PortableSteps {
    template <PopOp op>
    static void block(const std::uint64_t* rows, std::size_t n, std::size_t wpv, const std::uint64_t* queries,
                      std::size_t nq, std::uint32_t* counts, std::size_t stride) {
        for (std::size_t q = 0; q < nq; ++q) {
            const std::uint64_t* qw = queries + q * wpv;
            std::uint32_t* out = counts + q * stride;
            for (std::size_t i = 0; i < n; ++i) out[i] = row_count<op>(rows + i * wpv, qw, wpv);
        }
    }
};

// Chunks of 16 counts are tested together first (signed compares, which
// baseline x86-64 vectorises); only a chunk holding a row in range is walked
// one by one.
std::size_t select_in_range(const std::uint32_t* counts, std::size_t n, std::uint32_t lo, std::uint32_t hi,
                            std::uint32_t* out) {
    const auto slo = static_cast<std::int32_t>(lo), shi = static_cast<std::int32_t>(hi);
    std::size_t got = 0;
    for (std::size_t i0 = 0; i0 < n; i0 += 16) {
        const std::size_t i1 = std::min(n, i0 + 16);
        std::int32_t any = 0;
        for (std::size_t i = i0; i < i1; ++i) {
            const auto c = static_cast<std::int32_t>(counts[i]);
            any |= static_cast<std::int32_t>(c >= slo) & static_cast<std::int32_t>(c <= shi);
        }
        if (!any) continue;
        for (std::size_t i = i0; i < i1; ++i) {
            out[got] = static_cast<std::uint32_t>(i);
            got += counts[i] >= lo && counts[i] <= hi;
        }
    }
    return got;
}

}  // namespace
}  // namespace kern

void install_popcount_portable(KernelTable& t) {
    kern::install_popcount_steps<kern::PortableSteps>(t);
    t.pop_select = kern::select_in_range;
}

}  // namespace kwivel
