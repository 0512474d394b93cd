// The whole Jacobian of the terms and the Gauss-Newton products, each against an independent
// route: one-hot velt_vJ, central differences, the outputs' Jacobian and velt_Hv.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "model/description.h"
#include "support/fd.h"
#include "support/problem.h"

namespace {

struct Jacobian { std::vector<double> res, Jac; };

Jacobian jacobian(DataProblem const& p, std::vector<double> const& w, unsigned nw) {
    Jacobian j{std::vector<double>(p.terms(), -1.0), std::vector<double>(p.terms() * nw, -1.0)};
    const int rc = velt_jacobian(p.net.h, w.data(), nw, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(), j.res.data(),
                                 j.Jac.data());
    EXPECT_EQ(rc, 0) << velt_last_error();
    return j;
}

bool same_bits(std::vector<double> const& a, std::vector<double> const& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

const char* const kNorms[] = {"sum", "sum_sq", "sum_pseudo_huber", "sum_log_dnorm_fat"};

struct Case { std::string net; unsigned rows, cols, threads, batch; };  // net: the description without the norm

class JacobianRows : public ::testing::TestWithParam<Case> {};
class JacobianByNorm : public ::testing::TestWithParam<const char*> {};

// Row e is u^T J with u one-hot at e; the terms are velt_objv's bits, the rows' mean velt_g.
TEST_P(JacobianRows, AreVectorJacobianProductsWithOneHotWeights) {
    const Case c = GetParam();
    for (const char* norm : kNorms) {
        SCOPED_TRACE(norm);
        DataProblem p(c.net + " " + norm, c.rows, c.cols, 0.4, 5);
        ASSERT_EQ(velt_setpar(p.net.h, c.threads, int(c.batch)), 0);
        const unsigned nw = p.nw() + 2;  // two entries beyond the network's, zero in every row
        std::vector<double> w = p.w;
        w.resize(nw, 7.0);
        const Jacobian j = jacobian(p, w, nw);
        EXPECT_TRUE(same_bits(j.res, p.objv(p.w)));
        std::vector<double> mean(nw, 0.0);
        for (std::size_t e = 0; e < p.terms(); ++e) {
            std::vector<double> U(p.terms(), 0.0), res(p.terms()), vJ(nw);
            U[e] = 1.0;
            ASSERT_EQ(0, velt_vJ(p.net.h, w.data(), nw, U.data(), 0, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                                 res.data(), vJ.data()));
            for (unsigned i = 0; i < nw; ++i) {
                const double got = j.Jac[e * nw + i];
                ASSERT_NEAR(got, vJ[i], 1e-13 * (1.0 + std::fabs(vJ[i]))) << "row " << e << " entry " << i;
                mean[i] += got / double(p.terms());
            }
            EXPECT_EQ(j.Jac[e * nw + nw - 1], 0.0);
        }
        const std::vector<double> g = p.grad(w);
        for (unsigned i = 0; i < nw; ++i) EXPECT_NEAR(mean[i], g[i], 1e-12 * (1.0 + std::fabs(g[i]))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Networks, JacobianRows,
                         ::testing::Values(Case{"3 2 3 1 16 3 6 4 softplus", 9, 3, 1, 32},
                                           Case{"3 2 3 2 16 3 4 3 atan", 23, 2, 2, 5},
                                           Case{"4 2 3 2 16 4 5 4 relu", 17, 4, 2, 4},
                                           Case{"2 1 2 1 16 2 3 id", 1, 2, 1, 32},
                                           Case{"3 2 4 3 16 3 4 5 3 softplus_shifted", 11, 3, 1, 3}),
                         [](auto const& info) { return "net" + std::to_string(info.index); });

// Two runs of the hidden stack and two outputs; residuals stay inside the log density's core.
TEST_P(JacobianByNorm, ColumnsMatchCentralDifferencesOfTheTerms) {
    DataProblem p(std::string("3 2 3 2 16 3 4 3 softplus ") + GetParam(), 7, 3, 0.3, 9);
    ASSERT_EQ(velt_setpar(p.net.h, 2, 3), 0);
    const unsigned nw = p.nw();
    const Jacobian j = jacobian(p, p.w, nw);
    for (unsigned i = 0; i < nw; ++i) {
        std::vector<double> unit(nw, 0.0), got(p.terms());
        unit[i] = 1.0;
        for (std::size_t e = 0; e < p.terms(); ++e) got[e] = j.Jac[e * nw + i];
        EXPECT_FD_NEAR(got, fd::jvp([&](std::vector<double> const& w) { return p.objv(w); }, p.w, unit));
    }
}

// A row depends on its batch alone; 3000 rows of a 353-parameter net really run on two threads.
TEST_P(JacobianByNorm, RowsAreTheSameBitsWhateverTheThreadCount) {
    DataProblem p(std::string("3 2 3 2 16 3 48 3 softplus ") + GetParam(), 3000, 3, 0.4, 13);
    const unsigned nw = p.nw();
    ASSERT_EQ(velt_setpar(p.net.h, 1, 16), 0);
    const Jacobian one = jacobian(p, p.w, nw);
    ASSERT_EQ(velt_setpar(p.net.h, 2, 16), 0);
    const Jacobian two = jacobian(p, p.w, nw);
    EXPECT_TRUE(same_bits(one.res, two.res));
    EXPECT_TRUE(same_bits(one.Jac, two.Jac));
    if (std::string(GetParam()) != "sum_pseudo_huber") return;
    ASSERT_EQ(velt_setpar(p.net.h, 2, 7), 0);  // another batch size: equal up to rounding
    const Jacobian other = jacobian(p, p.w, nw);
    for (std::size_t i = 0; i < one.Jac.size(); ++i)
        ASSERT_NEAR(other.Jac[i], one.Jac[i], 1e-13 * (1.0 + std::fabs(one.Jac[i]))) << i;
}

// Refusals leave res and Jac as they were, with one message naming the function.
TEST(JacobianBoundary, RefusalsWriteNothing) {
    DataProblem p("3 2 3 1 16 3 4 3 softplus sum_sq", 5, 3, 0.3, 3);
    const unsigned P = p.nw();
    std::vector<double> res(p.terms(), -7.0), Jac(p.terms() * P, -7.0);
    velt_set_message_handler([](void*, int, const char*) {}, nullptr);
    const struct { void* h; unsigned nw, n, nin, nout; double *res, *Jac; const char* message; } cases[] = {
        {nullptr, P, 5, 3, 2, res.data(), Jac.data(), "null handle"},
        {p.net.h, P - 1, 5, 3, 2, res.data(), Jac.data(), "parameter vector holds"},
        {p.net.h, P, 5, 3, 1, res.data(), Jac.data(), "targets have 1 columns"},
        {p.net.h, P, 5, 4, 2, res.data(), Jac.data(), "too many predicates"},
        {p.net.h, P, 0, 3, 2, res.data(), Jac.data(), "no rows"},
        {p.net.h, P, 5, 3, 2, nullptr, Jac.data(), "res is null"},
        {p.net.h, P, 5, 3, 2, res.data(), nullptr, "Jac is null"},
    };
    for (auto const& c : cases) {
        EXPECT_EQ(velt_jacobian(c.h, p.w.data(), c.nw, p.X.data(), p.Y.data(), c.n, c.nin, c.nout, c.res, c.Jac), -1);
        const std::string line = velt_last_error();
        EXPECT_TRUE(std::string(c.message) == "too many predicates" || line.rfind("velt_jacobian: ", 0) == 0) << line;
        EXPECT_NE(line.find(c.message), std::string::npos) << line;
    }
    // An output larger than the memory limit is refused by its size, also beyond 2^32 values.
    veltn::set_description_memory_limit(p.terms() * P * 8 - 1);
    EXPECT_EQ(velt_jacobian(p.net.h, p.w.data(), P, p.X.data(), p.Y.data(), 5, 3, 2, res.data(), Jac.data()), -1);
    veltn::set_description_memory_limit(0);
    EXPECT_EQ(std::string(velt_last_error()),
              "velt_jacobian: Jac needs " + std::to_string(p.terms() * P * 8) + " bytes, more than the " +
                  std::to_string(p.terms() * P * 8 - 1) + " bytes of the memory limit set for descriptions");
    veltn::set_description_memory_limit(1u << 20);
    EXPECT_EQ(velt_jacobian(p.net.h, nullptr, 1u << 15, nullptr, nullptr, 1u << 16, 3, 2, res.data(), Jac.data()), -1);
    veltn::set_description_memory_limit(0);
    EXPECT_NE(std::string(velt_last_error()).find("Jac needs 34359738368 bytes"), std::string::npos)
        << velt_last_error();
    velt_set_message_handler(nullptr, nullptr);
    for (double x : res) ASSERT_EQ(x, -7.0);
    for (double x : Jac) ASSERT_EQ(x, -7.0);
}

// phi'' of each norm, from the norm's formula.
double curvature(std::string const& norm, double r) {
    if (norm == "sum") return 0.0;
    if (norm == "sum_sq") return 1.0;
    if (norm == "sum_pseudo_huber") return std::pow(1.0 + r * r, -1.5);
    const double sigma = 1.0 / 3.0, gamma = 0.0004785973257525766;
    if (std::fabs(r) < 2.0) return 1.0 / (sigma * sigma);
    return 2.0 * (gamma * gamma - r * r) / std::pow(r * r + gamma * gamma, 2);
}

struct GN { double J = 0; std::vector<double> g, products; };

GN gnv(DataProblem const& p, std::vector<double> const& V, unsigned k) {
    GN out{0.0, std::vector<double>(p.nw(), -1.0), std::vector<double>(std::size_t(k) * p.nw(), -1.0)};
    const int rc = velt_GNv(p.net.h, p.w.data(), p.nw(), V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                            &out.J, out.g.data(), out.products.data());
    EXPECT_EQ(rc, 0) << velt_last_error();
    return out;
}

struct RowMajor {
    explicit RowMajor(int flag) { velt_major(nullptr, flag); }
    ~RowMajor() { velt_major(nullptr, 0); }
};

// G v = J_F^T diag(phi''(r)) J_F v / N, J_F the outputs' Jacobian (the "sum" network's), in both
// storage orders; J and g are velt_g's. Residuals reach the log density's tail, where phi'' < 0.
TEST_P(JacobianByNorm, GaussNewtonIsTheOutputsJacobianProductScaledByTheCurvature) {
    const std::string norm = GetParam(), net = "3 2 3 2 16 3 5 3 atan";
    DataProblem p(net + " " + norm, 19, 3, 0.6, 17), outputs(net + " sum", 19, 3, 0.6, 17);
    for (std::size_t i = 0; i < p.Y.size(); i += 5) p.Y[i] = outputs.Y[i] += 3.0;  // some residuals beyond 2
    const unsigned nw = p.nw(), k = 3;
    ASSERT_EQ(velt_setpar(p.net.h, 2, 4), 0);
    const Jacobian jf = jacobian(outputs, outputs.w, nw);
    const std::vector<double> V = random_vector(std::size_t(k) * nw, 23);  // one direction per row
    std::vector<double> want(V.size(), 0.0);
    bool tail = false;
    for (std::size_t e = 0; e < p.terms(); ++e) {
        const double* row = &jf.Jac[e * nw];
        const double c = curvature(norm, jf.res[e]);
        tail |= c < 0;
        for (unsigned d = 0; d < k; ++d) {
            double jv = 0;
            for (unsigned i = 0; i < nw; ++i) jv += row[i] * V[d * nw + i];
            for (unsigned i = 0; i < nw; ++i) want[d * nw + i] += row[i] * c * jv / double(p.terms());
        }
    }
    EXPECT_TRUE(tail || norm != "sum_log_dnorm_fat") << "no residual in the tail";
    double J = 0;
    const std::vector<double> g = p.grad(p.w, &J);
    for (int flag : {1, 0}) {
        RowMajor order(flag);
        const auto at = [&](unsigned d, unsigned i) { return flag ? d * nw + i : i * k + d; };
        std::vector<double> Vin(V.size());
        for (unsigned d = 0; d < k; ++d)
            for (unsigned i = 0; i < nw; ++i) Vin[at(d, i)] = V[d * nw + i];
        const GN got = gnv(p, Vin, k);
        EXPECT_NEAR(got.J, J, 1e-13 * (1.0 + std::fabs(J)));
        for (unsigned i = 0; i < nw; ++i) EXPECT_NEAR(got.g[i], g[i], 1e-13 * (1.0 + std::fabs(g[i])));
        for (unsigned d = 0; d < k; ++d) {
            double scale = 0;
            for (unsigned i = 0; i < nw; ++i) scale = std::fmax(scale, std::fabs(want[d * nw + i]));
            for (unsigned i = 0; i < nw; ++i)
                ASSERT_NEAR(got.products[at(d, i)], want[d * nw + i], 1e-11 * (1e-12 + scale)) << d << " " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Norms, JacobianByNorm, ::testing::ValuesIn(kNorms));

// With the targets set to the outputs phi'(r) = 0 and G is the Hessian; on the convex norms
// v^T G v >= 0 at any parameters, where v^T H v need not be.
TEST(GaussNewtonHessian, EqualsTheHessianAtZeroResidualsAndIsSemiDefinite) {
    for (const char* norm : {"sum_sq", "sum_pseudo_huber", "sum_log_dnorm_fat"}) {
        SCOPED_TRACE(norm);
        DataProblem p(std::string("4 2 3 1 16 4 6 5 softplus ") + norm, 40, 4, 0.5, 29);
        ASSERT_EQ(velt_setpar(p.net.h, 2, 8), 0);
        const unsigned nw = p.nw(), k = 4;
        RowMajor order(1);
        const std::vector<double> V = random_vector(std::size_t(k) * nw, 31);
        ASSERT_EQ(velt_compute(p.net.h, p.w.data(), nw, p.X.data(), p.R, p.C, 0, p.Y.data()), 0);
        const GN g = gnv(p, V, k);
        std::vector<double> hg(nw), hv(std::size_t(k) * nw);
        double J = 0;
        ASSERT_EQ(0, velt_Hv(p.net.h, p.w.data(), nw, V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                             &J, hg.data(), hv.data()));
        EXPECT_EQ(g.J, 0.0);
        for (std::size_t i = 0; i < hv.size(); ++i)
            ASSERT_NEAR(g.products[i], hv[i], 1e-12 * (1.0 + std::fabs(hv[i]))) << i;
        if (std::string(norm) == "sum_log_dnorm_fat") continue;
        DataProblem q(std::string("4 2 3 1 16 4 6 5 softplus ") + norm, 40, 4, 1.5, 37);
        ASSERT_EQ(velt_setpar(q.net.h, 2, 8), 0);
        const GN h = gnv(q, V, k);
        for (unsigned d = 0; d < k; ++d) {
            const std::vector<double> v(V.begin() + d * nw, V.begin() + (d + 1) * nw),
                gv(h.products.begin() + d * nw, h.products.begin() + (d + 1) * nw);
            EXPECT_GE(dot(v, gv), 0.0) << "direction " << d;
        }
    }
}

// 78 directions (the identity, so all of G) run in blocks: each product equals the
// single-direction call's and G comes out symmetric.
TEST(GaussNewtonHessian, ManyDirectionsRunInBlocksWithTheSameProducts) {
    DataProblem p("3 2 3 1 16 3 8 4 softplus sum_sq", 30, 3, 0.5, 47);
    const unsigned nw = p.nw();
    ASSERT_EQ(nw, 78u);
    RowMajor order(1);
    std::vector<double> I(std::size_t(nw) * nw, 0.0);
    for (unsigned i = 0; i < nw; ++i) I[std::size_t(i) * nw + i] = 1.0;
    const GN all = gnv(p, I, nw);
    for (unsigned d : {0u, 63u, 64u, 77u}) {
        const std::vector<double> e(I.begin() + std::size_t(d) * nw, I.begin() + std::size_t(d + 1) * nw);
        const GN one = gnv(p, e, 1);
        EXPECT_EQ(one.g, all.g);
        for (unsigned i = 0; i < nw; ++i) ASSERT_NEAR(all.products[std::size_t(d) * nw + i], one.products[i], 1e-15);
    }
    for (unsigned i = 0; i < nw; ++i)
        for (unsigned j = 0; j < i; ++j) {
            const double a = all.products[std::size_t(i) * nw + j], b = all.products[std::size_t(j) * nw + i];
            ASSERT_NEAR(a, b, 1e-12 * (1.0 + std::fabs(a))) << i << " " << j;
        }
}

// "sum" has no curvature: G = 0 while the gradient is still given; with k = 0 only J and g are written.
TEST(GaussNewtonHessian, SumNormGivesZeroProductsAndTheGradient) {
    DataProblem p("3 1 3 1 16 3 4 3 softplus sum", 10, 3, 0.5, 41);
    const std::vector<double> V = random_vector(2 * p.nw(), 43);
    const GN g = gnv(p, V, 2);
    for (double x : g.products) EXPECT_EQ(x, 0.0);
    double J = 0;
    EXPECT_FD_NEAR(g.g, p.grad(p.w, &J));
    EXPECT_NEAR(g.J, J, 1e-14);
    const GN none = gnv(p, V, 0);
    EXPECT_EQ(none.g, g.g);
    EXPECT_EQ(none.J, g.J);
}

}  // namespace
