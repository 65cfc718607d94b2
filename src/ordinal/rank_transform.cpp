#include "ordinal/rank_transform.h"

#include <cmath>
#include <cstdint>
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

// Signed order key: the float bits with the magnitude bits of negatives
// flipped, so integer order is value order; -0.0 is folded onto +0.0 first.
// sort_key(x) == signed_key(x) ^ 0x80000000 as unsigned.
inline std::int32_t signed_key(float x) {
    return static_cast<std::int32_t>(sort_key(x) ^ 0x80000000u);
}

constexpr std::size_t kInline = 1024;  // rows up to this length use stack scratch only

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

// Ranks of keys[0..d) (signed order keys), ties in index order.
void rank_by_radix(const std::int32_t* keys, std::size_t d, std::uint16_t* out) {
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
        const std::uint32_t k = static_cast<std::uint32_t>(keys[i]) ^ 0x80000000u;
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

// Bucket ranking.  Contract: keys[0..n) are signed order keys with minimum
// kmin and maximum kmax; out[i] receives the rank of keys[i], ties in index
// order.
//
// Exactness.  Every key gets a bucket through a map that is monotone
// non-decreasing in the key (integer offset, halved, converted to float,
// scaled by a positive constant, clamped, truncated: each step preserves
// order or merges neighbours, never swaps them).  So all keys of a lower
// bucket are smaller, and equal keys share a bucket.  A stable counting
// scatter puts the buckets in order, each in index order; position p of
// bucket [s, e) then has rank
//     p + #{o in (p, e) : key_o < key_p} - #{o in [s, p) : key_o > key_p},
// which counts exactly the smaller keys and the earlier equal ones.  The
// bucket test is implied by the key test: a position o > p outside the
// bucket lies in a higher bucket, so key_o > key_p (likewise below).  The
// window pass therefore evaluates this for buckets of at most kWindow keys
// with branch-free key comparisons against the widest - 1 neighbours on each
// side (sentinels INT32_MIN / INT32_MAX pad both ends).  Wider buckets are
// ranked the same way within themselves (their keys are contiguous and in
// index order) and offset by their start; past kMaxDepth levels the radix
// sort takes over, so any input finishes.
//
// The scale is linear in the key, i.e. roughly logarithmic in the value, so
// skewed rows spread as well as Gaussian ones; magnitudes more than kBinades
// binades below the largest are merged at the bottom so that the empty key
// range around zero does not eat the buckets.
constexpr std::size_t kPerItem = 2;   // buckets per key
constexpr std::size_t kWindow = 8;    // widest bucket the window pass ranks
constexpr std::int32_t kBinades = 20;
constexpr int kMaxDepth = 3;

void rank_by_buckets(const std::int32_t* keys, std::size_t n, std::int32_t kmin, std::int32_t kmax,
                     std::uint16_t* out, int depth) {
    if (kmin == kmax) {
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint16_t>(i);
        return;
    }
    if (depth >= kMaxDepth) return rank_by_radix(keys, n, out);
    const std::size_t nb = kPerItem * n;
    const std::int32_t amax = kmax > -kmin - 1 ? kmax : -kmin - 1;  // key magnitude of the largest |x|
    const std::int32_t bottom = amax > (kBinades << 23) ? amax - (kBinades << 23) : 0;
    auto squash = [bottom](std::int32_t k) {  // monotone; |keys| below bottom collapse onto 0
        const std::int32_t pos = k - bottom > 0 ? k - bottom : 0;
        const std::int32_t neg = k + bottom + 1 < 0 ? k + bottom + 1 : 0;
        return k >= 0 ? pos : neg;
    };
    const std::uint32_t vmin = static_cast<std::uint32_t>(squash(kmin));
    const std::uint32_t span = (static_cast<std::uint32_t>(squash(kmax)) - vmin) >> 1;
    const float scale = static_cast<float>(nb) / (static_cast<float>(span) + 1.0f);
    const float top = static_cast<float>(nb - 1);

    constexpr std::size_t P = kWindow;
    std::uint32_t st_bucket[kInline], st_count[kPerItem * kInline];
    std::uint32_t st_heavy[kInline / kWindow + 1];
    std::int32_t st_sk[kInline + 2 * P];
    std::uint16_t st_si[kInline];
    std::vector<std::uint32_t> heap32;
    std::vector<std::int32_t> heap_sk;
    std::vector<std::uint16_t> heap_si;
    std::uint32_t *bucket = st_bucket, *count = st_count, *heavy = st_heavy;
    std::int32_t* sk = st_sk;
    std::uint16_t* si = st_si;
    if (n > kInline) {
        heap32.resize(n + nb + (n / kWindow + 1));
        bucket = heap32.data();
        count = bucket + n;
        heavy = count + nb;
        heap_sk.resize(n + 2 * P);
        heap_si.resize(n);
        sk = heap_sk.data();
        si = heap_si.data();
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t off = static_cast<std::int32_t>((static_cast<std::uint32_t>(squash(keys[i])) - vmin) >> 1);
        float t = static_cast<float>(off) * scale;
        t = t < top ? t : top;
        bucket[i] = static_cast<std::uint32_t>(static_cast<std::int32_t>(t));
    }
    std::memset(count, 0, sizeof(std::uint32_t) * nb);
    for (std::size_t i = 0; i < n; ++i) ++count[bucket[i]];
    // Exclusive prefix sums; buckets wider than the window are listed
    // (branch-free), the widest narrow one sizes the window.
    std::uint32_t sum = 0, widest = 0;
    std::size_t nheavy = 0;
    for (std::size_t j = 0; j < nb; ++j) {
        const std::uint32_t c = count[j];
        count[j] = sum;
        sum += c;
        heavy[nheavy] = static_cast<std::uint32_t>(j);
        nheavy += c > P;
        const std::uint32_t narrow = c > P ? 0 : c;
        widest = narrow > widest ? narrow : widest;
    }
    sk += P;
    for (std::size_t j = 1; j <= P; ++j) {
        sk[-static_cast<std::ptrdiff_t>(j)] = INT32_MIN;
        sk[n - 1 + j] = INT32_MAX;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t b = bucket[i];
        const std::uint32_t p = count[b]++;  // count[b] ends as the bucket's end
        sk[p] = keys[i];
        si[p] = static_cast<std::uint16_t>(i);
    }
    std::uint32_t* rank = bucket;  // bucket ids are no longer needed
    for (std::size_t p = 0; p < n; ++p) rank[p] = static_cast<std::uint32_t>(p);
    const std::ptrdiff_t sn = static_cast<std::ptrdiff_t>(n);
    for (std::ptrdiff_t k = 1; k < static_cast<std::ptrdiff_t>(widest); ++k) {
        for (std::ptrdiff_t p = 0; p < sn; ++p) {
            const std::int32_t kp = sk[p];
            rank[p] += static_cast<std::uint32_t>(sk[p + k] < kp) - static_cast<std::uint32_t>(sk[p - k] > kp);
        }
    }
    for (std::size_t p = 0; p < n; ++p) out[si[p]] = static_cast<std::uint16_t>(rank[p]);
    std::vector<std::uint16_t> local;
    for (std::size_t h = 0; h < nheavy; ++h) {
        const std::uint32_t j = heavy[h];
        const std::uint32_t start = j ? count[j - 1] : 0, m = count[j] - start;
        const std::int32_t* seg = sk + start;
        std::int32_t smin = seg[0], smax = seg[0];
        for (std::size_t q = 1; q < m; ++q) {
            smin = seg[q] < smin ? seg[q] : smin;
            smax = seg[q] > smax ? seg[q] : smax;
        }
        local.resize(m);
        rank_by_buckets(seg, m, smin, smax, local.data(), depth + 1);
        for (std::size_t q = 0; q < m; ++q) out[si[start + q]] = static_cast<std::uint16_t>(start + local[q]);
    }
}

void rank_row(const float* values, std::size_t d, std::uint16_t* out) {
    std::int32_t stack_keys[kInline];
    std::vector<std::int32_t> heap_keys;
    std::int32_t* keys = stack_keys;
    if (d > kInline) {
        heap_keys.resize(d);
        keys = heap_keys.data();
    }
    std::int32_t kmin = signed_key(values[0]), kmax = kmin;
    for (std::size_t i = 0; i < d; ++i) {
        const std::int32_t k = signed_key(values[i]);
        keys[i] = k;
        kmin = k < kmin ? k : kmin;
        kmax = k > kmax ? k : kmax;
    }
    rank_by_buckets(keys, d, kmin, kmax, out, 0);
}

}  // namespace

void rank_rows_into(const float* values, std::size_t d, std::uint16_t* out) {
    if (d == 0) return;
    rank_row(values, d, out);
}

void rank_transform_into(const float* values, std::size_t d, std::uint16_t* out) {
    KW_ASSERT(d <= MAX_DIM, "dim must fit in u16");
    assert_all_finite(values, d);
    if (d == 0) return;
    rank_row(values, d, out);
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
