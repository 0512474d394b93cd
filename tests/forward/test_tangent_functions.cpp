// Activations and norm functions over tangent types: values bit for bit equal to the plain
// templates on the same input, tangents equal to central differences of the plain templates
// along each seeded direction, at points on both sides of every threshold.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <functional>
#include <string>

#include "support/apply.h"
#include "forward/tangent_functions.h"
#include "forward/tangent_test_util.h"

using namespace veltn;

using namespace tangent_test;
using ActiveScalar = tanad::FO::Dynamic::Active<1>;

namespace {

constexpr unsigned kDirs = 3;

struct Tol {
    double rel = 1e-6;
    double abs = 1e-7;
};

// got.value must equal value bit for bit; tangent d must match plain_along(d, eps) differenced.
void check(fad1<Vec> const& got, Vec const& value, std::size_t ndir,
           std::function<Vec(std::size_t, double)> const& plain_along, std::string const& what, Tol tol = {}) {
    expect_bits_equal(got.value, value, what + " value");
    ASSERT_EQ(got.tangents.size(), ndir) << what;
    for (std::size_t d = 0; d < ndir; ++d) {
        const Vec ref = central([&](double e) { return plain_along(d, e); });
        expect_close(got.tangents[d], ref, what + " tangent " + std::to_string(d), tol.rel, tol.abs);
    }
}

void check(fad1<Mat> const& got, Mat const& value, std::size_t ndir,
           std::function<Mat(std::size_t, double)> const& plain_along, std::string const& what, Tol tol = {}) {
    EXPECT_EQ(got.value.rows, value.rows) << what;
    EXPECT_EQ(got.value.cols, value.cols) << what;
    ASSERT_EQ(got.tangents.size(), ndir) << what;
    for (std::size_t d = 0; d < ndir; ++d) {
        EXPECT_EQ(got.tangents[d].rows, value.rows) << what;
        EXPECT_EQ(got.tangents[d].cols, value.cols) << what;
    }
    check(asVector(got), value.data, ndir, [&](std::size_t d, double e) { return plain_along(d, e).data; }, what, tol);
}

void check(ActiveScalar const& got, double value, std::size_t ndir,
           std::function<double(std::size_t, double)> const& plain_along, std::string const& what, Tol tol = {}) {
    fad1<Vec> wrapped(Vec{got.value}, static_cast<unsigned>(ndir));
    ASSERT_GE(got.tangents.size(), ndir) << what;
    for (std::size_t d = 0; d < ndir; ++d) wrapped.tangents[d] = got.tangents[d];
    check(wrapped, Vec{value}, ndir, [&](std::size_t d, double e) { return Vec{plain_along(d, e)}; }, what, tol);
}

using TangentAct = void (*)(fad1<Mat> const&, fad1<Mat>&);
using PlainAct = void (*)(Mat const&, Mat&);
using TangentAdj = void (*)(fad1<Mat> const&, fad1<Mat> const&, fad1<Mat>&);
using PlainAdj = void (*)(Mat const&, Mat const&, Mat&);

void check_activation(TangentAct f, PlainAct p, Mat const& z, std::string const& what, Tol tol = {}) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> Z = seeded_mat(z, kDirs, 71);
    check(applied(f, Z), applied(p, z), kDirs, [&](std::size_t d, double e) { return applied(p, along(Z, d, e)); },
          what, tol);
}

void check_adjoint(TangentAdj f, PlainAdj p, Mat const& z, std::string const& what, Tol tol = {}) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> Z = seeded_mat(z, kDirs, 72);
    const fad1<Mat> dA = seeded_mat(random_mat(z.rows, z.cols, 73, 2.0), kDirs, 74);
    fad1<Mat> dZ;
    f(Z, dA, dZ);
    Mat plain;
    p(z, dA.value, plain);
    check(dZ, plain, kDirs,
          [&](std::size_t d, double e) {
              Mat out;
              p(along(Z, d, e), along(dA, d, e), out);
              return out;
          },
          what, tol);
}

// Points on both sides of each threshold, a step of at least 1e-3 away from it.
const Mat kReluPoints = make_mat(2, 4, Vec{-1.5, -0.3, -1e-3, 1e-3, 0.4, 2.0, -7.0, 0.02});
const Mat kAtanPoints = make_mat(2, 3, Vec{-3.0, -0.5, 0.0, 0.7, 10.0, -40.0});
const Mat kSoftplusPoints =
    make_mat(3, 4, Vec{-800.0, -5.0, 0.0, 3.0, 299.5, 299.99, 300.01, 300.5, 1000.0, -30.0, 40.0, 0.5});
// Around 300 and above, central differences of an identity-like function lose about 1e-7 to
// rounding.
const Tol kNear300{1e-6, 1e-6};

}  // namespace

TEST(TangentActivations, IdAndAdjoint) {
    check_activation(&id_into<fad1<Mat>>, &id_into<Mat>, kAtanPoints, "id");
    check_adjoint(&adj_id<fad1<Mat>>, &adj_id<Mat>, kAtanPoints, "adj_id");
}

TEST(TangentActivations, ReluBothSidesOfZero) {
    check_activation(&act_relu_into<fad1<Mat>, fad1<Vec>>, &act_relu_into<Mat, Vec>, kReluPoints, "relu");
    check_adjoint(&adj_act_relu<fad1<Mat>, fad1<Vec>>, &adj_act_relu<Mat, Vec>, kReluPoints, "adj_relu");
}

TEST(TangentActivations, ReluAtTheKink) {
    DirectionCounts counts(1);
    fad1<Mat> Z(make_mat(1, 4, Vec{0.0, -0.0, -1.0, std::nan("")}));
    Z.tangents[0].data = Vec{2.0, 3.0, 4.0, 5.0};
    const fad1<Mat> A = applied(&act_relu_into<fad1<Mat>, fad1<Vec>>, Z);
    EXPECT_EQ(A.value.data[0], 0.0);
    EXPECT_EQ(A.tangents[0].data[0], 2.0);  // derivative 1 at 0
    EXPECT_TRUE(std::signbit(A.value.data[1]));
    EXPECT_EQ(A.tangents[0].data[1], 3.0);
    EXPECT_EQ(A.value.data[2], 0.0);
    EXPECT_EQ(A.tangents[0].data[2], 0.0);
    EXPECT_TRUE(std::isnan(A.value.data[3]));
    EXPECT_EQ(A.tangents[0].data[3], 5.0);

    fad1<Mat> dA(make_mat(1, 4, Vec{1.0, 1.0, 1.0, 1.0}));
    dA.tangents[0].data = Vec{6.0, 7.0, 8.0, 9.0};
    fad1<Mat> dZ;
    adj_act_relu<fad1<Mat>, fad1<Vec>>(Z, dA, dZ);
    EXPECT_EQ(dZ.value.data[0], 1.0);
    EXPECT_EQ(dZ.tangents[0].data[0], 6.0);
    EXPECT_EQ(dZ.tangents[0].data[1], 7.0);
    EXPECT_EQ(dZ.value.data[2], 0.0);
    EXPECT_EQ(dZ.tangents[0].data[2], 0.0);
    EXPECT_EQ(dZ.tangents[0].data[3], 9.0);
}

TEST(TangentActivations, AtanAndAdjoint) {
    check_activation(&act_atan_into<fad1<Mat>, fad1<Vec>>, &act_atan_into<Mat, Vec>, kAtanPoints, "atan");
    check_adjoint(&adj_act_atan<fad1<Mat>, fad1<Vec>>, &adj_act_atan<Mat, Vec>, kAtanPoints, "adj_atan");
}

TEST(TangentActivations, SoftplusBothSidesOf300) {
    check_activation(&softplus_into<fad1<Mat>, fad1<Vec>>, &softplus_into<Mat, Vec>, kSoftplusPoints, "softplus", kNear300);
    check_activation(&softplus_shifted_into<fad1<Mat>, fad1<Vec>>, &softplus_shifted_into<Mat, Vec>, kSoftplusPoints,
                     "softplus_shifted", kNear300);
    check_adjoint(&adj_softplus<fad1<Mat>, fad1<Vec>>, &adj_softplus<Mat, Vec>, kSoftplusPoints, "adj_softplus",
                  kNear300);
}

TEST(TangentActivations, SoftplusEdgeValues) {
    DirectionCounts counts(1);
    fad1<Mat> Z(make_mat(1, 2, Vec{400.0, 0.0}));
    Z.tangents[0].data = 1.0;
    const fad1<Mat> S = applied(&softplus_into<fad1<Mat>, fad1<Vec>>, Z);
    EXPECT_EQ(S.value.data[0], 400.0);
    EXPECT_EQ(S.tangents[0].data[0], 1.0);
    EXPECT_EQ(S.value.data[1], 0.6931471805599453);
    EXPECT_EQ(S.tangents[0].data[1], 0.5);
    const fad1<Mat> T = applied(&softplus_shifted_into<fad1<Mat>, fad1<Vec>>, Z);
    EXPECT_EQ(T.value.data[1], 0.6931471805599453 - 1.0);
    EXPECT_EQ(T.tangents[0].data[1], 0.5);
}

TEST(TangentActivations, SeveralDirectionsEqualSingleDirections) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> Z = seeded_mat(kSoftplusPoints, kDirs, 75);
    const fad1<Mat> dA = seeded_mat(random_mat(3, 4, 76), kDirs, 77);
    const fad1<Mat> all = applied(&softplus_into<fad1<Mat>, fad1<Vec>>, Z);
    fad1<Mat> adj_all;
    adj_softplus<fad1<Mat>, fad1<Vec>>(Z, dA, adj_all);
    for (unsigned d = 0; d < kDirs; ++d) {
        DirectionCounts one(1);
        fad1<Mat> Zd(Z.value), dAd(dA.value);
        Zd.tangents[0] = Z.tangents[d];
        dAd.tangents[0] = dA.tangents[d];
        expect_bits_equal(applied(&softplus_into<fad1<Mat>, fad1<Vec>>, Zd).tangents[0].data, all.tangents[d].data, "softplus");
        fad1<Mat> adj_one;
        adj_softplus<fad1<Mat>, fad1<Vec>>(Zd, dAd, adj_one);
        expect_bits_equal(adj_one.tangents[0].data, adj_all.tangents[d].data, "adj_softplus");
    }
}

TEST(TangentActivations, RaiseNoTrappedFloatingPointEventForFiniteInput) {
    // The library evaluates with invalid, divide-by-zero and overflow trapped: the thresholds
    // must keep exp away from overflow (1000) and every quotient away from 0/0.
    DirectionCounts counts(kDirs);
    const fad1<Mat> Z = seeded_mat(kSoftplusPoints, kDirs, 78);
    const fad1<Mat> dA = seeded_mat(random_mat(3, 4, 79), kDirs, 80);
    const int trapped = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
    std::feclearexcept(FE_ALL_EXCEPT);
    fad1<Mat> out = applied(&softplus_into<fad1<Mat>, fad1<Vec>>, Z);
    out = applied(&softplus_shifted_into<fad1<Mat>, fad1<Vec>>, Z);
    adj_softplus<fad1<Mat>, fad1<Vec>>(Z, dA, out);
    out = applied(&act_atan_into<fad1<Mat>, fad1<Vec>>, Z);
    adj_act_atan<fad1<Mat>, fad1<Vec>>(Z, dA, out);
    out = applied(&act_relu_into<fad1<Mat>, fad1<Vec>>, Z);
    adj_act_relu<fad1<Mat>, fad1<Vec>>(Z, dA, out);
    EXPECT_EQ(std::fetestexcept(trapped), 0);
}

TEST(TangentActivations, IntoFormsOverwriteAStaleOrAliasedTarget) {
    // The passes write each activation into storage left by an earlier batch or layer, of
    // another shape and direction count; the result must not depend on what was there.
    using Into = void (*)(fad1<Mat> const&, fad1<Mat>&);
    struct Form {
        const char* name;
        Into into;
    };
    const Form forms[] = {
        {"id", &id_into<fad1<Mat>>},
        {"relu", &act_relu_into<fad1<Mat>, fad1<Vec>>},
        {"atan", &act_atan_into<fad1<Mat>, fad1<Vec>>},
        {"softplus", &softplus_into<fad1<Mat>, fad1<Vec>>},
        {"softplus_shifted", &softplus_shifted_into<fad1<Mat>, fad1<Vec>>},
    };
    const Mat points[] = {kSoftplusPoints, random_mat(4, 3, 81, 3.0)};  // with and without the cut-off
    for (Form const& f : forms) {
        for (Mat const& z : points) {
            SCOPED_TRACE(f.name);
            DirectionCounts counts(kDirs);
            const fad1<Mat> Z = seeded_mat(z, kDirs, 82);
            const fad1<Mat> want = applied(f.into, Z);  // into a fresh target
            fad1<Mat> stale;
            {
                DirectionCounts more(kDirs + 2);
                stale = seeded_mat(random_mat(5, 7, 83, 9.0), kDirs + 2, 84);
            }
            fad1<Mat> aliased = Z;
            for (int round = 0; round < 2; ++round) {  // the second round reuses matching storage
                f.into(Z, stale);
                ASSERT_EQ(stale.tangents.size(), want.tangents.size());
                EXPECT_EQ(stale.value.rows, z.rows);
                EXPECT_EQ(stale.value.cols, z.cols);
                expect_bits_equal(stale.value.data, want.value.data, "value");
                for (unsigned d = 0; d < kDirs; ++d)
                    expect_bits_equal(stale.tangents[d].data, want.tangents[d].data, "tangent");
            }
            f.into(aliased, aliased);
            expect_bits_equal(aliased.value.data, want.value.data, "aliased value");
            for (unsigned d = 0; d < kDirs; ++d)
                expect_bits_equal(aliased.tangents[d].data, want.tangents[d].data, "aliased tangent");
        }
    }
}

// ---- norms ---------------------------------------------------------------------------------

namespace {

// Residuals on both sides of the cut-off 2 (and -2), at 0, and far into the tail.
const Mat kResiduals = make_mat(3, 4, Vec{-2.5, -2.01, -1.99, -0.4, 0.0, 0.3, 1.99, 2.01, 7.0, 1e3, -50.0, 1.0});
// Core densities near the cut-off are about 2e-8, tail densities about 4e-5 and below.
const Tol kDensity{1e-6, 1e-15};

}  // namespace

TEST(TangentNorms, GammaSquaredLiteralIsTheProduct) {
    // dcauchy squares gamma at run time; the plain density uses the literal.
    EXPECT_TRUE(same_bits(norm_constants::kGamma * norm_constants::kGamma, norm_constants::kGamma2));
}

TEST(TangentNorms, SumAndAdjoint) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 81);
    check(normfun_sum<fad1<Mat>, ActiveScalar>(R), normfun_sum<Mat, double>(R.value), kDirs,
          [&](std::size_t d, double e) { return normfun_sum<Mat, double>(along(R, d, e)); }, "normfun_sum");

    ActiveScalar s(0.25);
    s.tangents = Vec{1.0, -2.0, 0.5};
    fad1<Mat> adjR;
    adj_normfun_sum<fad1<Mat>, ActiveScalar>(R, s, adjR);
    Mat plain(R.value.rows, R.value.cols);
    double sv = s.value;
    adj_normfun_sum<Mat, double>(R.value, sv, plain);
    check(adjR, plain, kDirs,
          [&](std::size_t d, double e) {
              Mat out(R.value.rows, R.value.cols);
              double se = s.value + e * s.tangents[d];
              adj_normfun_sum<Mat, double>(along(R, d, e), se, out);
              return out;
          },
          "adj_normfun_sum");
}

TEST(TangentNorms, SumWithMoreScalarDirectionsLeavesExtraZero) {
    DirectionCounts counts(5, 2);
    const fad1<Mat> R = seeded_mat(kResiduals, 2, 82);
    const ActiveScalar s = normfun_sum<fad1<Mat>, ActiveScalar>(R);
    ASSERT_EQ(s.tangents.size(), 5u);
    EXPECT_NE(s.tangents[0], 0.0);
    EXPECT_EQ(s.tangents[2], 0.0);
    EXPECT_EQ(s.tangents[4], 0.0);
}

TEST(TangentNorms, ElementwiseSumAndAdjoint) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 83);
    check(normfun<fad1<Mat>, fad1<Vec>>(R), normfun<Mat, Vec>(R.value), kDirs,
          [&](std::size_t d, double e) { return normfun<Mat, Vec>(along(R, d, e)); }, "normfun");

    const fad1<Vec> w = seeded_vec(random_vec(12, 84), kDirs, 85);
    DirectionCounts one(1);
    fad1<Mat> adjR(Mat(3, 4));
    adj_normfun<fad1<Mat>, fad1<Vec>>(R, w, adjR);
    Mat plain(3, 4);
    adj_normfun<Mat, Vec>(R.value, w.value, plain);
    check(adjR, plain, kDirs,
          [&](std::size_t d, double e) {
              Mat out(3, 4);
              adj_normfun<Mat, Vec>(along(R, d, e), along(w, d, e), out);
              return out;
          },
          "adj_normfun");
}

TEST(TangentNorms, FatDensityAndCauchyTail) {
    DirectionCounts counts(kDirs);
    const fad1<Vec> x = seeded_vec(kResiduals.data, kDirs, 86);
    const double sigma = norm_constants::kSigma;
    check(dnorm_fat<fad1<Vec>>(x, sigma), dnorm_fat<Vec>(x.value, sigma), kDirs,
          [&](std::size_t d, double e) { return dnorm_fat<Vec>(along(x, d, e), sigma); }, "dnorm_fat", kDensity);

    // Outside the cut-off the fat density is the Cauchy density.
    const fad1<Vec> tail = seeded_vec(Vec{-2.5, -2.01, 2.01, 7.0, 1e3, -50.0}, kDirs, 87);
    check(dcauchy(tail, norm_constants::kGamma), dnorm_fat<Vec>(tail.value, sigma), kDirs,
          [&](std::size_t d, double e) { return dnorm_fat<Vec>(along(tail, d, e), sigma); }, "dcauchy", kDensity);
}

TEST(TangentNorms, FatDensityAdjoints) {
    DirectionCounts counts(kDirs);
    const double sigma = norm_constants::kSigma;
    const double gamma = norm_constants::kGamma;
    const fad1<Vec> x = seeded_vec(kResiduals.data, kDirs, 88);
    const fad1<Vec> w = seeded_vec(random_vec(12, 89, 2.0), kDirs, 90);

    fad1<Vec> out;
    adj_dnorm_fat<fad1<Vec>>(x, w, out, sigma);
    Vec plain(12);
    adj_dnorm_fat<Vec>(x.value, w.value, plain, sigma);
    check(out, plain, kDirs,
          [&](std::size_t d, double e) {
              Vec o(12);
              adj_dnorm_fat<Vec>(along(x, d, e), along(w, d, e), o, sigma);
              return o;
          },
          "adj_dnorm_fat", kDensity);

    // The Cauchy part is only used outside the cut-off; near 0 its curvature (scale gamma) is
    // too sharp for the finite-difference step.
    const fad1<Vec> tail = seeded_vec(Vec{-2.5, -2.01, 2.01, 7.0, 1e3, -50.0}, kDirs, 98);
    const fad1<Vec> wt = seeded_vec(random_vec(6, 99, 2.0), kDirs, 100);
    fad1<Vec> cout;
    adj_dcauchy<fad1<Vec>>(tail, gamma, wt, cout);
    Vec cplain;
    adj_dcauchy<Vec>(tail.value, gamma, wt.value, cplain);
    check(cout, cplain, kDirs,
          [&](std::size_t d, double e) {
              Vec o;
              adj_dcauchy<Vec>(along(tail, d, e), gamma, along(wt, d, e), o);
              return o;
          },
          "adj_dcauchy", kDensity);
}

TEST(TangentNorms, NegLogDensityVectorForms) {
    DirectionCounts counts(kDirs);
    const fad1<Vec> x = seeded_vec(kResiduals.data, kDirs, 91);
    check(log_dnorm_vec<fad1<Vec>>(x), log_dnorm_vec<Vec>(x.value), kDirs,
          [&](std::size_t d, double e) { return log_dnorm_vec<Vec>(along(x, d, e)); }, "log_dnorm_vec");

    const Mat as_row = make_mat(1, 12, x.value);
    const auto row_along = [&](std::size_t d, double e) { return make_mat(1, 12, along(x, d, e)); };
    check(sum_log_dnorm_vec(x), sum_log_dnorm<Mat, double>(as_row), kDirs,
          [&](std::size_t d, double e) { return sum_log_dnorm<Mat, double>(row_along(d, e)); }, "sum_log_dnorm_vec");

    const fad1<Vec> w = seeded_vec(random_vec(12, 92, 2.0), kDirs, 93);
    fad1<Vec> out;
    adj_log_dnorm_vec<fad1<Vec>>(x, w, out);
    Vec plain;
    adj_log_dnorm_vec<Vec>(x.value, w.value, plain);
    check(out, plain, kDirs,
          [&](std::size_t d, double e) {
              Vec o;
              adj_log_dnorm_vec<Vec>(along(x, d, e), along(w, d, e), o);
              return o;
          },
          "adj_log_dnorm_vec");

    ActiveScalar s(1.0 / 12.0);
    s.tangents = Vec{0.5, -1.0, 2.0};
    fad1<Vec> sout;
    adj_sum_log_dnorm_vec(x, s, sout);
    Mat splain;
    double sv = s.value;
    adj_sum_log_dnorm<Mat, double>(as_row, sv, splain);
    check(sout, splain.data, kDirs,
          [&](std::size_t d, double e) {
              Mat o;
              double se = s.value + e * s.tangents[d];
              adj_sum_log_dnorm<Mat, double>(row_along(d, e), se, o);
              return o.data;
          },
          "adj_sum_log_dnorm_vec");
}

TEST(TangentNorms, NegLogDensityMatrixForms) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 94);
    check(log_dnorm<fad1<Mat>, fad1<Vec>>(R), log_dnorm<Mat, Vec>(R.value), kDirs,
          [&](std::size_t d, double e) { return log_dnorm<Mat, Vec>(along(R, d, e)); }, "log_dnorm");
    check(sum_log_dnorm<fad1<Mat>, ActiveScalar>(R), sum_log_dnorm<Mat, double>(R.value), kDirs,
          [&](std::size_t d, double e) { return sum_log_dnorm<Mat, double>(along(R, d, e)); }, "sum_log_dnorm");

    const fad1<Vec> w = seeded_vec(random_vec(12, 95, 2.0), kDirs, 96);
    fad1<Mat> adjR(Mat(3, 4));
    adj_log_dnorm<fad1<Mat>, fad1<Vec>>(R, w, adjR);
    Mat plain(3, 4);
    adj_log_dnorm<Mat, Vec>(R.value, w.value, plain);
    check(adjR, plain, kDirs,
          [&](std::size_t d, double e) {
              Mat o(3, 4);
              adj_log_dnorm<Mat, Vec>(along(R, d, e), along(w, d, e), o);
              return o;
          },
          "adj_log_dnorm");

    ActiveScalar s(1.0 / 12.0);
    s.tangents = Vec{-0.5, 1.5, 0.25};
    fad1<Mat> adjS(Mat(3, 4));
    adj_sum_log_dnorm<fad1<Mat>, ActiveScalar>(R, s, adjS);
    Mat splain(3, 4);
    double sv = s.value;
    adj_sum_log_dnorm<Mat, double>(R.value, sv, splain);
    check(adjS, splain, kDirs,
          [&](std::size_t d, double e) {
              Mat o(3, 4);
              double se = s.value + e * s.tangents[d];
              adj_sum_log_dnorm<Mat, double>(along(R, d, e), se, o);
              return o;
          },
          "adj_sum_log_dnorm");
}

TEST(TangentNorms, SeveralDirectionsEqualSingleDirections) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 97);
    const fad1<Vec> all = log_dnorm<fad1<Mat>, fad1<Vec>>(R);
    for (unsigned d = 0; d < kDirs; ++d) {
        DirectionCounts one(1);
        fad1<Mat> Rd(R.value);
        Rd.tangents[0] = R.tangents[d];
        expect_bits_equal(log_dnorm<fad1<Mat>, fad1<Vec>>(Rd).tangents[0], all.tangents[d], "log_dnorm");
    }
}

TEST(TangentNorms, RaiseNoTrappedFloatingPointEventForFiniteInput) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 101);
    const fad1<Vec> w = seeded_vec(random_vec(12, 102), kDirs, 103);
    ActiveScalar s(0.5);
    s.tangents = Vec{1.0, 2.0, 3.0};
    const int trapped = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
    std::feclearexcept(FE_ALL_EXCEPT);
    fad1<Mat> adjR(Mat(3, 4));
    (void)log_dnorm<fad1<Mat>, fad1<Vec>>(R);
    (void)sum_log_dnorm<fad1<Mat>, ActiveScalar>(R);
    adj_log_dnorm<fad1<Mat>, fad1<Vec>>(R, w, adjR);
    adj_sum_log_dnorm<fad1<Mat>, ActiveScalar>(R, s, adjR);
    (void)normfun_sum<fad1<Mat>, ActiveScalar>(R);
    adj_normfun_sum<fad1<Mat>, ActiveScalar>(R, s, adjR);
    EXPECT_EQ(std::fetestexcept(trapped), 0);
}

TEST(TangentNorms, NegLogDensityEdgeValues) {
    DirectionCounts counts(1);
    fad1<Vec> x(Vec{0.0, 2.0, -2.0}, 1u);
    x.tangents[0] = 1.0;
    const fad1<Vec> f = log_dnorm_vec<fad1<Vec>>(x);
    EXPECT_EQ(f.value[0], 0.0);
    EXPECT_EQ(f.tangents[0][0], 0.0);
    EXPECT_NEAR(f.value[1], 10.355349, 1e-6);
    EXPECT_NEAR(f.value[2], 10.355349, 1e-6);
    // Tail derivative 2x / (x^2 + gamma^2), about 1 at 2 and -1 at -2.
    EXPECT_NEAR(f.tangents[0][1], 1.0, 1e-6);
    EXPECT_NEAR(f.tangents[0][2], -1.0, 1e-6);
}
