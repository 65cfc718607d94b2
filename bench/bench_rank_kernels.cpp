// Throughput of the Rank index searches, per kernel variant.
//
// items/s counts query-document pairs scored.  The corpus (20000 x 768) and
// the queries are drawn once from a fixed seed.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "base/cpu.h"
#include "index/rank.h"
#include "search/rank_search.h"

namespace {

using kwivel::RankIndex;
using kwivel::Tier;
using kwivel::SearchResult;

constexpr std::size_t kDim = 768;
constexpr std::size_t kDocs = 20000;
constexpr std::size_t kMaxQueries = 64;
constexpr std::size_t kTopK = 10;

struct Corpus {
    RankIndex index{kDim};
    std::vector<float> queries;
};

const Corpus& corpus() {
    static const Corpus c = [] {
        Corpus c;
        std::mt19937 gen(42);
        std::normal_distribution<float> nd;
        std::vector<float> rows(kDocs * kDim);
        for (float& x : rows) x = nd(gen);
        c.index.add(rows.data(), rows.size());
        c.queries.resize(kMaxQueries * kDim);
        for (float& x : c.queries) x = nd(gen);
        return c;
    }();
    return c;
}

// Arguments: kernel (0 portable, 1 avx2), number of queries.
template <bool Symmetric>
void run_search(benchmark::State& state) {
    const auto kernel = static_cast<Tier>(state.range(0));
    const auto nq = static_cast<std::size_t>(state.range(1));
    if (kernel > kwivel::active_tier()) {
        state.SkipWithError("processor lacks AVX2");
        return;
    }
    const Corpus& c = corpus();
    for (auto _ : state) {
        SearchResult r =
            Symmetric
                ? kwivel::rank_search_symmetric(c.index, c.queries.data(), nq, kTopK, kernel)
                : kwivel::rank_search_asymmetric(c.index, c.queries.data(), nq, kTopK, kernel);
        benchmark::DoNotOptimize(r.ids.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(nq * kDocs));
    state.SetLabel(kernel == Tier::avx2 ? "avx2" : "portable");
}

void BM_rank_symmetric(benchmark::State& state) { run_search<true>(state); }
void BM_rank_asymmetric(benchmark::State& state) { run_search<false>(state); }

void shapes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"kernel", "queries"});
    for (int kernel : {0, 1})
        for (int nq : {1, static_cast<int>(kMaxQueries)}) b->Args({kernel, nq});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(BM_rank_symmetric)->Apply(shapes);
BENCHMARK(BM_rank_asymmetric)->Apply(shapes);

BENCHMARK_MAIN();
