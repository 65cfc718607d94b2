// The RankQuant asymmetric pieces every path shares: the path choice, the
// document norm, the vector paths' preconditions and query preparation.
#include "kernels/quant_asym.h"

#include <cmath>
#include <vector>

#include "ordinal/buckets.h"
#include "ordinal/rank_transform.h"

namespace kwivel {

Tier select_simd_tier(Tier ladder, std::size_t dim, unsigned bits) {
    if (bits != 2 && bits != 4) return Tier::portable;
    if (ladder >= Tier::avx512 && dim % 64 == 0) return Tier::avx512;
    if (ladder >= Tier::avx2 && ((bits == 2 && dim % 16 == 0) || (bits == 4 && dim % 8 == 0))) return Tier::avx2;
    return Tier::portable;
}

Tier select_simd_tier(std::size_t dim, unsigned bits) { return select_simd_tier(active_tier(), dim, bits); }

float asymmetric_norm(std::size_t dim, unsigned bits) {
    KW_ASSERT(packable_bits(bits), "bits must be 1,2,4,8");
    if (bits == 8 && dim % 256 != 0) {
        KW_ASSERT(dim >= 2, "dim must be >= 2");
        KW_ASSERT(dim <= 65535, "dim must fit in u16");
        double sum = 0.0;
        for (std::size_t r = 0; r < dim; ++r) {
            const double c = static_cast<double>((r * 256) / dim) - 127.5;
            sum += c * c;
        }
        return static_cast<float>(std::sqrt(sum));
    }
    return rankquant_norm(dim, bits);
}

namespace kern {

void check_asym_shape(Tier path, unsigned bits, std::size_t dim) {
    if (path == Tier::avx2) {
        if (bits == 2) KW_ASSERT(dim % 16 == 0, "b=2 AVX2 path needs dim % 16 == 0");
        else KW_ASSERT(dim % 8 == 0, "b=4 AVX2 path needs dim % 8 == 0");
    } else if (path >= Tier::avx512) {
        if (bits == 2) KW_ASSERT(dim % 64 == 0, "b=2 AVX-512 path needs dim % 64 == 0 for 4-way unroll");
        else KW_ASSERT(dim % 64 == 0, "b=4 AVX-512 path needs dim % 64 == 0 for 4-way unroll");
    }
}

float prepare_asym_query(const float* query, std::size_t dim, unsigned bits, float inv, float* qn) {
    const std::vector<float> v = l2_normalise(query, dim);
    float s = -0.0f;
    for (std::size_t j = 0; j < dim; ++j) {
        qn[j] = v[j];
        s = s + v[j];
    }
    return (s * (-code_centre(bits))) * inv;
}

}  // namespace kern

}  // namespace kwivel
