// Nanoseconds per point of the fast kernel and of the straightforward loop.
#include "estimator.h"

#include <benchmark/benchmark.h>

namespace {

void per_point(benchmark::State &state, int (*count)(unsigned, int)) {
    const int points = static_cast<int>(state.range(0));
    unsigned seed = 1767225600;
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark's own idiom
        benchmark::DoNotOptimize(count(seed++, points));
    state.counters["ns/point"] = benchmark::Counter(static_cast<double>(points) * 1e-9,
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

void fast(benchmark::State &state) {
    per_point(state, [](unsigned seed, int points) { return count_hits_fast(seed, points); });
}
void straightforward(benchmark::State &state) {
    per_point(state, [](unsigned seed, int points) { return count_hits_plain(seed, points); });
}

// The smallest and the largest run of the programs.
BENCHMARK(fast)->Arg(1'000'000)->Arg(100'000'000)->Unit(benchmark::kMillisecond);
BENCHMARK(straightforward)->Arg(1'000'000)->Arg(100'000'000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
