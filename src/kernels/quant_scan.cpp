// The pieces every tier's RankQuant symmetric steps share: query tables,
// their integer form and the table slots.
#include "kernels/quant_scan.h"

#include <cmath>
#include <cstring>
#include <string>

#include "base/error.h"
#include "ordinal/buckets.h"

namespace kwivel {

namespace kern {

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

void table_from_ranks(const std::uint16_t* r, std::size_t dim, unsigned bits, float* table) {
    const unsigned levels = 1u << bits;
    for (std::size_t j = 0; j < dim; ++j) {
        const float qc = bucket_centre(rank_to_bucket(r[j], dim, bits), bits);
        float* t = table + j * levels;
        for (unsigned c = 0; c < levels; ++c) t[c] = bucket_centre(c, bits) * qc;
    }
}
}  // namespace kern

std::size_t quant_scan_slot(unsigned bits) {
    switch (bits) {
        case 1: return 0;
        case 2: return 1;
        case 4: return 2;
        case 8: return 3;
        default: panic("bits must be 1,2,4,8");
    }
}

}  // namespace kwivel
