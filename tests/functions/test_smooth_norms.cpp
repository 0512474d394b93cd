// The "sum_sq" and "sum_pseudo_huber" norms over plain types: values at points where the terms
// are known in closed form (small residuals keep their digits, huge ones neither overflow nor
// give NaN), adjoints against central differences, the curvature against differences of the
// slope, and the same bits from every vector tier.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "functions/norms.h"
#include "functions/vector_math.h"
#include "core/matrix.h"
#include "support/fd.h"

using namespace veltn;

namespace {

Mat mat(std::size_t r, std::size_t c, std::vector<double> const& v) {
    Mat m(r, c);
    for (std::size_t i = 0; i < v.size(); ++i) m.data[i] = v[i];
    return m;
}
std::vector<double> values(Vec const& v) { return std::vector<double>(std::begin(v), std::end(v)); }

std::vector<double> run_form(void (*f)(const double*, double*, std::size_t), std::vector<double> const& r) {
    std::vector<double> out(r.size());
    f(r.data(), out.data(), r.size());
    return out;
}

const double kInf = std::numeric_limits<double>::infinity();

struct Point {
    double r, term, slope, curvature;
};

// Closed forms: sqrt(1 + r^2) is 1.25 at 0.75, 5/3 at 4/3, 2.6 at 2.4.
const std::vector<Point> kPseudoHuber = {
    {0.0, 0.0, 0.0, 1.0},
    {0.75, 0.25, 0.6, 1.0 / (1.25 * 1.25 * 1.25)},
    {-2.4, 1.6, -2.4 / 2.6, 1.0 / (2.6 * 2.6 * 2.6)},
    {4.0 / 3.0, 2.0 / 3.0, 0.8, 0.216},
    {1.0, std::sqrt(2.0) - 1.0, 1.0 / std::sqrt(2.0), 1.0 / (2.0 * std::sqrt(2.0))},
    // sqrt(1 + r^2) - 1 computed as written is 0 here; the term is r^2 / 2 to the last digit.
    {1e-9, 5e-19, 1e-9, 1.0},
    {-3e-5, std::expm1(0.5 * std::log1p(9e-10)), -3e-5 / std::sqrt(1 + 9e-10), std::pow(1 + 9e-10, -1.5)},
    // The tails: |r| - 1, sign(r), |r|^-3 (0 once that underflows), with no overflow.
    {1e10, 1e10 - 1.0, 1.0, 1e-30},
    {-1e200, 1e200, -1.0, 0.0},
    {kInf, kInf, 1.0, 0.0},
    {-kInf, kInf, -1.0, 0.0},
};

const std::vector<double> kResiduals = {-9.0, -2.6, -1.7, -0.4, 0.0, 0.03, 0.9, 1.5, 1.93, 2.07, 3.3, 40.0};
const std::vector<double> kWeights = {0.4, -1.3, 2.1, 0.7, -0.2, 1.1, -0.9, 0.35, 1.8, -0.6, 0.5, 1.25};

bool near_rel(double got, double want, double rel) {
    if (std::isinf(want)) return got == want;
    return std::fabs(got - want) <= rel * std::fabs(want) + 1e-300;
}

}  // namespace

TEST(SmoothNorms, PseudoHuberTermSlopeAndCurvatureAtKnownPoints) {
    std::vector<double> r;
    for (auto const& p : kPseudoHuber) r.push_back(p.r);
    const auto term = run_form(&PseudoHuberTerms::values, r);
    const auto slope = run_form(&PseudoHuberTerms::slopes, r);
    const auto curv = run_form(&PseudoHuberTerms::curvatures, r);
    for (std::size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(r[i]);
        EXPECT_PRED3(near_rel, term[i], kPseudoHuber[i].term, 4e-16);
        EXPECT_PRED3(near_rel, slope[i], kPseudoHuber[i].slope, 4e-16);
        EXPECT_PRED3(near_rel, curv[i], kPseudoHuber[i].curvature, 1e-15);
    }
}

TEST(SmoothNorms, SqTermIsHalfTheSquare) {
    const std::vector<double> r = {3.0, -0.5, 1e-8, -7.25, 0.0};
    const auto term = run_form(&SqTerms::values, r);
    const auto slope = run_form(&SqTerms::slopes, r);
    const auto curv = run_form(&SqTerms::curvatures, r);
    const std::vector<double> want = {4.5, 0.125, 5e-17, 26.28125, 0.0};
    for (std::size_t i = 0; i < r.size(); ++i) {
        EXPECT_DOUBLE_EQ(term[i], want[i]) << r[i];
        EXPECT_EQ(slope[i], r[i]);
        EXPECT_EQ(curv[i], 1.0);
    }
}

TEST(SmoothNorms, SummedAndElementwiseFormsAgree) {
    const Mat R = mat(3, 4, kResiduals);
    double want_sq = 0.0, want_ph = 0.0;
    for (double r : kResiduals) {
        want_sq += 0.5 * r * r;
        want_ph += std::sqrt(1 + r * r) - 1;
    }
    EXPECT_NEAR((sum_sq<Mat, double>(R)), want_sq, 1e-13 * want_sq);
    EXPECT_NEAR((sum_pseudo_huber<Mat, double>(R)), want_ph, 1e-13 * want_ph);
    const Vec tsq = sq_terms<Mat, Vec>(R), tph = pseudo_huber_terms<Mat, Vec>(R);
    ASSERT_EQ(tsq.size(), kResiduals.size());
    ASSERT_EQ(tph.size(), kResiduals.size());
    // The sum runs in index order from the first term, so it equals the terms added that way.
    double s1 = tsq[0], s2 = tph[0];
    for (std::size_t i = 1; i < tsq.size(); ++i) {
        s1 += tsq[i];
        s2 += tph[i];
    }
    EXPECT_EQ((sum_sq<Mat, double>(R)), s1);
    EXPECT_EQ((sum_pseudo_huber<Mat, double>(R)), s2);
}

TEST(SmoothNorms, AdjointsMatchCentralDifferences) {
    using SumFn = double (*)(Mat const&);
    using AdjSumFn = void (*)(Mat const&, double&, Mat&);
    using TermsFn = Vec (*)(Mat const&);
    using AdjTermsFn = void (*)(Mat const&, Vec const&, Mat&);
    struct Forms {
        const char* name;
        SumFn sum;
        AdjSumFn adj_sum;
        TermsFn terms;
        AdjTermsFn adj_terms;
    };
    const Forms forms[] = {
        {"sum_sq", &sum_sq<Mat, double>, &adj_sum_sq<Mat, double>, &sq_terms<Mat, Vec>, &adj_sq_terms<Mat, Vec>},
        {"sum_pseudo_huber", &sum_pseudo_huber<Mat, double>, &adj_sum_pseudo_huber<Mat, double>,
         &pseudo_huber_terms<Mat, Vec>, &adj_pseudo_huber_terms<Mat, Vec>},
    };
    for (auto const& f : forms) {
        SCOPED_TRACE(f.name);
        const double s = -0.37;
        Mat adj(1, 1);  // resized to R's shape
        double seed = s;
        f.adj_sum(mat(3, 4, kResiduals), seed, adj);
        EXPECT_EQ(adj.rows, 3u);
        EXPECT_EQ(adj.cols, 4u);
        EXPECT_FD_NEAR(values(adj.data),
                       fd::gradient([&](std::vector<double> const& r) { return s * f.sum(mat(3, 4, r)); }, kResiduals));

        Mat adjw;
        f.adj_terms(mat(3, 4, kResiduals), Vec(kWeights.data(), kWeights.size()), adjw);
        EXPECT_EQ(adjw.rows, 3u);
        EXPECT_EQ(adjw.cols, 4u);
        const auto weighted = [&](std::vector<double> const& r) {
            const Vec t = f.terms(mat(3, 4, r));
            double acc = 0.0;
            for (std::size_t i = 0; i < r.size(); ++i) acc += kWeights[i] * t[i];
            return acc;
        };
        EXPECT_FD_NEAR(values(adjw.data), fd::gradient(weighted, kResiduals));
    }
}

TEST(SmoothNorms, PseudoHuberCurvatureIsTheSlopesDerivative) {
    // Both sides of the switch to the tail form at |r| = 1e8 included.
    const std::vector<double> r = {-40.0, -1.2, -0.05, 0.0, 0.3, 2.5, 9e7, 2e8};
    const auto curv = run_form(&PseudoHuberTerms::curvatures, r);
    for (std::size_t i = 0; i < r.size(); ++i) {
        const double h = 1e-4 * std::fmax(1.0, std::fabs(r[i]));
        const double rp[1] = {r[i] + h}, rm[1] = {r[i] - h};
        double sp, sm;
        PseudoHuberTerms::slopes(rp, &sp, 1);
        PseudoHuberTerms::slopes(rm, &sm, 1);
        const double fd_curv = (sp - sm) / (2 * h);
        EXPECT_NEAR(curv[i], fd_curv, 1e-6 * std::fabs(curv[i]) + 1e-12) << r[i];
    }
    // The term is continuous across the switch: within rounding of |r| - 1 on either side.
    const double below[1] = {1e8 * (1 - 1e-15)}, above[1] = {1e8 * (1 + 1e-15)};
    double tb, ta;
    PseudoHuberTerms::values(below, &tb, 1);
    PseudoHuberTerms::values(above, &ta, 1);
    EXPECT_NEAR(tb, below[0] - 1.0, 1e-7);
    EXPECT_NEAR(ta, above[0] - 1.0, 1e-7);
}

TEST(SmoothNorms, EveryVectorTierGivesTheSameBits) {
    // The square root is correctly rounded in every tier; lengths cover full groups and tails.
    std::vector<double> r;
    for (int i = 0; i < 37; ++i) r.push_back(std::ldexp(std::sin(1.0 + i), i % 9 - 3));
    r.push_back(3e8);
    r.push_back(-kInf);
    const VectorTier before = vector_tier();
    std::vector<std::vector<double>> first;
    for (VectorTier t : {VectorTier::Scalar, VectorTier::Avx2, VectorTier::Avx512}) {
        if (select_vector_tier(t) != t) continue;
        const std::vector<std::vector<double>> got = {run_form(&PseudoHuberTerms::values, r),
                                                      run_form(&PseudoHuberTerms::slopes, r),
                                                      run_form(&PseudoHuberTerms::curvatures, r)};
        if (first.empty()) first = got;
        for (std::size_t k = 0; k < got.size(); ++k)
            for (std::size_t i = 0; i < r.size(); ++i)
                EXPECT_EQ(got[k][i], first[k][i]) << "tier " << int(t) << " form " << k << " r " << r[i];
    }
    select_vector_tier(before);
}
