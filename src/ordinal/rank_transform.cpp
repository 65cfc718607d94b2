#include "ordinal/rank_transform.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "base/finite.h"
#include "base/float_keys.h"
#include "base/limits.h"

namespace kwivel {

namespace {

// Sort keys are folded_order_key (base/float_keys.h): -0.0 and +0.0 tie,
// and equal keys keep index order.
inline std::uint32_t sort_key(float x) { return folded_order_key(x); }

// Least-significant-digit radix sort of (key, index) pairs, 8 bits per pass.
// Pairs enter in index order and every pass is stable, so equal keys stay in
// index order: exactly the tie rule of the rank transform.  Passes whose
// digit is the same for every key are skipped.  Once the two low key bytes
// are sorted they are no longer needed, so the last two passes move 32-bit
// (high key half, index) pairs instead of 64-bit ones.
template <class T>
inline void radix_pass(const T* src, T* dst, std::size_t d, std::uint32_t* h, unsigned shift) {
    std::uint32_t sum = 0;
    for (int j = 0; j < 256; ++j) {
        const std::uint32_t c = h[j];
        h[j] = sum;
        sum += c;
    }
    for (std::size_t i = 0; i < d; ++i) {
        const T e = src[i];
        dst[h[(e >> shift) & 0xff]++] = e;
    }
}

void rank_by_radix(const float* values, std::size_t d, std::uint16_t* out) {
    constexpr std::size_t kInline = 1024;
    std::uint64_t stack_wide[2 * kInline];
    std::vector<std::uint64_t> heap_wide;
    std::uint64_t* a = stack_wide;
    if (d > kInline) {
        heap_wide.resize(2 * d);
        a = heap_wide.data();
    }
    std::uint64_t* b = a + d;

    std::uint32_t hist[4][256] = {};
    for (std::size_t i = 0; i < d; ++i) {
        const std::uint32_t k = sort_key(values[i]);
        a[i] = (static_cast<std::uint64_t>(k) << 16) | i;
        ++hist[0][k & 0xff];
        ++hist[1][(k >> 8) & 0xff];
        ++hist[2][(k >> 16) & 0xff];
        ++hist[3][k >> 24];
    }
    auto trivial = [&](int pass, std::uint32_t digit) { return hist[pass][digit] == d; };
    const std::uint32_t k0 = static_cast<std::uint32_t>(a[0] >> 16);
    for (int pass = 0; pass < 2; ++pass) {
        if (trivial(pass, (k0 >> (8 * pass)) & 0xff)) continue;
        radix_pass(a, b, d, hist[pass], 16 + 8 * pass);
        std::swap(a, b);
    }
    // Narrow to (high 16 key bits << 16 | index).
    std::uint32_t* na = reinterpret_cast<std::uint32_t*>(b);
    std::uint32_t* nb = na + d;
    for (std::size_t i = 0; i < d; ++i)
        na[i] = static_cast<std::uint32_t>((a[i] >> 16) & 0xffff0000u) | static_cast<std::uint32_t>(a[i] & 0xffff);
    // b spans 2*d u32 slots == d u64 slots, enough for both narrow buffers.
    for (int pass = 2; pass < 4; ++pass) {
        if (trivial(pass, (k0 >> (8 * pass)) & 0xff)) continue;
        radix_pass(na, nb, d, hist[pass], 8 * pass);
        std::swap(na, nb);
    }
    for (std::size_t p = 0; p < d; ++p) out[na[p] & 0xffff] = static_cast<std::uint16_t>(p);
}

}  // namespace

void rank_rows_into(const float* values, std::size_t d, std::uint16_t* out) {
    if (d == 0) return;
    rank_by_radix(values, d, out);
}

void rank_transform_into(const float* values, std::size_t d, std::uint16_t* out) {
    KW_ASSERT(d <= MAX_DIM, "dim must fit in u16");
    assert_all_finite(values, d);
    if (d == 0) return;
    rank_by_radix(values, d, out);
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
