// Limits every index and file enforces, and checked size arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/error.h"

namespace kwivel {

inline constexpr std::size_t MAX_DIM = 65535;
inline constexpr std::size_t MAX_SIGN_BITMAP_DIM = 16777216;
inline constexpr std::size_t MAX_VECTORS = 67108864;

// Checked size arithmetic, the one form every index, file and binding uses.
// checked_mul / checked_add store a * b / a + b in out, or return false when
// the exact result does not fit a size_t (out is then unspecified).
inline bool checked_mul(std::size_t a, std::size_t b, std::size_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}
inline bool checked_add(std::size_t a, std::size_t b, std::size_t& out) {
    return !__builtin_add_overflow(a, b, &out);
}

// The asserting forms: the exact result, or a Panic with the message `what`
// (callers pass their own texts, which Python code and tests match).
inline std::size_t mul_or_panic(std::size_t a, std::size_t b, const std::string& what) {
    std::size_t out;
    KW_ASSERT(checked_mul(a, b, out), what);
    return out;
}
inline std::size_t add_or_panic(std::size_t a, std::size_t b, const std::string& what) {
    std::size_t out;
    KW_ASSERT(checked_add(a, b, out), what);
    return out;
}

}  // namespace kwivel
