// Reading a payload of fixed-size rows while checking each row.
//
// read_rows_checked reads n_rows rows of row_elems little-endian elements
// and finds the first row that fails a format's row check.  Pieces of about
// a megabyte (whole rows) are checked right after they arrive, while still
// in cache.  A payload of at least two pieces is read on a thread of its
// own while the worker pool checks the pieces that have arrived (and the
// reader joins in once it has read everything), each checker with its own
// state; the lowest bad row wins, so the result (and
// the message the loader builds from it) is the same either way.
//
// The check is given as a factory: make_check() returns a callable
//     std::size_t check(const T* rows, std::size_t count, std::size_t first_row)
// that returns the number of the first bad row among `count` rows numbered
// from first_row, or kNoRow.  Each thread calls make_check() once, so a
// check may keep scratch state (a stamp table, counters) without locks.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "base/parallel.h"
#include "io/framing.h"

namespace kwivel {

inline constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

namespace detail {

// Payloads of at least this many pieces are read on a thread of their own.
// Tests and the large-file fuzzer raise it to compare both paths on the
// same input.
inline std::atomic<std::size_t> overlap_min_pieces{2};

// The overlapped read: a reader thread fills the pieces in order and
// publishes how many are complete; pool threads claim pieces in order, wait
// until each has arrived and check it.  A read failure is rethrown here once
// every thread has stopped.  Returns false, having read nothing, when no
// reader thread can be started.
template <class T, class MakeCheck>
bool read_rows_overlapped(BufferedReader& r, std::size_t row_elems, std::size_t n_rows, std::size_t rows_per_piece,
                          MakeCheck& make_check, RowBuffer<T>& out, std::size_t& bad_row) {
    constexpr std::size_t kAborted = static_cast<std::size_t>(-1);
    const std::size_t n_pieces = (n_rows + rows_per_piece - 1) / rows_per_piece;
    std::atomic<std::size_t> ready{0};  // complete pieces, or kAborted
    std::atomic<std::size_t> next_piece{0};
    std::atomic<std::size_t> first_bad{kNoRow};
    const T* base = nullptr;  // set before the first piece is published
    std::exception_ptr read_error;

    const auto check_pieces = [&] {
        auto check = make_check();
        for (;;) {
            const std::size_t c = next_piece.fetch_add(1, std::memory_order_relaxed);
            if (c >= n_pieces) return;
            std::size_t seen = ready.load(std::memory_order_acquire);
            while (seen <= c) {
                ready.wait(seen, std::memory_order_acquire);
                seen = ready.load(std::memory_order_acquire);
            }
            if (seen == kAborted) return;
            const std::size_t row0 = c * rows_per_piece;
            // An earlier row has already failed: later ones cannot matter.
            if (first_bad.load(std::memory_order_relaxed) < row0) return;
            const std::size_t rows = std::min(rows_per_piece, n_rows - row0);
            const std::size_t bad = check(base + row0 * row_elems, rows, row0);
            if (bad == kNoRow) continue;
            std::size_t cur = first_bad.load(std::memory_order_relaxed);
            while (bad < cur && !first_bad.compare_exchange_weak(cur, bad, std::memory_order_relaxed)) {
            }
        }
    };

    // The reader helps check once its reads are done: on a machine of two
    // cores the check, not the read, sets the pace.
    std::atomic<bool> reader_check_failed{false};
    std::thread reader;
    try {
        reader = std::thread([&] {
            try {
                // Into the caller's vector: checkers may still be reading
                // published pieces when a later read fails.
                read_le_into(r, out, row_elems * n_rows, rows_per_piece * row_elems, [&](const T* p, std::size_t) {
                    if (base == nullptr) base = p;
                    ready.fetch_add(1, std::memory_order_release);
                    ready.notify_all();
                });
            } catch (...) {
                read_error = std::current_exception();
                ready.store(kAborted, std::memory_order_release);
                ready.notify_all();
                return;
            }
            try {
                check_pieces();
            } catch (...) {
                reader_check_failed.store(true);  // a piece it claimed may be unchecked
            }
        });
    } catch (const std::system_error&) {
        return false;
    }

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
    if (reader_check_failed.load()) checked = false;
    bad_row = checked ? first_bad.load(std::memory_order_relaxed) : make_check()(out.data(), n_rows, 0);
    return true;
}

}  // namespace detail

// Returns the rows; bad_row is the first row the check refuses, or kNoRow.
template <class T, class MakeCheck>
RowBuffer<T> read_rows_checked(BufferedReader& r, std::size_t row_elems, std::size_t n_rows, MakeCheck make_check,
                               std::size_t& bad_row) {
    const std::size_t row_bytes = std::max<std::size_t>(1, row_elems * sizeof(T));
    const std::size_t rows_per_piece = std::max<std::size_t>(1, LE_READ_CHUNK_BYTES / row_bytes);
    RowBuffer<T> out;
    bad_row = kNoRow;
    if (row_elems > 0 && n_rows / rows_per_piece >= detail::overlap_min_pieces.load(std::memory_order_relaxed) &&
        detail::read_rows_overlapped(r, row_elems, n_rows, rows_per_piece, make_check, out, bad_row))
        return out;
    auto check = make_check();
    std::size_t next_row = 0;
    read_le_into(r, out, row_elems * n_rows, rows_per_piece * row_elems, [&](const T* p, std::size_t n) {
        const std::size_t rows = row_elems ? n / row_elems : 0;
        if (bad_row == kNoRow) bad_row = check(p, rows, next_row);
        next_row += rows;
    });
    return out;
}

}  // namespace kwivel
