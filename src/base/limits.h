// Limits every index and file enforces, and checked size arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwivel {

inline constexpr std::size_t MAX_DIM = 65535;
inline constexpr std::size_t MAX_SIGN_BITMAP_DIM = 16777216;
inline constexpr std::size_t MAX_VECTORS = 67108864;

// a * b, or false when the product does not fit a size_t.
inline bool checked_mul(std::size_t a, std::size_t b, std::size_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}

}  // namespace kwivel
