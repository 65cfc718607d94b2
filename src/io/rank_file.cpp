// The Rank file (KWR1): every row must be a permutation of [0, dim).
#include <vector>

#include "base/error.h"
#include "base/limits.h"
#include "base/parallel.h"
#include "index/rank.h"
#include "io/formats.h"
#include "io/framing.h"
#include "io/row_reader.h"

namespace kwivel {

namespace {

constexpr std::string_view kRankMagics[] = {"KWR1", "HYR1"};
constexpr FormatFraming kRankFormat{"KWR1", "Rank", kRankMagics};

// First row of a block that is not a permutation of [0, dim), or kNoRow.
// The block's rows are numbered from first_row; row i stamps i + 1 into the
// table, which therefore never needs clearing as long as one table sees
// each row at most once.
std::size_t find_bad_row(const std::uint16_t* block, std::size_t rows, std::size_t first_row,
                         std::size_t dim, std::uint32_t* stamps) {
    const std::uint32_t d = static_cast<std::uint32_t>(dim);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint16_t* p = block + r * dim;
        const std::uint32_t stamp = static_cast<std::uint32_t>(first_row + r + 1);
        for (std::uint32_t j = 0; j < d; ++j) {
            const std::uint32_t v = p[j];
            if (v >= d || stamps[v] == stamp) [[unlikely]]
                return first_row + r;
            stamps[v] = stamp;
        }
    }
    return kNoRow;
}

// The message for row i, naming its first offending value in column order.
std::string describe_bad_row(const std::uint16_t* row, std::size_t i, std::size_t dim) {
    std::vector<std::uint32_t> stamps(dim, 0);
    const std::uint32_t stamp = static_cast<std::uint32_t>(i + 1);
    for (std::size_t j = 0; j < dim; ++j) {
        const std::uint32_t v = row[j];
        if (v >= dim)
            return "KWR1 rank value " + std::to_string(v) + " >= dim (" + std::to_string(dim) +
                   "); ranks must be a permutation of [0, dim)";
        if (stamps[v] == stamp)
            return "KWR1 row " + std::to_string(i) + " is not a permutation of [0, dim): value " +
                   std::to_string(v) + " repeats";
        stamps[v] = stamp;
    }
    panic("row " + std::to_string(i) + " was reported bad but is a permutation");
}

}  // namespace

RankIndex load_rank_from(ByteSource& source) {
    BufferedReader r(source);
    read_magic(r, kRankFormat);
    read_version(r, kRankFormat.label);
    const std::uint32_t dim = read_u32_le(r, kRankFormat.label, "dim");
    if (dim < 2 || dim > MAX_DIM)
        throw IoError("dim " + std::to_string(dim) + " out of range [2, 65535]");
    const std::uint32_t n_vectors = read_u32_le(r, kRankFormat.label, "n_vectors");
    check_n_vectors(n_vectors);
    const std::size_t bytes =
        checked_payload_bytes(kRankFormat.label, {dim, n_vectors, sizeof(std::uint16_t)});
    check_payload_bytes(bytes);
    check_payload_matches_file(r, kRankFormat.label, bytes);

    std::size_t bad_row = kNoRow;
    RowBuffer<std::uint16_t> ranks = read_rows_checked<std::uint16_t>(
        r, dim, n_vectors,
        [dim] {
            return [dim, stamps = std::vector<std::uint32_t>(dim, 0)](const std::uint16_t* rows, std::size_t count,
                                                                      std::size_t first) mutable {
                return find_bad_row(rows, count, first, dim, stamps.data());
            };
        },
        bad_row);
    if (bad_row != kNoRow) throw IoError(describe_bad_row(ranks.data() + bad_row * dim, bad_row, dim));
    return RankIndex::from_parts(dim, n_vectors, std::move(ranks));
}

RankIndex load_rank(const std::string& path) {
    FileSource source(path);
    return load_rank_from(source);
}

RankIndex load_rank_from_memory(const std::uint8_t* data, std::size_t size) {
    MemorySource source(data, size);
    return load_rank_from(source);
}

void write_rank(const RankIndex& index, const std::string& path) {
    const std::size_t dim = index.dim();
    const std::size_t n_vectors = index.size();
    const std::size_t bytes =
        checked_payload_bytes(kRankFormat.label, {dim, n_vectors, sizeof(std::uint16_t)});
    check_payload_bytes(bytes);
    KW_ASSERT(dim <= MAX_DIM && n_vectors <= MAX_VECTORS, "Rank index shape out of range");
    const auto& ranks = index.ranks();
    KW_ASSERT(ranks.size() == dim * n_vectors, "Rank index length does not match its shape");
    write_file_atomically(path, [&](BufferedWriter& w) {
        write_preamble(w, kRankFormat);
        w.write_u32_le(static_cast<std::uint32_t>(dim));
        w.write_u32_le(static_cast<std::uint32_t>(n_vectors));
        w.write_le_vec(ranks.data(), ranks.size());
    });
}

}  // namespace kwivel
