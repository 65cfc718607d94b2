// The RankQuant file (KWRQ).
#include "base/error.h"
#include "base/limits.h"
#include "index/rank_quant.h"
#include "io/formats.h"
#include "io/framing.h"
#include "ordinal/buckets.h"

namespace kwivel {

// ---------------------------------------------------------------------------
// RankQuant files.

namespace {

constexpr std::string_view kQuantMagics[] = {"KWRQ", "HYRQ"};
constexpr FormatFraming kQuantFormat{"KWRQ", "RankQuant", kQuantMagics};

std::size_t quant_bytes_per_vec(std::size_t dim, unsigned bits) {
    std::size_t bits_total;
    if (__builtin_mul_overflow(dim, static_cast<std::size_t>(bits), &bits_total))
        throw IoError("KWRQ bytes_per_vec overflows usize");
    return bits_total / 8;
}

// The first row whose codes are not exactly dim / 2^bits of each value, as
// its message; empty when every row is balanced.
std::string find_unbalanced_row(const std::uint8_t* codes, std::size_t n_vectors, std::size_t dim,
                                unsigned bits) {
    const std::size_t bpv = dim * bits / 8;
    const unsigned levels = 1u << bits;
    const std::size_t expect = dim >> bits;
    const unsigned per_byte = codes_per_byte(bits);
    const unsigned mask = levels - 1;
    for (std::size_t row = 0; row < n_vectors; ++row) {
        std::size_t count[16] = {};
        const std::uint8_t* p = codes + row * bpv;
        for (std::size_t j = 0; j < bpv; ++j)
            for (unsigned t = 0; t < per_byte; ++t) ++count[(p[j] >> packing_shift(bits, t)) & mask];
        for (unsigned b = 0; b < levels; ++b) {
            if (count[b] != expect)
                return "KWRQ row " + std::to_string(row) + " violates constant composition: bucket " +
                       std::to_string(b) + " has " + std::to_string(count[b]) + " codes, expected " +
                       std::to_string(expect) + " (= dim / 2^bits)";
        }
    }
    return {};
}

}  // namespace

RankQuantIndex load_rank_quant_from(ByteSource& source) {
    const std::string_view label = kQuantFormat.label;
    BufferedReader r(source);
    read_magic(r, kQuantFormat);
    read_version(r, label);
    const unsigned bits = read_u8(r, label, "bits");
    if (bits != 1 && bits != 2 && bits != 4)
        throw IoError("unsupported KWRQ bits: " + std::to_string(bits) + " (expected 1, 2, or 4)");
    const std::uint32_t dim = read_u32_le(r, label, "dim");
    switch (rankquant_shape_error(dim, bits).value_or(QuantShapeError::bits)) {
        case QuantShapeError::bits: break;  // the shape is valid
        case QuantShapeError::dim_range:
            throw IoError("dim " + std::to_string(dim) + " out of range [2, 65535]");
        case QuantShapeError::not_multiple_of_levels:
            throw IoError("KWRQ dim " + std::to_string(dim) + " is not a multiple of 2^bits = " +
                          std::to_string(1u << bits) + "; constant-composition invariant violated");
        case QuantShapeError::not_multiple_of_bytes:
            throw IoError("KWRQ dim " + std::to_string(dim) + " is not a multiple of codes_per_byte = " +
                          std::to_string(codes_per_byte(bits)));
    }
    const std::uint32_t n_vectors = read_u32_le(r, label, "n_vectors");
    check_n_vectors(n_vectors);
    const std::size_t bpv = quant_bytes_per_vec(dim, bits);
    const std::size_t bytes = checked_payload_bytes(label, {n_vectors, bpv});
    check_payload_bytes(bytes);
    check_payload_matches_file(r, label, bytes);
    std::vector<std::uint8_t> codes = read_le_vec<std::uint8_t>(r, bytes);
    const std::string bad = find_unbalanced_row(codes.data(), n_vectors, dim, bits);
    if (!bad.empty()) throw IoError(bad);
    return RankQuantIndex::from_parts(dim, bits, n_vectors, std::move(codes));
}

RankQuantIndex load_rank_quant(const std::string& path) {
    FileSource source(path);
    return load_rank_quant_from(source);
}

RankQuantIndex load_rank_quant_from_memory(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    return load_rank_quant_from(source);
}

void write_rank_quant(const RankQuantIndex& index, const std::string& path) {
    const unsigned bits = index.bits();
    if (bits == 8)
        throw IoError(
            "RankQuant b=8 persistence is not supported yet (the .kwrq loader accepts bits \u2208 {1, 2, 4}); "
            "b=8 is an in-memory evidence surface in this phase");
    const std::size_t dim = index.dim();
    const std::size_t n_vectors = index.size();
    const std::size_t bpv = quant_bytes_per_vec(dim, bits);
    const std::size_t bytes = checked_payload_bytes(kQuantFormat.label, {n_vectors, bpv});
    check_payload_bytes(bytes);
    const std::vector<std::uint8_t>& codes = index.codes();
    KW_ASSERT(codes.size() == bytes, "RankQuant index length does not match its shape");
    KW_ASSERT(dim <= MAX_DIM && n_vectors <= MAX_VECTORS, "RankQuant index shape out of range");
    write_file_atomically(path, [&](BufferedWriter& w) {
        write_preamble(w, kQuantFormat);
        w.write_u8(static_cast<std::uint8_t>(bits));
        w.write_u32_le(static_cast<std::uint32_t>(dim));
        w.write_u32_le(static_cast<std::uint32_t>(n_vectors));
        w.write_le_vec(codes.data(), codes.size());
    });
}

}  // namespace kwivel
