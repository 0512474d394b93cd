// Times the products over tangent types next to the plain calls they extend, in the same run:
// velt_Hv (k = 1, 8, 64) against velt_g, velt_Jv (k = 1, 8, 64) against velt_objv, on the
// medium network (4096 rows), and the full Hessian of "8 2 3 2 32 8 16 8 softplus
// sum_log_dnorm_fat" (314 parameters, 1000 rows) by V = identity.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "bench_problem.h"

namespace {

constexpr const char* kSmallNet = "8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat";

std::vector<double> directions(std::size_t n, unsigned k) {
    std::vector<double> V(n * k);
    for (std::size_t i = 0; i < V.size(); ++i) V[i] = std::sin(0.37 * double(i) + 1.0);
    return V;
}

void BM_g_medium(benchmark::State& state) {
    Problem p = Problem::make(kMediumNet, 4096, unsigned(state.range(0)));
    double J = 0;
    std::vector<double> g(p.par.size());
    for (auto _ : state)
        velt_g(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J, g.data());
}
BENCHMARK(BM_g_medium)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Hv_medium(benchmark::State& state) {
    const unsigned k = unsigned(state.range(1));
    Problem p = Problem::make(kMediumNet, 4096, unsigned(state.range(0)));
    const std::vector<double> V = directions(p.par.size(), k);
    std::vector<double> g(p.par.size()), Hv(p.par.size() * k);
    double J = 0;
    for (auto _ : state)
        velt_Hv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J,
                g.data(), Hv.data());
}
BENCHMARK(BM_Hv_medium)
    ->ArgNames({"threads", "k"})
    ->ArgsProduct({{1, 2}, {1, 8, 64}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_objv_medium(benchmark::State& state) {
    Problem p = Problem::make(kMediumNet, 4096, unsigned(state.range(0)));
    std::vector<double> out(p.Y.size());
    for (auto _ : state)
        velt_objv(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, out.data());
}
BENCHMARK(BM_objv_medium)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The forward pass over tangent types with k directions.
void BM_Jv_medium(benchmark::State& state) {
    const unsigned k = unsigned(state.range(1));
    Problem p = Problem::make(kMediumNet, 4096, unsigned(state.range(0)));
    const std::vector<double> V = directions(p.par.size(), k);
    std::vector<double> res(p.Y.size()), Jv(p.Y.size() * k);
    for (auto _ : state)
        velt_Jv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout,
                res.data(), Jv.data());
}
BENCHMARK(BM_Jv_medium)
    ->ArgNames({"threads", "k"})
    ->ArgsProduct({{1, 2}, {1, 8, 64}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_full_hessian_small(benchmark::State& state) {
    Problem p = Problem::make(kSmallNet, 1000, unsigned(state.range(0)));
    const std::size_t n = p.par.size();
    std::vector<double> I(n * n, 0.0), g(n), H(n * n);
    for (std::size_t i = 0; i < n; ++i) I[i * (n + 1)] = 1.0;
    double J = 0;
    for (auto _ : state)
        velt_Hv(p.handle, p.par.data(), p.npar(), I.data(), unsigned(n), p.X.data(), p.Y.data(), p.rows, p.nin,
                p.nout, &J, g.data(), H.data());
}
BENCHMARK(BM_full_hessian_small)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
