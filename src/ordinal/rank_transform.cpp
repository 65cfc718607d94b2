#include "ordinal/rank_transform.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include "base/error.h"
#include "base/finite.h"
#include "base/limits.h"
#include "kernels/dispatch.h"

namespace kwivel {

void rank_rows_into(const float* values, std::size_t d, std::uint16_t* out) {
    if (d == 0) return;
    kernels().rank_row(values, d, out);
}

void rank_transform_into(const float* values, std::size_t d, std::uint16_t* out) {
    KW_ASSERT(d <= MAX_DIM, "dim must fit in u16");
    assert_all_finite(values, d);
    if (d == 0) return;
    kernels().rank_row(values, d, out);
}

std::vector<std::uint16_t> rank_transform(const float* values, std::size_t d) {
    KW_ASSERT(d <= MAX_DIM, "dim must fit in u16");
    std::vector<std::uint16_t> out(d, 0);
    rank_transform_into(values, d, out.data());
    return out;
}

float rank_norm(std::uint64_t d) {
    const double x = static_cast<double>(d);
    double t = (x * x - 1.0) * x;
    t = t / 12.0;
    return static_cast<float>(std::sqrt(t) + 0.0);  // + 0.0: d = 0 gives +0.0, not -0.0
}

std::vector<float> l2_normalise(const float* values, std::size_t d) {
    float s = 0.0f;
    for (std::size_t i = 0; i < d; ++i) s = s + values[i] * values[i];
    const float norm = std::sqrt(s);
    std::vector<float> out(d, 0.0f);
    if (norm <= 1e-12f) return out;
    const float inv = 1.0f / norm;
    for (std::size_t i = 0; i < d; ++i) out[i] = values[i] * inv;
    return out;
}

}  // namespace kwivel
