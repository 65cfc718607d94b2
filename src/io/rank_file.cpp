// The Rank file (KWR1).  Large payloads are read on one thread while the
// pool checks the rows that have arrived.
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

#include "base/error.h"
#include "base/limits.h"
#include "base/parallel.h"
#include "index/rank.h"
#include "io/formats.h"
#include "io/framing.h"

namespace kwivel {

// ---------------------------------------------------------------------------
// Rank files.

namespace {

constexpr std::string_view kRankMagics[] = {"KWR1", "HYR1"};
constexpr FormatFraming kRankFormat{"KWR1", "Rank", kRankMagics};

constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);
// Payloads of at least this many read pieces are checked by pool threads
// while a reader thread is still reading.
constexpr std::size_t kOverlapMinChunks = 2;

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

// Reads the payload and checks each piece right after it arrives.
std::vector<std::uint16_t> read_ranks_checked(BufferedReader& r, std::size_t dim,
                                              std::size_t n_vectors, std::size_t rows_per_chunk,
                                              std::size_t& bad_row) {
    std::vector<std::uint32_t> stamps(dim, 0);
    std::size_t next_row = 0;
    bad_row = kNoRow;
    return read_le_vec<std::uint16_t>(
        r, dim * n_vectors, rows_per_chunk * dim, [&](const std::uint16_t* p, std::size_t n) {
            const std::size_t rows = n / dim;
            if (bad_row == kNoRow) bad_row = find_bad_row(p, rows, next_row, dim, stamps.data());
            next_row += rows;
        });
}

// Same result, with reading and checking overlapped: a reader thread fills
// the pieces in order and publishes how many are complete; pool threads
// claim pieces in order, wait until each has arrived and check it with a
// stamp table of their own.  The lowest bad row wins.  A read failure is
// rethrown here once every thread has stopped.  Returns false, having read
// nothing, when no reader thread can be started.
bool read_ranks_overlapped(BufferedReader& r, std::size_t dim, std::size_t n_vectors,
                           std::size_t rows_per_chunk, std::vector<std::uint16_t>& ranks,
                           std::size_t& bad_row) {
    constexpr std::size_t kAborted = static_cast<std::size_t>(-1);
    const std::size_t n_chunks = (n_vectors + rows_per_chunk - 1) / rows_per_chunk;
    std::atomic<std::size_t> ready{0};  // complete pieces, or kAborted
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<std::size_t> first_bad{kNoRow};
    const std::uint16_t* base = nullptr;  // set before the first piece is published
    std::exception_ptr read_error;

    std::thread reader;
    try {
        reader = std::thread([&] {
            try {
                // Into the caller's vector: checkers may still be reading
                // published pieces when a later read fails.
                read_le_into(r, ranks, dim * n_vectors, rows_per_chunk * dim,
                             [&](const std::uint16_t* p, std::size_t) {
                                 if (base == nullptr) base = p;
                                 ready.fetch_add(1, std::memory_order_release);
                                 ready.notify_all();
                             });
            } catch (...) {
                read_error = std::current_exception();
                ready.store(kAborted, std::memory_order_release);
                ready.notify_all();
            }
        });
    } catch (const std::system_error&) {
        return false;
    }

    const auto check_pieces = [&] {
        std::vector<std::uint32_t> stamps(dim, 0);
        for (;;) {
            const std::size_t c = next_chunk.fetch_add(1, std::memory_order_relaxed);
            if (c >= n_chunks) return;
            std::size_t seen = ready.load(std::memory_order_acquire);
            while (seen <= c) {
                ready.wait(seen, std::memory_order_acquire);
                seen = ready.load(std::memory_order_acquire);
            }
            if (seen == kAborted) return;
            const std::size_t row0 = c * rows_per_chunk;
            // An earlier row has already failed: later ones cannot matter.
            if (first_bad.load(std::memory_order_relaxed) < row0) return;
            const std::size_t rows = std::min(rows_per_chunk, n_vectors - row0);
            const std::size_t bad = find_bad_row(base + row0 * dim, rows, row0, dim, stamps.data());
            if (bad == kNoRow) continue;
            std::size_t cur = first_bad.load(std::memory_order_relaxed);
            while (bad < cur &&
                   !first_bad.compare_exchange_weak(cur, bad, std::memory_order_relaxed)) {
            }
        }
    };

    bool checked = true;
    try {
        // One thread of the pool's budget is the reader's.
        const std::size_t checkers = std::max<std::size_t>(1, pool_threads() - 1);
        parallel_for_each(0, checkers, [&](std::size_t) { check_pieces(); });
    } catch (...) {
        checked = false;  // the reader finishes on its own; check below instead
    }
    reader.join();
    if (read_error) std::rethrow_exception(read_error);
    if (checked) {
        bad_row = first_bad.load(std::memory_order_relaxed);
    } else {
        std::vector<std::uint32_t> stamps(dim, 0);
        bad_row = find_bad_row(ranks.data(), n_vectors, 0, dim, stamps.data());
    }
    return true;
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

    // Whole rows per piece, about a megabyte each, so that every piece is
    // checked while it is still in cache.
    const std::size_t row_bytes = std::size_t{dim} * sizeof(std::uint16_t);
    const std::size_t rows_per_chunk = std::max<std::size_t>(1, LE_READ_CHUNK_BYTES / row_bytes);
    std::size_t bad_row = kNoRow;
    std::vector<std::uint16_t> ranks;
    const bool overlapped =
        n_vectors >= kOverlapMinChunks * rows_per_chunk &&
        read_ranks_overlapped(r, dim, n_vectors, rows_per_chunk, ranks, bad_row);
    if (!overlapped) ranks = read_ranks_checked(r, dim, n_vectors, rows_per_chunk, bad_row);
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
    const std::vector<std::uint16_t>& ranks = index.ranks();
    KW_ASSERT(ranks.size() == dim * n_vectors, "Rank index length does not match its shape");
    write_file_atomically(path, [&](BufferedWriter& w) {
        write_preamble(w, kRankFormat);
        w.write_u32_le(static_cast<std::uint32_t>(dim));
        w.write_u32_le(static_cast<std::uint32_t>(n_vectors));
        w.write_le_vec(ranks.data(), ranks.size());
    });
}

}  // namespace kwivel
