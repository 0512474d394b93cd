// The generic forward and reverse passes run over the tangent model: values equal the plain
// model's bit for bit, tangents equal central differences of the plain model along the seeded
// parameter directions (outputs and objective for the forward pass, the gradient for the
// reverse pass).
#include <gtest/gtest.h>

#include <string>

#include "forward/tangent_functions.h"
#include "functions/registry.h"
#include "forward/tangent_ops.h"
#include "forward/tangent_test_util.h"
#include "model/forward_pass.h"
#include "model/mknn.h"
#include "model/parameters.h"
#include "reverse/reverse_pass.h"

using namespace veltn;

using namespace tangent_test;
using ActiveScalar = tanad::FO::Dynamic::Active<1>;

namespace {

constexpr unsigned kDirs = 2;

template <class NN>
NN build(std::string const& text, uint32_t batch, uint32_t nthreads) {
    NN nn = mknn<NN>(text);
    EXPECT_TRUE(nn.has_norm()) << text;
    nn.batch = batch;
    nn.nthreads = nthreads;
    return nn;
}

PlainNN plain_at(PlainNN nn, Vec const& p) {
    setweights(nn, p);
    return nn;
}

Vec plain_gradient(PlainNN const& nn, Mat const& X, Mat const& Y) {
    PlainNN adj = nn;
    zero_parameters(adj);
    adj_objv(nn, X, Y, 1.0, adj);
    return getweights(adj);
}

struct Case {
    std::string act, norm;
    uint32_t batch, nthreads;
};

void run_case(Case const& c) {
    SCOPED_TRACE(c.act + " " + c.norm + " batch " + std::to_string(c.batch));
    // niter 2: the hidden stack runs twice, so widths start and end at 4.
    const std::string text = "3 2 3 2 32 4 5 4 " + c.act + " " + c.norm;
    const PlainNN plain = build<PlainNN>(text, c.batch, c.nthreads);
    const std::size_t n = numel(plain);
    const Vec p = random_vec(n, 41, 0.6);
    const Mat X = random_mat(5, 3, 42, 1.5);
    const Mat Y = random_mat(5, 2, 43, 2.0);

    DirectionCounts counts(kDirs);
    TangentNN tn = build<TangentNN>(text, c.batch, c.nthreads);
    const fad1<Vec> seeded = seeded_vec(p, kDirs, 44);
    setweights(tn, seeded);
    const auto plain_along = [&](std::size_t d, double e) { return plain_at(plain, along(seeded, d, e)); };
    const PlainNN at_p = plain_at(plain, p);
    const bool single_batch = c.batch >= X.rows;

    // Outputs.
    const fad1<Mat> F = computev(tn, X);
    expect_bits_equal(F.value.data, computev(at_p, X).data, "computev value");
    ASSERT_EQ(F.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) {
        const Vec ref = central([&](double e) { return computev(plain_along(d, e), X).data; });
        expect_close(F.tangents[d].data, ref, "computev tangent", 1e-6, 1e-7);
    }

    // Objective.
    const ActiveScalar J = objv(tn, X, Y);
    const double Jp = objv(at_p, X, Y);
    if (single_batch) {
        EXPECT_TRUE(same_bits(J.value, Jp)) << J.value << " vs " << Jp;
    } else {
        EXPECT_NEAR(J.value, Jp, 1e-13 * (1.0 + std::fabs(Jp)));
    }
    for (unsigned d = 0; d < kDirs; ++d) {
        const Vec ref = central([&](double e) { return Vec{objv(plain_along(d, e), X, Y)}; });
        EXPECT_TRUE(fd::close(J.tangents[d], ref[0])) << "objv tangent " << d << ": " << J.tangents[d] << " vs " << ref[0];
    }

    // Gradient with its directional derivatives (Hessian times direction).
    TangentNN adj = tn;
    zero_parameters(adj);
    const ActiveScalar Jr = adj_objv(tn, X, Y, ActiveScalar(1.0), adj);
    const fad1<Vec> g = getweights(adj);
    const Vec gp = plain_gradient(at_p, X, Y);
    if (single_batch) {
        EXPECT_TRUE(same_bits(Jr.value, Jp));
        expect_bits_equal(g.value, gp, "gradient value");
    } else {
        expect_close(g.value, gp, "gradient value", 1e-12, 1e-14);
    }
    ASSERT_EQ(g.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) {
        const Vec ref = central([&](double e) { return plain_gradient(plain_along(d, e), X, Y); });
        expect_close(g.tangents[d], ref, "gradient tangent " + std::to_string(d), 1e-5, 1e-7);
    }
}

}  // namespace

TEST(TangentNetwork, EveryActivationAndNormMatchesPlainModel) {
    // Every row of the function table, read over both type sets.
    for (auto const& act : activation_rows<Mat, Vec>)
        for (auto const& norm : norm_rows<Mat, Vec, double>) run_case({act.name, norm.name, 32, 1});
}

TEST(TangentNetwork, BatchedOnTwoThreads) {
    run_case({"softplus", "sum_log_dnorm_fat", 2, 2});
    run_case({"atan", "sum", 2, 2});
}

TEST(TangentNetwork, ZeroDirectionsGiveZeroTangents) {
    const std::string text = "3 2 3 1 32 3 4 4 softplus sum_log_dnorm_fat";
    DirectionCounts counts(kDirs);
    TangentNN tn = build<TangentNN>(text, 32, 1);
    const PlainNN plain = build<PlainNN>(text, 32, 1);
    const Vec p = random_vec(numel(plain), 45, 0.6);
    setweights(tn, fad1<Vec>(p, kDirs));
    const Mat X = random_mat(4, 3, 46);
    const Mat Y = random_mat(4, 2, 47);
    const fad1<Mat> F = computev(tn, X);
    expect_bits_equal(F.value.data, computev(plain_at(plain, p), X).data, "value");
    for (unsigned d = 0; d < kDirs; ++d)
        for (double t : F.tangents[d].data) EXPECT_EQ(t, 0.0);
    const ActiveScalar J = objv(tn, X, Y);
    for (unsigned d = 0; d < kDirs; ++d) EXPECT_EQ(J.tangents[d], 0.0);
}

TEST(TangentNetwork, BindsTheTangentInstances) {
    DirectionCounts counts(1);
    const TangentNN relu = build<TangentNN>("2 1 2 1 32 2 2 relu sum_log_dnorm_fat", 32, 1);
    EXPECT_EQ(relu.act_into, (&act_relu_into<fad1<Mat>, fad1<Vec>>));
    EXPECT_EQ(relu.adj_act, (&adj_act_relu<fad1<Mat>, fad1<Vec>>));
    EXPECT_EQ(relu.norm_sum, (&sum_log_dnorm<fad1<Mat>, ActiveScalar>));
    EXPECT_EQ(relu.adj_norm_vec, (&adj_log_dnorm<fad1<Mat>, fad1<Vec>>));
    const TangentNN sp = build<TangentNN>("2 1 2 1 32 2 2 softplus_shifted sum", 32, 1);
    EXPECT_EQ(sp.act_into, (&softplus_shifted_into<fad1<Mat>, fad1<Vec>>));
    EXPECT_EQ(sp.adj_act, (&adj_softplus<fad1<Mat>, fad1<Vec>>));
    EXPECT_EQ(sp.norm_sum, (&normfun_sum<fad1<Mat>, ActiveScalar>));
    EXPECT_EQ(sp.weights[1].tangents.size(), 1u);
    EXPECT_EQ(sp.biases[0].value.size(), 2u);
}
