// Activations and their adjoints: values at the stated points, the 300 threshold of softplus,
// result shapes, and every adjoint against central differences of the plain function.
#include <gtest/gtest.h>

#include <fenv.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "support/apply.h"
#include "functions/activations.h"
#include "core/matrix.h"
#include "support/fd.h"

using namespace veltn;

namespace {

Mat mat(std::size_t r, std::size_t c, std::vector<double> const& v) {
    Mat m(r, c);
    for (std::size_t i = 0; i < v.size(); ++i) m.data[i] = v[i];
    return m;
}

std::vector<double> values(Mat const& m) { return std::vector<double>(std::begin(m.data), std::end(m.data)); }

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

using ActFn = void (*)(Mat const&, Mat&);
using AdjFn = void (*)(Mat const&, Mat const&, Mat&);

// Checks adj(Z, dA) against the gradient of <dA, f(Z)> with respect to Z by central differences.
void expect_adjoint_matches_fd(ActFn f, AdjFn adj, std::vector<double> const& z, std::vector<double> const& a) {
    const Mat Z = mat(z.size(), 1, z);
    const Mat dA = mat(a.size(), 1, a);
    Mat dZ;
    adj(Z, dA, dZ);
    const auto g = fd::gradient(
        [&](std::vector<double> const& x) {
            const Mat F = applied(f, mat(x.size(), 1, x));
            double s = 0.0;
            for (std::size_t i = 0; i < x.size(); ++i) s += a[i] * F.data[i];
            return s;
        },
        z);
    EXPECT_FD_NEAR(values(dZ), g);
}

// Points away from every kink and threshold, on both sides of them.
const std::vector<double> kPoints = {-7.5, -2.25, -0.6, -0.05, 0.07, 0.8, 1.9, 4.4, 35.0, 299.0, 305.0, 1200.0};
const std::vector<double> kSeeds = {0.3, -1.1, 2.0, 0.75, -0.4, 1.6, -2.2, 0.9, 1.3, -0.7, 0.5, 2.5};

}  // namespace

TEST(Activations, IdCopiesAndItsAdjointPassesTheSeed) {
    const Mat Z = mat(2, 3, {1, -2, 3, -0.0, 5, 6});
    const Mat F = applied(&id_into<Mat>, Z);
    EXPECT_EQ(F.rows, 2u);
    EXPECT_EQ(F.cols, 3u);
    EXPECT_EQ(values(F), values(Z));
    // dZ takes dA's shape, whatever it held before.
    Mat dZ = mat(1, 1, {42});
    const Mat dA = mat(3, 2, {1, 2, 3, 4, 5, 6});
    adj_id<Mat>(Z, dA, dZ);
    EXPECT_EQ(dZ.rows, 3u);
    EXPECT_EQ(dZ.cols, 2u);
    EXPECT_EQ(values(dZ), values(dA));
}

TEST(Activations, ReluAtTheStatedPoints) {
    const Mat Z = mat(1, 5, {-2.0, -0.0, 0.0, 3.0, NAN});
    const Mat F = applied(&act_relu_into<Mat, Vec>, Z);
    EXPECT_EQ(F.data[0], 0.0);
    EXPECT_FALSE(std::signbit(F.data[0]));
    // -0.0 is not below 0.0: it is kept with its sign.
    EXPECT_EQ(bits(F.data[1]), bits(-0.0));
    EXPECT_EQ(bits(F.data[2]), bits(0.0));
    EXPECT_EQ(F.data[3], 3.0);
    EXPECT_TRUE(std::isnan(F.data[4]));
}

TEST(Activations, ReluAdjointPassesTheSeedAtAndAboveTheKink) {
    const Mat Z = mat(1, 4, {-2.0, -0.0, 0.0, 3.0});
    const Mat dA = mat(1, 4, {1.5, 2.5, 3.5, 4.5});
    Mat dZ = mat(2, 1, {9, 9});
    adj_act_relu<Mat, Vec>(Z, dA, dZ);
    EXPECT_EQ(values(dZ), (std::vector<double>{0.0, 2.5, 3.5, 4.5}));
    EXPECT_EQ(dZ.rows, 1u);
    EXPECT_EQ(dZ.cols, 4u);
}

TEST(Activations, ReluAdjointTakesZsShapeWhenDaIsShapedDifferently) {
    const Mat Z = mat(2, 3, {-1, 2, -3, 4, -5, 6});
    const Mat dA = mat(3, 2, {1, 1, 1, 1, 1, 1});
    Mat dZ;
    adj_act_relu<Mat, Vec>(Z, dA, dZ);
    EXPECT_EQ(dZ.rows, 2u);
    EXPECT_EQ(dZ.cols, 3u);
    EXPECT_EQ(values(dZ), (std::vector<double>{0, 1, 0, 1, 0, 1}));
}

TEST(Activations, AtanValuesAndAdjointAtZeroAndOne) {
    const Mat Z = mat(1, 3, {0.0, 1.0, -1.0});
    const Mat F = applied(&act_atan_into<Mat, Vec>, Z);
    EXPECT_EQ(F.data[0], 0.0);
    EXPECT_DOUBLE_EQ(F.data[1], M_PI / 4);
    EXPECT_DOUBLE_EQ(F.data[2], -M_PI / 4);
    Mat dZ = mat(1, 1, {7});
    adj_act_atan<Mat, Vec>(Z, mat(3, 1, {3.0, 3.0, 5.0}), dZ);
    EXPECT_EQ(dZ.rows, 1u);
    EXPECT_EQ(dZ.cols, 3u);
    EXPECT_EQ(values(dZ), (std::vector<double>{3.0, 1.5, 2.5}));
}

TEST(Activations, SoftplusAtTheStatedPoints) {
    const Mat Z = mat(1, 6, {0.0, 299.9, 300.0, 301.5, -800.0, -30.0});
    const Mat F = applied(&softplus_into<Mat, Vec>, Z);
    EXPECT_EQ(F.data[0], 0.6931471805599453);
    EXPECT_NEAR(F.data[1], 299.9, 1e-12);
    EXPECT_EQ(F.data[2], 300.0);
    EXPECT_EQ(F.data[3], 301.5);
    // exp(-800) underflows to 0, log(1) = 0 exactly.
    EXPECT_EQ(bits(F.data[4]), bits(0.0));
    // The stated form log(exp(z) + 1.0), not log1p (whose value differs here).
    EXPECT_EQ(F.data[5], std::log(std::exp(-30.0) + 1.0));
}

TEST(Activations, SoftplusNeverEvaluatesExpAtOrAboveTheThreshold) {
    // exp(710) would overflow; the identity branch must be taken without raising the flag.
    const Mat Z = mat(1, 4, {300.0, 710.0, 1e5, 1e300});
    feclearexcept(FE_ALL_EXCEPT);
    const Mat F = applied(&softplus_into<Mat, Vec>, Z);
    Mat dZ;
    adj_softplus<Mat, Vec>(Z, mat(1, 4, {2, 2, 2, 2}), dZ);
    const int raised = fetestexcept(FE_OVERFLOW | FE_INVALID);
    EXPECT_EQ(raised, 0);
    EXPECT_EQ(values(F), values(Z));
    EXPECT_EQ(values(dZ), (std::vector<double>{2, 2, 2, 2}));
}

TEST(Activations, SoftplusKeepsNaN) {
    const Mat F = applied(&softplus_into<Mat, Vec>, mat(1, 2, {NAN, 1.0}));
    EXPECT_TRUE(std::isnan(F.data[0]));
    EXPECT_DOUBLE_EQ(F.data[1], std::log1p(std::exp(1.0)));
}

TEST(Activations, SoftplusAdjointAtZeroThresholdAndUnderflow) {
    const Mat Z = mat(1, 3, {0.0, 300.0, -800.0});
    Mat dZ;
    adj_softplus<Mat, Vec>(Z, mat(1, 3, {3.0, 3.0, 3.0}), dZ);
    EXPECT_EQ(values(dZ), (std::vector<double>{1.5, 3.0, 0.0}));
    // dZ takes dA's shape.
    adj_softplus<Mat, Vec>(Z, mat(3, 1, {1.0, 1.0, 1.0}), dZ);
    EXPECT_EQ(dZ.rows, 3u);
    EXPECT_EQ(dZ.cols, 1u);
}

TEST(Activations, SoftplusShiftedIsSoftplusMinusOne) {
    const Mat Z = mat(1, 4, {0.0, 400.0, -800.0, 2.5});
    const Mat F = applied(&softplus_shifted_into<Mat, Vec>, Z);
    EXPECT_EQ(F.data[0], 0.6931471805599453 - 1.0);
    EXPECT_EQ(F.data[1], 399.0);
    EXPECT_EQ(F.data[2], -1.0);
    EXPECT_DOUBLE_EQ(F.data[3], std::log1p(std::exp(2.5)) - 1.0);
}

TEST(Activations, IntoFormsOverwriteAStaleOrAliasedTarget) {
    using Into = void (*)(Mat const&, Mat&);
    const Into forms[] = {&id_into<Mat>, &act_relu_into<Mat, Vec>, &act_atan_into<Mat, Vec>, &softplus_into<Mat, Vec>,
                          &softplus_shifted_into<Mat, Vec>};
    const Mat Z = mat(3, 4, kPoints);
    for (std::size_t f = 0; f < std::size(forms); ++f) {
        SCOPED_TRACE(f);
        const Mat want = applied(forms[f], Z);  // into a fresh target
        Mat stale = mat(2, 9, std::vector<double>(18, NAN));  // another shape, NaN everywhere
        for (int round = 0; round < 2; ++round) {
            forms[f](Z, stale);
            EXPECT_EQ(stale.rows, 3u);
            EXPECT_EQ(stale.cols, 4u);
            ASSERT_EQ(stale.size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(bits(stale.data[i]), bits(want.data[i])) << i;
        }
        Mat aliased = Z;
        forms[f](aliased, aliased);
        for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(bits(aliased.data[i]), bits(want.data[i])) << i;
    }
}

TEST(ActivationAdjoints, MatchCentralDifferences) {
    std::vector<double> away_from_kink;
    for (double z : kPoints)
        if (std::fabs(z) > 1e-3) away_from_kink.push_back(z);
    std::vector<double> seeds(kSeeds.begin(), kSeeds.begin() + away_from_kink.size());
    {
        SCOPED_TRACE("id");
        expect_adjoint_matches_fd(&id_into<Mat>, &adj_id<Mat>, kPoints, kSeeds);
    }
    {
        SCOPED_TRACE("relu");
        expect_adjoint_matches_fd(&act_relu_into<Mat, Vec>, &adj_act_relu<Mat, Vec>, away_from_kink, seeds);
    }
    {
        SCOPED_TRACE("atan");
        expect_adjoint_matches_fd(&act_atan_into<Mat, Vec>, &adj_act_atan<Mat, Vec>, kPoints, kSeeds);
    }
    {
        SCOPED_TRACE("softplus");
        expect_adjoint_matches_fd(&softplus_into<Mat, Vec>, &adj_softplus<Mat, Vec>, kPoints, kSeeds);
    }
    {
        SCOPED_TRACE("softplus_shifted");
        expect_adjoint_matches_fd(&softplus_shifted_into<Mat, Vec>, &adj_softplus<Mat, Vec>, kPoints, kSeeds);
    }
}
