// Jacobian-vector products against central finite differences of the per-element terms, and
// the adjoint identity u.(J v) = (u^T J).v against the reverse pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fd.h"
#include "support/problem.h"

namespace {

struct Problem : DataProblem {
    Problem(std::string const& d, unsigned rows, unsigned cols, double scale) : DataProblem(d, rows, cols, scale, 81) {}

    // The k products direction-major, whatever the flag; res receives the terms.
    std::vector<std::vector<double>> jv(std::vector<std::vector<double>> const& dirs, std::vector<double>* res,
                                        int rowmajor = 0) const {
        const unsigned k = unsigned(dirs.size()), n = nw();
        const std::size_t E = terms();
        std::vector<double> V(std::size_t(k) * n), out(k * E, -1.0), r(E, -1.0);
        for (unsigned d = 0; d < k; ++d)
            for (unsigned i = 0; i < n; ++i) V[rowmajor ? d * n + i : i * k + d] = dirs[d][i];
        velt_major(nullptr, rowmajor);
        EXPECT_EQ(velt_Jv(net.h, w.data(), n, V.data(), k, X.data(), Y.data(), R, C, net.nout(), r.data(), out.data()),
                  0);
        velt_major(nullptr, 0);
        std::vector<std::vector<double>> prod(k, std::vector<double>(E));
        for (unsigned d = 0; d < k; ++d)
            for (std::size_t e = 0; e < E; ++e) prod[d][e] = out[rowmajor ? d * E + e : e * k + d];
        if (res) *res = r;
        return prod;
    }
};

struct Case {
    std::string description;
    unsigned rows, cols, threads, batch;
};

class JacobianVectorFd : public ::testing::TestWithParam<Case> {};

TEST_P(JacobianVectorFd, MatchesFiniteDifferencesAndTheAdjointIdentity) {
    const Case c = GetParam();
    Problem p(c.description, c.rows, c.cols, 0.3);
    ASSERT_EQ(velt_setpar(p.net.h, c.threads, int(c.batch)), 0);
    const std::vector<std::vector<double>> dirs = {random_vector(p.nw(), 91), random_vector(p.nw(), 92)};
    std::vector<double> res;
    const auto Jv = p.jv(dirs, &res);
    EXPECT_EQ(res, p.objv(p.w));
    const auto f = [&](std::vector<double> const& q) { return p.objv(q); };
    for (std::size_t d = 0; d < dirs.size(); ++d) EXPECT_FD_NEAR(Jv[d], fd::jvp(f, p.w, dirs[d]));
    // u.(J v) against (u^T J).v from the reverse pass.
    const std::vector<double> u = random_vector(p.terms(), 93);
    std::vector<double> r2(p.terms()), uJ(p.nw());
    ASSERT_EQ(velt_vJ(p.net.h, p.w.data(), p.nw(), u.data(), 0, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                      r2.data(), uJ.data()),
              0);
    for (std::size_t d = 0; d < dirs.size(); ++d) {
        const double a = dot(u, Jv[d]), b = dot(uJ, dirs[d]);
        EXPECT_NEAR(a, b, 1e-11 * (1 + std::fabs(b)));
    }
}

INSTANTIATE_TEST_SUITE_P(Networks, JacobianVectorFd,
                         ::testing::Values(Case{"3 1 3 1 16 3 5 4 softplus sum", 7, 3, 1, 32},
                                           Case{"3 2 3 2 16 3 4 3 atan sum_log_dnorm_fat", 70, 2, 2, 32},
                                           Case{"4 2 3 1 16 4 5 3 relu sum_log_dnorm_fat", 1, 4, 1, 32},
                                           Case{"2 1 3 1 16 2 4 3 softplus_shifted sum", 33, 2, 2, 4}),
                         [](auto const& info) { return "net" + std::to_string(info.index); });

TEST(JacobianVector, BatchedEqualsSingleBlockInBothLayouts) {
    Problem p("4 2 3 1 16 4 6 5 softplus sum_log_dnorm_fat", 70, 4, 0.3);
    const std::vector<std::vector<double>> dirs = {random_vector(p.nw(), 1), random_vector(p.nw(), 2),
                                                   random_vector(p.nw(), 3)};
    ASSERT_EQ(velt_setpar(p.net.h, 1, 1000), 0);
    std::vector<double> r1, r2;
    const auto single = p.jv(dirs, &r1, 0);
    ASSERT_EQ(velt_setpar(p.net.h, 2, 32), 0);
    const auto batched = p.jv(dirs, &r2, 1);
    EXPECT_EQ(r1, r2);  // each element comes from the same rows either way
    for (std::size_t d = 0; d < dirs.size(); ++d)
        for (std::size_t e = 0; e < p.terms(); ++e)
            EXPECT_NEAR(batched[d][e], single[d][e], 1e-14 * (1 + std::fabs(single[d][e])));
}

// Every real network has at least four parameters, so nw = 1 only reaches the seeding through
// a caller that passes too few parameters: refused before anything is seeded.
TEST(JacobianVector, ParameterCountBelowTheNetworkIsRefused) {
    Problem p("1 1 2 1 16 1 1 id sum", 3, 1, 0.5);
    ASSERT_EQ(p.nw(), 4u);
    const double V = 7.0;
    std::vector<double> res(3, -1.0), out(3, -1.0);
    EXPECT_EQ(velt_Jv(p.net.h, p.w.data(), 1, &V, 1, p.X.data(), p.Y.data(), 3, 1, 1, res.data(), out.data()), -1);
    EXPECT_EQ(res, std::vector<double>(3, -1.0));
}

TEST(JacobianVector, ZeroDirectionsWriteTheTermsAndTraceIsOneLine) {
    Problem p("3 1 3 1 16 3 4 4 softplus sum", 5, 3, 0.5);
    std::vector<double> res(p.terms(), -1.0);
    unsetenv("NN_TRACE");
    {
        CaptureFd out(1);
        ASSERT_EQ(velt_Jv(p.net.h, p.w.data(), p.nw(), nullptr, 0, p.X.data(), p.Y.data(), p.R, p.C, 1, res.data(),
                          nullptr),
                  0);
        EXPECT_EQ(out.text(), "");
    }
    EXPECT_EQ(res, p.objv(p.w));
    setenv("NN_TRACE", "1", 1);
    {
        CaptureFd out(1);
        p.jv({random_vector(p.nw(), 4)}, nullptr);
        const std::string text = out.text();
        EXPECT_EQ(text.rfind("J = ", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    }
    unsetenv("NN_TRACE");
}

}  // namespace
