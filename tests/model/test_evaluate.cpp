// The forward pass and the objective through the exported evaluation functions: values
// against an independent row-by-row evaluation, niter = 2 by hand, missing input columns,
// the batched objective against the single block, and velt_residual / velt_norm / velt_logp.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "model/reference.h"
#include "support/net.h"
#include "veltn.h"

namespace {

void expect_near_all(std::vector<double> const& got, std::vector<double> const& want, double tol) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], tol * (1 + std::fabs(want[i]))) << "element " << i;
}

double mean(std::vector<double> const& v) {
    long double s = 0;
    for (double x : v) s += x;
    return double(s / v.size());
}

}  // namespace

TEST(Forward, NiterTwoByHand) {
    // Widths 1 -> 1, hidden stack run twice: H1 = 3x + 1, H2 = 3 H1 + 1,
    // F = 0.5 H1 + 0.25 H2 - 1. Parameters: b0, w0, b1, w1(H1), w1(H2).
    Net n("1 1 2 2 16 1 1 id sum");
    ASSERT_NE(n.h, nullptr);
    ASSERT_EQ(n.numel(), 5u);
    const std::vector<double> par = {1.0, 3.0, -1.0, 0.5, 0.25};
    const std::vector<double> X = {2.0, 0.0, -1.0};
    // x = 2: H1 = 7, H2 = 22, F = 8; x = 0: H1 = 1, H2 = 4, F = 0.5; x = -1: H1 = -2, H2 = -5, F = -3.25.
    std::vector<double> F(3, NAN);
    ASSERT_EQ(velt_compute(n.h, par.data(), 5, X.data(), 3, 1, 0, F.data()), 0);
    EXPECT_EQ(F, (std::vector<double>{8.0, 0.5, -3.25}));
    double one = NAN;
    ASSERT_EQ(velt_compute(n.h, par.data(), 5, X.data(), 1, 1, 0, &one), 0);
    EXPECT_EQ(one, 8.0);
}

TEST(Forward, NiterTwoWithWiderLayersMatchesTheReference) {
    const ref::Network rn{3, 2, {4, 6, 4}, "atan"};
    Net n("4 3 3 2 16 4 6 4 atan sum");
    ASSERT_NE(n.h, nullptr);
    ASSERT_EQ(velt_numel(n.h), rn.numel());
    const auto par = random_vector(rn.numel(), 51, 0.6);
    const auto X = random_vector(7 * 4, 52, 1.2);
    std::vector<double> F(21, NAN);
    ASSERT_EQ(velt_compute(n.h, par.data(), uint32_t(par.size()), X.data(), 7, 4, 0, F.data()), 0);
    expect_near_all(F, rn.forward(par, X, 7, 4), 1e-12);
}

TEST(Forward, HugeFiniteParametersGiveTheLimitsNotAFloatingPointFailure) {
    // Pre-activations of +-1e130 and more: softplus of a very negative input is 0 and atan of a
    // very large one is +-pi/2, exactly; no step overflows, so the calls must succeed.
    for (std::string act : {"softplus", "atan"}) {
        SCOPED_TRACE(act);
        const ref::Network rn{1, 1, {2, 3}, act};
        Net n("2 1 2 1 16 2 3 " + act + " sum");
        ASSERT_NE(n.h, nullptr);
        ASSERT_EQ(velt_numel(n.h), rn.numel());
        std::vector<double> par = random_vector(rn.numel(), 53, 1e130);
        const auto X = random_vector(9 * 2, 54, 1.0);
        std::vector<double> F(9, NAN);
        ASSERT_EQ(velt_compute(n.h, par.data(), uint32_t(par.size()), X.data(), 9, 2, 0, F.data()), 0);
        expect_near_all(F, rn.forward(par, X, 9, 2), 1e-12);
        if (act == "softplus") {
            // The gradient's reverse pass takes exp of the same inputs.
            const std::vector<double> Y(9, 0.0);
            std::vector<double> g(par.size(), NAN);
            double J = NAN;
            EXPECT_EQ(velt_g(n.h, par.data(), uint32_t(par.size()), X.data(), Y.data(), 9, 2, 1, &J, g.data()), 0);
            EXPECT_TRUE(std::isfinite(J));
            for (double v : g) EXPECT_TRUE(std::isfinite(v));
        }
    }
}

TEST(Forward, MissingInputColumnsActAsZeros) {
    const ref::Network rn{2, 1, {5, 3, 2}, "softplus"};
    Net n("6 2 3 1 16 5 3 2 softplus sum");
    ASSERT_NE(n.h, nullptr);
    const auto par = random_vector(rn.numel(), 61, 0.9);
    const std::size_t R = 4;
    for (uint32_t C : {0u, 1u, 2u, 4u}) {
        SCOPED_TRACE("C = " + std::to_string(C));
        const auto X = random_vector(R * C, 62 + C, 1.0);
        std::vector<double> padded(R * 5, 0.0);
        for (std::size_t i = 0; i < R; ++i)
            for (std::size_t j = 0; j < C; ++j) padded[i * 5 + j] = X[i * C + j];
        std::vector<double> F(R * 2, NAN), G(R * 2, NAN);
        ASSERT_EQ(velt_compute(n.h, par.data(), uint32_t(par.size()), C ? X.data() : nullptr, R, C, 0, F.data()), 0);
        ASSERT_EQ(velt_compute(n.h, par.data(), uint32_t(par.size()), padded.data(), R, 5, 0, G.data()), 0);
        EXPECT_EQ(F, G);
        expect_near_all(F, rn.forward(par, X, R, C), 1e-12);
    }
}

TEST(Forward, SingleRowUsesTheSameValuesAsABlock) {
    // One row goes through the transposed matrix-vector path in every layer.
    const ref::Network rn{2, 1, {3, 8, 8}, "softplus"};
    Net n("3 2 3 1 16 3 8 8 softplus sum");
    ASSERT_NE(n.h, nullptr);
    const auto par = random_vector(rn.numel(), 71, 0.5);
    const auto X = random_vector(10 * 3, 72);
    std::vector<double> block(20);
    ASSERT_EQ(velt_compute(n.h, par.data(), uint32_t(par.size()), X.data(), 10, 3, 0, block.data()), 0);
    for (std::size_t r = 0; r < 10; ++r) {
        double one[2];
        ASSERT_EQ(velt_compute(n.h, par.data(), uint32_t(par.size()), X.data() + 3 * r, 1, 3, 0, one), 0);
        EXPECT_NEAR(one[0], block[2 * r], 1e-13 * (1 + std::fabs(block[2 * r])));
        EXPECT_NEAR(one[1], block[2 * r + 1], 1e-13 * (1 + std::fabs(block[2 * r + 1])));
    }
}

TEST(Forward, ZeroRowsWriteNothing) {
    Net n("3 1 3 1 16 3 8 8 softplus sum");
    const std::vector<double> par(113, 0.1);
    double out = 42.0;
    EXPECT_EQ(velt_compute(n.h, par.data(), 113, nullptr, 0, 3, 0, &out), 0);
    EXPECT_EQ(velt_objv(n.h, par.data(), 113, nullptr, nullptr, 0, 3, 1, &out), 0);
    EXPECT_EQ(out, 42.0);
}

TEST(Residual, IsPredictionMinusTarget) {
    Net n("3 2 3 1 16 3 4 4 relu sum");
    ASSERT_NE(n.h, nullptr);
    const auto par = random_vector(n.numel(), 81);
    const auto X = random_vector(5 * 3, 82);
    std::vector<double> F(10), res(10, NAN);
    ASSERT_EQ(velt_compute(n.h, par.data(), n.numel(), X.data(), 5, 3, 0, F.data()), 0);
    ASSERT_EQ(velt_residual(n.h, par.data(), n.numel(), X.data(), F.data(), 5, 3, 2, res.data()), 0);
    for (double r : res) EXPECT_EQ(r, 0.0);
    const auto Y = random_vector(10, 83);
    ASSERT_EQ(velt_residual(n.h, par.data(), n.numel(), X.data(), Y.data(), 5, 3, 2, res.data()), 0);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(res[i], F[i] - Y[i]);
}

TEST(Objective, MeanOfTheNormOverAllResidualElements) {
    for (std::string const norm : {"sum", "sum_log_dnorm_fat"}) {
        SCOPED_TRACE(norm);
        const ref::Network rn{2, 1, {3, 5, 5}, "softplus"};
        Net n("3 2 3 1 16 3 5 5 softplus " + norm);
        ASSERT_NE(n.h, nullptr);
        const auto par = random_vector(rn.numel(), 91, 0.4);
        const auto X = random_vector(9 * 3, 92);
        const auto Y = random_vector(9 * 2, 93, 2.0);
        const auto F = rn.forward(par, X, 9, 3);
        std::vector<double> terms(18);
        for (std::size_t i = 0; i < 18; ++i)
            terms[i] = norm == "sum" ? F[i] - Y[i] : ref::fat_term(F[i] - Y[i]);
        double J = NAN;
        ASSERT_EQ(velt_obj(n.h, par.data(), n.numel(), X.data(), Y.data(), 9, 3, 2, &J), 0);
        EXPECT_NEAR(J, mean(terms), 1e-11);
        std::vector<double> v(18, NAN);
        ASSERT_EQ(velt_objv(n.h, par.data(), n.numel(), X.data(), Y.data(), 9, 3, 2, v.data()), 0);
        expect_near_all(v, terms, 1e-11);
    }
}

// The batched objective and terms against one block holding every row.
class Batched : public ::testing::TestWithParam<std::tuple<uint32_t, uint32_t, uint32_t>> {};

TEST_P(Batched, AgreesWithTheSingleBlock) {
    const auto [R, batch, threads] = GetParam();
    for (std::string const norm : {"sum", "sum_log_dnorm_fat"}) {
        SCOPED_TRACE(norm);
        const std::string d = "3 2 3 1 16 3 6 6 softplus " + norm;
        Net split(d), whole(d);
        ASSERT_NE(split.h, nullptr);
        ASSERT_EQ(velt_setpar(split.h, threads, int(batch)), 0);
        ASSERT_EQ(velt_setpar(whole.h, 1, int(R)), 0);
        const auto par = random_vector(split.numel(), 100 + R, 0.5);
        const auto X = random_vector(R * 3, 200 + R);
        const auto Y = random_vector(R * 2, 300 + R, 0.8);
        double Js = NAN, Jw = NAN;
        ASSERT_EQ(velt_obj(split.h, par.data(), split.numel(), X.data(), Y.data(), R, 3, 2, &Js), 0);
        ASSERT_EQ(velt_obj(whole.h, par.data(), whole.numel(), X.data(), Y.data(), R, 3, 2, &Jw), 0);
        EXPECT_NEAR(Js, Jw, 1e-12 * (1 + std::fabs(Jw)));
        std::vector<double> vs(R * 2, NAN), vw(R * 2, NAN);
        ASSERT_EQ(velt_objv(split.h, par.data(), split.numel(), X.data(), Y.data(), R, 3, 2, vs.data()), 0);
        ASSERT_EQ(velt_objv(whole.h, par.data(), whole.numel(), X.data(), Y.data(), R, 3, 2, vw.data()), 0);
        expect_near_all(vs, vw, 1e-12);
        EXPECT_NEAR(Jw, mean(vw), 1e-12 * (1 + std::fabs(Jw)));
    }
}

// (R, batch, threads): three full batches and a short one on 2 threads; two full batches;
// one row; a last batch of one row; more threads than batches; more batches than threads.
INSTANTIATE_TEST_SUITE_P(Splits, Batched,
                         ::testing::Values(std::make_tuple(100u, 32u, 2u), std::make_tuple(64u, 32u, 2u),
                                           std::make_tuple(1u, 32u, 2u), std::make_tuple(33u, 32u, 2u),
                                           std::make_tuple(100u, 32u, 99999u), std::make_tuple(100u, 7u, 3u),
                                           std::make_tuple(64u, 32u, 1u)));

TEST(Norm, MeanOverTheMatrix) {
    Net sum("3 1 3 1 16 3 8 8 softplus sum");
    Net fat("3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat");
    const std::vector<double> r = {1, 2, 3, 4, 5, 6};
    double out = NAN;
    ASSERT_EQ(velt_norm(sum.h, r.data(), 2, 3, &out), 0);
    EXPECT_EQ(out, 21.0 / 6.0);
    const std::vector<double> f = {0.0, 1.0, -1.0, 2.5, 0.5, -3.0};
    ASSERT_EQ(velt_norm(fat.h, f.data(), 3, 2, &out), 0);
    double want = 0;
    for (double x : f) want += ref::fat_term(x);
    EXPECT_NEAR(out, want / 6.0, 1e-12);
}

TEST(Logp, PerElementTerms) {
    Net sum("3 1 3 1 16 3 8 8 softplus sum");
    Net fat("3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat");
    const std::vector<double> r = {0.0, 1.0, -1.9999, 2.0, -7.0};
    std::vector<double> out(5, NAN);
    ASSERT_EQ(velt_logp(sum.h, r.data(), 5, out.data()), 0);
    EXPECT_EQ(out, r);
    ASSERT_EQ(velt_logp(fat.h, r.data(), 5, out.data()), 0);
    EXPECT_EQ(out[0], 0.0);
    for (std::size_t i = 0; i < r.size(); ++i) EXPECT_NEAR(out[i], ref::fat_term(r[i]), 1e-11) << r[i];
    EXPECT_EQ(velt_logp(fat.h, nullptr, 0, nullptr), 0);
}

TEST(Parameters, ValuesBeyondNumelAreNotRead) {
    // npar may exceed velt_numel; only the first velt_numel values are used, so whatever
    // follows them (here NaN and infinity) changes nothing.
    Net n("3 1 3 1 16 3 8 8 softplus sum_log_dnorm_fat");
    ASSERT_NE(n.h, nullptr);
    auto par = random_vector(113, 111, 0.4);
    const auto X = random_vector(12, 112);
    const std::vector<double> Y = {0.1, 0.2, 0.3, 0.4};
    std::vector<double> F(4), G(4, NAN);
    double J = NAN, K = NAN;
    ASSERT_EQ(velt_compute(n.h, par.data(), 113, X.data(), 4, 3, 0, F.data()), 0);
    ASSERT_EQ(velt_obj(n.h, par.data(), 113, X.data(), Y.data(), 4, 3, 1, &J), 0);
    par.push_back(std::numeric_limits<double>::quiet_NaN());
    par.push_back(std::numeric_limits<double>::infinity());
    std::string err;
    {
        CaptureFd e(2);
        EXPECT_EQ(velt_compute(n.h, par.data(), 115, X.data(), 4, 3, 0, G.data()), 0);
        EXPECT_EQ(velt_obj(n.h, par.data(), 115, X.data(), Y.data(), 4, 3, 1, &K), 0);
        EXPECT_EQ(velt_setweights(n.h, par.data(), 115), 0);
        err = e.text();
    }
    EXPECT_EQ(err, "");
    EXPECT_EQ(G, F);
    EXPECT_EQ(K, J);
}

TEST(Concurrency, DistinctHandlesFromTwoThreadsGiveTheSerialResults) {
    // Each caller thread runs its own handle with a 2-thread batch split; nothing may be shared.
    const std::string d[2] = {"3 2 3 1 16 3 6 6 softplus sum_log_dnorm_fat", "3 2 3 1 16 3 5 6 atan sum"};
    Net a(d[0]), b(d[1]);
    void* h[2] = {a.h, b.h};
    std::vector<double> par[2], X[2], Y[2];
    double serial[2], J[2][20];
    for (int i = 0; i < 2; ++i) {
        ASSERT_NE(h[i], nullptr);
        ASSERT_EQ(velt_setpar(h[i], 2, 16), 0);
        par[i] = random_vector(velt_numel(h[i]), 400 + i, 0.5);
        X[i] = random_vector(90 * 3, 410 + i);
        Y[i] = random_vector(90 * 2, 420 + i);
        ASSERT_EQ(velt_obj(h[i], par[i].data(), uint32_t(par[i].size()), X[i].data(), Y[i].data(), 90, 3, 2, &serial[i]), 0);
    }
    int status[2][20];
    auto run = [&](int i) {
        for (int k = 0; k < 20; ++k)
            status[i][k] = velt_obj(h[i], par[i].data(), uint32_t(par[i].size()), X[i].data(), Y[i].data(), 90, 3, 2, &J[i][k]);
    };
    std::thread t0(run, 0), t1(run, 1);
    t0.join();
    t1.join();
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 20; ++k) {
            EXPECT_EQ(status[i][k], 0);
            // Two batch threads may add their parts in either order: equal up to rounding.
            EXPECT_NEAR(J[i][k], serial[i], 1e-13 * (1 + std::fabs(serial[i])));
        }
}
