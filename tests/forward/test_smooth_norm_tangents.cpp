// The tangent forms of "sum_sq" and "sum_pseudo_huber": values equal the plain forms bit for
// bit, and every tangent (of the terms, of the sum, and of both adjoints, whose tangents make the
// Hessian-vector product) equals a central difference of the plain form along that direction.
#include <gtest/gtest.h>

#include <string>

#include "forward/tangent_functions.h"
#include "forward/tangent_test_util.h"

using namespace veltn;

using namespace tangent_test;

namespace {

constexpr unsigned kDirs = 3;

struct Forms {
    const char* name;
    double (*sum)(Mat const&);
    void (*adj_sum)(Mat const&, double&, Mat&);
    Vec (*terms)(Mat const&);
    void (*adj_terms)(Mat const&, Vec const&, Mat&);
    ActiveScalar (*t_sum)(fad1<Mat> const&);
    void (*t_adj_sum)(fad1<Mat> const&, ActiveScalar&, fad1<Mat>&);
    fad1<Vec> (*t_terms)(fad1<Mat> const&);
    void (*t_adj_terms)(fad1<Mat> const&, fad1<Vec> const&, fad1<Mat>&);
};

const Forms kForms[] = {
    {"sum_sq", &sum_sq<Mat, double>, &adj_sum_sq<Mat, double>, &sq_terms<Mat, Vec>, &adj_sq_terms<Mat, Vec>,
     &sum_sq<fad1<Mat>, ActiveScalar>, &adj_sum_sq<fad1<Mat>, ActiveScalar>, &sq_terms<fad1<Mat>, fad1<Vec>>,
     &adj_sq_terms<fad1<Mat>, fad1<Vec>>},
    {"sum_pseudo_huber", &sum_pseudo_huber<Mat, double>, &adj_sum_pseudo_huber<Mat, double>,
     &pseudo_huber_terms<Mat, Vec>, &adj_pseudo_huber_terms<Mat, Vec>, &sum_pseudo_huber<fad1<Mat>, ActiveScalar>,
     &adj_sum_pseudo_huber<fad1<Mat>, ActiveScalar>, &pseudo_huber_terms<fad1<Mat>, fad1<Vec>>,
     &adj_pseudo_huber_terms<fad1<Mat>, fad1<Vec>>},
};

// Residuals from the quadratic core to the tails of the pseudo-Huber term.
const Mat kResiduals = make_mat(3, 4, Vec{-25.0, -2.5, -1.0, -0.4, 0.0, 0.03, 0.3, 0.8, 1.99, 3.0, 7.0, 60.0});

Vec plain_adj_sum(Forms const& f, Mat const& R, double s) {
    Mat a;
    f.adj_sum(R, s, a);
    return a.data;
}
Vec plain_adj_terms(Forms const& f, Mat const& R, Vec const& w) {
    Mat a;
    f.adj_terms(R, w, a);
    return a.data;
}

}  // namespace

TEST(SmoothNormTangents, ValuesAreThePlainBitsAndTangentsMatchCentralDifferences) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 7);
    for (Forms const& f : kForms) {
        SCOPED_TRACE(f.name);
        const ActiveScalar S = f.t_sum(R);
        EXPECT_TRUE(same_bits(S.value, f.sum(kResiduals)));
        const fad1<Vec> T = f.t_terms(R);
        expect_bits_equal(T.value, f.terms(kResiduals), "terms value");
        ASSERT_EQ(T.tangents.size(), kDirs);
        for (unsigned d = 0; d < kDirs; ++d) {
            const Vec ref = central([&](double e) { return f.terms(along(R, d, e)); });
            expect_close(T.tangents[d], ref, "terms tangent " + std::to_string(d));
            const double ref_sum = central([&](double e) { return Vec(f.sum(along(R, d, e)), 1); })[0];
            EXPECT_TRUE(fd::close(S.tangents[d], ref_sum, 1e-6, 1e-7)) << d << ": " << S.tangents[d] << " " << ref_sum;
        }
    }
}

TEST(SmoothNormTangents, AdjointTangentsMatchCentralDifferences) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 17);
    const fad1<Vec> w = seeded_vec(random_vec(12, 18, 2.0), kDirs, 19);
    for (Forms const& f : kForms) {
        SCOPED_TRACE(f.name);
        // The seed carries tangents too (as the mean's seed does in a Hessian-vector product).
        ActiveScalar s(-0.45);
        for (unsigned d = 0; d < kDirs; ++d) s.tangents[d] = 0.2 * d - 0.3;
        fad1<Mat> A;
        f.t_adj_sum(R, s, A);
        expect_bits_equal(A.value.data, plain_adj_sum(f, kResiduals, s.value), "adj_sum value");
        EXPECT_EQ(A.value.rows, 3u);
        EXPECT_EQ(A.value.cols, 4u);
        ASSERT_EQ(A.tangents.size(), kDirs);
        fad1<Mat> B;
        f.t_adj_terms(R, w, B);
        expect_bits_equal(B.value.data, plain_adj_terms(f, kResiduals, w.value), "adj_terms value");
        ASSERT_EQ(B.tangents.size(), kDirs);
        for (unsigned d = 0; d < kDirs; ++d) {
            const Vec ref_s =
                central([&](double e) { return plain_adj_sum(f, along(R, d, e), s.value + e * s.tangents[d]); });
            expect_close(A.tangents[d].data, ref_s, "adj_sum tangent " + std::to_string(d));
            const Vec ref_w = central([&](double e) { return plain_adj_terms(f, along(R, d, e), along(w, d, e)); });
            expect_close(B.tangents[d].data, ref_w, "adj_terms tangent " + std::to_string(d));
        }
    }
}

TEST(SmoothNormTangents, MissingDirectionsCountAsZeroAndAliasingIsSafe) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> R = seeded_mat(kResiduals, kDirs, 27);
    for (Forms const& f : kForms) {
        SCOPED_TRACE(f.name);
        // A seed with fewer directions than R: the missing seed tangents are zero.
        ActiveScalar s(0.8);
        s.tangents = std::valarray<double>(0.0, 1);
        s.ndir = 1;
        fad1<Mat> A;
        f.t_adj_sum(R, s, A);
        ASSERT_EQ(A.tangents.size(), kDirs);
        ActiveScalar s_full(0.8);  // kDirs zero tangents
        fad1<Mat> A_full;
        f.t_adj_sum(R, s_full, A_full);
        for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(A.tangents[d].data, A_full.tangents[d].data, "tangent");

        // adjR may be R itself.
        fad1<Mat> in_place = R;
        f.t_adj_sum(in_place, s_full, in_place);
        expect_bits_equal(in_place.value.data, A_full.value.data, "aliased value");
        for (unsigned d = 0; d < kDirs; ++d)
            expect_bits_equal(in_place.tangents[d].data, A_full.tangents[d].data, "aliased tangent");
    }
}
