// Times the objective, the gradient and the vector-Jacobian product on the medium network
// (4096 rows) and the large one (32768 rows) at 1 and 2 threads. Compare the derivative times
// with the objective's in the same run (bench/compare.py prints the ratios).
#include <benchmark/benchmark.h>

#include "bench_problem.h"

namespace {

const char* net_of(int64_t which) { return which == 0 ? kMediumNet : kLargeNet; }
unsigned rows_of(int64_t which) { return which == 0 ? 4096 : 32768; }

void configure(benchmark::internal::Benchmark* b) {
    b->ArgNames({"net", "threads"})->Args({0, 1})->Args({0, 2})->Args({1, 1})->Args({1, 2});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_obj(benchmark::State& state) {
    Problem p = Problem::make(net_of(state.range(0)), rows_of(state.range(0)), unsigned(state.range(1)));
    double J = 0;
    for (auto _ : state) {
        velt_obj(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J);
        benchmark::DoNotOptimize(J);
    }
}
BENCHMARK(BM_obj)->Apply(configure);

void BM_g(benchmark::State& state) {
    Problem p = Problem::make(net_of(state.range(0)), rows_of(state.range(0)), unsigned(state.range(1)));
    double J = 0;
    std::vector<double> g(p.par.size());
    for (auto _ : state) {
        velt_g(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J, g.data());
        benchmark::DoNotOptimize(g.data());
    }
}
BENCHMARK(BM_g)->Apply(configure);

void BM_vJ(benchmark::State& state) {
    Problem p = Problem::make(net_of(state.range(0)), rows_of(state.range(0)), unsigned(state.range(1)));
    std::vector<double> U(p.Y.size(), 1.0), res(p.Y.size()), vJ(p.par.size());
    for (auto _ : state) {
        velt_vJ(p.handle, p.par.data(), p.npar(), U.data(), 0, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout,
                res.data(), vJ.data());
        benchmark::DoNotOptimize(vJ.data());
    }
}
BENCHMARK(BM_vJ)->Apply(configure);

}  // namespace

BENCHMARK_MAIN();
