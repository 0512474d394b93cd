// The gradient against central finite differences of the objective, and its invariances.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fd.h"
#include "support/net.h"

namespace {

struct Data {
    std::vector<double> X, Y;
    unsigned R, C;
};

Data make_data(Net const& net, unsigned R, unsigned C, unsigned seed) {
    Data d{random_vector(std::size_t(R) * C, seed), random_vector(std::size_t(R) * net.nout(), seed + 1, 0.4), R, C};
    return d;
}

double objective(Net const& net, std::vector<double> const& w, Data const& d) {
    double J = 0;
    EXPECT_EQ(velt_obj(net.h, w.data(), unsigned(w.size()), d.X.data(), d.Y.data(), d.R, d.C, net.nout(), &J), 0);
    return J;
}

struct Gradient {
    double J;
    std::vector<double> g;
};

Gradient gradient(Net const& net, std::vector<double> const& w, Data const& d) {
    Gradient out{0, std::vector<double>(w.size(), -1.0)};
    EXPECT_EQ(velt_g(net.h, w.data(), unsigned(w.size()), d.X.data(), d.Y.data(), d.R, d.C, net.nout(), &out.J,
                     out.g.data()),
              0);
    return out;
}

struct Case {
    std::string description;
    unsigned rows, cols, threads, batch;
    double scale;  // parameter scale: small keeps residuals inside the norm's core, away from |r| = 2
};

class GradientFd : public ::testing::TestWithParam<Case> {};

TEST_P(GradientFd, MatchesFiniteDifferencesOfTheObjective) {
    const Case c = GetParam();
    Net net(c.description);
    ASSERT_NE(net.h, nullptr);
    ASSERT_EQ(velt_setpar(net.h, c.threads, int(c.batch)), 0);
    const Data d = make_data(net, c.rows, c.cols, 11);
    const std::vector<double> w = random_vector(net.numel(), 5, c.scale);
    const Gradient got = gradient(net, w, d);
    EXPECT_NEAR(got.J, objective(net, w, d), 1e-12 * (1 + std::fabs(got.J)));
    const auto f = [&](std::vector<double> const& p) { return objective(net, p, d); };
    EXPECT_FD_NEAR(got.g, fd::gradient(f, w));
}

INSTANTIATE_TEST_SUITE_P(
    Networks, GradientFd,
    ::testing::Values(Case{"3 1 3 1 16 3 8 8 softplus sum", 7, 3, 1, 32, 0.5},
                      Case{"3 2 3 1 16 3 5 4 atan sum_log_dnorm_fat", 10, 2, 1, 32, 0.3},    // C < sizes[0]
                      Case{"2 2 3 2 16 3 4 3 softplus_shifted sum_log_dnorm_fat", 9, 2, 1, 32, 0.3},  // niter 2
                      Case{"3 1 3 2 16 3 5 3 id sum", 1, 3, 1, 32, 0.5},                      // one row
                      Case{"4 3 3 1 16 4 6 5 relu sum", 45, 4, 2, 8, 0.5},                    // 6 batches, 2 threads
                      Case{"4 2 4 1 16 4 6 6 5 atan sum_log_dnorm_fat", 70, 4, 2, 32, 0.2},   // 32 + 32 + 6 rows
                      Case{"3 1 2 1 16 3 4 softmax sum", 13, 3, 2, 4, 0.5},
                      // three runs through a stack of widths 3, 5, 2, 3 in several batches: the
                      // per-layer adjoints of one thread are reused across layers, runs and batches
                      Case{"3 2 4 3 8 3 5 2 3 softplus sum_log_dnorm_fat", 29, 3, 2, 8, 0.3}),
    [](auto const& info) { return "net" + std::to_string(info.index); });

TEST(Gradient, BatchedEqualsSingleBlockAndIsRepeatable) {
    Net net("8 2 3 1 32 8 16 8 softplus sum_log_dnorm_fat");
    const Data d = make_data(net, 100, 8, 3);
    const std::vector<double> w = random_vector(net.numel(), 4, 0.3);
    ASSERT_EQ(velt_setpar(net.h, 1, 1000), 0);
    const Gradient single = gradient(net, w, d);
    for (unsigned threads : {1u, 2u}) {
        ASSERT_EQ(velt_setpar(net.h, threads, 32), 0);
        const Gradient batched = gradient(net, w, d);
        EXPECT_NEAR(batched.J, single.J, 1e-13 * std::fabs(single.J));
        for (std::size_t i = 0; i < w.size(); ++i)
            EXPECT_NEAR(batched.g[i], single.g[i], 1e-13 * (1 + std::fabs(single.g[i]))) << i;
        const Gradient again = gradient(net, w, d);
        if (threads == 1) {
            EXPECT_EQ(again.g, batched.g);  // one thread: the same order of additions
        }
        EXPECT_NEAR(again.J, batched.J, 1e-14 * std::fabs(batched.J));
    }
}

TEST(Gradient, LeavesTheHandlesWeightsAlone) {
    Net net("3 1 3 1 16 3 8 8 softplus sum");
    const std::vector<double> stored = random_vector(113, 9);
    ASSERT_EQ(velt_setweights(net.h, stored.data(), 113), 0);
    const Data d = make_data(net, 5, 3, 1);
    gradient(net, random_vector(113, 10), d);
    std::vector<double> after(113);
    ASSERT_EQ(velt_getweights(net.h, after.data(), 113), 0);
    EXPECT_EQ(after, stored);
}

// With "id" and "sum" the objective is linear in the output bias: each entry of its gradient
// is R / (R * nout) = 1 / nout.
TEST(Gradient, IdentitySumOutputBiasIsOneOverNout) {
    Net net("3 4 3 1 16 3 5 2 id sum");
    const Data d = make_data(net, 37, 3, 2);
    ASSERT_EQ(velt_setpar(net.h, 2, 8), 0);
    const Gradient got = gradient(net, random_vector(net.numel(), 3), d);
    const unsigned bias_at = 5 + 15 + 2 + 10;  // bias 0, weights 0, bias 1, weights 1
    for (unsigned j = 0; j < 4; ++j) EXPECT_NEAR(got.g[bias_at + j], 0.25, 1e-15);
}

TEST(Gradient, FailsExactlyWhereTheObjectiveFails) {
    Net net("3 1 3 1 16 3 8 8 softplus sum");
    const std::vector<double> w(113, 0.1);
    std::vector<double> X(6, 1.0), Y(2, 0.0), g(113, 7.0);
    double J = 7.0;
    // Bad arguments: -1 and nothing written.
    EXPECT_EQ(velt_g(nullptr, w.data(), 113, X.data(), Y.data(), 2, 3, 1, &J, g.data()), -1);
    EXPECT_EQ(velt_g(net.h, w.data(), 112, X.data(), Y.data(), 2, 3, 1, &J, g.data()), -1);
    EXPECT_EQ(velt_g(net.h, w.data(), 113, X.data(), Y.data(), 2, 3, 2, &J, g.data()), -1);
    EXPECT_EQ(velt_g(net.h, w.data(), 113, X.data(), Y.data(), 0, 3, 1, &J, g.data()), -1);
    EXPECT_EQ(velt_g(net.h, w.data(), 113, nullptr, Y.data(), 2, 3, 1, &J, g.data()), -1);
    EXPECT_EQ(velt_g(net.h, w.data(), 113, X.data(), Y.data(), 2, 3, 1, &J, nullptr), -1);
    {
        CaptureFd err(2);
        EXPECT_EQ(velt_g(net.h, w.data(), 113, X.data(), Y.data(), 1, 4, 1, &J, g.data()), -1);
        EXPECT_EQ(err.text(), "too many predicates: 4 > 3\n");
    }
    EXPECT_EQ(J, 7.0);
    EXPECT_EQ(g, std::vector<double>(113, 7.0));
    // A NaN input is a floating-point event in both.
    X[4] = std::nan("");
    EXPECT_EQ(velt_obj(net.h, w.data(), 113, X.data(), Y.data(), 2, 3, 1, &J), -2);
    EXPECT_EQ(velt_g(net.h, w.data(), 113, X.data(), Y.data(), 2, 3, 1, &J, g.data()), -2);
    // An unknown norm: the handle serves velt_compute but not the gradient.
    Net nonorm("3 1 3 1 16 3 8 8 softplus nonorm");
    ASSERT_NE(nonorm.h, nullptr);
    X[4] = 1.0;
    EXPECT_EQ(velt_g(nonorm.h, w.data(), 113, X.data(), Y.data(), 2, 3, 1, &J, g.data()), -1);
}

}  // namespace
