// Every entry point on the four reference networks (bench_problem.h) at 1 and 2 threads.
// Names read product/net/threads:T[/k:K]; bench/compare.py runs this next to the peer and
// prints the ratios. Ratios between entries of one run are what to compare (the machines these
// run on are shared).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_problem.h"

namespace {

using Body = void (*)(benchmark::State&, NetSpec const&, unsigned threads, unsigned k);

void run_obj(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned) {
    Problem p = Problem::make(net, threads);
    double J = 0;
    for (auto _ : state) {
        velt_obj(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J);
        benchmark::DoNotOptimize(J);
    }
}

void run_grad(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned) {
    Problem p = Problem::make(net, threads);
    double J = 0;
    std::vector<double> g(p.par.size());
    for (auto _ : state) {
        velt_g(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J, g.data());
        benchmark::DoNotOptimize(g.data());
    }
}

void run_hv(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned k) {
    Problem p = Problem::make(net, threads);
    if (k == 0) k = p.npar();  // the full Hessian: V = identity
    std::vector<double> V;
    if (k == p.npar()) {
        V.assign(std::size_t(k) * k, 0.0);
        for (std::size_t i = 0; i < k; ++i) V[i * (k + 1)] = 1.0;
    } else {
        V = directions(p.par.size(), k);
    }
    std::vector<double> g(p.par.size()), Hv(p.par.size() * k);
    double J = 0;
    for (auto _ : state) {
        velt_Hv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J,
                g.data(), Hv.data());
        benchmark::DoNotOptimize(Hv.data());
    }
}

void run_jv(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned k) {
    Problem p = Problem::make(net, threads);
    const std::vector<double> V = directions(p.par.size(), k);
    std::vector<double> res(p.terms()), Jv(p.terms() * k);
    for (auto _ : state) {
        velt_Jv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout,
                res.data(), Jv.data());
        benchmark::DoNotOptimize(Jv.data());
    }
}

void run_vj(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned m) {
    Problem p = Problem::make(net, threads);
    const std::vector<double> U = directions(p.terms(), m);
    std::vector<double> res(p.terms()), vJ(p.par.size() * m);
    for (auto _ : state) {
        if (m == 1)
            velt_vJ(p.handle, p.par.data(), p.npar(), U.data(), 0, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout,
                    res.data(), vJ.data());
        else
            velt_vJ_vec(p.handle, p.par.data(), p.npar(), U.data(), m, p.X.data(), p.Y.data(), p.rows, p.nin,
                        p.nout, res.data(), vJ.data());
        benchmark::DoNotOptimize(vJ.data());
    }
}

// The whole Jacobian is (rows * nout) x npar values: on M its rows are cut to 512 (90 MB).
NetSpec jacobian_net(NetSpec net) {
    if (net.name[0] == 'M') net.rows = 512;
    return net;
}

void run_jac(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned) {
    Problem p = Problem::make(jacobian_net(net), threads);
    std::vector<double> res(p.terms()), Jac(p.terms() * p.par.size());
    for (auto _ : state) {
        velt_jacobian(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, res.data(),
                      Jac.data());
        benchmark::DoNotOptimize(Jac.data());
    }
}

// The parts of the Jacobian's bound, on its rows: nout gradients (velt_g), and the time to
// write the Jacobian's bytes into the same caller buffer with ordinary stores.
void run_jac_grad(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned) {
    Problem p = Problem::make(jacobian_net(net), threads);
    double J = 0;
    std::vector<double> g(p.par.size());
    for (auto _ : state) {
        velt_g(p.handle, p.par.data(), p.npar(), p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J, g.data());
        benchmark::DoNotOptimize(g.data());
    }
}

void run_jac_fill(benchmark::State& state, NetSpec const& net, unsigned, unsigned) {
    Problem p = Problem::make(jacobian_net(net), 1);
    std::vector<double> Jac(p.terms() * p.par.size());
    double x = 0;
    for (auto _ : state) {
        std::fill(Jac.begin(), Jac.end(), x);
        benchmark::DoNotOptimize(Jac.data());
        benchmark::ClobberMemory();
        x += 1.0;
    }
}

// The route velt_jacobian replaces: velt_Jv with the npar x npar identity as its directions.
void run_jac_identity(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned) {
    Problem p = Problem::make(jacobian_net(net), threads);
    const unsigned k = p.npar();
    std::vector<double> V(std::size_t(k) * k, 0.0), res(p.terms()), Jv(p.terms() * k);
    for (std::size_t i = 0; i < k; ++i) V[i * (k + 1)] = 1.0;
    for (auto _ : state) {
        velt_Jv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout,
                res.data(), Jv.data());
        benchmark::DoNotOptimize(Jv.data());
    }
}

void run_gnv(benchmark::State& state, NetSpec const& net, unsigned threads, unsigned k) {
    Problem p = Problem::make(net, threads);
    const std::vector<double> V = directions(p.par.size(), k);
    std::vector<double> g(p.par.size()), GNv(p.par.size() * k);
    double J = 0;
    for (auto _ : state) {
        velt_GNv(p.handle, p.par.data(), p.npar(), V.data(), k, p.X.data(), p.Y.data(), p.rows, p.nin, p.nout, &J,
                 g.data(), GNv.data());
        benchmark::DoNotOptimize(GNv.data());
    }
}

struct Product {
    const char* name;
    Body body;
    std::vector<unsigned> counts;  // k or m; {0} for none; 0 in hess means k = npar
    const char* nets;              // which of S, I, M, L
};

const std::vector<Product>& products() {
    static const std::vector<Product> list = {
        {"obj", run_obj, {0}, "SIML"},     {"grad", run_grad, {0}, "SIML"},
        {"hv", run_hv, {1, 8, 64}, "SIM"}, {"hv", run_hv, {1}, "L"},
        {"hess", run_hv, {0}, "SI"},       {"jv", run_jv, {1, 8}, "SI"},
        {"jv", run_jv, {1, 8, 64}, "M"},
        {"jv", run_jv, {1}, "L"},          {"vj", run_vj, {1, 8}, "SIM"},
        {"vj", run_vj, {1}, "L"},
        {"jac", run_jac, {0}, "SIM"},      {"jacgrad", run_jac_grad, {0}, "SIM"},
        {"jacfill", run_jac_fill, {0}, "SIM"}, {"jacid", run_jac_identity, {0}, "SIM"},
        {"gnv", run_gnv, {1, 8}, "SIM"},
    };
    return list;
}

void register_all() {
    for (Product const& product : products())
        for (NetSpec const& net : reference_nets()) {
            if (std::string(product.nets).find(net.name[0]) == std::string::npos) continue;
            for (unsigned threads : {1u, 2u})
                for (unsigned k : product.counts) {
                    std::string name = std::string(product.name) + "/" + net.name + "/threads:" + std::to_string(threads);
                    if (k) name += std::string(product.name[0] == 'v' ? "/m:" : "/k:") + std::to_string(k);
                    Body body = product.body;
                    benchmark::RegisterBenchmark(name.c_str(),
                                                 [body, net, threads, k](benchmark::State& s) { body(s, net, threads, k); })
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime();
                }
        }
}

}  // namespace

int main(int argc, char** argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
