// The SignBitmap file (KWSB).  Every bit pattern is a valid sign bitmap, so
// the payload needs no check beyond its length.
#include "base/error.h"
#include "base/limits.h"
#include "index/sign_bitmap.h"
#include "io/formats.h"
#include "io/framing.h"

namespace kwivel {

namespace {

constexpr std::string_view kSignMagics[] = {"KWSB", "HYSB"};
constexpr FormatFraming kSignFormat{"KWSB", "SignBitmap", kSignMagics};

}  // namespace

SignBitmapIndex load_sign_bitmap_from(ByteSource& source) {
    const std::string_view label = kSignFormat.label;
    BufferedReader r(source);
    read_magic(r, kSignFormat);
    read_version(r, label);
    const std::uint32_t dim = read_u32_le(r, label, "dim");
    if (dim < 64 || dim > MAX_SIGN_BITMAP_DIM)
        throw IoError("KWSB dim " + std::to_string(dim) + " out of range [64, 16777216]");
    if (dim % 64 != 0) throw IoError("KWSB dim " + std::to_string(dim) + " is not a multiple of 64");
    const std::uint32_t n_vectors = read_u32_le(r, label, "n_vectors");
    check_n_vectors(n_vectors);
    const std::size_t wpv = dim / 64;
    const std::size_t bytes = checked_payload_bytes(label, {n_vectors, wpv, sizeof(std::uint64_t)});
    check_payload_bytes(bytes);
    check_payload_matches_file(r, label, bytes);
    RowBuffer<std::uint64_t> words =
        read_le_vec<std::uint64_t, RowBuffer<std::uint64_t>>(r, bytes / sizeof(std::uint64_t));
    return SignBitmapIndex::from_parts(dim, n_vectors, std::move(words));
}

SignBitmapIndex load_sign_bitmap(const std::string& path) {
    FileSource source(path);
    return load_sign_bitmap_from(source);
}

SignBitmapIndex load_sign_bitmap_from_memory(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    return load_sign_bitmap_from(source);
}

void write_sign_bitmap(const SignBitmapIndex& index, const std::string& path) {
    const std::size_t dim = index.dim();
    const std::size_t n_vectors = index.size();
    const std::size_t bytes =
        checked_payload_bytes(kSignFormat.label, {n_vectors, index.words_per_vec(), sizeof(std::uint64_t)});
    check_payload_bytes(bytes);
    const auto& words = index.words();
    KW_ASSERT(words.size() * sizeof(std::uint64_t) == bytes, "SignBitmap index length does not match its shape");
    KW_ASSERT(dim <= MAX_SIGN_BITMAP_DIM && n_vectors <= MAX_VECTORS, "SignBitmap index shape out of range");
    write_file_atomically(path, [&](BufferedWriter& w) {
        write_preamble(w, kSignFormat);
        w.write_u32_le(static_cast<std::uint32_t>(dim));
        w.write_u32_le(static_cast<std::uint32_t>(n_vectors));
        w.write_le_vec(words.data(), words.size());
    });
}

}  // namespace kwivel
