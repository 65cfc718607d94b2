// AVX2 bit-sliced scans: a lane is one 256-bit register.  A block is turned
// on its side 32 rows by 32 bytes at a time: a byte transpose in registers
// (five rounds of unpacks) puts byte k of the 32 rows in one register, and
// eight VPMOVMSKB, each after a byte-wise shift left, read out its bits 7
// down to 0 as 32-bit pieces of eight planes.
#include <cstdint>

#include "kernels/dispatch.h"
#include "kernels/isa.h"
#include "kernels/sliced.h"

namespace kwivel {
namespace {

#ifdef KW_X86
KW_TARGET_AVX2_BEGIN

using Lane = __m256i;
inline Lane lzero() { return _mm256_setzero_si256(); }
inline Lane lones() { return _mm256_set1_epi64x(-1); }
inline Lane lload(const std::uint64_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); }
inline void lstore(std::uint64_t* p, Lane a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a); }
inline Lane land(Lane a, Lane b) { return _mm256_and_si256(a, b); }
inline Lane lor(Lane a, Lane b) { return _mm256_or_si256(a, b); }
inline Lane lxor(Lane a, Lane b) { return _mm256_xor_si256(a, b); }
inline Lane lclear(Lane a, Lane b) { return _mm256_andnot_si256(b, a); }

#include "kernels/sliced_body.inc"

// Byte k of the 32 rows in v, for every k: after the unpacks, register t
// holds byte column (t & 16) | reverse4(t & 15), rows in order.
inline void transpose_bytes(__m256i* v) {
    __m256i a[32];
    for (int i = 0; i < 16; ++i) {
        a[2 * i] = _mm256_unpacklo_epi8(v[2 * i], v[2 * i + 1]);
        a[2 * i + 1] = _mm256_unpackhi_epi8(v[2 * i], v[2 * i + 1]);
    }
    for (int i = 0; i < 8; ++i)
        for (int h = 0; h < 2; ++h) {
            v[4 * i + h] = _mm256_unpacklo_epi16(a[4 * i + h], a[4 * i + 2 + h]);
            v[4 * i + 2 + h] = _mm256_unpackhi_epi16(a[4 * i + h], a[4 * i + 2 + h]);
        }
    for (int i = 0; i < 4; ++i)
        for (int h = 0; h < 4; ++h) {
            a[8 * i + h] = _mm256_unpacklo_epi32(v[8 * i + h], v[8 * i + 4 + h]);
            a[8 * i + 4 + h] = _mm256_unpackhi_epi32(v[8 * i + h], v[8 * i + 4 + h]);
        }
    for (int i = 0; i < 2; ++i)
        for (int h = 0; h < 8; ++h) {
            v[16 * i + h] = _mm256_unpacklo_epi64(a[16 * i + h], a[16 * i + 8 + h]);
            v[16 * i + 8 + h] = _mm256_unpackhi_epi64(a[16 * i + h], a[16 * i + 8 + h]);
        }
    for (int h = 0; h < 16; ++h) {
        a[h] = _mm256_permute2x128_si256(v[h], v[16 + h], 0x20);
        a[16 + h] = _mm256_permute2x128_si256(v[h], v[16 + h], 0x31);
    }
    for (int t = 0; t < 32; ++t) v[t] = a[t];
}

inline std::size_t column_of(int t) {
    const int r = t & 15;
    return static_cast<std::size_t>((t & 16) | ((r & 1) << 3) | ((r & 2) << 1) | ((r & 4) >> 1) | ((r & 8) >> 3));
}

void slice_block(const std::uint64_t* rows, std::size_t n, std::size_t wpv, std::uint64_t* planes) {
    const std::size_t row_bytes = wpv * 8, dim = wpv * 64;
    for (std::size_t r0 = 0; r0 < kSliceRows; r0 += 32) {
        const std::size_t piece = r0 / 32;  // the 32-bit piece of each plane these rows fill
        if (r0 >= n) {
            for (std::size_t j = 0; j < dim; ++j) reinterpret_cast<std::uint32_t*>(planes + j * kSliceWords)[piece] = 0;
            continue;
        }
        for (std::size_t c0 = 0; c0 < row_bytes; c0 += 32) {
            // Words of this column group in every row (a short last group
            // reads its missing words as zero).
            const long long words = static_cast<long long>(std::min<std::size_t>(4, (row_bytes - c0) / 8));
            const __m256i live = _mm256_cmpgt_epi64(_mm256_set1_epi64x(words), _mm256_set_epi64x(3, 2, 1, 0));
            __m256i v[32];
            for (std::size_t i = 0; i < 32; ++i) {
                const std::uint64_t* p = rows + (r0 + i) * wpv + c0 / 8;
                if (r0 + i >= n)
                    v[i] = _mm256_setzero_si256();
                else if (words == 4)
                    v[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
                else
                    v[i] = _mm256_maskload_epi64(reinterpret_cast<const long long*>(p), live);
            }
            transpose_bytes(v);
            for (int t = 0; t < 32; ++t) {
                const std::size_t col = c0 + column_of(t);
                if (col >= row_bytes) continue;
                __m256i x = v[t];
                for (std::size_t b = 8; b-- > 0;) {
                    reinterpret_cast<std::uint32_t*>(planes + (col * 8 + b) * kSliceWords)[piece] =
                        static_cast<std::uint32_t>(_mm256_movemask_epi8(x));
                    x = _mm256_add_epi8(x, x);
                }
            }
        }
    }
}

KW_TARGET_END
#endif  // KW_X86

}  // namespace

void install_sliced_avx2(KernelTable& t) {
#ifdef KW_X86
    t.slice_block = slice_block;
    t.sliced_select = sliced_select;
#else
    (void)t;
#endif
}

}  // namespace kwivel
