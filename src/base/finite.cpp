#include "base/finite.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "base/error.h"
#include "base/parallel.h"

namespace kwivel {

namespace {

// Branch-free within blocks so the compiler vectorises the exponent test.
bool all_finite_serial(const float* values, std::size_t n) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(values);
    constexpr std::size_t kBlock = 4096;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t end = std::min(n, start + kBlock);
        std::uint32_t bad = 0;
        for (std::size_t i = start; i < end; ++i) {
            std::uint32_t b;
            std::memcpy(&b, bytes + 4 * i, sizeof b);
            bad |= static_cast<std::uint32_t>((b & 0x7f800000u) == 0x7f800000u);
        }
        if (bad) return false;
    }
    return true;
}

}  // namespace

bool all_finite(const float* values, std::size_t n) {
    if (n < (std::size_t{1} << 20)) return all_finite_serial(values, n);
    std::atomic<bool> ok{true};
    parallel_for(0, n, [&](std::size_t lo, std::size_t hi) {
        if (!all_finite_serial(values + lo, hi - lo)) ok.store(false, std::memory_order_relaxed);
    });
    return ok.load();
}

void assert_all_finite(const float* values, std::size_t n) {
    KW_ASSERT(all_finite(values, n),
              "kwivel: input contains non-finite (NaN or \u00b1Inf) values; embeddings must be finite");
}

}  // namespace kwivel
