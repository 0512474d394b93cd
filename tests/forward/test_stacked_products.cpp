// Products over tangent containers with many directions (several stacked groups), with
// directions whose tangents are exactly zero, and with operands of different direction counts;
// softplus and its adjoint on inputs below the cut-off. Tangents are checked against central
// differences of the plain computation, values bit for bit against the plain forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/apply.h"
#include "forward/ops.h"
#include "forward/tangent_functions.h"
#include "forward/tangent_ops.h"
#include "forward/tangent_test_util.h"

using namespace veltn;

using namespace tangent_test;

namespace {

Mat mult(Mat const& A, Mat const& B) {
    Mat C;
    matmul(A, B, C);
    return C;
}
Mat mult_nt(Mat const& A, Mat const& B) {
    Mat C;
    matmul_nt(A, B, C);
    return C;
}
Mat mult_tn(Mat const& A, Mat const& B) {
    Mat C;
    matmul_tn(A, B, C, 0.0);
    return C;
}

// x with k random directions, of which those with d % zero_every == zero_at are exactly zero.
fad1<Mat> with_zero_directions(Mat const& m, unsigned k, unsigned seed, unsigned zero_every, unsigned zero_at) {
    fad1<Mat> x = seeded_mat(m, k, seed);
    for (unsigned d = 0; d < k; ++d)
        if (d % zero_every == zero_at) x.tangents[d].data = 0.0;
    return x;
}

// Direction d of x, or zero when x has fewer directions.
Mat along_or_value(fad1<Mat> const& x, std::size_t d, double eps) {
    return d < x.tangents.size() ? along(x, d, eps) : x.value;
}

using Plain = Mat (*)(Mat const&, Mat const&);

// The products are bilinear, so a central difference is exact up to rounding at any step; a
// large step keeps the rounding of the difference small.
constexpr double kBilinearStep = 0.5;

// C's k tangents against central differences of plain(A + e A_d, B + e B_d).
void check_tangents(fad1<Mat> const& C, fad1<Mat> const& A, fad1<Mat> const& B, Plain plain, std::size_t k,
                    std::string const& what) {
    const Mat V = plain(A.value, B.value);
    expect_bits_equal(C.value.data, V.data, what + " value");
    ASSERT_EQ(C.tangents.size(), k) << what;
    for (std::size_t d = 0; d < k; ++d) {
        EXPECT_EQ(C.tangents[d].rows, V.rows) << what;
        EXPECT_EQ(C.tangents[d].cols, V.cols) << what;
        const Vec ref = central(
            [&](double e) { return plain(along_or_value(A, d, e), along_or_value(B, d, e)).data; }, kBilinearStep);
        expect_close(C.tangents[d].data, ref, what + " tangent " + std::to_string(d), 1e-12, 1e-13);
    }
}

// Enough directions of 64 x 64 terms that the products run in more than one group.
constexpr unsigned kMany = 70;

}  // namespace

TEST(StackedProducts, ManyDirectionsWithZeroDirections) {
    DirectionCounts counts(kMany);
    // A's tangents vanish for d % 5 == 0, B's for d % 7 == 0; both for d = 0 and 35.
    const fad1<Mat> A = with_zero_directions(random_mat(32, 64, 201), kMany, 202, 5, 0);
    const fad1<Mat> B = with_zero_directions(random_mat(64, 64, 203), kMany, 204, 7, 0);
    const fad1<Mat> Bt = with_zero_directions(random_mat(48, 64, 205), kMany, 206, 7, 0);
    const fad1<Mat> D = with_zero_directions(random_mat(32, 64, 207), kMany, 208, 7, 0);

    fad1<Mat> C;
    do_mult(A, B, C);
    check_tangents(C, A, B, mult, kMany, "A B");
    fad1<Mat> N;
    do_binmult(N, A, TransposedFAD1<Mat>(Bt));
    check_tangents(N, A, Bt, mult_nt, kMany, "A B^T");
    fad1<Mat> T;
    do_binmult(T, TransposedFAD1<Mat>(A), D);
    check_tangents(T, A, D, mult_tn, kMany, "A^T D");

    // Where both factors' directions are zero, so is the product's, with every entry +0.0.
    for (const fad1<Mat>* P : {&C, &N, &T})
        for (unsigned d : {0u, 35u})
            for (double v : P->tangents[d].data) EXPECT_TRUE(v == 0.0 && !std::signbit(v));
}

// A weight remembers its zero directions and transposes once it is loaded; the products with it
// must give what they give without them, and must forget them once the weight is written (here
// a direction that was zero, and was remembered as zero, becomes non-zero).
TEST(StackedProducts, RememberedWeightsAreUsedUntilWritten) {
    struct Shape {
        std::size_t r, n, m;
    };
    constexpr unsigned k = 9;
    DirectionCounts counts(k);
    for (Shape const s : {Shape{32, 64, 64}, Shape{32, 16, 8}, Shape{3, 5, 2}}) {
        const std::string shape = std::to_string(s.r) + "x" + std::to_string(s.n) + "x" + std::to_string(s.m);
        const fad1<Mat> A = with_zero_directions(random_mat(s.r, s.n, 230), k, 231, 4, 1);
        const fad1<Mat> G = with_zero_directions(random_mat(s.r, s.m, 232), k, 233, 4, 1);
        fad1<Mat> W = with_zero_directions(random_mat(s.n, s.m, 234), k, 235, 3, 0);
        W.tangents.remember_runs();
        W.tangents.remember_transposes(W.value);
        ASSERT_NE(W.tangents.remembered_transposes(), nullptr) << shape;
        for (const char* stage : {"remembered", "written since"}) {
            const std::string what = shape + ", " + stage;
            fad1<Mat> C, N;
            do_mult(A, W, C);
            check_tangents(C, A, W, mult, k, what + ": A W");
            do_binmult(N, G, TransposedFAD1<Mat>(W));
            check_tangents(N, G, W, mult_nt, k, what + ": G W^T");
            W.tangents[0] = seeded_mat(random_mat(s.n, s.m, 236), 1, 237).tangents[0];
            W.tangents[4].data = 0.0;
            EXPECT_EQ(W.tangents.remembered_transposes(), nullptr) << what;
            EXPECT_EQ(W.tangents.remembered_runs(), nullptr) << what;
        }
    }
}

TEST(StackedProducts, NaNInATangentIsNotTakenForZero) {
    DirectionCounts counts(2);
    fad1<Mat> A(random_mat(3, 4, 209));
    fad1<Mat> B = seeded_mat(random_mat(4, 2, 210), 2, 211);
    A.tangents[1].data = 0.0;
    A.tangents[1](2, 3) = std::numeric_limits<double>::quiet_NaN();
    fad1<Mat> C;
    do_mult(A, B, C);
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_TRUE(std::isnan(C.tangents[1](2, j)));
        EXPECT_FALSE(std::isnan(C.tangents[1](0, j)));
        EXPECT_FALSE(std::isnan(C.tangents[0](2, j)));
    }
}

TEST(StackedProducts, OperandWithFewerDirections) {
    DirectionCounts counts(5);
    const fad1<Mat> A5 = seeded_mat(random_mat(6, 4, 212), 5, 213);
    const fad1<Mat> B5 = seeded_mat(random_mat(4, 3, 214), 5, 215);
    const fad1<Mat> D5 = seeded_mat(random_mat(6, 3, 216), 5, 217);
    fad1<Mat> A3 = A5, B3 = B5, Bt3 = seeded_mat(random_mat(2, 4, 218), 5, 219);
    fad1<Mat> const Bt5 = Bt3;
    A3.tangents.truncate(3);
    B3.tangents.truncate(3);
    Bt3.tangents.truncate(3);

    // The left factor's count decides A B and A B^T; the right factor's decides A^T B.
    fad1<Mat> C;
    do_mult(A5, B3, C);
    check_tangents(C, A5, B3, mult, 5, "A B, B with 3 directions");
    do_mult(A3, B5, C);
    check_tangents(C, A3, B5, mult, 3, "A B, A with 3 directions");
    fad1<Mat> N;
    do_binmult(N, A5, TransposedFAD1<Mat>(Bt3));
    check_tangents(N, A5, Bt3, mult_nt, 5, "A B^T, B with 3 directions");
    fad1<Mat> T;
    do_binmult(T, TransposedFAD1<Mat>(A3), D5);
    check_tangents(T, A3, D5, mult_tn, 5, "A^T D, A with 3 directions");
}

TEST(StackedProducts, AccumulationGrowsAndReplaces) {
    DirectionCounts counts(kMany);
    const fad1<Mat> A = with_zero_directions(random_mat(32, 64, 220), kMany, 221, 3, 1);
    const fad1<Mat> D = with_zero_directions(random_mat(32, 64, 222), kMany, 223, 4, 2);
    // The target starts with 40 directions, of which direction 7 is zero (every direction of a
    // block has the value's shape, so a tangent of another element count cannot arise).
    fad1<Mat> start = seeded_mat(random_mat(64, 64, 224), 40, 225);
    start.tangents[7].data = 0.0;
    fad1<Mat> acc = start;
    nn_mult_tn(A, D, acc, true);

    Vec value = start.value.data;
    value += mult_tn(A.value, D.value).data;
    expect_bits_equal(acc.value.data, value, "accumulated value");
    ASSERT_EQ(acc.tangents.size(), kMany);
    for (unsigned d = 0; d < kMany; ++d) {
        EXPECT_EQ(acc.tangents[d].rows, 64u);
        EXPECT_EQ(acc.tangents[d].cols, 64u);
        Vec ref = central([&](double e) { return mult_tn(along(A, d, e), along(D, d, e)).data; }, kBilinearStep);
        if (d < 40 && d != 7) ref += start.tangents[d].data;
        expect_close(acc.tangents[d].data, ref, "accumulated tangent " + std::to_string(d), 1e-12, 1e-13);
    }
}

namespace {

// Entries below the softplus cut-off only, from far negative to just below 300.
const Mat kBelowCutoff = make_mat(3, 4, Vec{-800.0, -40.0, -5.0, -0.5, 0.0, 0.25, 1.0, 3.0, 12.0, 40.0, 250.0, 299.5});

}  // namespace

TEST(StackedProducts, SoftplusBelowTheCutoff) {
    DirectionCounts counts(3);
    const fad1<Mat> Z = seeded_mat(kBelowCutoff, 3, 226);
    const fad1<Mat> S = applied(&softplus_into<fad1<Mat>, fad1<Vec>>, Z);
    expect_bits_equal(S.value.data, applied(&softplus_into<Mat, Vec>, Z.value).data, "softplus value");
    ASSERT_EQ(S.tangents.size(), 3u);
    for (unsigned d = 0; d < 3; ++d) {
        EXPECT_EQ(S.tangents[d].rows, 3u);
        EXPECT_EQ(S.tangents[d].cols, 4u);
        const Vec ref = central([&](double e) { return applied(&softplus_into<Mat, Vec>, along(Z, d, e)).data; });
        expect_close(S.tangents[d].data, ref, "softplus tangent " + std::to_string(d));
    }

    const fad1<Mat> dA = seeded_mat(random_mat(3, 4, 227, 2.0), 3, 228);
    fad1<Mat> dZ;
    adj_softplus<fad1<Mat>, fad1<Vec>>(Z, dA, dZ);
    Mat plain;
    adj_softplus<Mat, Vec>(Z.value, dA.value, plain);
    expect_bits_equal(dZ.value.data, plain.data, "adj_softplus value");
    ASSERT_EQ(dZ.tangents.size(), 3u);
    for (unsigned d = 0; d < 3; ++d) {
        const Vec ref = central([&](double e) {
            Mat out;
            adj_softplus<Mat, Vec>(along(Z, d, e), along(dA, d, e), out);
            return out.data;
        });
        expect_close(dZ.tangents[d].data, ref, "adj_softplus tangent " + std::to_string(d));
    }

    // The adjoint written over its incoming adjoint gives the same result.
    fad1<Mat> in_place = dA;
    adj_softplus<fad1<Mat>, fad1<Vec>>(Z, in_place, in_place);
    expect_bits_equal(in_place.value.data, dZ.value.data, "in place value");
    for (unsigned d = 0; d < 3; ++d) expect_bits_equal(in_place.tangents[d].data, dZ.tangents[d].data, "in place");
}
