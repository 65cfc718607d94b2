// The finiteness scan shared by the gates and the core's internal checks.
#pragma once

#include <cstddef>

namespace kwivel {

// Whether no value is a NaN or an infinity (exponent bits all ones).  Reads
// bytewise, so unaligned data is fine; large inputs are scanned on the
// worker pool.
bool all_finite(const float* values, std::size_t n);

// Internal restatement of the finiteness precondition (a Panic).
void assert_all_finite(const float* values, std::size_t n);

}  // namespace kwivel
