// Vector-Jacobian products against finite differences of the weighted per-element terms, and
// the many-vector form against the single-vector one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fd.h"
#include "support/problem.h"

namespace {

struct Problem : DataProblem {
    Problem(std::string const& d, unsigned rows, unsigned cols, double scale) : DataProblem(d, rows, cols, scale, 21) {}

    int vJ(std::vector<double> const& U, std::vector<double>& res, std::vector<double>& g) const {
        res.assign(terms(), -1.0);
        g.assign(w.size(), -1.0);
        return velt_vJ(net.h, w.data(), unsigned(w.size()), U.data(), 12345, X.data(), Y.data(), R, C, net.nout(),
                       res.data(), g.data());
    }
};

struct Case {
    std::string description;
    unsigned rows, cols, threads, batch;
};

class VectorJacobianFd : public ::testing::TestWithParam<Case> {};

TEST_P(VectorJacobianFd, MatchesFiniteDifferencesOfTheWeightedTerms) {
    const Case c = GetParam();
    Problem p(c.description, c.rows, c.cols, 0.3);
    ASSERT_EQ(velt_setpar(p.net.h, c.threads, int(c.batch)), 0);
    const std::vector<double> U = random_vector(p.terms(), 31);
    std::vector<double> res, g;
    ASSERT_EQ(p.vJ(U, res, g), 0);
    EXPECT_EQ(res, p.objv(p.w));  // the terms themselves, bit for bit
    const auto f = [&](std::vector<double> const& w) { return dot(U, p.objv(w)); };
    EXPECT_FD_NEAR(g, fd::gradient(f, p.w));
}

INSTANTIATE_TEST_SUITE_P(Networks, VectorJacobianFd,
                         ::testing::Values(Case{"3 2 3 1 16 3 6 4 softplus sum", 9, 3, 1, 32},
                                           Case{"3 2 3 2 16 3 4 3 atan sum_log_dnorm_fat", 40, 2, 2, 8},
                                           Case{"4 1 3 1 16 4 5 4 relu sum_log_dnorm_fat", 70, 4, 2, 32},
                                           Case{"2 3 2 1 16 2 3 id sum", 1, 2, 1, 32}),
                         [](auto const& info) { return "net" + std::to_string(info.index); });

TEST(VectorJacobianVec, EachRowEqualsTheSingleVectorProduct) {
    Problem p("4 2 3 1 16 4 6 5 softplus sum_log_dnorm_fat", 50, 4, 0.3);
    const unsigned m = 3;
    const std::vector<double> U = random_vector(m * p.terms(), 41);
    for (unsigned threads : {1u, 2u}) {
        ASSERT_EQ(velt_setpar(p.net.h, threads, 16), 0);
        std::vector<double> res(p.terms()), vJ(m * p.w.size(), -1.0);
        ASSERT_EQ(velt_vJ_vec(p.net.h, p.w.data(), unsigned(p.w.size()), U.data(), m, p.X.data(), p.Y.data(), p.R,
                              p.C, p.net.nout(), res.data(), vJ.data()),
                  0);
        EXPECT_EQ(res, p.objv(p.w));
        for (unsigned j = 0; j < m; ++j) {
            const std::vector<double> Uj(U.begin() + j * p.terms(), U.begin() + (j + 1) * p.terms());
            std::vector<double> r1, g1;
            ASSERT_EQ(p.vJ(Uj, r1, g1), 0);
            for (std::size_t i = 0; i < g1.size(); ++i)
                EXPECT_NEAR(vJ[j * g1.size() + i], g1[i], 1e-13 * (1 + std::fabs(g1[i]))) << "vector " << j;
        }
    }
}

TEST(VectorJacobianVec, ZeroVectorsWritesOnlyTheTerms) {
    Problem p("3 1 3 1 16 3 4 4 softplus sum", 5, 3, 0.5);
    std::vector<double> res(p.terms(), -1.0);
    double sentinel = 42.0;
    ASSERT_EQ(velt_vJ_vec(p.net.h, p.w.data(), unsigned(p.w.size()), nullptr, 0, p.X.data(), p.Y.data(), p.R, p.C,
                          1, res.data(), &sentinel),
              0);
    EXPECT_EQ(res, p.objv(p.w));
    EXPECT_EQ(sentinel, 42.0);
}

// Null inputs read as zeros: a null U gives a zero product, a null w the zero network.
TEST(VectorJacobian, NullInputsReadAsZerosAndNullOutputsAreRefused) {
    Problem p("3 1 3 1 16 3 4 4 softplus sum", 6, 3, 0.5);
    std::vector<double> res(p.terms()), g(p.w.size(), -1.0);
    ASSERT_EQ(velt_vJ(p.net.h, p.w.data(), unsigned(p.w.size()), nullptr, 0, p.X.data(), p.Y.data(), p.R, p.C, 1,
                      res.data(), g.data()),
              0);
    EXPECT_EQ(g, std::vector<double>(g.size(), 0.0));
    const std::vector<double> zeros(p.w.size(), 0.0);
    std::vector<double> res0(p.terms());
    ASSERT_EQ(velt_vJ(p.net.h, nullptr, unsigned(p.w.size()), nullptr, 0, p.X.data(), p.Y.data(), p.R, p.C, 1,
                      res0.data(), g.data()),
              0);
    EXPECT_EQ(res0, p.objv(zeros));
    EXPECT_EQ(velt_vJ(p.net.h, p.w.data(), unsigned(p.w.size()), nullptr, 0, p.X.data(), p.Y.data(), p.R, p.C, 1,
                      nullptr, g.data()),
              -1);
    EXPECT_EQ(velt_vJ(p.net.h, p.w.data(), unsigned(p.w.size()) - 1, nullptr, 0, p.X.data(), p.Y.data(), p.R, p.C,
                      1, res.data(), g.data()),
              -1);
    EXPECT_EQ(velt_vJ_vec(p.net.h, p.w.data(), unsigned(p.w.size()), nullptr, 2, p.X.data(), p.Y.data(), p.R, p.C,
                          2, res.data(), g.data()),
              -1);
}

TEST(VectorJacobian, TracePrintsOneLineOnlyWhenAsked) {
    Problem p("3 1 3 1 16 3 4 4 softplus sum", 6, 3, 0.5);
    std::vector<double> U(p.terms(), 1.0), res, g;
    unsetenv("NN_TRACE");
    {
        CaptureFd out(1);
        ASSERT_EQ(p.vJ(U, res, g), 0);
        EXPECT_EQ(out.text(), "");
    }
    setenv("NN_TRACE", "", 1);
    {
        CaptureFd out(1);
        ASSERT_EQ(p.vJ(U, res, g), 0);
        const std::string text = out.text();
        EXPECT_EQ(text.rfind("J = ", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
        EXPECT_NE(text.find(" s\n"), std::string::npos);
    }
    unsetenv("NN_TRACE");
}

}  // namespace

namespace {

// A parameter vector longer than the network: each row of velt_vJ_vec keeps the caller's
// stride, with zeros after the network's parameters.
TEST(VectorJacobianVec, RowsKeepTheCallersParameterStride) {
    Problem p("3 1 3 1 16 3 4 4 softplus sum", 6, 3, 0.5);
    const unsigned n = p.nw(), wide = n + 2, m = 2;
    std::vector<double> w = p.w;
    w.push_back(std::nan(""));
    w.push_back(7.0);
    const std::vector<double> U = random_vector(m * p.terms(), 5);
    std::vector<double> res(p.terms()), vJ(m * wide, -1.0);
    ASSERT_EQ(velt_vJ_vec(p.net.h, w.data(), wide, U.data(), m, p.X.data(), p.Y.data(), p.R, p.C, 1, res.data(),
                          vJ.data()),
              0);
    for (unsigned j = 0; j < m; ++j) {
        const std::vector<double> Uj(U.begin() + j * p.terms(), U.begin() + (j + 1) * p.terms());
        std::vector<double> r1, g1;
        ASSERT_EQ(p.vJ(Uj, r1, g1), 0);
        for (unsigned i = 0; i < n; ++i) EXPECT_NEAR(vJ[j * wide + i], g1[i], 1e-14 * (1 + std::fabs(g1[i])));
        EXPECT_EQ(vJ[j * wide + n], 0.0);
        EXPECT_EQ(vJ[j * wide + n + 1], 0.0);
    }
}

}  // namespace
