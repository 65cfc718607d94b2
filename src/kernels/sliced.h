// Bit-sliced popcount scans: many queries against one block of rows.
//
// The group scans of kernels/popcount.h count every (query, row) pair word
// by word, about 24 vector operations per pair of 768-bit rows on AVX2.  When
// many queries pass over the same rows (a batched shortlist of hundreds of
// queries), the rows can be turned on their side once per block and shared:
// a block of kSliceRows rows becomes dim planes, plane j holding bit j of
// every row (bit i of the plane's kSliceWords words is row i).  A query's
// overlap with every row of the block is then the vertical sum of the planes
// its own set bits name, added lane-wise in bit-sliced counters by a
// carry-save adder tree (Harley-Seal): about 5.5 operations per named plane
// for all kSliceRows rows at once, against the query's bits, not its words.
//
// Which planes.  For a query q with set bits Q1 and clear bits Q0 and a row r:
//   AND overlap  |q & r| = sum over Q1 of r_j       = |r| - sum over Q0 of r_j
//   XOR distance |q ^ r| = |Q1| + |r| - 2 sum over Q1 of r_j
//                        = |Q1| - |r| + 2 sum over Q0 of r_j
// so a query names the shorter of Q1 and Q0 (at most dim / 2 planes), and the
// rows' own counts |r| enter through R = kSliceK - |r|, bit-sliced once per
// block.  The shortlist drivers ask whether a row lies within a bound, and
// every form of that question is one comparison of S = (X << shift) + R (or
// X alone) with a constant c, X being the planes' sum:
//   AND, Q1:  X >= lo                    (lo = the least overlap kept)
//   AND, Q0:  X + R <= K - lo
//   XOR, Q1:  2X + R >= K + |Q1| - bound
//   XOR, Q0:  2X + R <= K + bound - |Q1|
// (K = kSliceK; every constant is non-negative for dim <= kSliceMaxDim).  The
// answer is a mask of the block's rows and S itself, from which the drivers
// read the exact count of every row the mask names (base - S or S - base):
// nothing is estimated.
//
// Contract.
//   slice_block(rows, n, wpv, planes): n <= kSliceRows rows of wpv words
//     (wpv * 64 <= kSliceMaxDim) into planes[j * kSliceWords + w], j <
//     wpv * 64; rows past n read as zero.  planes is kSliceWords-aligned
//     (32 bytes).  Plane wpv * 64 is not written.
//   sliced_select(planes, list, len, test, mask): X = the lane-wise sum of
//     planes list[0 .. len), len a multiple of 16 and at most kSliceMaxList
//     (entries may repeat an all-zero plane as padding); writes to mask the
//     kSliceRows-bit mask of the lanes passing test, and S as kSliceSPlanes
//     planes to s (plane b at s + b * kSliceWords).
// Both are exact integer logic, so every tier gives the same masks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwivel {

inline constexpr std::size_t kSliceRows = 256;
inline constexpr std::size_t kSliceWords = kSliceRows / 64;
inline constexpr std::size_t kSliceMaxDim = 1024;
// Planes of X (the sum of at most kSliceMaxList planes), of R and of S.
inline constexpr unsigned kSliceXPlanes = 10;
inline constexpr std::size_t kSliceMaxList = (std::size_t{1} << kSliceXPlanes) - 1;
inline constexpr unsigned kSliceRPlanes = 11;
inline constexpr std::uint32_t kSliceK = (1u << kSliceRPlanes) - 1;
inline constexpr unsigned kSliceSPlanes = 12;

struct SlicedTest {
    const std::uint64_t* r = nullptr;  // kSliceRPlanes planes of kSliceK - |row|, or null (R = 0)
    unsigned shift = 0;                // S = (X << shift) + R, shift 0 or 1
    bool at_least = true;              // pass when S >= c, else when S <= c
    std::uint32_t c = 0;               // below 2^kSliceSPlanes
};

}  // namespace kwivel
