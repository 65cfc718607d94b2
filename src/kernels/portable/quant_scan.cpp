// Portable RankQuant symmetric scans: the definition.  Per document, the
// table terms of its codes are added one float32 addition at a time in
// coordinate order, a few documents interleaved for instruction-level
// parallelism.
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/quant_scan.h"
#include "ordinal/buckets.h"

namespace kwivel {
namespace kern {
namespace {

// ---------------------------------------------------------------------------
// Portable scans.

// Documents interleaved per pass (independent float32 chains).
constexpr std::size_t kPortableGroup = 4;

template <unsigned BITS, std::size_t G>
inline void portable_docs(const std::uint8_t* p, std::size_t bpv, const float* table,
                          float* acc) {
    constexpr unsigned cpb = codes_per_byte(BITS), levels = 1u << BITS, mask = levels - 1;
    for (std::size_t g = 0; g < G; ++g) acc[g] = 0.0f;
    for (std::size_t b = 0; b < bpv; ++b) {
        const float* row = table + b * cpb * levels;
        unsigned x[G];
        for (std::size_t g = 0; g < G; ++g) x[g] = p[g * bpv + b];
        for (unsigned t = 0; t < cpb; ++t) {
            const unsigned shift = packing_shift(BITS, t);
            for (std::size_t g = 0; g < G; ++g)
                acc[g] = acc[g] + row[t * levels + ((x[g] >> shift) & mask)];
        }
    }
}

// One query's table over n rows, offered to query 0 of the sink.
template <unsigned BITS>
void scan_portable(const std::uint8_t* codes, std::size_t n, std::size_t dim, const float* table,
                   float scale, const Offers& o) {
    check_width(dim, BITS);
    const std::size_t bpv = dim / codes_per_byte(BITS);
    float acc[kPortableGroup];
    std::size_t i = 0;
    for (; i + kPortableGroup <= n; i += kPortableGroup) {
        portable_docs<BITS, kPortableGroup>(codes + i * bpv, bpv, table, acc);
        for (std::size_t g = 0; g < kPortableGroup; ++g) offer(o, 0, i + g, acc[g] * scale);
    }
    for (; i < n; ++i) {
        portable_docs<BITS, 1>(codes + i * bpv, bpv, table, acc);
        offer(o, 0, i, acc[0] * scale);
    }
}

}  // namespace
}  // namespace kern

void install_quant_portable(KernelTable& t) {
    t.quant_table_scan[0] = kern::scan_portable<1>;
    t.quant_table_scan[1] = kern::scan_portable<2>;
    t.quant_table_scan[2] = kern::scan_portable<4>;
    t.quant_table_scan[3] = kern::scan_portable<8>;
}

}  // namespace kwivel
