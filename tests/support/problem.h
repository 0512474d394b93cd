// A network with reproducible inputs, targets and parameters, and the plain evaluations the
// derivative tests compare against.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/net.h"

struct DataProblem {
    Net net;
    unsigned R, C;
    std::vector<double> X, Y, w;

    // Inputs, targets (scaled 0.3) and parameters (scaled `scale`) from seeds seed, seed + 1, seed + 2.
    DataProblem(std::string const& d, unsigned rows, unsigned cols, double scale, unsigned seed)
        : net(d), R(rows), C(cols), X(random_vector(std::size_t(rows) * cols, seed)),
          Y(random_vector(std::size_t(rows) * net.nout(), seed + 1, 0.3)),
          w(random_vector(net.numel(), seed + 2, scale)) {}

    unsigned nw() const { return unsigned(w.size()); }
    std::size_t terms() const { return std::size_t(R) * net.nout(); }

    // The per-element objective terms at parameters p.
    std::vector<double> objv(std::vector<double> const& p) const {
        std::vector<double> out(terms());
        EXPECT_EQ(velt_objv(net.h, p.data(), unsigned(p.size()), X.data(), Y.data(), R, C, net.nout(), out.data()), 0);
        return out;
    }

    // The gradient at parameters p (and the objective into *J).
    std::vector<double> grad(std::vector<double> const& p, double* J = nullptr) const {
        std::vector<double> g(p.size());
        double j = 0;
        EXPECT_EQ(velt_g(net.h, p.data(), unsigned(p.size()), X.data(), Y.data(), R, C, net.nout(), &j, g.data()), 0);
        if (J) *J = j;
        return g;
    }
};

inline double dot(std::vector<double> const& a, std::vector<double> const& b) {
    double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}
