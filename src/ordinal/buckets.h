// Bucket quantisation of ranks and the MSB-first packing of bucket codes.
//
// A code width `bits` cuts the ranks 0..d-1 into 2^bits equal-width
// buckets; packed rows hold 8 / bits codes per byte, the first code of each
// byte in its most significant bits.  The rules on widths and dimensions
// are written once here and used by the index, the binding and the loader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kwivel {

// floor(r * 2^bits / d) in 64-bit integer arithmetic (r < d, bits <= 8).
inline std::uint8_t rank_to_bucket(std::uint64_t r, std::uint64_t d, unsigned bits) {
    return static_cast<std::uint8_t>((r << bits) / d);
}

// Whether bits is a packable code width (1, 2, 4, or 8 in memory).
inline constexpr bool packable_bits(unsigned bits) { return bits == 1 || bits == 2 || bits == 4 || bits == 8; }
// Codes per packed byte at a packable width.
inline constexpr unsigned codes_per_byte(unsigned bits) { return 8 / bits; }
// Right shift of the code at position t (0 = first) within its byte.
inline constexpr unsigned packing_shift(unsigned bits, unsigned t) { return bits * (codes_per_byte(bits) - 1 - t); }

// The RankQuant shape rule: a stored width is 1, 2 or 4 bits (8 in memory
// only), dim is in [2, 65535], and dim is a multiple of both 2^bits (every
// bucket holds dim / 2^bits ranks: constant composition) and 8 / bits
// (rows fill whole bytes), except at 8 bits, where any dim is served.
// Returns the refusal for the caller's layer to phrase, or nothing.
enum class QuantShapeError {
    bits,                    // not 1, 2, 4 (or 8)
    dim_range,               // outside [2, 65535]
    not_multiple_of_levels,  // dim % 2^bits != 0 (composition not constant)
    not_multiple_of_bytes,   // dim % (8 / bits) != 0 (a partial byte)
};
std::optional<QuantShapeError> rankquant_shape_error(std::size_t dim, unsigned bits);
// The multiple that dim must be of at a width of 1, 2 or 4 bits:
// max(8 / bits, 2^bits), that is 8, 4 and 16.
inline constexpr std::size_t rankquant_dim_step(unsigned bits) {
    return (std::size_t{1} << bits) > codes_per_byte(bits) ? (std::size_t{1} << bits) : codes_per_byte(bits);
}
// "dim {} must be a multiple of {} for bits = {}".
std::string rankquant_dim_step_message(std::size_t dim, unsigned bits);

// The bucket of every rank; bits <= 8 and every rank < n (internal checks).
std::vector<std::uint8_t> bucket_ranks(const std::uint16_t* ranks, std::size_t n, unsigned bits);
// Packs n codes at a packable width; n must be a multiple of 8 / bits
// (internal checks).
std::vector<std::uint8_t> pack_buckets(const std::uint8_t* codes, std::size_t n, unsigned bits);
// Unpacks d codes (d == bytes * 8 / bits) at a packable width.
std::vector<std::uint8_t> unpack_buckets(const std::uint8_t* packed, std::size_t d, unsigned bits);
// The centre of the codes 0 .. 2^bits - 1: (2^bits - 1) / 2 in float32
// (exact: a small integer over two).
inline float code_centre(unsigned bits) { return (static_cast<float>(1u << bits) - 1.0f) * 0.5f; }
// A code centred, j - (2^bits - 1) / 2 in float32: the value every table,
// evaluation score and binding gives a code.  One rounding (a difference of
// exact values); -centre + j gives the same bits, negation being exact.
inline float bucket_centre(unsigned bucket, unsigned bits) { return static_cast<float>(bucket) - code_centre(bits); }
// sqrt(d * (4^bits - 1) / 12) in double, rounded once to float.
float rankquant_norm(std::uint64_t d, unsigned bits);

}  // namespace kwivel
