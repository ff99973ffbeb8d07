// Nanoseconds per point of each vector path of the kernel, and of the straightforward loop.
#include "kernel_probes.h"
#include "straightforward.h"

#include <benchmark/benchmark.h>

namespace {

template <class Count> void per_point(benchmark::State &state, Count count) {
    const int points = static_cast<int>(state.range(0));
    unsigned seed = 1767225600;
    for (auto _ : state) // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark's own idiom
        benchmark::DoNotOptimize(count(seed++, points));
    state.counters["ns/point"] = benchmark::Counter(static_cast<double>(points) * 1e-9,
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

void kernel(benchmark::State &state, const char *path) {
    if (!can_run(path)) {
        state.SkipWithError("this processor cannot run this path");
        return;
    }
    per_point(state,
              [path](unsigned seed, int points) { return count_hits_fast(seed, points, path); });
}

void straightforward(benchmark::State &state) {
    per_point(state, [](unsigned seed, int points) { return count_hits_plain(seed, points); });
}

// The smallest and the largest run of the programs.
void sizes(benchmark::internal::Benchmark *b) {
    b->Arg(1'000'000)->Arg(100'000'000)->Unit(benchmark::kMillisecond);
}

BENCHMARK_CAPTURE(kernel, avx512, "avx512")->Apply(sizes);
BENCHMARK_CAPTURE(kernel, avx2, "avx2")->Apply(sizes);
BENCHMARK_CAPTURE(kernel, portable, "portable")->Apply(sizes);
BENCHMARK(straightforward)->Apply(sizes);

} // namespace

BENCHMARK_MAIN();
