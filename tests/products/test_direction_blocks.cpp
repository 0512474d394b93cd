// What the block layout of the tangents can break: direction counts at the edges of a block of
// directions (up to the full Hessian, which runs in several blocks), and a thread's workspace
// reused by calls of other products, row and direction counts on one handle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/fd.h"
#include "support/problem.h"

namespace {

const char* const kNet = "3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat";  // 113 parameters

// k directions of n entries, direction-major, from seed.
std::vector<double> directions(unsigned n, unsigned k, unsigned seed) { return random_vector(std::size_t(n) * k, seed); }

// velt_Hv's k products (or velt_GNv's, which takes the same arguments), direction-major, for the
// direction-major V (stored in the given layout).
std::vector<double> hessian_products(DataProblem const& p, std::vector<double> const& V, unsigned k, int rowmajor,
                                     void* h = nullptr, decltype(&velt_Hv) product = &velt_Hv) {
    const unsigned n = p.nw();
    std::vector<double> in(V.size()), out(std::size_t(n) * k), g(n), res(out.size());
    for (unsigned d = 0; d < k; ++d)
        for (unsigned i = 0; i < n; ++i) in[rowmajor ? std::size_t(d) * n + i : std::size_t(i) * k + d] = V[std::size_t(d) * n + i];
    velt_major(nullptr, rowmajor);
    double J = 0;
    EXPECT_EQ(product(h ? h : p.net.h, p.w.data(), n, in.data(), k, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(), &J,
                      g.data(), out.data()),
              0);
    velt_major(nullptr, 0);
    for (unsigned d = 0; d < k; ++d)
        for (unsigned i = 0; i < n; ++i) res[std::size_t(d) * n + i] = out[rowmajor ? std::size_t(d) * n + i : std::size_t(i) * k + d];
    return res;
}

// velt_Jv's k products, direction-major, for the direction-major V (stored in the given layout);
// res receives the terms.
std::vector<double> jacobian_products(DataProblem const& p, std::vector<double> const& V, unsigned k, void* h = nullptr,
                                      int rowmajor = 1, std::vector<double>* res = nullptr) {
    const unsigned n = p.nw();
    const std::size_t E = p.terms();
    std::vector<double> in(V.size()), terms(E), out(E * k), got(out.size());
    for (std::size_t j = 0; j < V.size(); ++j) in[rowmajor ? j : j % n * k + j / n] = V[j];
    velt_major(nullptr, rowmajor);
    EXPECT_EQ(velt_Jv(h ? h : p.net.h, p.w.data(), n, in.data(), k, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                      terms.data(), out.data()),
              0);
    velt_major(nullptr, 0);
    for (std::size_t j = 0; j < out.size(); ++j) got[j] = out[rowmajor ? j : j % E * k + j / E];
    if (res) *res = terms;
    return got;
}

class DirectionBlockEdges : public ::testing::TestWithParam<unsigned> {};

// Hv against central differences of the gradient, Jv of the same directions against central
// differences of the terms (written once, whatever the blocks).
TEST_P(DirectionBlockEdges, EveryDirectionMatchesFiniteDifferencesOfTheGradient) {
    DataProblem p(kNet, 40, 3, 0.5, 71);  // 40 rows: a full batch and a short one
    const unsigned n = p.nw(), k = GetParam() ? GetParam() : n;
    std::vector<double> V = directions(n, k, 72);
    if (k == n) {  // the full Hessian
        V.assign(std::size_t(n) * n, 0.0);
        for (unsigned i = 0; i < n; ++i) V[std::size_t(i) * n + i] = 1.0;
    }
    const int rowmajor = int(k % 2);
    const std::vector<double> H = hessian_products(p, V, k, rowmajor);
    const std::size_t E = p.terms();
    std::vector<double> terms;
    const std::vector<double> Jv = jacobian_products(p, V, k, nullptr, rowmajor, &terms);
    EXPECT_EQ(terms, p.objv(p.w));
    for (unsigned d = 0; d < k; ++d) {
        const std::vector<double> v(V.begin() + std::ptrdiff_t(d) * n, V.begin() + std::ptrdiff_t(d + 1) * n);
        const std::vector<double> want = fd::jvp([&](std::vector<double> const& x) { return p.grad(x); }, p.w, v);
        const std::vector<double> got(H.begin() + std::ptrdiff_t(d) * n, H.begin() + std::ptrdiff_t(d + 1) * n);
        SCOPED_TRACE("k " + std::to_string(k) + " direction " + std::to_string(d));
        EXPECT_FD_NEAR(got, want);
        const std::vector<double> jv(Jv.begin() + std::ptrdiff_t(d * E), Jv.begin() + std::ptrdiff_t((d + 1) * E));
        EXPECT_FD_NEAR(jv, fd::jvp([&](std::vector<double> const& x) { return p.objv(x); }, p.w, v));
    }
    // The same bits from run to run.
    const std::vector<double> again = hessian_products(p, V, k, rowmajor);
    EXPECT_EQ(std::memcmp(H.data(), again.data(), H.size() * sizeof(double)), 0);
}

// 0 stands for the parameter count (113). At 40 rows a block holds 56 directions.
INSTANTIATE_TEST_SUITE_P(Counts, DirectionBlockEdges, ::testing::Values(1u, 31u, 32u, 33u, 56u, 57u, 64u, 65u, 0u));

TEST(DirectionBlocks, WorkspaceReusedAcrossProductsRowAndDirectionCounts) {
    // One handle called with changing products, rows and directions; each result must equal that
    // of a fresh handle (a fresh workspace) bit for bit, and the first also the finite differences.
    struct Call {
        unsigned rows, k;
        const char* product;
    };
    const Call calls[] = {{40, 8, "Hv"},    {100, 65, "Hv"}, {7, 1, "Hv"},     {40, 8, "Jv"},
                          {40, 130, "GNv"}, {40, 8, "Hv"},   {100, 33, "Jv"},  {3, 64, "Hv"},
                          {40, 8, "GNv"},   {100, 130, "Jv"}, {40, 8, "Hv"}};
    Net shared(kNet);
    for (Call const& c : calls) {
        const DataProblem fresh(kNet, c.rows, 3, 0.5, 81);
        const std::vector<double> V = directions(fresh.nw(), c.k, 82 + c.k);
        SCOPED_TRACE(std::string(c.product) + " rows " + std::to_string(c.rows) + " k " + std::to_string(c.k));
        const std::string product = c.product;
        auto run = [&](void* h) {
            if (product == "Jv") return jacobian_products(fresh, V, c.k, h);
            return hessian_products(fresh, V, c.k, 0, h, product == "GNv" ? &velt_GNv : &velt_Hv);
        };
        const std::vector<double> got = run(shared.h), want = run(nullptr);
        ASSERT_EQ(got.size(), want.size());
        EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(double)), 0);
        if (&c == &calls[0]) {
            const std::vector<double> v(V.begin(), V.begin() + fresh.nw());
            const std::vector<double> fd_h =
                fd::jvp([&](std::vector<double> const& x) { return fresh.grad(x); }, fresh.w, v);
            EXPECT_FD_NEAR(std::vector<double>(got.begin(), got.begin() + fresh.nw()), fd_h);
        }
    }
}

}  // namespace
