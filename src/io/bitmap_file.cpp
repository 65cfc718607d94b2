// The Bitmap file (KWBM): every row must have exactly n_top bits set.
#include <bit>
#include <string>

#include "base/error.h"
#include "base/limits.h"
#include "index/bitmap.h"
#include "io/formats.h"
#include "io/framing.h"
#include "io/row_reader.h"
#include "kernels/popcount.h"

namespace kwivel {

namespace {

constexpr std::string_view kBitmapMagics[] = {"KWBM", "HYBM"};
constexpr FormatFraming kBitmapFormat{"KWBM", "Bitmap", kBitmapMagics};

std::size_t row_bits(const std::uint64_t* row, std::size_t wpv) {
    std::size_t c = 0;
    for (std::size_t w = 0; w < wpv; ++w) c += static_cast<std::size_t>(std::popcount(row[w]));
    return c;
}

}  // namespace

BitmapIndex load_bitmap_from(ByteSource& source) {
    const std::string_view label = kBitmapFormat.label;
    BufferedReader r(source);
    read_magic(r, kBitmapFormat);
    read_version(r, label);
    const std::uint32_t dim = read_u32_le(r, label, "dim");
    if (dim < 2 || dim > MAX_DIM) throw IoError("dim " + std::to_string(dim) + " out of range [2, 65535]");
    if (dim % 64 != 0) throw IoError("KWBM dim " + std::to_string(dim) + " is not a multiple of 64");
    const std::uint32_t n_top = read_u32_le(r, label, "n_top");
    if (n_top == 0 || n_top >= dim)
        throw IoError("KWBM n_top " + std::to_string(n_top) + " must satisfy 0 < n_top < dim (" +
                      std::to_string(dim) + ")");
    const std::uint32_t n_vectors = read_u32_le(r, label, "n_vectors");
    check_n_vectors(n_vectors);
    const std::size_t wpv = dim / 64;
    const std::size_t n_words = checked_payload_bytes(label, {n_vectors, wpv});
    const std::size_t bytes = checked_payload_bytes(label, {n_words, sizeof(std::uint64_t)});
    check_payload_bytes(bytes);
    check_payload_matches_file(r, label, bytes);
    std::size_t bad_row = kNoRow;
    RowBuffer<std::uint64_t> words = read_rows_checked<std::uint64_t>(
        r, wpv, n_vectors,
        [wpv, n_top] {
            // Bits of a row: the AND scan against an all-ones query.
            return [wpv, n_top, ones = std::vector<std::uint64_t>(wpv, ~std::uint64_t{0}),
                    counts = std::vector<std::uint32_t>()](const std::uint64_t* rows, std::size_t count,
                                                          std::size_t first) mutable {
                counts.resize(count);
                kernels().popcount_collect[static_cast<std::size_t>(PopOp::and_op)](rows, count, wpv, ones.data(),
                                                                                  counts.data());
                for (std::size_t i = 0; i < count; ++i)
                    if (counts[i] != n_top) return first + i;
                return kNoRow;
            };
        },
        bad_row);
    if (bad_row != kNoRow)
        throw IoError("KWBM row " + std::to_string(bad_row) + " has " +
                      std::to_string(row_bits(words.data() + bad_row * wpv, wpv)) +
                      " bits set, expected n_top = " + std::to_string(n_top));
    return BitmapIndex::from_parts(dim, n_top, n_vectors, std::move(words));
}

BitmapIndex load_bitmap(const std::string& path) {
    FileSource source(path);
    return load_bitmap_from(source);
}

BitmapIndex load_bitmap_from_memory(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    return load_bitmap_from(source);
}

void write_bitmap(const BitmapIndex& index, const std::string& path) {
    const std::size_t dim = index.dim(), n_vectors = index.size(), wpv = index.words_per_vec();
    const std::size_t n_words = checked_payload_bytes(kBitmapFormat.label, {n_vectors, wpv});
    const std::size_t bytes = checked_payload_bytes(kBitmapFormat.label, {n_words, sizeof(std::uint64_t)});
    check_payload_bytes(bytes);
    const auto& words = index.words();
    KW_ASSERT(words.size() == n_words, "Bitmap index length does not match its shape");
    KW_ASSERT(dim <= MAX_DIM && n_vectors <= MAX_VECTORS, "Bitmap index shape out of range");
    write_file_atomically(path, [&](BufferedWriter& w) {
        write_preamble(w, kBitmapFormat);
        w.write_u32_le(static_cast<std::uint32_t>(dim));
        w.write_u32_le(static_cast<std::uint32_t>(index.n_top()));
        w.write_u32_le(static_cast<std::uint32_t>(n_vectors));
        w.write_le_vec(words.data(), words.size());
    });
}

}  // namespace kwivel
