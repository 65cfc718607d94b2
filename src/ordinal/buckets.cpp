#include "ordinal/buckets.h"

#include <cmath>
#include <string>

#include "base/error.h"

namespace kwivel {

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

}  // namespace kwivel
