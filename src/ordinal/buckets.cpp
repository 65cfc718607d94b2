#include "ordinal/buckets.h"

#include <cmath>
#include <string>

#include "base/error.h"

namespace kwivel {

std::optional<QuantShapeError> rankquant_shape_error(std::size_t dim, unsigned bits) {
    if (!packable_bits(bits)) return QuantShapeError::bits;
    if (dim < 2 || dim > 65535) return QuantShapeError::dim_range;
    if (bits == 8) return std::nullopt;  // in memory only; any dim serves the asymmetric searches
    if (dim % (std::size_t{1} << bits) != 0) return QuantShapeError::not_multiple_of_levels;
    if (dim % codes_per_byte(bits) != 0) return QuantShapeError::not_multiple_of_bytes;
    return std::nullopt;
}

std::string rankquant_dim_step_message(std::size_t dim, unsigned bits) {
    return "dim " + std::to_string(dim) + " must be a multiple of " + std::to_string(rankquant_dim_step(bits)) +
           " for bits = " + std::to_string(bits);
}

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
    KW_ASSERT(packable_bits(bits), "bits must be 1, 2, 4, or 8");
    const std::size_t per_byte = codes_per_byte(bits);
    KW_ASSERT(n % per_byte == 0, "d (" + std::to_string(n) + ") must be a multiple of codes_per_byte (" +
                                     std::to_string(per_byte) + ") for bits = " + std::to_string(bits));
    const unsigned limit = 1u << bits;
    std::vector<std::uint8_t> out(n / per_byte, 0);
    for (std::size_t i = 0; i < n; ++i) {
        KW_ASSERT(codes[i] < limit, "bucket code " + std::to_string(codes[i]) +
                                        " out of range: every code must be < 1 << bits (" + std::to_string(limit) + ")");
        out[i / per_byte] |= static_cast<std::uint8_t>(codes[i] << packing_shift(bits, i % per_byte));
    }
    return out;
}

std::vector<std::uint8_t> unpack_buckets(const std::uint8_t* packed, std::size_t d, unsigned bits) {
    KW_ASSERT(packable_bits(bits), "bits must be 1, 2, 4, or 8");
    const std::size_t per_byte = codes_per_byte(bits);
    const unsigned mask = (1u << bits) - 1;
    std::vector<std::uint8_t> out(d);
    for (std::size_t i = 0; i < d; ++i)
        out[i] = static_cast<std::uint8_t>((packed[i / per_byte] >> packing_shift(bits, i % per_byte)) & mask);
    return out;
}

float rankquant_norm(std::uint64_t d, unsigned bits) {
    const double levels = static_cast<double>(1u << bits);
    const double t = (levels * levels - 1.0) / 12.0;
    return static_cast<float>(std::sqrt(static_cast<double>(d) * t));
}

}  // namespace kwivel
