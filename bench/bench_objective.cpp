// Times the evaluation entry points on a medium network at 1 and 2 threads.
#include <benchmark/benchmark.h>

#include "bench_problem.h"

static void BM_obj(benchmark::State& state) {
    Problem p = Problem::make(kMediumNet, 4096, static_cast<unsigned>(state.range(0)));
    double J = 0;
    for (auto _ : state) {
        velt_obj(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J);
        benchmark::DoNotOptimize(J);
    }
    state.counters["rows/s"] = benchmark::Counter(double(p.rows) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_obj)->Arg(1)->Arg(2)->ArgName("threads")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
