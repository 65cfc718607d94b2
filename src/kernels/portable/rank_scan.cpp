// Portable Rank scan steps: the definition of every score, which the vector
// tiers reproduce bit for bit.  Plain operators only; the compiler may
// vectorise the exact integer loops as it likes, and the float lanes below
// keep one IEEE multiply and add per term in coordinate order.
#include <cstdint>
#include <cstring>

#include "kernels/dispatch.h"
#include "kernels/rank_scan.h"

namespace kwivel {
namespace kern {
namespace {

// S for one query and two documents, wrapping int32 sums.  The main loop's
// trip count is visibly a multiple of 16, which lets the compiler vectorise
// it without a scalar epilogue at any optimisation level.
// Kept out of line: inlined into the document loop, GCC 12 at -O2 no longer
// vectorises it.
__attribute__((noinline)) void sym_dot2_i32(const std::int16_t* q, const std::int16_t* d0,
                                            const std::int16_t* d1, std::size_t dim,
                                            std::int32_t& s0, std::int32_t& s1) {
    std::uint32_t a0 = 0, a1 = 0;
    const std::size_t n16 = dim & ~std::size_t{15};
    for (std::size_t i = 0; i < n16; ++i) {
        const std::int32_t c = q[i];
        a0 += static_cast<std::uint32_t>(c * d0[i]);
        a1 += static_cast<std::uint32_t>(c * d1[i]);
    }
    for (std::size_t i = n16; i < dim; ++i) {
        const std::int32_t c = q[i];
        a0 += static_cast<std::uint32_t>(c * d0[i]);
        a1 += static_cast<std::uint32_t>(c * d1[i]);
    }
    s0 = static_cast<std::int32_t>(a0);
    s1 = static_cast<std::int32_t>(a1);
}

inline std::int64_t sym_dot_i64(const std::int16_t* q, const std::int16_t* d, std::size_t dim) {
    std::int64_t a = 0;
    for (std::size_t i = 0; i < dim; ++i) a += static_cast<std::int32_t>(q[i]) * d[i];
    return a;
}

void sym_group_portable(const SymScan& s, const std::int16_t* cq, std::size_t nqg, std::size_t j0,
                        std::size_t j1, const Offers& o) {
    const std::int16_t* base = reinterpret_cast<const std::int16_t*>(s.ranks);
    const std::size_t dim = s.dim;
    std::size_t j = j0;
    if (s.exact_int32) {
        for (; j + 2 <= j1; j += 2) {
            const std::int16_t* d0 = base + j * dim;
            for (std::size_t q = 0; q < nqg; ++q) {
                std::int32_t s0, s1;
                sym_dot2_i32(cq + q * s.dimp, d0, d0 + dim, dim, s0, s1);
                const float f0 = sym_score(2 * static_cast<std::int64_t>(s0), s.inv);
                const float f1 = sym_score(2 * static_cast<std::int64_t>(s1), s.inv);
                offer(o, q, j, f0);
                offer(o, q, j + 1, f1);
            }
        }
    }
    for (; j < j1; ++j) {
        const std::int16_t* d = base + j * dim;
        for (std::size_t q = 0; q < nqg; ++q) {
            const float f = sym_score(2 * sym_dot_i64(cq + q * s.dimp, d, dim), s.inv);
            offer(o, q, j, f);
        }
    }
}

// Integer bounds of the asymmetric search: A = sum_i w_i rd_i, exact in
// wrapping int32 arithmetic.
std::size_t asym_bounds_portable(const SymScan& s, const std::int16_t* w, std::size_t nqg, std::size_t j0,
                                 std::size_t j1, const std::int32_t* ta, AsymCandidate* out) {
    const std::int16_t* base = reinterpret_cast<const std::int16_t*>(s.ranks);
    const std::size_t dim = s.dim;
    std::size_t nc = 0, j = j0;
    for (; j + 2 <= j1; j += 2) {
        const std::int16_t* d0 = base + j * dim;
        for (std::size_t q = 0; q < nqg; ++q) {
            std::int32_t a0, a1;
            sym_dot2_i32(w + q * s.dimp, d0, d0 + dim, dim, a0, a1);
            if (a0 >= ta[q]) out[nc++] = {static_cast<std::uint32_t>(q), static_cast<std::uint32_t>(j)};
            if (a1 >= ta[q]) out[nc++] = {static_cast<std::uint32_t>(q), static_cast<std::uint32_t>(j + 1)};
        }
    }
    for (; j < j1; ++j) {
        const std::int16_t* d = base + j * dim;
        for (std::size_t q = 0; q < nqg; ++q)
            if (sym_dot_i64(w + q * s.dimp, d, dim) >= ta[q])
                out[nc++] = {static_cast<std::uint32_t>(q), static_cast<std::uint32_t>(j)};
    }
    return nc;
}

// Dimensions past the int16 range: int32 centred queries, int64 products.
// Shared by every variant.
void sym_group_wide(const SymScan& s, const std::int32_t* cq, std::size_t nqg, std::size_t j0,
                    std::size_t j1, const Offers& o) {
    const std::size_t dim = s.dim;
    for (std::size_t j = j0; j < j1; ++j) {
        const std::uint16_t* d = s.ranks + j * dim;
        for (std::size_t q = 0; q < nqg; ++q) {
            const std::int32_t* c = cq + q * s.dimp;
            std::int64_t a = 0;
            for (std::size_t i = 0; i < dim; ++i) a += static_cast<std::int64_t>(c[i]) * d[i];
            const float f = sym_score(2 * a, s.inv);
            offer(o, q, j, f);
        }
    }
}

// Four float lanes with plain operators: the compiler lowers them to the
// target's vector registers (or to scalars), and each lane is computed with
// the same IEEE float32 multiply and add as the scalar formula.  Spelling
// the lanes out keeps the compiler from vectorising along the coordinate
// loop, whose additions must stay in order.
typedef float f32x4 __attribute__((vector_size(16)));

template <std::size_t NQ>
void asym_tile_portable(const AsymScan& s, const float* u, const float* cs, const float* tile,
                        std::size_t j0, std::size_t j1, const Offers& o) {
    constexpr std::size_t kV = kAsymTile / 4;
    const std::size_t dim = s.dim;
    f32x4 acc[NQ][kV];
#pragma GCC unroll 8
    for (std::size_t q = 0; q < NQ; ++q) {
#pragma GCC unroll 4
        for (std::size_t v = 0; v < kV; ++v) acc[q][v] = f32x4{0.0f, 0.0f, 0.0f, 0.0f};
    }
    for (std::size_t i = 0; i < dim; ++i) {
        f32x4 t[kV];
        std::memcpy(t, tile + i * kAsymTile, sizeof t);
#pragma GCC unroll 8
        for (std::size_t q = 0; q < NQ; ++q) {
            const float w = u[q * dim + i];
            const f32x4 wv = {w, w, w, w};
#pragma GCC unroll 4
            for (std::size_t v = 0; v < kV; ++v) acc[q][v] = acc[q][v] + t[v] * wv;
        }
    }
    const std::size_t lanes = std::min(kAsymTile, j1 - j0);
    for (std::size_t q = 0; q < NQ; ++q) {
        for (std::size_t l = 0; l < lanes; ++l) {
            const float f = (acc[q][l / 4][l % 4] - cs[q]) * s.inv;
            offer(o, q, j0 + l, f);
        }
    }
}

void asym_group_portable(const AsymScan& s, const float* u, const float* cs, std::size_t nqg,
                         const float* tile, std::size_t j0, std::size_t j1, const Offers& o) {
    std::size_t q = 0;
    for (; q + 2 <= nqg; q += 2) asym_tile_portable<2>(s, u + q * s.dim, cs + q, tile, j0, j1, o.from(q));
    if (q < nqg) asym_tile_portable<1>(s, u + q * s.dim, cs + q, tile, j0, j1, o.from(q));
}

void asym_fill_portable(const AsymScan& s, std::size_t j0, std::size_t j1, float* tile) {
    asym_fill_scalar(s, j0, j1, 0, kAsymTile, tile);
}


}  // namespace
}  // namespace kern

void install_rank_portable(KernelTable& t) {
    t.rank_sym_group = kern::sym_group_portable;
    t.rank_sym_group_wide = kern::sym_group_wide;
    t.rank_asym_fill = kern::asym_fill_portable;
    t.rank_asym_group = kern::asym_group_portable;
    t.rank_asym_bounds = kern::asym_bounds_portable;
}

}  // namespace kwivel
