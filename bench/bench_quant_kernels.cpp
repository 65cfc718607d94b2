// RankQuant encoding, search and single-query scan timings.
//
//   bench_quant_kernels --benchmark_filter=Search
//
// The corpus is 100000 x 768 standard normal floats (fixed seed), the
// queries 1000 further rows; k = 10.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "base/cpu.h"
#include "base/parallel.h"
#include "index/rank_quant.h"
#include "search/quant_search.h"
#include "search/topk.h"

namespace kwivel {
namespace {

constexpr std::size_t kDim = 768;
constexpr std::size_t kDocs = 100000;
constexpr std::size_t kQueries = 1000;
constexpr std::size_t kK = 10;

std::vector<float> normal_rows(std::size_t rows, std::uint64_t seed) {
    std::vector<float> v(rows * kDim);
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal;
    for (float& x : v) x = normal(rng);
    return v;
}

const std::vector<float>& corpus() {
    static const std::vector<float> v = normal_rows(kDocs, 1);
    return v;
}

const std::vector<float>& queries() {
    static const std::vector<float> v = normal_rows(kQueries, 2);
    return v;
}

const RankQuantIndex& index_for(unsigned bits) {
    static std::map<unsigned, std::unique_ptr<RankQuantIndex>> cache;
    auto& slot = cache[bits];
    if (!slot) {
        slot = std::make_unique<RankQuantIndex>(kDim, bits);
        slot->add(corpus().data(), corpus().size());
    }
    return *slot;
}

bool runnable(Tier k) { return k <= active_tier(); }

// add of the whole corpus into a fresh index.  Args: bits.
void BM_QuantAdd(benchmark::State& state) {
    const unsigned bits = static_cast<unsigned>(state.range(0));
    const std::vector<float>& v = corpus();
    for (auto _ : state) {
        RankQuantIndex idx(kDim, bits);
        idx.add(v.data(), v.size());
        benchmark::DoNotOptimize(idx.codes().data());
    }
    state.counters["threads"] = static_cast<double>(pool_threads());
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(kDocs) * state.iterations(),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_QuantAdd)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

// Symmetric search of nq queries over the corpus.  Args: bits, kernel, nq.
void BM_QuantSearch(benchmark::State& state) {
    const unsigned bits = static_cast<unsigned>(state.range(0));
    const auto kernel = static_cast<Tier>(state.range(1));
    const std::size_t nq = static_cast<std::size_t>(state.range(2));
    if (!runnable(kernel)) {
        state.SkipWithError("processor lacks AVX2");
        return;
    }
    const RankQuantIndex& idx = index_for(bits);
    for (auto _ : state) {
        SearchResult r = quant_search_symmetric(idx, queries().data(), nq, kK, kernel);
        benchmark::DoNotOptimize(r.ids.data());
    }
    state.counters["queries/s"] = benchmark::Counter(static_cast<double>(nq) * state.iterations(),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(BM_QuantSearch)
    ->ArgNames({"bits", "kernel", "nq"})
    ->Args({4, static_cast<int>(Tier::avx2), kQueries})
    ->Args({2, static_cast<int>(Tier::avx2), kQueries})
    ->Args({1, static_cast<int>(Tier::avx2), kQueries})
    ->Args({4, static_cast<int>(Tier::portable), 8})
    ->Args({2, static_cast<int>(Tier::portable), 8})
    ->Args({1, static_cast<int>(Tier::portable), 8})
    ->Args({8, static_cast<int>(Tier::portable), 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One query through a single-query scan kernel, one thread.  Args: bits,
// kernel.
void BM_QuantScan(benchmark::State& state) {
    const unsigned bits = static_cast<unsigned>(state.range(0));
    const auto kernel = static_cast<Tier>(state.range(1));
    if (!runnable(kernel)) {
        state.SkipWithError("processor lacks AVX2");
        return;
    }
    const RankQuantIndex& idx = index_for(bits);
    std::vector<float> table(kDim << bits);
    quant_query_table(queries().data(), kDim, bits, table.data());
    const float scale = quant_score_scale(kDim, bits);
    const KernelTable& kernels = kernel_table(kernel);
    for (auto _ : state) {
        TopK tk(kK);
        quant_scan_one(kernels, bits, idx.codes().data(), idx.size(), kDim, table.data(), scale, tk);
        benchmark::DoNotOptimize(tk.threshold());
    }
    state.counters["docs/s"] = benchmark::Counter(static_cast<double>(kDocs) * state.iterations(),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_QuantScan)
    ->ArgNames({"bits", "kernel"})
    ->Args({1, static_cast<int>(Tier::portable)})
    ->Args({2, static_cast<int>(Tier::portable)})
    ->Args({4, static_cast<int>(Tier::portable)})
    ->Args({8, static_cast<int>(Tier::portable)})
    ->Args({1, static_cast<int>(Tier::avx2)})
    ->Args({2, static_cast<int>(Tier::avx2)})
    ->Args({4, static_cast<int>(Tier::avx2)})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kwivel

BENCHMARK_MAIN();
