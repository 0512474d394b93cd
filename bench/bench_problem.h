// A reproducible problem (network, parameters, inputs, targets) for the benchmarks.
#pragma once

#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "veltn.h"

constexpr const char* kMediumNet = "16 4 3 1 32 16 64 64 softplus sum_log_dnorm_fat";
constexpr const char* kLargeNet = "64 8 4 1 32 64 256 256 256 atan sum_log_dnorm_fat";

struct Problem {
    void* handle = nullptr;
    unsigned rows = 0, nin = 0, nout = 0;
    std::vector<double> par, X, Y;

    unsigned npar() const { return static_cast<unsigned>(par.size()); }

    static Problem make(const char* description, unsigned rows, unsigned threads, unsigned seed = 7) {
        Problem p;
        p.handle = initVELTNet(description, static_cast<int>(std::strlen(description)));
        p.rows = rows;
        p.nin = velt_numin(p.handle);
        p.nout = velt_numout(p.handle);
        velt_setpar(p.handle, threads, 32);
        std::mt19937_64 rng(seed);
        std::normal_distribution<double> g(0.0, 1.0);
        p.par.resize(velt_numel(p.handle));
        const double scale = 1.0 / std::sqrt(double(p.nin) * 4.0);
        for (double& v : p.par) v = scale * g(rng);
        p.X.resize(size_t(rows) * p.nin);
        for (double& v : p.X) v = g(rng);
        p.Y.resize(size_t(rows) * p.nout);
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
