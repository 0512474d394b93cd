// "sum_sq" and "sum_pseudo_huber" through the C interface on a network of each activation: the
// gradient against central differences of the objective, Hv against central differences of the
// gradient, Jv against vJ by the adjoint identity u.(Jv) = (U^T J).v, vJ_vec against vJ, and
// velt_norm / velt_logp against the closed-form terms.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/fd.h"
#include "support/problem.h"

namespace {

struct Case {
    std::string act, norm;
};

std::string name_of(Case const& c) { return c.act + "_" + c.norm; }

class SmoothNormProducts : public ::testing::TestWithParam<Case> {};

// Targets scaled up so that residuals reach the pseudo-Huber tails.
struct Problem : DataProblem {
    explicit Problem(Case const& c)
        : DataProblem("3 2 3 1 16 3 5 4 " + c.act + " " + c.norm, 23, 3, 0.5, 71) {
        for (double& y : Y) y *= 6.0;
    }
    double obj(std::vector<double> const& p) const {
        double J = 0;
        EXPECT_EQ(velt_obj(net.h, p.data(), nw(), X.data(), Y.data(), R, C, net.nout(), &J), 0);
        return J;
    }
};

}  // namespace

TEST_P(SmoothNormProducts, GradientAndHessianVectorMatchCentralDifferences) {
    Problem p(GetParam());
    ASSERT_NE(p.net.h, nullptr);
    ASSERT_EQ(velt_setpar(p.net.h, 2, 8), 0);  // batches on two threads
    double J = 0;
    const auto g = p.grad(p.w, &J);
    EXPECT_NEAR(J, p.obj(p.w), 1e-13 * std::fabs(J));
    EXPECT_FD_NEAR(g, fd::gradient([&](std::vector<double> const& q) { return p.obj(q); }, p.w));

    const unsigned n = p.nw(), k = 2;
    const auto v0 = random_vector(n, 81), v1 = random_vector(n, 82);
    std::vector<double> V(std::size_t(k) * n), Hv(std::size_t(k) * n), gh(n);
    for (unsigned i = 0; i < n; ++i) {
        V[i * k] = v0[i];
        V[i * k + 1] = v1[i];
    }
    double Jh = 0;
    ASSERT_EQ(velt_Hv(p.net.h, p.w.data(), n, V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(), &Jh,
                      gh.data(), Hv.data()),
              0);
    EXPECT_NEAR(Jh, J, 1e-13 * std::fabs(J));
    for (unsigned i = 0; i < n; ++i) EXPECT_NEAR(gh[i], g[i], 1e-12 * (1 + std::fabs(g[i]))) << i;
    const auto G = [&](std::vector<double> const& q) { return p.grad(q); };
    std::vector<double> h0(n), h1(n);
    for (unsigned i = 0; i < n; ++i) {
        h0[i] = Hv[i * k];
        h1[i] = Hv[i * k + 1];
    }
    EXPECT_FD_NEAR(h0, fd::jvp(G, p.w, v0));
    EXPECT_FD_NEAR(h1, fd::jvp(G, p.w, v1));
    // Symmetry of an exact Hessian: v1.(H v0) = v0.(H v1).
    EXPECT_NEAR(dot(v1, h0), dot(v0, h1), 1e-10 * (1 + std::fabs(dot(v1, h0))));
}

TEST_P(SmoothNormProducts, JacobianVectorAndVectorJacobianSatisfyTheAdjointIdentity) {
    Problem p(GetParam());
    ASSERT_NE(p.net.h, nullptr);
    const unsigned n = p.nw(), m = unsigned(p.terms());
    const auto v = random_vector(n, 91);
    const auto U = random_vector(m, 92), U2 = random_vector(m, 93);
    std::vector<double> res(m), Jv(m), res2(m), vJ(n);
    ASSERT_EQ(velt_Jv(p.net.h, p.w.data(), n, v.data(), 1, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(), res.data(),
                      Jv.data()),
              0);
    ASSERT_EQ(velt_vJ(p.net.h, p.w.data(), n, U.data(), 1, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                      res2.data(), vJ.data()),
              0);
    EXPECT_EQ(res, res2);
    EXPECT_EQ(res, p.objv(p.w));
    const double lhs = dot(U, Jv), rhs = dot(vJ, v);
    EXPECT_NEAR(lhs, rhs, 1e-11 * (std::fabs(lhs) + std::fabs(rhs) + 1));
    // Jv is also the derivative of the terms along v.
    EXPECT_FD_NEAR(Jv, fd::jvp([&](std::vector<double> const& q) { return p.objv(q); }, p.w, v));

    // vJ_vec with two weight vectors equals two separate vJ.
    std::vector<double> UU(U);
    UU.insert(UU.end(), U2.begin(), U2.end());
    std::vector<double> res3(m), vJ2(2 * std::size_t(n)), single(n);
    ASSERT_EQ(velt_vJ_vec(p.net.h, p.w.data(), n, UU.data(), 2, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                          res3.data(), vJ2.data()),
              0);
    ASSERT_EQ(velt_vJ(p.net.h, p.w.data(), n, U2.data(), 1, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                      res2.data(), single.data()),
              0);
    for (unsigned i = 0; i < n; ++i) {
        EXPECT_NEAR(vJ2[i], vJ[i], 1e-12 * (1 + std::fabs(vJ[i])));
        EXPECT_NEAR(vJ2[n + i], single[i], 1e-12 * (1 + std::fabs(single[i])));
    }
}

TEST_P(SmoothNormProducts, NormAndLogpGiveTheTerms) {
    Problem p(GetParam());
    ASSERT_NE(p.net.h, nullptr);
    const bool sq = GetParam().norm == "sum_sq";
    const std::vector<double> r = {0.0, 0.75, -2.4, 1e-9, 3.0, -1e10};
    std::vector<double> want(r.size()), got(r.size());
    double mean = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        want[i] = sq ? 0.5 * r[i] * r[i] : std::expm1(0.5 * std::log1p(r[i] * r[i]));
        mean += want[i] / double(r.size());
    }
    ASSERT_EQ(velt_logp(p.net.h, r.data(), uint32_t(r.size()), got.data()), 0);
    for (std::size_t i = 0; i < r.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-15 * std::fabs(want[i])) << r[i];
    double norm = 0;
    ASSERT_EQ(velt_norm(p.net.h, r.data(), 2, 3, &norm), 0);
    EXPECT_NEAR(norm, mean, 1e-15 * mean);
}

INSTANTIATE_TEST_SUITE_P(EachActivation, SmoothNormProducts,
                         ::testing::Values(Case{"id", "sum_sq"}, Case{"relu", "sum_sq"}, Case{"atan", "sum_sq"},
                                           Case{"softplus", "sum_sq"}, Case{"softplus_shifted", "sum_sq"},
                                           Case{"id", "sum_pseudo_huber"}, Case{"relu", "sum_pseudo_huber"},
                                           Case{"atan", "sum_pseudo_huber"}, Case{"softplus", "sum_pseudo_huber"},
                                           Case{"softplus_shifted", "sum_pseudo_huber"}),
                         [](auto const& info) { return name_of(info.param); });
