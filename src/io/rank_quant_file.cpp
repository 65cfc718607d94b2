// The RankQuant file (KWRQ): every row must hold each code dim / 2^bits
// times (constant composition).
#include <algorithm>
#include <string>

#include "base/error.h"
#include "base/limits.h"
#include "index/rank_quant.h"
#include "io/formats.h"
#include "io/framing.h"
#include "io/row_reader.h"
#include "ordinal/buckets.h"

namespace kwivel {

namespace {

constexpr std::string_view kQuantMagics[] = {"KWRQ", "HYRQ"};
constexpr FormatFraming kQuantFormat{"KWRQ", "RankQuant", kQuantMagics};

std::size_t quant_bytes_per_vec(std::size_t dim, unsigned bits) {
    std::size_t bits_total;
    if (!checked_mul(dim, bits, bits_total))
        throw IoError("KWRQ bytes_per_vec overflows usize");
    return bits_total / 8;
}

// The first bucket of a row whose code count is not dim / 2^bits, or -1.
int unbalanced_bucket(const std::uint8_t* row, std::size_t dim, unsigned bits, std::size_t* counts) {
    const std::size_t bpv = dim / codes_per_byte(bits);
    const unsigned levels = 1u << bits, mask = levels - 1;
    std::fill(counts, counts + levels, 0);
    for (std::size_t j = 0; j < bpv; ++j)
        for (unsigned t = 0; t < codes_per_byte(bits); ++t) ++counts[(row[j] >> packing_shift(bits, t)) & mask];
    for (unsigned b = 0; b < levels; ++b)
        if (counts[b] != dim >> bits) return static_cast<int>(b);
    return -1;
}

std::string describe_unbalanced_row(const std::uint8_t* row, std::size_t i, std::size_t dim, unsigned bits) {
    std::size_t counts[16];
    const int b = unbalanced_bucket(row, dim, bits, counts);
    KW_ASSERT(b >= 0, "row " + std::to_string(i) + " was reported unbalanced but is not");
    return "KWRQ row " + std::to_string(i) + " violates constant composition: bucket " + std::to_string(b) +
           " has " + std::to_string(counts[b]) + " codes, expected " + std::to_string(dim >> bits) +
           " (= dim / 2^bits)";
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
    std::size_t bad_row = kNoRow;
    RowBuffer<std::uint8_t> codes = read_rows_checked<std::uint8_t>(
        r, bpv, n_vectors,
        [dim, bits, bpv] {
            return [dim, bits, bpv](const std::uint8_t* rows, std::size_t count, std::size_t first) {
                std::size_t counts[16];
                for (std::size_t i = 0; i < count; ++i)
                    if (unbalanced_bucket(rows + i * bpv, dim, bits, counts) >= 0) return first + i;
                return kNoRow;
            };
        },
        bad_row);
    if (bad_row != kNoRow) throw IoError(describe_unbalanced_row(codes.data() + bad_row * bpv, bad_row, dim, bits));
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
    const auto& codes = index.codes();
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
