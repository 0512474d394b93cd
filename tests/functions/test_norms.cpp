// Norm functions: values of "sum" and "sum_log_dnorm_fat" at the stated points, the cut-off
// at |r| = 2, the stated constants to the bit, summation order, and every adjoint against
// central differences of the plain function (points kept away from the cut-off).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "functions/norms.h"
#include "core/matrix.h"
#include "support/fd.h"
#include "veltn.h"

using namespace veltn;

namespace {

// The constants as stated for the "sum_log_dnorm_fat" norm.
constexpr double kSigma = 0.3333333333333333;
constexpr double kGamma = 0.0004785973257525766;
constexpr double kGamma2 = 2.290554002175179e-07;
constexpr double kB = 0.17967375546343706;
constexpr double kPi = 3.141592653589793;

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

Mat mat(std::size_t r, std::size_t c, std::vector<double> const& v) {
    Mat m(r, c);
    for (std::size_t i = 0; i < v.size(); ++i) m.data[i] = v[i];
    return m;
}

Vec vec(std::vector<double> const& v) { return Vec(v.data(), v.size()); }
std::vector<double> values(Vec const& v) { return std::vector<double>(std::begin(v), std::end(v)); }

// -log of the density as the mathematics states it: the normal core 4.5 r^2 below |r| = 2,
// the shifted Cauchy tail at and beyond.
double expected_term(double r) {
    if (std::fabs(r) < 2.0) return r * r / (2.0 * kSigma * kSigma);
    return -std::log(kGamma / (kPi * (r * r + kGamma * kGamma))) + kB;
}

double expected_density(double x, double sigma, double gamma) {
    if (std::fabs(x) < 6.0 * sigma) return std::exp(-x * x / (2 * sigma * sigma)) / std::sqrt(2 * kPi * sigma * sigma);
    return gamma / (kPi * (x * x + gamma * gamma));
}

// Residuals on both sides of the cut-off, none within 0.05 of it.
const std::vector<double> kResiduals = {-9.0, -2.6, -1.7, -0.4, 0.0, 0.03, 0.9, 1.5, 1.93, 2.07, 3.3, 40.0};
const std::vector<double> kWeights = {0.4, -1.3, 2.1, 0.7, -0.2, 1.1, -0.9, 0.35, 1.8, -0.6, 0.5, 1.25};

}  // namespace

TEST(NormConstants, ExportedBiasAndSigmaAreExactBitPatterns) {
    EXPECT_EQ(bits(velt_logp_bias(nullptr)), 0x3FC6FF8CB3D51D86u);
    EXPECT_EQ(bits(velt_logp_sigma(nullptr)), 0x3FD5555555555555u);
    // b is the shift that makes the log density zero at r = 0.
    EXPECT_NEAR(velt_logp_bias(nullptr), -std::log(kSigma * std::sqrt(2 * kPi)), 1e-16);
}

TEST(NormConstants, LibraryConstantsEqualTheStatedLiterals) {
    EXPECT_EQ(bits(norm_constants::kSigma), bits(kSigma));
    EXPECT_EQ(bits(norm_constants::kGamma), bits(kGamma));
    EXPECT_EQ(bits(norm_constants::kGamma2), bits(kGamma2));
    EXPECT_EQ(bits(norm_constants::kBias), bits(kB));
    EXPECT_EQ(bits(norm_constants::kPi), bits(kPi));
    EXPECT_EQ(bits(norm_constants::kTwoPi), bits(6.283185307179586));
}

TEST(SumNorm, ValuesAndAdjointsAtTheStatedPoints) {
    const Mat R = mat(1, 3, {1, -2, 4});
    EXPECT_EQ((normfun_sum<Mat, double>(R)), 3.0);
    EXPECT_EQ(values(normfun<Mat, Vec>(R)), (std::vector<double>{1, -2, 4}));
    Mat adjR = mat(1, 3, {7, 7, 7});
    double s = 0.5;
    adj_normfun_sum<Mat, double>(R, s, adjR);
    EXPECT_EQ(values(adjR.data), (std::vector<double>{0.5, 0.5, 0.5}));
}

TEST(SumNorm, SumsInIndexOrderFromTheFirstElement) {
    // 1e16 + 1 rounds back to 1e16: index order gives 1 for the first and 0 for the second,
    // reverse order the opposite.
    EXPECT_EQ((normfun_sum<Mat, double>(mat(1, 3, {1e16, -1e16, 1.0}))), 1.0);
    EXPECT_EQ((normfun_sum<Mat, double>(mat(3, 1, {1.0, 1e16, -1e16}))), 0.0);
}

TEST(SumNorm, ElementwiseAdjointTakesTheWeights) {
    const Mat R = mat(2, 2, {1, 2, 3, 4});
    Mat adjR = mat(2, 2, {0, 0, 0, 0});
    adj_normfun<Mat, Vec>(R, vec({0.1, -0.2, 0.3, -0.4}), adjR);
    EXPECT_EQ(values(adjR.data), (std::vector<double>{0.1, -0.2, 0.3, -0.4}));
    EXPECT_EQ(adjR.rows, 2u);
    EXPECT_EQ(adjR.cols, 2u);
}

TEST(FatNorm, LogDensityAtTheStatedPoints) {
    const Vec v = log_dnorm_vec(vec({0.0, 1.0, 1.9999, 2.0, -2.0, -1.0}));
    EXPECT_EQ(bits(v[0]), bits(0.0));  // exactly 0 at r = 0
    EXPECT_NEAR(v[1], 4.5, 1e-12);
    EXPECT_NEAR(v[2], 4.5 * 1.9999 * 1.9999, 1e-11);
    // At the cut-off the tail takes over: about 10.355349.
    EXPECT_NEAR(v[3], expected_term(2.0), 1e-12);
    EXPECT_NEAR(v[3], 10.355349, 1e-6);
    EXPECT_EQ(v[4], v[3]);
    EXPECT_NEAR(v[5], 4.5, 1e-12);
}

TEST(FatNorm, ElementwiseAndSummedFormsMatchTheMathematics) {
    const Mat R = mat(3, 4, kResiduals);
    const Vec terms = log_dnorm<Mat, Vec>(R);
    ASSERT_EQ(terms.size(), kResiduals.size());
    double total = 0.0;
    for (std::size_t i = 0; i < kResiduals.size(); ++i) {
        EXPECT_NEAR(terms[i], expected_term(kResiduals[i]), 1e-12 + 1e-12 * std::fabs(expected_term(kResiduals[i])))
            << "r = " << kResiduals[i];
        total += terms[i];
    }
    EXPECT_NEAR((sum_log_dnorm<Mat, double>(R)), total, 1e-12 * std::fabs(total));
}

TEST(FatNorm, DensityCoreAndTailWithAGivenSigma) {
    // sigma sets the core and the cut-off (6 sigma); the tail scale stays gamma.
    for (double sigma : {kSigma, 0.5}) {
        const std::vector<double> x = {-3.5, -2.9, -0.7, 0.0, 1.2, 2.95, 3.05, 12.0};
        const Vec p = dnorm_fat(vec(x), sigma);
        for (std::size_t i = 0; i < x.size(); ++i)
            EXPECT_NEAR(p[i], expected_density(x[i], sigma, kGamma), 1e-14 * std::fabs(expected_density(x[i], sigma, kGamma)) + 1e-300)
                << "sigma " << sigma << " x " << x[i];
    }
}

TEST(FatNorm, AdjointsAtTheStatedPoints) {
    Vec out;
    adj_log_dnorm_vec(vec({0.0, 1.0, 2.0}), vec({1.0, 1.0, 1.0}), out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_NEAR(out[1], 9.0, 1e-12);
    EXPECT_NEAR(out[2], 2 * 2.0 / (4.0 + kGamma * kGamma), 1e-12);
}

TEST(FatNorm, SummedAdjointWithSeedOneOverNEqualsElementwiseAdjoint) {
    const Mat R = mat(3, 4, kResiduals);
    const double n = double(kResiduals.size());
    double s = 1.0 / n;
    Mat a(3, 4), b(3, 4);
    adj_sum_log_dnorm<Mat, double>(R, s, a);
    adj_log_dnorm<Mat, Vec>(R, Vec(1.0 / n, kResiduals.size()), b);
    EXPECT_EQ(a.rows, 3u);
    EXPECT_EQ(a.cols, 4u);
    EXPECT_EQ(b.rows, 3u);
    EXPECT_EQ(b.cols, 4u);
    for (std::size_t i = 0; i < kResiduals.size(); ++i) EXPECT_DOUBLE_EQ(a.data[i], b.data[i]) << i;
}

TEST(NormAdjoints, SumMatchesCentralDifferences) {
    const double s = -0.7;
    Mat adjR(3, 4);
    double seed = s;
    adj_normfun_sum<Mat, double>(mat(3, 4, kResiduals), seed, adjR);
    const auto g = fd::gradient([&](std::vector<double> const& r) { return s * normfun_sum<Mat, double>(mat(3, 4, r)); },
                                kResiduals);
    EXPECT_FD_NEAR(values(adjR.data), g);

    Mat adjV(3, 4);
    adj_normfun<Mat, Vec>(mat(3, 4, kResiduals), vec(kWeights), adjV);
    const auto gv = fd::gradient(
        [&](std::vector<double> const& r) {
            const Vec f = normfun<Mat, Vec>(mat(3, 4, r));
            double t = 0.0;
            for (std::size_t i = 0; i < r.size(); ++i) t += kWeights[i] * f[i];
            return t;
        },
        kResiduals);
    EXPECT_FD_NEAR(values(adjV.data), gv);
}

TEST(NormAdjoints, FatNormFormsMatchCentralDifferences) {
    const double s = 0.37;
    {
        SCOPED_TRACE("adj_sum_log_dnorm");
        Mat adjR(3, 4);
        double seed = s;
        adj_sum_log_dnorm<Mat, double>(mat(3, 4, kResiduals), seed, adjR);
        const auto g = fd::gradient(
            [&](std::vector<double> const& r) { return s * sum_log_dnorm<Mat, double>(mat(3, 4, r)); }, kResiduals);
        EXPECT_FD_NEAR(values(adjR.data), g);
    }
    const auto weighted = [&](std::vector<double> const& r) {
        const Vec f = log_dnorm_vec(vec(r));
        double t = 0.0;
        for (std::size_t i = 0; i < r.size(); ++i) t += kWeights[i] * f[i];
        return t;
    };
    const auto g = fd::gradient(weighted, kResiduals);
    {
        SCOPED_TRACE("adj_log_dnorm");
        Mat adjR(3, 4);
        adj_log_dnorm<Mat, Vec>(mat(3, 4, kResiduals), vec(kWeights), adjR);
        EXPECT_EQ(adjR.rows, 3u);
        EXPECT_EQ(adjR.cols, 4u);
        EXPECT_FD_NEAR(values(adjR.data), g);
    }
    {
        SCOPED_TRACE("adj_log_dnorm_vec");
        Vec out(0.0, kResiduals.size());
        adj_log_dnorm_vec(vec(kResiduals), vec(kWeights), out);
        EXPECT_FD_NEAR(values(out), g);
    }
}

TEST(NormAdjoints, DensityAndCauchyMatchCentralDifferences) {
    for (double sigma : {kSigma, 0.5}) {
        SCOPED_TRACE(sigma);
        // Points away from the cut-off 6 sigma (2 and 3).
        const std::vector<double> x = {-4.1, -2.6, -1.4, -0.2, 0.0, 0.45, 1.1, 2.4, 3.7, 25.0};
        const std::vector<double> w(kWeights.begin(), kWeights.begin() + x.size());
        Vec out(0.0, x.size());
        adj_dnorm_fat(vec(x), vec(w), out, sigma);
        const auto g = fd::gradient(
            [&](std::vector<double> const& y) {
                const Vec p = dnorm_fat(vec(y), sigma);
                double t = 0.0;
                for (std::size_t i = 0; i < y.size(); ++i) t += w[i] * p[i];
                return t;
            },
            x);
        EXPECT_FD_NEAR(values(out), g);
    }
    for (double gamma : {kGamma, 0.8}) {
        SCOPED_TRACE(gamma);
        const std::vector<double> x = {-6.0, -2.5, -0.9, 0.0, 0.6, 2.2, 7.5};
        const std::vector<double> w(kWeights.begin(), kWeights.begin() + x.size());
        Vec out;  // resized to x's length
        adj_dcauchy(vec(x), gamma, vec(w), out);
        const auto g = fd::gradient(
            [&](std::vector<double> const& y) {
                double t = 0.0;
                for (std::size_t i = 0; i < y.size(); ++i) t += w[i] * gamma / (kPi * (y[i] * y[i] + gamma * gamma));
                return t;
            },
            x);
        EXPECT_FD_NEAR(values(out), g);
    }
}
