// The rank transform, its analytic norm, and L2 normalisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kwivel {

// Writes the rank of every coordinate of values[0..d) into out[0..d): the
// smallest value gets rank 0, equal values (-0.0 == +0.0) get consecutive
// ranks in index order.  Values must be finite and d <= 65535 (internal
// checks).
void rank_transform_into(const float* values, std::size_t d, std::uint16_t* out);
std::vector<std::uint16_t> rank_transform(const float* values, std::size_t d);
// The same transform without the internal checks, for rows the caller has
// already checked (d <= 65535, finite).
void rank_rows_into(const float* values, std::size_t d, std::uint16_t* out);

// sqrt(d * (d^2 - 1) / 12) in double, rounded once to float.
float rank_norm(std::uint64_t d);

// v * (1 / ||v||) with the sum of squares accumulated in float32 in index
// order; all zeros when the norm is at most 1e-12.
std::vector<float> l2_normalise(const float* values, std::size_t d);

}  // namespace kwivel
