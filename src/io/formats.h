// The index files, each built on the shared framing (io/framing.h).  Every
// failure is an IoError; writers replace the file atomically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kwivel {

class ByteSource;
class BitmapIndex;
class RankIndex;
class RankQuantIndex;
class SignBitmapIndex;

// ---------------------------------------------------------------------------
// Rank files (KWR1): magic "KWR1" ("HYR1" accepted on load), version 1,
// u32 dim, u32 n_vectors, then n_vectors rows of dim u16 ranks, each row a
// permutation of [0, dim).

void write_rank(const RankIndex& index, const std::string& path);
RankIndex load_rank(const std::string& path);
RankIndex load_rank_from_memory(const std::uint8_t* data, std::size_t size);

// ---------------------------------------------------------------------------
// RankQuant files (KWRQ): magic "KWRQ" ("HYRQ" accepted on load), version 1,
// u8 bits (1, 2 or 4), u32 dim, u32 n_vectors, then n_vectors rows of
// dim * bits / 8 packed code bytes, each row holding every code dim / 2^bits
// times.

void write_rank_quant(const RankQuantIndex& index, const std::string& path);
RankQuantIndex load_rank_quant(const std::string& path);
RankQuantIndex load_rank_quant_from_memory(const std::uint8_t* data, std::size_t size);

RankQuantIndex load_rank_quant_from(ByteSource& source);
// Loads a Rank file from any source; load_rank and load_rank_from_memory
// are this over a file and over memory.
RankIndex load_rank_from(ByteSource& source);

// ---------------------------------------------------------------------------
// Bitmap files (KWBM): magic "KWBM" ("HYBM" accepted on load), version 1,
// u32 dim (a multiple of 64 in [64, 65472]), u32 n_top (0 < n_top < dim),
// u32 n_vectors, then n_vectors rows of dim / 64 u64 words, each row with
// exactly n_top bits set.

void write_bitmap(const BitmapIndex& index, const std::string& path);
BitmapIndex load_bitmap(const std::string& path);
BitmapIndex load_bitmap_from_memory(const std::uint8_t* data, std::size_t size);
BitmapIndex load_bitmap_from(ByteSource& source);

// ---------------------------------------------------------------------------
// SignBitmap files (KWSB): magic "KWSB" ("HYSB" accepted on load), version 1,
// u32 dim (a multiple of 64 in [64, 16777216]), u32 n_vectors, then
// n_vectors rows of dim / 64 u64 sign words.

void write_sign_bitmap(const SignBitmapIndex& index, const std::string& path);
SignBitmapIndex load_sign_bitmap(const std::string& path);
SignBitmapIndex load_sign_bitmap_from_memory(const std::uint8_t* data, std::size_t size);
SignBitmapIndex load_sign_bitmap_from(ByteSource& source);

}  // namespace kwivel
