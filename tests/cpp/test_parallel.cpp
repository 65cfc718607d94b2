#include "base/parallel.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using kwivel::parallel_for;
using kwivel::parallel_for_each;
using kwivel::pool_threads;
using namespace std::chrono_literals;

// Runs f on a separate thread and gives up on the whole test binary if it
// has not finished within `limit`: a deadlocked pool would otherwise hang
// the run instead of failing it.
template <class F>
void within(std::chrono::seconds limit, F&& f) {
    auto done = std::async(std::launch::async, std::forward<F>(f));
    if (done.wait_for(limit) == std::future_status::timeout) {
        std::fprintf(stderr, "parallel_for did not finish within %llds: deadlock?\n",
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(3);
    }
    done.get();
}

std::size_t affinity_count() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
    return static_cast<std::size_t>(CPU_COUNT(&set));
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

struct Piece {
    std::size_t lo, hi;
};

// All pieces one loop handed to its body, sorted by start.
std::vector<Piece> collect_pieces(std::size_t begin, std::size_t end) {
    std::mutex m;
    std::vector<Piece> pieces;
    parallel_for(begin, end, [&](std::size_t lo, std::size_t hi) {
        std::lock_guard<std::mutex> lock(m);
        pieces.push_back({lo, hi});
    });
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.lo < b.lo; });
    return pieces;
}

// ---------------------------------------------------------------------------
// Splitting: every index exactly once, in at most pool_threads() balanced
// pieces.

struct RangeCase {
    std::size_t n;
    std::size_t offset;  // begin; a huge one checks the split arithmetic
};

std::string range_name(const testing::TestParamInfo<RangeCase>& info) {
    std::string s = "n" + std::to_string(info.param.n);
    if (info.param.offset == std::numeric_limits<std::size_t>::max() - info.param.n)
        s += "_at_max";
    else if (info.param.offset != 0)
        s += "_at_" + std::to_string(info.param.offset);
    return s;
}

void PrintTo(const RangeCase& c, std::ostream* os) { *os << c.n << " items from " << c.offset; }

class Split : public testing::TestWithParam<RangeCase> {};

TEST_P(Split, CoversEveryIndexOnceInBalancedPieces) {
    const auto [n, begin] = GetParam();
    const std::size_t end = begin + n;
    std::vector<std::atomic<int>> hits(n);
    std::atomic<std::size_t> calls{0};
    parallel_for(begin, end, [&](std::size_t lo, std::size_t hi) {
        calls.fetch_add(1);
        ASSERT_LE(begin, lo);
        ASSERT_LT(lo, hi);
        ASSERT_LE(hi, end);
        for (std::size_t i = lo; i < hi; ++i) hits[i - begin].fetch_add(1);
    });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << begin + i;

    const std::vector<Piece> pieces = collect_pieces(begin, end);
    if (n == 0) {
        EXPECT_EQ(calls.load(), 0u);
        EXPECT_TRUE(pieces.empty());
        return;
    }
    // Pieces are contiguous and tile the range.
    ASSERT_FALSE(pieces.empty());
    EXPECT_EQ(pieces.front().lo, begin);
    EXPECT_EQ(pieces.back().hi, end);
    for (std::size_t k = 1; k < pieces.size(); ++k) EXPECT_EQ(pieces[k - 1].hi, pieces[k].lo);
    // One piece per thread (fewer only when there are fewer items), all of
    // nearly the same size.
    const std::size_t threads = pool_threads();
    EXPECT_EQ(pieces.size(), std::min(n, threads));
    std::size_t smallest = n, largest = 0;
    for (const Piece& p : pieces) {
        smallest = std::min(smallest, p.hi - p.lo);
        largest = std::max(largest, p.hi - p.lo);
    }
    EXPECT_LE(largest - smallest, 1u) << "unbalanced split of " << n << " items";
}

std::vector<RangeCase> range_cases() {
    std::vector<RangeCase> cases;
    for (std::size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 13, 16, 17, 31, 64, 100, 257, 1000, 4099})
        cases.push_back({n, 0});
    for (std::size_t n : {0, 1, 3, 10, 1001}) cases.push_back({n, 12345});
    for (std::size_t n : {1, 2, 7, 1000})
        cases.push_back({n, std::numeric_limits<std::size_t>::max() - n});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Sizes, Split, testing::ValuesIn(range_cases()), range_name);

// Ranges too long to walk: only the pieces are looked at.
TEST(ParallelFor, SplitsRangesNearTheTopOfSizeT) {
    constexpr std::size_t top = std::numeric_limits<std::size_t>::max();
    for (auto [b, e] : {std::pair<std::size_t, std::size_t>{0, top}, {1, top}, {top / 3, top}}) {
        const std::vector<Piece> pieces = collect_pieces(b, e);
        ASSERT_EQ(pieces.size(), pool_threads());
        EXPECT_EQ(pieces.front().lo, b);
        EXPECT_EQ(pieces.back().hi, e);
        std::size_t smallest = top, largest = 0;
        for (std::size_t k = 0; k < pieces.size(); ++k) {
            if (k > 0) {
                EXPECT_EQ(pieces[k - 1].hi, pieces[k].lo);
            }
            smallest = std::min(smallest, pieces[k].hi - pieces[k].lo);
            largest = std::max(largest, pieces[k].hi - pieces[k].lo);
        }
        EXPECT_LE(largest - smallest, 1u) << "[" << b << ", " << e << ")";
    }
}

TEST(ParallelFor, EmptyOrReversedRangeNeverCallsBody) {
    for (auto [b, e] : {std::pair<std::size_t, std::size_t>{0, 0}, {5, 5}, {7, 3}, {1, 0}}) {
        bool called = false;
        parallel_for(b, e, [&](std::size_t, std::size_t) { called = true; });
        EXPECT_FALSE(called) << "[" << b << ", " << e << ")";
    }
}

TEST(ParallelFor, ForEachVisitsEveryIndexOnce) {
    for (std::size_t n : {0, 1, 2, 5, 333}) {
        std::vector<std::atomic<int>> hits(n);
        parallel_for_each(10, 10 + n, [&](std::size_t i) { hits.at(i - 10).fetch_add(1); });
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
    }
}

// ---------------------------------------------------------------------------
// Threads.

TEST(ParallelFor, ThreadCountFollowsEnvironmentOrAffinity) {
    const std::size_t threads = pool_threads();
    EXPECT_GE(threads, 1u);
    EXPECT_EQ(pool_threads(), threads);
    const char* env = std::getenv("KWIVEL_NUM_THREADS");
    std::string v = env ? env : "";
    const bool numeric = !v.empty() && v.size() < 4 &&
                         v.find_first_not_of("0123456789") == std::string::npos && std::stoul(v) > 0;
    if (numeric)
        EXPECT_EQ(threads, std::stoul(v));
    else
        EXPECT_EQ(threads, affinity_count());
}

TEST(ParallelFor, CallerRunsTheFirstPieceAndOnlyPoolThreadsTakePart) {
    const auto caller = std::this_thread::get_id();
    for (std::size_t n : {2, 3, 50, 1000}) {
        std::mutex m;
        std::set<std::thread::id> ids;
        std::thread::id first_piece_thread;
        parallel_for(0, n, [&](std::size_t lo, std::size_t) {
            std::this_thread::sleep_for(1ms);
            std::lock_guard<std::mutex> lock(m);
            ids.insert(std::this_thread::get_id());
            if (lo == 0) first_piece_thread = std::this_thread::get_id();
        });
        EXPECT_EQ(first_piece_thread, caller) << "n=" << n;
        EXPECT_TRUE(ids.count(caller)) << "n=" << n;
        EXPECT_LE(ids.size(), pool_threads()) << "n=" << n;
        if (pool_threads() == 1) {
            EXPECT_EQ(ids.size(), 1u);
        }
    }
}

// Every piece waits until all pool_threads() pieces are running at once,
// which only works if each thread of the pool holds one of them.
TEST(ParallelFor, AllThreadsRunPiecesAtTheSameTime) {
    const std::size_t threads = pool_threads();
    std::atomic<std::size_t> arrived{0};
    std::atomic<bool> timed_out{false};
    within(60s, [&] {
        parallel_for(0, threads, [&](std::size_t, std::size_t) {
            arrived.fetch_add(1);
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (arrived.load() < threads) {
                if (std::chrono::steady_clock::now() > deadline) {
                    timed_out = true;
                    return;
                }
                std::this_thread::sleep_for(100us);
            }
        });
    });
    EXPECT_FALSE(timed_out.load()) << arrived.load() << " of " << threads << " pieces ran at once";
}

// Waiting workers sleep rather than spin.
TEST(ParallelFor, IdlePoolUsesNoCpu) {
    parallel_for(0, 100, [](std::size_t, std::size_t) {});
    auto cpu_now = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
    };
    const double before = cpu_now();
    std::this_thread::sleep_for(300ms);
    const double used_ms = cpu_now() - before;
    EXPECT_LT(used_ms, 60.0) << "CPU time burnt by an idle pool of " << pool_threads() << " threads";
}

// ---------------------------------------------------------------------------
// Nesting.

TEST(ParallelFor, ThreeLevelNestingVisitsEveryCellOnce) {
    constexpr std::size_t A = 7, B = 5, C = 33;
    std::vector<std::atomic<int>> hits(A * B * C);
    within(120s, [&] {
        parallel_for_each(0, A, [&](std::size_t a) {
            parallel_for(0, B, [&](std::size_t blo, std::size_t bhi) {
                for (std::size_t b = blo; b < bhi; ++b)
                    parallel_for(0, C, [&](std::size_t clo, std::size_t chi) {
                        for (std::size_t c = clo; c < chi; ++c) hits[(a * B + b) * C + c].fetch_add(1);
                    });
            });
        });
    });
    for (std::size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << "cell " << i;
}

// Outer pieces block in inner loops whose pieces are slow: every waiting
// thread has to pick up queued pieces of other loops for this to finish.
TEST(ParallelFor, NestedLoopsWithSlowPiecesFinish) {
    const std::size_t outer = 4 * pool_threads() + 1;
    std::atomic<std::size_t> inner_items{0};
    within(120s, [&] {
        for (int round = 0; round < 5; ++round)
            parallel_for_each(0, outer, [&](std::size_t i) {
                parallel_for(0, 3 + i % 4, [&](std::size_t lo, std::size_t hi) {
                    if ((lo + i) % 3 == 0) std::this_thread::sleep_for(200us);
                    inner_items.fetch_add(hi - lo);
                });
            });
    });
    std::size_t expected = 0;
    for (std::size_t i = 0; i < outer; ++i) expected += 3 + i % 4;
    EXPECT_EQ(inner_items.load(), 5 * expected);
}

// ---------------------------------------------------------------------------
// Exceptions.

struct PieceFailure : std::runtime_error {
    PieceFailure(const std::string& what, std::size_t i) : std::runtime_error(what), index(i) {}
    std::size_t index;
};

class Throwing : public testing::TestWithParam<std::size_t> {};

// The piece holding index k throws at once; every other piece takes a while
// before it marks its items.  parallel_for must not return before those are
// done, and must hand back the very exception thrown.
TEST_P(Throwing, RethrowsAfterAllOtherPiecesFinished) {
    constexpr std::size_t n = 64;
    const std::size_t k = GetParam();
    std::vector<std::atomic<int>> done(n);
    std::atomic<std::size_t> thrower_lo{n}, thrower_hi{n};
    bool caught = false;
    within(60s, [&] {
        try {
            parallel_for(0, n, [&](std::size_t lo, std::size_t hi) {
                if (lo <= k && k < hi) {
                    thrower_lo = lo;
                    thrower_hi = hi;
                    throw PieceFailure("piece failed", k);
                }
                std::this_thread::sleep_for(20ms);
                for (std::size_t i = lo; i < hi; ++i) done[i].fetch_add(1);
            });
        } catch (const PieceFailure& e) {
            caught = true;
            EXPECT_EQ(e.index, k);
            EXPECT_STREQ(e.what(), "piece failed");
        }
    });
    ASSERT_TRUE(caught);
    ASSERT_LT(thrower_lo.load(), n);
    for (std::size_t i = 0; i < n; ++i) {
        const bool in_thrower = thrower_lo <= i && i < thrower_hi;
        EXPECT_EQ(done[i].load(), in_thrower ? 0 : 1) << "index " << i;
    }
    // The pool is still usable afterwards.
    std::atomic<std::size_t> sum{0};
    parallel_for_each(0, 100, [&](std::size_t i) { sum += i; });
    EXPECT_EQ(sum.load(), 4950u);
}

INSTANTIATE_TEST_SUITE_P(Position, Throwing, testing::Values(0, 1, 31, 32, 33, 62, 63),
                         [](const auto& info) { return "index" + std::to_string(info.param); });

// Several pieces throw; the one thrown first comes back.
TEST(ParallelFor, FirstExceptionWins) {
    constexpr std::size_t n = 40;
    std::atomic<bool> first_thrown{false};
    std::atomic<std::size_t> throws{0};
    std::size_t caught_index = n;
    within(60s, [&] {
        try {
            parallel_for(0, n, [&](std::size_t lo, std::size_t) {
                throws.fetch_add(1);
                if (lo == 0) {
                    first_thrown = true;
                    throw PieceFailure("first", 0);
                }
                const auto deadline = std::chrono::steady_clock::now() + 20s;
                while (!first_thrown && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(100us);
                std::this_thread::sleep_for(50ms);
                throw PieceFailure("later", lo);
            });
        } catch (const PieceFailure& e) {
            caught_index = e.index;
        }
    });
    EXPECT_EQ(caught_index, 0u);
    EXPECT_EQ(throws.load(), std::min(n, pool_threads()));
}

TEST(ParallelFor, ExceptionFromNestedLoopReachesOuterCaller) {
    constexpr std::size_t outer = 9, inner = 11;
    std::vector<std::atomic<int>> done(outer * inner);
    std::atomic<std::size_t> failed_lo{outer}, failed_hi{outer};
    bool caught = false;
    within(60s, [&] {
        try {
            parallel_for(0, outer, [&](std::size_t lo, std::size_t hi) {
                for (std::size_t a = lo; a < hi; ++a) {
                    if (a == 4) {
                        failed_lo = lo;
                        failed_hi = hi;
                    }
                    parallel_for_each(0, inner, [&](std::size_t b) {
                        if (a == 4 && b == 7) throw PieceFailure("inner", a * inner + b);
                        std::this_thread::sleep_for(1ms);
                        done[a * inner + b].fetch_add(1);
                    });
                }
            });
        } catch (const PieceFailure& e) {
            caught = true;
            EXPECT_EQ(e.index, 4 * inner + 7);
        }
    });
    ASSERT_TRUE(caught);
    // Outer pieces other than the failed one ran to the end.
    for (std::size_t a = 0; a < outer; ++a) {
        if (failed_lo <= a && a < failed_hi) continue;
        for (std::size_t b = 0; b < inner; ++b)
            EXPECT_EQ(done[a * inner + b].load(), 1) << a << "," << b;
    }
    // The failed piece stopped at the item that threw.
    for (std::size_t a = 5; a < failed_hi; ++a)
        for (std::size_t b = 0; b < inner; ++b) EXPECT_EQ(done[a * inner + b].load(), 0);
}

// ---------------------------------------------------------------------------
// Several threads starting loops at once.

TEST(ParallelFor, ConcurrentCallersFromSeveralThreads) {
    constexpr int callers = 5, rounds = 30;
    std::atomic<int> failures{0};
    within(180s, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < callers; ++t)
            threads.emplace_back([&, t] {
                for (int r = 0; r < rounds; ++r) {
                    const std::size_t n = 1 + mix(t * 1000 + r) % 300;
                    std::vector<std::uint64_t> out(n, 0);
                    std::vector<std::atomic<int>> nested(n);
                    parallel_for(0, n, [&](std::size_t lo, std::size_t hi) {
                        for (std::size_t i = lo; i < hi; ++i) out[i] += mix(i + t);
                        if (r % 3 == 0)
                            parallel_for_each(lo, hi, [&](std::size_t i) { nested[i].fetch_add(1); });
                    });
                    for (std::size_t i = 0; i < n; ++i) {
                        if (out[i] != mix(i + t)) failures.fetch_add(1);
                        if (r % 3 == 0 && nested[i].load() != 1) failures.fetch_add(1);
                    }
                }
            });
        for (auto& th : threads) th.join();
    });
    EXPECT_EQ(failures.load(), 0);
}

// ---------------------------------------------------------------------------
// Fresh processes: the thread count is fixed once per process, so
// checks about how it is chosen, and about results under different counts,
// start this binary again with a chosen environment.

// A fixed workload: flat and nested loops whose result does not depend on
// how the range was split.
std::uint64_t workload_checksum() {
    constexpr std::size_t n = 5000, m = 17;
    std::vector<std::uint64_t> out(n * m, 0);
    parallel_for(0, n, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) out[i * m] = mix(i * m);
        if (lo % 2 == 0)
            parallel_for(lo, hi, [&](std::size_t a, std::size_t b) {
                for (std::size_t i = a; i < b; ++i)
                    for (std::size_t j = 1; j < m; ++j) out[i * m + j] = mix(i * m + j);
            });
        else
            for (std::size_t i = lo; i < hi; ++i)
                for (std::size_t j = 1; j < m; ++j) out[i * m + j] = mix(i * m + j);
    });
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint64_t v : out) h = (h ^ v) * 1099511628211ull;
    return h;
}

std::uint64_t serial_checksum() {
    constexpr std::size_t n = 5000, m = 17;
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n * m; ++i) h = (h ^ mix(i)) * 1099511628211ull;
    return h;
}

long process_threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stol(line.substr(8));
    return -1;
}

// When started by run_child() below, does the one job asked for, prints a
// line starting with "CHILD " and leaves before any test runs.
int child_main(const std::string& mode) {
    if (mode == "checksum") {
        std::printf("CHILD threads=%zu checksum=%llu\n", pool_threads(),
                    static_cast<unsigned long long>(workload_checksum()));
    } else if (mode == "one_cpu") {
        cpu_set_t all, one;
        CPU_ZERO(&all);
        CPU_ZERO(&one);
        if (sched_getaffinity(0, sizeof(all), &all) != 0) return 1;
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &all)) {
                CPU_SET(c, &one);
                break;
            }
        if (sched_setaffinity(0, sizeof(one), &one) != 0) return 1;
        std::printf("CHILD threads=%zu\n", pool_threads());
    } else if (mode == "spawn") {
        // A sanitizer may start a helper thread along with the first thread
        // of the process: have that happen before counting.
        std::thread([] {}).join();
        const long before = process_threads();
        parallel_for(3, 3, [](std::size_t, std::size_t) {});
        parallel_for(9, 2, [](std::size_t, std::size_t) {});
        const long after_empty = process_threads();
        const std::size_t threads = pool_threads();
        const long after_pool = process_threads();
        std::printf("CHILD threads=%zu empty_delta=%ld pool_delta=%ld\n", threads,
                    after_empty - before, after_pool - before);
    } else {
        return 1;
    }
    return 0;
}

const bool child_hook = [] {
    const char* mode = std::getenv("KWIVEL_TEST_CHILD");
    if (mode == nullptr) return false;
    const int rc = child_main(mode);
    std::fflush(stdout);
    std::_Exit(rc);
}();

// What this binary prints as a child in `mode`, started afresh with the given
// environment assignments (after the "CHILD " tag).
std::string run_child(const std::string& mode, const std::string& threads_env) {
    static const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string cmd = "env -u KWIVEL_NUM_THREADS KWIVEL_TEST_CHILD=" + mode + " ";
    if (!threads_env.empty()) cmd += threads_env + " ";
    cmd += "'" + self + "' 2>&1";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    std::string out;
    char buf[4096];
    while (std::fgets(buf, sizeof(buf), pipe)) out += buf;
    const int status = pclose(pipe);
    const auto at = out.find("CHILD ");
    if (status != 0 || at == std::string::npos) return "child failed (" + cmd + "):\n" + out;
    return out.substr(at + 6, out.find('\n', at) - at - 6);
}

class ThreadCountChild : public testing::TestWithParam<int> {};

TEST_P(ThreadCountChild, SameResultForAnyThreadCount) {
    const int threads = GetParam();
    const std::string expected = "threads=" + std::to_string(threads) +
                                 " checksum=" + std::to_string(serial_checksum());
    EXPECT_EQ(run_child("checksum", "KWIVEL_NUM_THREADS=" + std::to_string(threads)), expected);
}

INSTANTIATE_TEST_SUITE_P(Threads, ThreadCountChild, testing::Values(1, 2, 3, 4, 7, 16));

TEST(ParallelProcess, ThreadCountDefaultsToAffinityMask) {
    const std::string checksum = " checksum=" + std::to_string(serial_checksum());
    const std::string expected = "threads=" + std::to_string(affinity_count()) + checksum;
    EXPECT_EQ(run_child("checksum", ""), expected);
    // Values that are not a positive integer are ignored.
    for (const char* bad : {"0", "-3", "abc", "4x", "''", "' 2'"})
        EXPECT_EQ(run_child("checksum", std::string("KWIVEL_NUM_THREADS=") + bad), expected)
            << "KWIVEL_NUM_THREADS=" << bad;
    EXPECT_EQ(run_child("one_cpu", ""), "threads=1");
    // The environment wins over the mask.
    EXPECT_EQ(run_child("one_cpu", "KWIVEL_NUM_THREADS=3"), "threads=3");
}

TEST(ParallelProcess, PoolStartsOnFirstUseWithOneWorkerPerExtraThread) {
    for (int threads : {1, 3}) {
        const std::string expected = "threads=" + std::to_string(threads) +
                                     " empty_delta=0 pool_delta=" + std::to_string(threads - 1);
        EXPECT_EQ(run_child("spawn", "KWIVEL_NUM_THREADS=" + std::to_string(threads)), expected);
    }
}

}  // namespace
