// The elementwise exp, log, atan, softplus and softplus adjoint, run in every tier this CPU
// supports: within 4 ulp of the C library's scalar forms, the same value for an element wherever
// it sits in an array and whatever the array's length, nothing written past the end, no
// floating-point flag raised for finite input in range, and the documented cut-off and NaN
// behaviour of softplus.
#include <gtest/gtest.h>

#include <fenv.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "functions/vector_math.h"

using namespace veltn;

namespace {

using Fn = void (*)(const double*, double*, std::size_t);
using Ref = double (*)(double);

constexpr double kCutoff = 300.0;
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

const char* tier_name(VectorTier t) {
    switch (t) {
        case VectorTier::Scalar: return "Scalar";
        case VectorTier::Avx2: return "Avx2";
        case VectorTier::Avx512: return "Avx512";
    }
    return "?";
}

int64_t ordered(double x) {
    int64_t i;
    std::memcpy(&i, &x, sizeof i);
    return i < 0 ? INT64_MIN - i : i;
}
int64_t ulps(double a, double b) { return std::llabs(ordered(a) - ordered(b)); }

uint64_t bits(double x) {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

std::vector<double> grid(double lo, double hi, std::size_t n) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = lo + (hi - lo) * double(i) / double(n - 1);
    return x;
}

// n points from lo to hi (both > 0) evenly spaced in the exponent.
std::vector<double> geometric(double lo, double hi, std::size_t n) {
    std::vector<double> x(n);
    const double a = std::log(lo), b = std::log(hi);
    for (std::size_t i = 0; i < n; ++i) x[i] = std::exp(a + (b - a) * double(i) / double(n - 1));
    return x;
}

std::vector<double> negated(std::vector<double> x) {
    for (double& v : x) v = -v;
    return x;
}

double scalar_exp(double v) { return std::exp(v); }
double scalar_log(double v) { return std::log(v); }
double scalar_atan(double v) { return std::atan(v); }

// f over x against ref elementwise: NaN where ref is NaN, else within `limit` ulp. With
// `quiet`, also that no invalid, divide-by-zero or overflow flag is raised.
void expect_within_ulps(Fn f, Ref ref, std::vector<double> const& x, int64_t limit, bool quiet, const char* what) {
    SCOPED_TRACE(what);
    std::vector<double> y(x.size());
    feclearexcept(FE_ALL_EXCEPT);
    f(x.data(), y.data(), x.size());
    if (quiet) {
        EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW));
    }
    int64_t worst = 0;
    std::size_t worst_at = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double r = ref(x[i]);
        if (std::isnan(r)) {
            EXPECT_TRUE(std::isnan(y[i])) << "at " << x[i];
            continue;
        }
        const int64_t u = ulps(y[i], r);
        if (u > worst) worst = u, worst_at = i;
    }
    EXPECT_LE(worst, limit) << "at " << x[worst_at] << ": " << y[worst_at] << " vs " << ref(x[worst_at]);
}

// Inputs spanning the interesting ranges of softplus: far below zero (exp underflows), around
// zero, up to and across the cut-off, and beyond where exp would overflow.
std::vector<double> softplus_inputs() {
    std::vector<double> z = grid(-800.0, 400.0, 20011);
    for (double v : grid(-40.0, 40.0, 8009)) z.push_back(v);
    for (double v : {kCutoff, std::nextafter(kCutoff, 0.0), std::nextafter(kCutoff, kInf), 709.0, 710.0, 1e300,
                     -1e100, 0.0, -0.0})
        z.push_back(v);
    return z;
}

// Where flags are allowed: at +-inf and NaN (the scalar tier's comparison with the cut-off
// raises invalid for NaN).
std::vector<double> with_non_finite(std::vector<double> z) {
    for (double v : {-1e300, kInf, -kInf, kNaN}) z.push_back(v);
    return z;
}

// The tier under test is selected for each test and the one in use before restored afterwards.
class VectorMath : public ::testing::TestWithParam<VectorTier> {
  protected:
    void SetUp() override {
        previous_ = vector_tier();
        if (select_vector_tier(GetParam()) != GetParam()) GTEST_SKIP() << "this CPU lacks " << tier_name(GetParam());
    }
    void TearDown() override { select_vector_tier(previous_); }

  private:
    VectorTier previous_ = VectorTier::Scalar;
};

}  // namespace

TEST_P(VectorMath, WithinFourUlpOfTheScalarForms) {
    expect_within_ulps(vec_exp, scalar_exp, grid(-700.0, 300.0, 100003), 4, true, "exp");
    expect_within_ulps(vec_exp, scalar_exp, grid(-708.0, 709.0, 100003), 4, true, "exp, whole normal range");
    expect_within_ulps(vec_exp, scalar_exp, grid(-1.0, 1.0, 10007), 4, true, "exp near 0");
    expect_within_ulps(vec_log, scalar_log, grid(1e-300, 1e6, 100003), 4, true, "log");
    expect_within_ulps(vec_log, scalar_log, geometric(1e-307, 1e308, 100003), 4, true, "log, all exponents");
    expect_within_ulps(vec_log, scalar_log, grid(1.0, 2.0, 10007), 4, true, "log near 1");
    expect_within_ulps(vec_log, scalar_log, grid(0.9, 1.1, 10007), 4, true, "log across 1");
    expect_within_ulps(vec_atan, scalar_atan, grid(-1e4, 1e4, 100003), 4, true, "atan");
    expect_within_ulps(vec_atan, scalar_atan, grid(-3.0, 3.0, 10007), 4, true, "atan near 0");
    expect_within_ulps(vec_atan, scalar_atan, geometric(1e-300, 1e150, 100003), 4, true, "atan, all exponents");
    expect_within_ulps(vec_atan, scalar_atan, negated(geometric(1e-300, 1e150, 100003)), 4, true,
                       "atan, negative, all exponents");
    // Beyond where glibc's four-lane atan would square its argument into overflow.
    expect_within_ulps(vec_atan, scalar_atan, geometric(1e150, 1e308, 10007), 4, true, "atan, huge");
    expect_within_ulps(vec_atan, scalar_atan, negated(geometric(1e150, 1e308, 10007)), 4, true,
                       "atan, huge negative");
}

// Finite arguments far outside the range where the result changes: the results are exact
// limits (0, +-pi/2), and raising overflow or invalid for them would make the library report a
// floating-point failure for a finite, meaningful input.
TEST_P(VectorMath, NoFalseFlagsFarBelowExpOrFarOutAlongAtan) {
    const std::vector<double> below = {-1e300, -1.3e119, -1e120, -1001.0, -kInf, -1e200, -800.0, -5e150, -1e10};
    std::vector<double> y(below.size());
    feclearexcept(FE_ALL_EXCEPT);
    vec_exp(below.data(), y.data(), below.size());
    EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW));
    for (double v : y) EXPECT_EQ(bits(v), bits(0.0));

    feclearexcept(FE_ALL_EXCEPT);
    vec_softplus(below.data(), y.data(), below.size(), kCutoff);
    EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW));
    for (double v : y) EXPECT_EQ(bits(v), bits(0.0));

    const std::vector<double> seeds(below.size(), 2.5);
    feclearexcept(FE_ALL_EXCEPT);
    vec_softplus_adjoint(below.data(), seeds.data(), y.data(), below.size(), kCutoff);
    EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW));
    for (double v : y) EXPECT_EQ(bits(v), bits(0.0));

    const std::vector<double> far = {1e300, -1e300, 0x1p512, -0x1p512, kInf, -kInf, 1e154, -3e200, 0x1p499};
    feclearexcept(FE_ALL_EXCEPT);
    vec_atan(far.data(), y.data(), far.size());
    EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW));
    for (std::size_t i = 0; i < far.size(); ++i) EXPECT_LE(ulps(y[i], std::atan(far[i])), 4) << far[i];
}

TEST_P(VectorMath, SpecialValuesAsTheScalarForms) {
    // Overflow, underflow, infinities, NaN, zero and negative arguments: flags may be raised
    // here, but the values must still agree.
    const std::vector<double> x = {0.0,   -0.0,  1.0,      -1.0, 710.0,  1e300, -745.0, -750.0, -1e300,
                                   kInf,  -kInf, kNaN,     1e-320, 5e-324, -1e-320, 3.0,   -2.5,  1e308};
    expect_within_ulps(vec_exp, scalar_exp, x, 4, false, "exp");
    expect_within_ulps(vec_log, scalar_log, x, 4, false, "log");
    expect_within_ulps(vec_atan, scalar_atan, x, 4, false, "atan");

    double out[3];
    const double exp_in[3] = {-800.0, kInf, -kInf};
    vec_exp(exp_in, out, 3);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], kInf);
    EXPECT_EQ(out[2], 0.0);
    const double log_in[3] = {1.0, 0.0, -1.0};
    vec_log(log_in, out, 3);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], -kInf);
    EXPECT_TRUE(std::isnan(out[2]));
}

// Every length from 1 to 17 at every offset of a 48-element array (a multiple of every tier's
// width, so the reference values come from full groups only): the same bits as the whole array
// gives, for all five routines, computed out of place from exactly sized inputs (so that the
// sanitizer sees any read past the end), with nothing written past the end and no flag raised
// by the lanes that pad the tail. The inputs are chosen among those where this tier's value
// differs from the scalar form, so a tail computed by any other routine would show.
TEST_P(VectorMath, AnElementsValueDoesNotDependOnItsPositionOrTheArrayLength) {
    constexpr std::size_t kWhole = 48;
    struct Case {
        const char* name;
        Fn f;
        Ref ref;
        double lo, hi;
    };
    const Case cases[] = {
        {"exp", vec_exp, scalar_exp, -700.0, 700.0},
        {"log", vec_log, scalar_log, 1e-3, 1e3},
        {"atan", vec_atan, scalar_atan, -50.0, 50.0},
        {"softplus", [](const double* z, double* y, std::size_t n) { vec_softplus(z, y, n, kCutoff); },
         [](double z) { return z < kCutoff ? std::log(std::exp(z) + 1.0) : z; }, -40.0, 40.0},
    };
    std::mt19937_64 rng(11);
    for (Case const& c : cases) {
        SCOPED_TRACE(c.name);
        // Candidates spread over the range (log-uniformly for log), the ones where the value
        // differs from the scalar form first.
        std::vector<double> cand(kWhole * 64), val(cand.size());
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (double& v : cand)
            v = c.f == vec_log ? std::exp(std::log(c.lo) + u(rng) * (std::log(c.hi) - std::log(c.lo)))
                               : c.lo + u(rng) * (c.hi - c.lo);
        c.f(cand.data(), val.data(), cand.size());
        std::vector<double> x, same;
        for (std::size_t i = 0; i < cand.size(); ++i)
            (val[i] != c.ref(cand[i]) ? x : same).push_back(cand[i]);
        x.insert(x.end(), same.begin(), same.end());
        x.resize(kWhole);

        std::vector<double> whole(kWhole);
        c.f(x.data(), whole.data(), kWhole);
        for (std::size_t len = 1; len <= 17; ++len)
            for (std::size_t start = 0; start + len <= kWhole; ++start) {
                const std::vector<double> in(x.begin() + start, x.begin() + start + len);
                std::vector<double> out(len + 8, -7.0);
                feclearexcept(FE_ALL_EXCEPT);
                c.f(in.data(), out.data(), len);
                EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW)) << len << " at " << start;
                for (std::size_t i = 0; i < len; ++i)
                    ASSERT_EQ(bits(out[i]), bits(whole[start + i])) << "length " << len << ", element " << start + i;
                for (std::size_t i = len; i < out.size(); ++i) ASSERT_EQ(out[i], -7.0) << "written past " << len;
            }
    }

    // The adjoint, over both of its inputs.
    std::vector<double> z(kWhole), a(kWhole), whole(kWhole);
    std::normal_distribution<double> g(0.0, 10.0);
    for (std::size_t i = 0; i < kWhole; ++i) z[i] = g(rng), a[i] = g(rng);
    vec_softplus_adjoint(z.data(), a.data(), whole.data(), kWhole, kCutoff);
    for (std::size_t len = 1; len <= 17; ++len)
        for (std::size_t start = 0; start + len <= kWhole; ++start) {
            const std::vector<double> zin(z.begin() + start, z.begin() + start + len);
            const std::vector<double> ain(a.begin() + start, a.begin() + start + len);
            std::vector<double> out(len + 8, -7.0);
            feclearexcept(FE_ALL_EXCEPT);
            vec_softplus_adjoint(zin.data(), ain.data(), out.data(), len, kCutoff);
            EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW)) << len << " at " << start;
            for (std::size_t i = 0; i < len; ++i)
                ASSERT_EQ(bits(out[i]), bits(whole[start + i])) << "adjoint, length " << len << ", element " << start + i;
            for (std::size_t i = len; i < out.size(); ++i) ASSERT_EQ(out[i], -7.0) << "adjoint written past " << len;
        }
}

// The library calls exp and log in place (y == x).
TEST_P(VectorMath, InPlaceGivesTheSameValues) {
    for (std::size_t n = 1; n <= 17; ++n) {
        const std::vector<double> x = grid(0.1, 30.0, n + 1);  // n + 1: a single point is degenerate
        for (Fn f : {vec_exp, vec_log, vec_atan}) {
            std::vector<double> out(n), inplace(x.begin(), x.begin() + n);
            f(x.data(), out.data(), n);
            f(inplace.data(), inplace.data(), n);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(inplace[i]), bits(out[i])) << n << ": " << i;
        }
    }
}

// softplus is log(exp(z) + 1) below the cut-off through the same exp and log as vec_exp and
// vec_log (the tangent forms compose those two, and the values must agree bit for bit), z at and
// above it and for NaN. Against the scalar formula: within 4 ulp for each of exp and log, plus
// one rounding of e + 1 that may fall the other way when e differs by a few ulp, which moves the
// result by up to 2^-52 where e is small.
TEST_P(VectorMath, SoftplusIsExpThenLogBelowTheCutoffAndTheIdentityAbove) {
    std::vector<double> z = softplus_inputs();
    std::vector<double> y(z.size());
    feclearexcept(FE_ALL_EXCEPT);
    vec_softplus(z.data(), y.data(), z.size(), kCutoff);
    EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW));

    z = with_non_finite(z);
    const std::size_t n = z.size();
    std::vector<double> e(n);
    y.resize(n);
    vec_softplus(z.data(), y.data(), n, kCutoff);

    vec_exp(z.data(), e.data(), n);
    for (double& v : e) v += 1.0;
    vec_log(e.data(), e.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(z[i])) {
            EXPECT_TRUE(std::isnan(y[i]));
        } else if (z[i] >= kCutoff) {
            EXPECT_EQ(bits(y[i]), bits(z[i])) << z[i];
        } else {
            ASSERT_EQ(bits(y[i]), bits(e[i])) << "at " << z[i];
            const double ref = std::log(std::exp(z[i]) + 1.0);
            const double ulp = std::nextafter(ref, kInf) - ref;
            EXPECT_LE(std::fabs(y[i] - ref), 8 * ulp + std::ldexp(1.0, -52)) << "at " << z[i];
        }
    }

    // At a cut-off where the two branches differ visibly: the identity from the cut-off itself.
    const double below = std::nextafter(1.0, 0.0), at[3] = {below, 1.0, 2.0};
    double out[3];
    vec_softplus(at, out, 3, 1.0);
    EXPECT_NEAR(out[0], std::log1p(std::exp(below)), 1e-15);
    EXPECT_EQ(out[1], 1.0);
    EXPECT_EQ(out[2], 2.0);
}

// The adjoint against two independent routes: central differences of vec_softplus, and the
// logistic form a / (1 + exp(-z)) of the derivative in the scalar C library. At and above the
// cut-off and for NaN it passes a through.
TEST_P(VectorMath, SoftplusAdjointIsTheDerivativeTimesTheWeight) {
    const std::size_t finite = softplus_inputs().size();
    const std::vector<double> z = with_non_finite(softplus_inputs());
    const std::size_t n = z.size();
    std::vector<double> a(n), y(n);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (double& v : a) v = u(rng);
    feclearexcept(FE_ALL_EXCEPT);
    vec_softplus_adjoint(z.data(), a.data(), y.data(), finite, kCutoff);
    EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW));
    vec_softplus_adjoint(z.data(), a.data(), y.data(), n, kCutoff);

    auto sp = [](double v) {
        double r;
        vec_softplus(&v, &r, 1, kCutoff);
        return r;
    };
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(z[i]);
        if (std::isnan(z[i]) || z[i] >= kCutoff) {
            EXPECT_EQ(bits(y[i]), bits(a[i]));
            continue;
        }
        const double logistic = a[i] / (1.0 + std::exp(-z[i]));
        EXPECT_LE(std::fabs(y[i] - logistic), 4e-15 * std::fabs(logistic) + 1e-300);
        const double h = 1e-5 * std::max(1.0, std::fabs(z[i]));
        if (std::isfinite(z[i]) && z[i] + h < kCutoff) {
            const double fd = a[i] * (sp(z[i] + h) - sp(z[i] - h)) / (2 * h);
            EXPECT_NEAR(y[i], fd, 1e-8 * std::max(1.0, std::fabs(a[i]))) << "central differences";
        }
    }

    // At a cut-off where the two branches differ visibly: a passed through from the cut-off itself.
    const double below = std::nextafter(1.0, 0.0), at[3] = {below, 1.0, 2.0}, w[3] = {3.0, 3.0, 3.0};
    double out[3];
    vec_softplus_adjoint(at, w, out, 3, 1.0);
    EXPECT_NEAR(out[0], 3.0 / (1.0 + std::exp(-below)), 1e-14);
    EXPECT_EQ(out[1], 3.0);
    EXPECT_EQ(out[2], 3.0);
}

// The per-direction rules over k blocks of n, at lengths that leave every tail size: the slopes
// and the scaling are single roundings (the same bits in every tier), the product rule may fuse
// one multiply and add (within one rounding of its terms). They may run in place, and nothing past
// the last block is written.
TEST_P(VectorMath, DirectionRulesMatchTheirFormulasAtEveryTail) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (std::size_t n = 1; n <= 19; ++n)
        for (std::size_t k : {1u, 3u}) {
            std::vector<double> e(n), a(n), c(n), s(n), z(k * n), t(k * n);
            for (double& x : e) x = std::exp(u(rng) * 10.0);
            for (auto* v : {&a, &c, &s, &z, &t})
                for (double& x : *v) x = u(rng);
            std::vector<double> e1(n + 1, -7.0), slope(n + 1, -7.0), curv(n + 1, -7.0), inplace = e;
            vec_softplus_slope(e.data(), e1.data(), slope.data(), n);
            vec_softplus_slope_curvature(e.data(), inplace.data(), curv.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(bits(e1[i]), bits(e[i] + 1.0)) << n << ": " << i;
                ASSERT_EQ(bits(slope[i]), bits(e[i] / (e[i] + 1.0))) << n << ": " << i;
                ASSERT_EQ(bits(inplace[i]), bits(slope[i])) << n << ": " << i;
                ASSERT_EQ(bits(curv[i]), bits(e[i] / ((e[i] + 1.0) * (e[i] + 1.0)))) << n << ": " << i;
            }
            EXPECT_EQ(e1[n], -7.0);
            EXPECT_EQ(slope[n], -7.0);
            EXPECT_EQ(curv[n], -7.0);

            std::vector<double> scaled(k * n + 1, -7.0), rule(k * n + 1, -7.0), rule_inplace = t;
            vec_scale_directions(t.data(), s.data(), scaled.data(), n, k);
            vec_product_rule_directions(a.data(), c.data(), s.data(), z.data(), t.data(), rule.data(), n, k);
            vec_product_rule_directions(a.data(), c.data(), s.data(), z.data(), rule_inplace.data(),
                                        rule_inplace.data(), n, k);
            for (std::size_t d = 0; d < k; ++d)
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t j = d * n + i;
                    ASSERT_EQ(bits(scaled[j]), bits(t[j] * s[i])) << n << ": " << j;
                    const double first = a[i] * (z[j] * c[i]), second = t[j] * s[i];
                    ASSERT_LE(std::fabs(rule[j] - (first + second)), 0x1p-52 * (std::fabs(first) + std::fabs(second)))
                        << n << ": " << j;
                    ASSERT_EQ(bits(rule_inplace[j]), bits(rule[j])) << n << ": " << j;
                }
            EXPECT_EQ(scaled[k * n], -7.0);
            EXPECT_EQ(rule[k * n], -7.0);
        }
}

INSTANTIATE_TEST_SUITE_P(Tiers, VectorMath,
                         ::testing::Values(VectorTier::Scalar, VectorTier::Avx2, VectorTier::Avx512),
                         [](::testing::TestParamInfo<VectorTier> const& info) {
                             return std::string(tier_name(info.param));
                         });

// The tier chosen at start-up is the best this CPU supports, selecting never goes above the
// request.
TEST(VectorMathTiers, StartsWithTheBestSupportedAndSelectsAtMostTheRequest) {
    const VectorTier start = vector_tier();
    EXPECT_EQ(select_vector_tier(VectorTier::Avx512), start);
    for (VectorTier t : {VectorTier::Scalar, VectorTier::Avx2, VectorTier::Avx512}) {
        SCOPED_TRACE(tier_name(t));
        const VectorTier got = select_vector_tier(t);
        EXPECT_LE(static_cast<int>(got), static_cast<int>(t));
        EXPECT_EQ(vector_tier(), got);
        EXPECT_EQ(select_vector_tier(got), got);
    }
    select_vector_tier(start);
    EXPECT_EQ(vector_tier(), start);
}
