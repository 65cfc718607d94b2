// The process-wide fork-join worker pool.
//
// One pool per process, created on first use, one worker per usable hardware
// thread (the process's CPU affinity mask decides; KWIVEL_NUM_THREADS asks
// for another count).  A loop over [begin, end) is split recursively in
// halves, the pool's thread count being the initial split budget, with at
// least one item per piece.  The calling thread takes part and returns only
// when every piece is done.  Loops may nest (a piece may run a parallel loop
// of its own) without deadlock: a thread that waits for pieces runs queued
// pieces meanwhile.  An exception thrown by any piece is carried back and
// rethrown on the calling thread after all pieces have finished (the first
// one caught wins).
#pragma once

#include <cstddef>
#include <functional>

namespace kwivel {

// Number of threads taking part in a loop (workers plus the caller), >= 1.
std::size_t pool_threads();

// Calls body(lo, hi) on disjoint, contiguous pieces that cover [begin, end).
void parallel_for(std::size_t begin, std::size_t end,
                  const std::function<void(std::size_t, std::size_t)>& body);

// Calls f(i) once for every i in [begin, end).
template <class F>
void parallel_for_each(std::size_t begin, std::size_t end, F&& f) {
    parallel_for(begin, end, [&f](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) f(i);
    });
}

}  // namespace kwivel
