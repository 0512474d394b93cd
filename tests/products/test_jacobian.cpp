// The whole Jacobian of the terms and the Gauss-Newton products, each against an independent
// route: the Jacobian's rows against velt_vJ with one-hot weights and against central
// differences of the terms; G v against J^T diag(phi'') J v assembled here from the outputs'
// Jacobian (the "sum" network's), and against velt_Hv where the two must agree.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "model/description.h"
#include "support/fd.h"
#include "support/problem.h"

namespace {

struct Jacobian {
    std::vector<double> res, Jac;
};

Jacobian jacobian(DataProblem const& p, std::vector<double> const& w, unsigned nw) {
    Jacobian j{std::vector<double>(p.terms(), -1.0), std::vector<double>(p.terms() * nw, -1.0)};
    EXPECT_EQ(velt_jacobian(p.net.h, w.data(), nw, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(), j.res.data(),
                            j.Jac.data()),
              0)
        << velt_last_error();
    return j;
}

bool same_bits(std::vector<double> const& a, std::vector<double> const& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

std::string with_norm(std::string const& net, std::string const& norm) { return net + " " + norm; }

const char* const kNorms[] = {"sum", "sum_sq", "sum_pseudo_huber", "sum_log_dnorm_fat"};

struct Case {
    std::string net;  // description without the norm
    unsigned rows, cols, threads, batch;
};

class JacobianRows : public ::testing::TestWithParam<Case> {};

// Every row e against u^T J with u the one-hot vector of e, for every norm; the terms are
// velt_objv's bits and the mean of the rows is velt_g's gradient.
TEST_P(JacobianRows, AreVectorJacobianProductsWithOneHotWeights) {
    const Case c = GetParam();
    for (const char* norm : kNorms) {
        SCOPED_TRACE(norm);
        DataProblem p(with_norm(c.net, norm), c.rows, c.cols, 0.4, 5);
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
            ASSERT_EQ(velt_vJ(p.net.h, w.data(), nw, U.data(), 0, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                              res.data(), vJ.data()),
                      0);
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

// Columns of the Jacobian against central differences of the terms, on a small net with two
// runs of the hidden stack and two outputs; residuals stay inside the log density's core.
TEST(JacobianFd, ColumnsMatchCentralDifferencesOfTheTerms) {
    for (const char* norm : kNorms) {
        SCOPED_TRACE(norm);
        DataProblem p(with_norm("3 2 3 2 16 3 4 3 softplus", norm), 7, 3, 0.3, 9);
        ASSERT_EQ(velt_setpar(p.net.h, 2, 3), 0);
        const unsigned nw = p.nw();
        const Jacobian j = jacobian(p, p.w, nw);
        const auto terms = [&](std::vector<double> const& w) { return p.objv(w); };
        for (unsigned i = 0; i < nw; ++i) {
            std::vector<double> unit(nw, 0.0);
            unit[i] = 1.0;
            const std::vector<double> col = fd::jvp(terms, p.w, unit);
            std::vector<double> got(p.terms());
            for (std::size_t e = 0; e < p.terms(); ++e) got[e] = j.Jac[e * nw + i];
            EXPECT_FD_NEAR(got, col);
        }
    }
}

// A row is computed from its batch alone: the same bits for any thread count, for every norm,
// on a problem large enough (3000 rows of a 353-parameter net) that the rows really run on two
// threads. Another batch size gives the same values up to rounding.
TEST(JacobianThreads, RowsAreTheSameBitsWhateverTheThreadCount) {
    for (const char* norm : kNorms) {
        SCOPED_TRACE(norm);
        DataProblem p(with_norm("3 2 3 2 16 3 48 3 softplus", norm), 3000, 3, 0.4, 13);
        const unsigned nw = p.nw();
        ASSERT_EQ(velt_setpar(p.net.h, 1, 16), 0);
        const Jacobian one = jacobian(p, p.w, nw);
        ASSERT_EQ(velt_setpar(p.net.h, 2, 16), 0);
        const Jacobian two = jacobian(p, p.w, nw);
        EXPECT_TRUE(same_bits(one.res, two.res));
        EXPECT_TRUE(same_bits(one.Jac, two.Jac));
        if (std::string(norm) != "sum_pseudo_huber") continue;
        ASSERT_EQ(velt_setpar(p.net.h, 2, 7), 0);
        const Jacobian other = jacobian(p, p.w, nw);
        for (std::size_t i = 0; i < one.Jac.size(); ++i)
            ASSERT_NEAR(other.Jac[i], one.Jac[i], 1e-13 * (1.0 + std::fabs(one.Jac[i]))) << i;
    }
}

// Refusals leave res and Jac as they were, with one message naming the function.
TEST(JacobianBoundary, RefusalsWriteNothing) {
    DataProblem p("3 2 3 1 16 3 4 3 softplus sum_sq", 5, 3, 0.3, 3);
    const unsigned P = p.nw();
    std::vector<double> res(p.terms(), -7.0), Jac(p.terms() * P, -7.0);
    velt_set_message_handler([](void*, int, const char*) {}, nullptr);
    const struct {
        void* h;
        unsigned nw, n, nin, nout;
        double *res, *Jac;
        const char* message;
    } cases[] = {
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
        // The column refusal is the same plain line for every function.
        if (std::string(c.message) != "too many predicates") {
            EXPECT_EQ(line.rfind("velt_jacobian: ", 0), 0u) << line;
        }
        EXPECT_NE(line.find(c.message), std::string::npos) << line;
    }
    // An output larger than the memory is refused by its size, before anything is written.
    veltn::set_description_memory_limit(p.terms() * P * 8 - 1);
    EXPECT_EQ(velt_jacobian(p.net.h, p.w.data(), P, p.X.data(), p.Y.data(), 5, 3, 2, res.data(), Jac.data()), -1);
    veltn::set_description_memory_limit(0);
    EXPECT_EQ(std::string(velt_last_error()),
              "velt_jacobian: Jac needs " + std::to_string(p.terms() * P * 8) + " bytes, more than the " +
                  std::to_string(p.terms() * P * 8 - 1) + " bytes of the memory limit set for descriptions");
    // Beyond 2^32 values Jac is not refused by its count: 2^16 rows x 2 outputs x 2^15 params
    // passes the count checks and is refused only by the (lowered) memory limit.
    veltn::set_description_memory_limit(1u << 20);
    EXPECT_EQ(velt_jacobian(p.net.h, nullptr, 1u << 15, nullptr, nullptr, 1u << 16, 3, 2, res.data(), Jac.data()), -1);
    veltn::set_description_memory_limit(0);
    EXPECT_NE(std::string(velt_last_error()).find("Jac needs 34359738368 bytes"), std::string::npos)
        << velt_last_error();
    velt_set_message_handler(nullptr, nullptr);
    for (double x : res) ASSERT_EQ(x, -7.0);
    for (double x : Jac) ASSERT_EQ(x, -7.0);
}

// ---- Gauss-Newton products -----------------------------------------------------------------

// phi'' of each norm, written out here from the norm's formula.
double curvature(std::string const& norm, double r) {
    if (norm == "sum") return 0.0;
    if (norm == "sum_sq") return 1.0;
    if (norm == "sum_pseudo_huber") return std::pow(1.0 + r * r, -1.5);
    const double sigma = 1.0 / 3.0, gamma = 0.0004785973257525766;
    if (std::fabs(r) < 2.0) return 1.0 / (sigma * sigma);
    return 2.0 * (gamma * gamma - r * r) / std::pow(r * r + gamma * gamma, 2);
}

struct GN {
    double J = 0;
    std::vector<double> g, products;
};

GN gnv(DataProblem const& p, std::vector<double> const& V, unsigned k) {
    GN out{0.0, std::vector<double>(p.nw(), -1.0), std::vector<double>(std::size_t(k) * p.nw(), -1.0)};
    EXPECT_EQ(velt_GNv(p.net.h, p.w.data(), p.nw(), V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(),
                       &out.J, out.g.data(), out.products.data()),
              0)
        << velt_last_error();
    return out;
}

struct RowMajor {
    explicit RowMajor(int flag) { velt_major(nullptr, flag); }
    ~RowMajor() { velt_major(nullptr, 0); }
};

class GaussNewton : public ::testing::TestWithParam<const char*> {};

// G v = J_F^T diag(phi''(r)) J_F v / N, with J_F the Jacobian of the outputs (the "sum"
// network's Jacobian at the same parameters and data), in both storage orders; J and g are
// velt_g's. Residuals reach the log density's tail, where phi'' < 0.
TEST_P(GaussNewton, IsTheOutputsJacobianProductScaledByTheCurvature) {
    const std::string norm = GetParam();
    const std::string net = "3 2 3 2 16 3 5 3 atan";
    DataProblem p(with_norm(net, norm), 19, 3, 0.6, 17);
    DataProblem outputs(with_norm(net, "sum"), 19, 3, 0.6, 17);
    for (std::size_t i = 0; i < p.Y.size(); i += 5) p.Y[i] = outputs.Y[i] += 3.0;  // some residuals beyond 2
    const unsigned nw = p.nw(), k = 3;
    ASSERT_EQ(velt_setpar(p.net.h, 2, 4), 0);
    const Jacobian jf = jacobian(outputs, outputs.w, nw);
    const std::vector<double> V = random_vector(std::size_t(k) * nw, 23);  // one direction per row
    const double N = double(p.terms());
    for (int flag : {1, 0}) {
        RowMajor order(flag);
        std::vector<double> Vin(V.size());
        for (unsigned d = 0; d < k; ++d)
            for (unsigned i = 0; i < nw; ++i) Vin[flag ? d * nw + i : i * k + d] = V[d * nw + i];
        const GN got = gnv(p, Vin, k);
        double J = 0;
        const std::vector<double> g = p.grad(p.w, &J);
        EXPECT_NEAR(got.J, J, 1e-13 * (1.0 + std::fabs(J)));
        for (unsigned i = 0; i < nw; ++i) EXPECT_NEAR(got.g[i], g[i], 1e-13 * (1.0 + std::fabs(g[i])));
        bool tail = false;
        for (unsigned d = 0; d < k; ++d) {
            std::vector<double> want(nw, 0.0);
            for (std::size_t e = 0; e < p.terms(); ++e) {
                const double* row = &jf.Jac[e * nw];
                double jv = 0;
                for (unsigned i = 0; i < nw; ++i) jv += row[i] * V[d * nw + i];
                const double c = curvature(norm, jf.res[e]);
                tail |= c < 0;
                for (unsigned i = 0; i < nw; ++i) want[i] += row[i] * c * jv / N;
            }
            double scale = 0;
            for (double x : want) scale = std::fmax(scale, std::fabs(x));
            for (unsigned i = 0; i < nw; ++i) {
                const double v = got.products[flag ? d * nw + i : i * k + d];
                ASSERT_NEAR(v, want[i], 1e-11 * (1e-12 + scale)) << "direction " << d << " entry " << i;
            }
        }
        if (norm == "sum_log_dnorm_fat") {
            EXPECT_TRUE(tail) << "no residual in the tail";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Norms, GaussNewton, ::testing::ValuesIn(kNorms));

// Where every residual is zero, phi'(r) = 0 and G is the Hessian: targets set to the outputs.
// On the convex norms v^T G v >= 0 at any parameters, where v^T H v need not be.
TEST(GaussNewtonHessian, EqualsTheHessianAtZeroResidualsAndIsSemiDefinite) {
    for (const char* norm : {"sum_sq", "sum_pseudo_huber", "sum_log_dnorm_fat"}) {
        SCOPED_TRACE(norm);
        DataProblem p(with_norm("4 2 3 1 16 4 6 5 softplus", norm), 40, 4, 0.5, 29);
        ASSERT_EQ(velt_setpar(p.net.h, 2, 8), 0);
        const unsigned nw = p.nw(), k = 4;
        RowMajor order(1);
        const std::vector<double> V = random_vector(std::size_t(k) * nw, 31);
        ASSERT_EQ(velt_compute(p.net.h, p.w.data(), nw, p.X.data(), p.R, p.C, 0, p.Y.data()), 0);
        const GN g = gnv(p, V, k);
        std::vector<double> hg(nw), hv(std::size_t(k) * nw);
        double J = 0;
        ASSERT_EQ(velt_Hv(p.net.h, p.w.data(), nw, V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, p.net.nout(), &J,
                          hg.data(), hv.data()),
                  0);
        EXPECT_EQ(g.J, 0.0);
        for (std::size_t i = 0; i < hv.size(); ++i)
            ASSERT_NEAR(g.products[i], hv[i], 1e-12 * (1.0 + std::fabs(hv[i]))) << i;
        if (std::string(norm) == "sum_log_dnorm_fat") continue;
        // Away from zero residuals.
        DataProblem q(with_norm("4 2 3 1 16 4 6 5 softplus", norm), 40, 4, 1.5, 37);
        ASSERT_EQ(velt_setpar(q.net.h, 2, 8), 0);
        const GN h = gnv(q, V, k);
        for (unsigned d = 0; d < k; ++d) {
            const std::vector<double> v(V.begin() + d * nw, V.begin() + (d + 1) * nw),
                gv(h.products.begin() + d * nw, h.products.begin() + (d + 1) * nw);
            EXPECT_GE(dot(v, gv), 0.0) << "direction " << d;
        }
    }
}

// More directions than one tangent sweep takes (78, the identity: the whole matrix G) run in
// blocks; each product equals the single-direction call's and G comes out symmetric.
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

// The "sum" norm has no curvature: G = 0 while the gradient is still given; with k = 0 only J
// and g are written.
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
