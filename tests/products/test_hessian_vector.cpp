// Hessian-vector products against central finite differences of the gradient, and the
// properties an exact Hessian has (symmetry, linearity in the direction, agreement with velt_g).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fd.h"
#include "support/problem.h"

namespace {

struct Problem : DataProblem {
    Problem(std::string const& d, unsigned rows, unsigned cols, double scale) : DataProblem(d, rows, cols, scale, 51) {}

    // Returns the k products, direction-major, whatever the storage flag.
    std::vector<std::vector<double>> hv(std::vector<std::vector<double>> const& dirs, double* J = nullptr,
                                        std::vector<double>* g = nullptr, int rowmajor = 0) const {
        const unsigned k = unsigned(dirs.size()), n = nw();
        std::vector<double> V(std::size_t(k) * n), out(std::size_t(k) * n, -1.0), gg(n);
        for (unsigned d = 0; d < k; ++d)
            for (unsigned i = 0; i < n; ++i) V[rowmajor ? d * n + i : i * k + d] = dirs[d][i];
        velt_major(nullptr, rowmajor);
        double j = 0;
        EXPECT_EQ(velt_Hv(net.h, w.data(), n, V.data(), k, X.data(), Y.data(), R, C, net.nout(), &j, gg.data(),
                          out.data()),
                  0);
        velt_major(nullptr, 0);
        std::vector<std::vector<double>> res(k, std::vector<double>(n));
        for (unsigned d = 0; d < k; ++d)
            for (unsigned i = 0; i < n; ++i) res[d][i] = out[rowmajor ? d * n + i : i * k + d];
        if (J) *J = j;
        if (g) *g = gg;
        return res;
    }
};

struct Case {
    std::string description;
    unsigned rows, cols, threads, batch;
    double scale;
};

class HessianVectorFd : public ::testing::TestWithParam<Case> {};

TEST_P(HessianVectorFd, EachProductMatchesFiniteDifferencesOfTheGradient) {
    const Case c = GetParam();
    Problem p(c.description, c.rows, c.cols, c.scale);
    ASSERT_EQ(velt_setpar(p.net.h, c.threads, int(c.batch)), 0);
    const std::vector<std::vector<double>> dirs = {random_vector(p.nw(), 61), random_vector(p.nw(), 62),
                                                   random_vector(p.nw(), 63)};
    double J = 0, Jg = 0;
    std::vector<double> g;
    const auto H = p.hv(dirs, &J, &g);
    const std::vector<double> g_ref = p.grad(p.w, &Jg);
    EXPECT_NEAR(J, Jg, 1e-13 * (1 + std::fabs(Jg)));
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(g[i], g_ref[i], 1e-12 * (1 + std::fabs(g_ref[i]))) << i;
    const auto G = [&](std::vector<double> const& q) { return p.grad(q); };
    for (std::size_t d = 0; d < dirs.size(); ++d) EXPECT_FD_NEAR(H[d], fd::jvp(G, p.w, dirs[d]));
}

INSTANTIATE_TEST_SUITE_P(
    Networks, HessianVectorFd,
    ::testing::Values(Case{"3 1 3 1 16 3 5 4 softplus sum", 9, 3, 1, 32, 0.5},
                      Case{"3 2 3 1 16 3 5 4 atan sum_log_dnorm_fat", 40, 2, 2, 8, 0.3},  // C < sizes[0]
                      Case{"2 2 3 2 16 3 4 3 softplus_shifted sum_log_dnorm_fat", 1, 2, 1, 32, 0.3},
                      Case{"4 1 3 1 16 4 6 4 relu sum_log_dnorm_fat", 70, 4, 2, 32, 0.3},
                      Case{"3 2 3 2 16 3 4 3 id sum_log_dnorm_fat", 23, 3, 2, 5, 0.3},
                      Case{"3 2 4 3 8 3 5 2 3 softplus sum_log_dnorm_fat", 29, 3, 2, 8, 0.3}),  // three runs
    [](auto const& info) { return "net" + std::to_string(info.index); });

TEST(HessianVector, IdentityDirectionsGiveTheFullSymmetricHessian) {
    Problem p("2 1 3 1 16 2 4 3 softplus sum_log_dnorm_fat", 30, 2, 0.4);
    ASSERT_EQ(velt_setpar(p.net.h, 2, 8), 0);
    const unsigned n = p.nw();
    std::vector<std::vector<double>> I(n, std::vector<double>(n, 0.0));
    for (unsigned i = 0; i < n; ++i) I[i][i] = 1.0;
    const auto H = p.hv(I);
    for (unsigned i = 0; i < n; ++i)
        for (unsigned j = 0; j < i; ++j) EXPECT_NEAR(H[i][j], H[j][i], 1e-10 * (1 + std::fabs(H[i][j])));
    // Column i of the Hessian is the product with e_i, computed alone.
    const auto col = p.hv({I[5]});
    for (unsigned j = 0; j < n; ++j) EXPECT_NEAR(col[0][j], H[5][j], 1e-12 * (1 + std::fabs(H[5][j])));
}

TEST(HessianVector, BothStorageOrdersAgreeAndTheFlagIsProcessWide) {
    Problem p("3 2 3 1 16 3 4 3 softplus sum", 10, 3, 0.5);
    const std::vector<std::vector<double>> dirs = {random_vector(p.nw(), 71), random_vector(p.nw(), 72)};
    const auto a = p.hv(dirs, nullptr, nullptr, 0);
    const auto b = p.hv(dirs, nullptr, nullptr, 1);
    EXPECT_EQ(a, b);
    EXPECT_EQ(velt_major(nullptr, 1), 0);
    EXPECT_EQ(veltn_rowmajor, 1);
    EXPECT_EQ(velt_major(p.net.h, 0), 0);
    EXPECT_EQ(veltn_rowmajor, 0);
}

TEST(HessianVector, ZeroDirectionsStillGiveTheObjectiveAndGradient) {
    Problem p("3 1 3 1 16 3 4 4 atan sum", 6, 3, 0.5);
    double J = 0, Jg = 0;
    std::vector<double> g(p.nw());
    ASSERT_EQ(velt_Hv(p.net.h, p.w.data(), p.nw(), nullptr, 0, p.X.data(), p.Y.data(), p.R, p.C, 1, &J, g.data(),
                      nullptr),
              0);
    const std::vector<double> g_ref = p.grad(p.w, &Jg);
    EXPECT_DOUBLE_EQ(J, Jg);
    for (std::size_t i = 0; i < g.size(); ++i) EXPECT_NEAR(g[i], g_ref[i], 1e-13 * (1 + std::fabs(g_ref[i])));
}

TEST(HessianVector, RefusesWhatTheGradientRefuses) {
    Problem p("3 1 3 1 16 3 4 4 softplus sum", 4, 3, 0.5);
    std::vector<double> g(p.nw(), 5.0), H(p.nw(), 5.0), V(p.nw(), 1.0);
    double J = 5.0;
    const unsigned n = p.nw();
    EXPECT_EQ(velt_Hv(nullptr, p.w.data(), n, V.data(), 1, p.X.data(), p.Y.data(), 4, 3, 1, &J, g.data(), H.data()), -1);
    EXPECT_EQ(velt_Hv(p.net.h, p.w.data(), n - 1, V.data(), 1, p.X.data(), p.Y.data(), 4, 3, 1, &J, g.data(), H.data()), -1);
    EXPECT_EQ(velt_Hv(p.net.h, p.w.data(), n, V.data(), 1, p.X.data(), p.Y.data(), 4, 3, 2, &J, g.data(), H.data()), -1);
    EXPECT_EQ(velt_Hv(p.net.h, p.w.data(), n, V.data(), 1, p.X.data(), p.Y.data(), 0, 3, 1, &J, g.data(), H.data()), -1);
    EXPECT_EQ(velt_Hv(p.net.h, p.w.data(), n, V.data(), 1, p.X.data(), p.Y.data(), 4, 3, 1, &J, g.data(), nullptr), -1);
    {
        CaptureFd err(2);
        EXPECT_EQ(velt_Hv(p.net.h, p.w.data(), n, V.data(), 1, p.X.data(), p.Y.data(), 1, 4, 1, &J, g.data(), H.data()),
                  -1);
        EXPECT_EQ(err.text(), "too many predicates: 4 > 3\n");
    }
    EXPECT_EQ(J, 5.0);
    EXPECT_EQ(g, std::vector<double>(n, 5.0));
    EXPECT_EQ(H, std::vector<double>(n, 5.0));
    std::vector<double> X = p.X;
    X[2] = 1.0 / 0.0;
    EXPECT_EQ(velt_Hv(p.net.h, p.w.data(), n, V.data(), 1, X.data(), p.Y.data(), 4, 3, 1, &J, g.data(), H.data()), -2);
}

// A null X, Y, w or V is read as zeros: the same as passing zeros.
TEST(HessianVector, NullInputsReadAsZeros) {
    Problem p("3 1 3 1 16 3 4 4 softplus sum_log_dnorm_fat", 4, 3, 0.5);
    const unsigned n = p.nw();
    const std::vector<double> zw(n, 0.0), zX(12, 0.0), zY(4, 0.0), zV(2 * n, 0.0);
    std::vector<double> g1(n), g2(n), H1(2 * n), H2(2 * n);
    double J1 = 1, J2 = 2;
    ASSERT_EQ(velt_Hv(p.net.h, nullptr, n, nullptr, 2, nullptr, nullptr, 4, 3, 1, &J1, g1.data(), H1.data()), 0);
    ASSERT_EQ(velt_Hv(p.net.h, zw.data(), n, zV.data(), 2, zX.data(), zY.data(), 4, 3, 1, &J2, g2.data(), H2.data()), 0);
    EXPECT_EQ(J1, J2);
    EXPECT_EQ(g1, g2);
    EXPECT_EQ(H1, H2);
}

}  // namespace
