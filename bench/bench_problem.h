// The reference networks of the benchmarks and a reproducible problem (parameters, inputs,
// targets) for each.
#pragma once

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "veltn.h"

struct NetSpec {
    const char* name;
    const char* description;
    unsigned rows;
};

// S, I, M, L: the four reference networks, from tiny to large.
inline const std::vector<NetSpec>& reference_nets() {
    static const std::vector<NetSpec> nets = {
        {"S", "3 1 3 1 16 3 8 8 softplus sum", 100},
        {"I", "8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", 1000},
        {"M", "16 4 3 1 32 16 64 64 softplus sum_log_dnorm_fat", 4096},
        {"L", "64 8 4 1 32 64 256 256 256 atan sum_log_dnorm_fat", 32768},
    };
    return nets;
}

struct Problem {
    void* handle = nullptr;
    unsigned rows = 0, nin = 0, nout = 0;
    std::vector<double> par, X, Y;

    unsigned npar() const { return static_cast<unsigned>(par.size()); }
    std::size_t terms() const { return std::size_t(rows) * nout; }

    static Problem make(NetSpec const& net, unsigned threads, unsigned seed = 7) {
        Problem p;
        p.handle = initVELTNet(net.description, static_cast<int>(std::strlen(net.description)));
        p.rows = net.rows;
        p.nin = velt_numin(p.handle);
        p.nout = velt_numout(p.handle);
        velt_setpar(p.handle, threads, 32);
        std::mt19937_64 rng(seed);
        std::normal_distribution<double> g(0.0, 1.0);
        p.par.resize(velt_numel(p.handle));
        const double scale = 1.0 / std::sqrt(double(p.nin) * 4.0);
        for (double& v : p.par) v = scale * g(rng);
        p.X.resize(std::size_t(p.rows) * p.nin);
        for (double& v : p.X) v = g(rng);
        p.Y.resize(p.terms());
        for (double& v : p.Y) v = 0.5 * g(rng);
        return p;
    }
    Problem() = default;
    Problem(Problem&& o) noexcept { *this = std::move(o); }
    Problem& operator=(Problem&& o) noexcept {
        std::swap(handle, o.handle);
        rows = o.rows, nin = o.nin, nout = o.nout;
        par.swap(o.par), X.swap(o.X), Y.swap(o.Y);
        return *this;
    }
    ~Problem() { releaseVELTNet(handle); }
};

// k directions (or weight vectors) of n entries, deterministic and not sparse.
inline std::vector<double> directions(std::size_t n, unsigned k) {
    std::vector<double> V(n * k);
    for (std::size_t i = 0; i < V.size(); ++i) V[i] = std::sin(0.37 * double(i) + 1.0);
    return V;
}
