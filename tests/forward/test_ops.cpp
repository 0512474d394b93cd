// Elementwise rules, expression nodes and matrix products over tangent containers, each
// against central differences of the plain computation.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "functions/vector_math.h"
#include "forward/ops.h"
#include "forward/tangent_test_util.h"

using namespace veltn;

using namespace tangent_test;

namespace {
Vec column_sums(Mat const& m) {
    Vec s;
    colsum_into(m, s);
    return s;
}
fad1<Vec> column_sums(fad1<Mat> const& m) {
    fad1<Vec> s;
    colsum_into(m, s);
    return s;
}


// The library's elementwise exp and log (the vector routines where the CPU has them), which
// every value of the forward-mode layer goes through.
double lib_exp(double x) {
    double y;
    vec_exp(&x, &y, 1);
    return y;
}
double lib_log(double x) {
    double y;
    vec_log(&x, &y, 1);
    return y;
}

constexpr unsigned kDirs = 3;

Vec map(Vec const& v, double (*f)(double)) {
    Vec r(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) r[i] = f(v[i]);
    return r;
}

// Checks value (bitwise against `value`) and every tangent of got against central differences
// of plain(x + eps t_d).
void check_unary(fad1<Vec> const& got, fad1<Vec> const& x, Vec const& value, std::function<Vec(Vec const&)> plain,
                 std::string const& what) {
    expect_bits_equal(got.value, value, what + " value");
    ASSERT_EQ(got.tangents.size(), x.tangents.size()) << what;
    for (std::size_t d = 0; d < x.tangents.size(); ++d) {
        const Vec ref = central([&](double e) { return plain(along(x, d, e)); });
        expect_close(got.tangents[d], ref, what + " tangent " + std::to_string(d));
    }
}

}  // namespace

TEST(FadOps, ExpAndLogSeparateAndInPlace) {
    DirectionCounts counts(kDirs);
    const fad1<Vec> x = seeded_vec(Vec{0.3, 1.7, 4.0, 0.01, 12.0}, kDirs, 21);
    const auto plain_exp = [](Vec const& v) { return map(v, lib_exp); };
    const auto plain_log = [](Vec const& v) { return map(v, lib_log); };

    fad1<Vec> e;
    do_exp(e, x);
    check_unary(e, x, plain_exp(x.value), plain_exp, "exp");
    fad1<Vec> e_in = x;
    do_exp(e_in, e_in);
    expect_bits_equal(e_in.value, e.value, "exp in place value");
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(e_in.tangents[d], e.tangents[d], "exp in place tangent");

    fad1<Vec> l;
    do_log(l, x);
    check_unary(l, x, plain_log(x.value), plain_log, "log");
    fad1<Vec> l_in = x;
    do_log(l_in, l_in);
    expect_bits_equal(l_in.value, l.value, "log in place value");
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(l_in.tangents[d], l.tangents[d], "log in place tangent");
}

TEST(FadOps, ExpIntoShorterAndWiderTargets) {
    DirectionCounts counts(kDirs);
    const fad1<Vec> x = seeded_vec(Vec{0.5, -1.0, 2.0}, kDirs, 22);
    fad1<Vec> shorter = seeded_vec(Vec{1.0}, 1, 23);
    do_exp(shorter, x);
    ASSERT_EQ(shorter.value.size(), 3u);
    ASSERT_EQ(shorter.tangents.size(), kDirs);
    fad1<Vec> ref;
    do_exp(ref, x);
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(shorter.tangents[d], ref.tangents[d], "tangent");
}

TEST(FadOps, InvertMatchesEdgeCaseAndDifferences) {
    DirectionCounts counts(1);
    fad1<Vec> two(Vec{2.0}, 1u);
    two.tangents[0] = 1.0;
    const fad1<Vec> r = invert(two);
    EXPECT_EQ(r.value[0], 0.5);
    EXPECT_EQ(r.tangents[0][0], -0.25);

    const fad1<Vec> x = seeded_vec(Vec{0.7, -2.5, 9.0}, kDirs, 24);
    const auto plain = [](Vec const& v) { return Vec(1.0 / v); };
    check_unary(invert(x), x, plain(x.value), plain, "invert");
}

TEST(FadOps, QuotientRuleInPlace) {
    DirectionCounts counts(kDirs);
    const fad1<Vec> a = seeded_vec(Vec{1.0, -2.0, 3.5, 0.0}, kDirs, 25);
    const fad1<Vec> b = seeded_vec(Vec{0.5, 4.0, -1.5, 2.0}, kDirs, 26);
    fad1<Vec> q = a;
    q /= b;
    expect_bits_equal(q.value, Vec(a.value / b.value), "value");
    for (unsigned d = 0; d < kDirs; ++d) {
        const Vec ref = central([&](double e) { return Vec(along(a, d, e) / along(b, d, e)); });
        expect_close(q.tangents[d], ref, "tangent " + std::to_string(d));
    }
}

TEST(FadOps, AbsSignAtZeroAndDifferences) {
    DirectionCounts counts(1);
    fad1<Vec> z(Vec{-0.0, 0.0}, 1u);
    z.tangents[0] = 1.0;
    const fad1<Vec> a = abs(z);
    EXPECT_EQ(a.value[0], 0.0);
    EXPECT_FALSE(std::signbit(a.value[0]));
    EXPECT_EQ(a.tangents[0][0], -1.0);
    EXPECT_EQ(a.tangents[0][1], 1.0);

    const fad1<Vec> x = seeded_vec(Vec{-1.5, 0.25, -0.01, 3.0}, kDirs, 27);
    const auto plain = [](Vec const& v) { return map(v, std::fabs); };
    check_unary(abs(x), x, plain(x.value), plain, "abs");
}

TEST(FadOps, ExpressionNodeCompositions) {
    DirectionCounts counts(kDirs);
    const fad1<Vec> x = seeded_vec(Vec{-3.0, -0.2, 0.0, 1.1, 6.0}, kDirs, 28);

    // log(exp(x) + 1)
    const ExpNode e(x);
    const ExpResult2<ExpNode, double, AddScalar> ep1(e, 1.0);
    const Log1pExpNode sp(ep1);
    fad1<Vec> y;
    sp.fetch(y);
    const auto plain_sp = [](Vec const& v) {
        Vec r(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) r[i] = lib_log(lib_exp(v[i]) + 1.0);
        return r;
    };
    check_unary(y, x, plain_sp(x.value), plain_sp, "log(exp(x)+1)");

    // exp(x x / c)
    const double c = -0.2222222222222222;
    const MulNode sq(x, x);
    const ExpResult2<MulNode, double, DivideScalar> q(sq, c);
    const ExpQuadNode eq(q);
    fad1<Vec> g;
    eq.fetch(g);
    const auto plain_eq = [c](Vec const& v) {
        Vec r(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) r[i] = lib_exp((v[i] * v[i]) / c);
        return r;
    };
    check_unary(g, x, plain_eq(x.value), plain_eq, "exp(x x / c)");

    // -log(x) on positive entries
    const fad1<Vec> p = seeded_vec(Vec{0.5, 2.0, 40.0}, kDirs, 29);
    const LogNode l(p);
    const NegLogNode nl(l);
    fad1<Vec> h;
    nl.fetch(h);
    const auto plain_nl = [](Vec const& v) {
        Vec r(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) r[i] = -lib_log(v[i]);
        return r;
    };
    check_unary(h, p, plain_nl(p.value), plain_nl, "-log(x)");

    // a b with distinct operands
    const fad1<Vec> b = seeded_vec(Vec{2.0, -1.0, 0.5, 3.0, -4.0}, kDirs, 30);
    const fad1<Vec> ab = MulNode(x, b);
    expect_bits_equal(ab.value, Vec(x.value * b.value), "product value");
    for (unsigned d = 0; d < kDirs; ++d) {
        const Vec ref = central([&](double eps) { return Vec(along(x, d, eps) * along(b, d, eps)); });
        expect_close(ab.tangents[d], ref, "product tangent");
    }
}

namespace {

Mat plain_mult(Mat const& A, Mat const& B) {
    Mat C;
    matmul(A, B, C);
    return C;
}

// Checks C = A B (values against the plain product, bitwise; tangents against differences).
void check_product(fad1<Mat> const& C, fad1<Mat> const& A, fad1<Mat> const& B, std::string const& what) {
    const Mat V = plain_mult(A.value, B.value);
    EXPECT_EQ(C.value.rows, A.value.rows) << what;
    EXPECT_EQ(C.value.cols, B.value.cols) << what;
    expect_bits_equal(C.value.data, V.data, what + " value");
    ASSERT_EQ(C.tangents.size(), A.tangents.size()) << what;
    for (std::size_t d = 0; d < A.tangents.size(); ++d) {
        EXPECT_EQ(C.tangents[d].rows, A.value.rows) << what;
        EXPECT_EQ(C.tangents[d].cols, B.value.cols) << what;
        const Vec ref =
            central([&](double e) { return plain_mult(along(A, d, e), along(B, d, e)).data; });
        expect_close(C.tangents[d].data, ref, what + " tangent " + std::to_string(d), 1e-8, 1e-9);
    }
}

// The rows of M stacked twice, so that a one-row factor takes the general path.
Mat doubled_rows(Mat const& M) {
    Mat D(2 * M.rows, M.cols);
    for (std::size_t i = 0; i < M.rows; ++i)
        for (std::size_t j = 0; j < M.cols; ++j) D(i, j) = D(M.rows + i, j) = M(i, j);
    return D;
}

}  // namespace

TEST(FadMatrixOps, MultThreeWayRuleAgreesWithGeneralProduct) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> A1 = seeded_mat(random_mat(1, 4, 31), kDirs, 32);
    const fad1<Mat> A3 = seeded_mat(random_mat(3, 4, 33), kDirs, 34);
    const fad1<Mat> B1 = seeded_mat(random_mat(4, 1, 35), kDirs, 36);
    const fad1<Mat> B2 = seeded_mat(random_mat(4, 2, 37), kDirs, 38);

    fad1<Mat> C;
    do_mult(A1, B2, C);
    check_product(C, A1, B2, "one row");
    do_mult(A3, B1, C);
    check_product(C, A3, B1, "one column");
    do_mult(A3, B2, C);
    check_product(C, A3, B2, "general");
    do_mult(A1, B1, C);
    check_product(C, A1, B1, "one row and one column");

    // One-row value and tangents equal the first row of the general (two-row) product.
    fad1<Mat> A1x2 = A1;
    A1x2.shape(kDirs, 2, 4);
    A1x2.value = doubled_rows(A1.value);
    for (unsigned d = 0; d < kDirs; ++d) A1x2.tangents[d] = doubled_rows(A1.tangents[d]);
    fad1<Mat> Cg, C1;
    do_mult(A1x2, B2, Cg);
    do_mult(A1, B2, C1);
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_NEAR(C1.value(0, j), Cg.value(0, j), 1e-14);
        EXPECT_NEAR(C1.value(0, j), Cg.value(1, j), 1e-14);
        for (unsigned d = 0; d < kDirs; ++d) EXPECT_NEAR(C1.tangents[d](0, j), Cg.tangents[d](0, j), 1e-14);
    }
}

TEST(FadMatrixOps, MultIntoOperand) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> A = seeded_mat(random_mat(3, 3, 39), kDirs, 40);
    const fad1<Mat> B = seeded_mat(random_mat(3, 2, 41), kDirs, 42);
    fad1<Mat> ref;
    do_mult(A, B, ref);
    fad1<Mat> Bc = B;
    do_mult(A, Bc, Bc);
    expect_bits_equal(Bc.value.data, ref.value.data, "value");
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(Bc.tangents[d].data, ref.tangents[d].data, "tangent");
}

TEST(FadMatrixOps, TransposedProducts) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> A = seeded_mat(random_mat(3, 4, 43), kDirs, 44);
    const fad1<Mat> B = seeded_mat(random_mat(2, 4, 45), kDirs, 46);
    const fad1<Mat> D = seeded_mat(random_mat(3, 5, 47), kDirs, 48);

    const auto nt = [](Mat const& x, Mat const& y) {
        Mat c;
        matmul_nt(x, y, c);
        return c;
    };
    const auto tn = [](Mat const& x, Mat const& y) {
        Mat c;
        matmul_tn(x, y, c, 0.0);
        return c;
    };

    fad1<Mat> C;
    do_binmult(C, A, TransposedFAD1<Mat>(B));
    EXPECT_EQ(C.value.rows, 3u);
    EXPECT_EQ(C.value.cols, 2u);
    expect_bits_equal(C.value.data, nt(A.value, B.value).data, "A B^T value");
    ASSERT_EQ(C.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) {
        EXPECT_EQ(C.tangents[d].rows, 3u);
        EXPECT_EQ(C.tangents[d].cols, 2u);
        const Vec ref = central([&](double e) { return nt(along(A, d, e), along(B, d, e)).data; });
        expect_close(C.tangents[d].data, ref, "A B^T tangent", 1e-8, 1e-9);
    }

    fad1<Mat> E;
    do_binmult(E, TransposedFAD1<Mat>(A), D);
    EXPECT_EQ(E.value.rows, 4u);
    EXPECT_EQ(E.value.cols, 5u);
    expect_bits_equal(E.value.data, tn(A.value, D.value).data, "A^T D value");
    ASSERT_EQ(E.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) {
        EXPECT_EQ(E.tangents[d].rows, 4u);
        EXPECT_EQ(E.tangents[d].cols, 5u);
        const Vec ref = central([&](double e) { return tn(along(A, d, e), along(D, d, e)).data; });
        expect_close(E.tangents[d].data, ref, "A^T D tangent", 1e-8, 1e-9);
    }
}

namespace {

fad1<Mat> bias_case(fad1<Mat> const& A, fad1<Vec> const& b, std::string& err) {
    CerrCapture cap;
    fad1<Mat> C;
    do_binplus(C, A, b);
    err = cap.text();
    return C;
}

}  // namespace

TEST(FadMatrixOps, BinplusThreeBiasShapes) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> A = seeded_mat(random_mat(2, 3, 49), kDirs, 50);
    std::string err;

    // b of length cols: added to every row, value and tangents.
    const fad1<Vec> row = seeded_vec(random_vec(3, 51), kDirs, 52);
    fad1<Mat> C = bias_case(A, row, err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(C.value.rows, 2u);
    EXPECT_EQ(C.value.cols, 3u);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_EQ(C.value(i, j), A.value(i, j) + row.value[j]);
            for (unsigned d = 0; d < kDirs; ++d)
                EXPECT_EQ(C.tangents[d](i, j), A.tangents[d](i, j) + row.tangents[d][j]);
        }

    // b of length rows x cols: entrywise.
    const fad1<Vec> full = seeded_vec(random_vec(6, 53), kDirs, 54);
    C = bias_case(A, full, err);
    EXPECT_EQ(err, "");
    expect_bits_equal(C.value.data, Vec(A.value.data + full.value), "entrywise value");
    for (unsigned d = 0; d < kDirs; ++d)
        expect_bits_equal(C.tangents[d].data, Vec(Vec(A.tangents[d].data) + Vec(full.tangents[d])), "entrywise tangent");

    // Any other length: one message for the value and one per direction; C equals A.
    const fad1<Vec> bad = seeded_vec(random_vec(4, 55), kDirs, 56);
    C = bias_case(A, bad, err);
    std::string expected;
    for (unsigned i = 0; i < 1 + kDirs; ++i) expected += "invalid dims\n";
    EXPECT_EQ(err, expected);
    expect_bits_equal(C.value.data, A.value.data, "invalid value");
    ASSERT_EQ(C.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(C.tangents[d].data, A.tangents[d].data, "invalid tangent");
}

TEST(FadMatrixOps, BinplusInPlace) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> A = seeded_mat(random_mat(3, 2, 57), kDirs, 58);
    const fad1<Vec> b = seeded_vec(random_vec(2, 59), kDirs, 60);
    fad1<Mat> ref;
    do_binplus(ref, A, b);
    fad1<Mat> Z = A;
    do_binplus(Z, Z, b);
    expect_bits_equal(Z.value.data, ref.value.data, "value");
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(Z.tangents[d].data, ref.tangents[d].data, "tangent");
}

TEST(FadMatrixOps, ColsumOfValueAndTangents) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> A = seeded_mat(random_mat(4, 3, 61), kDirs, 62);
    const fad1<Vec> s = column_sums(A);
    expect_bits_equal(s.value, column_sums(A.value), "value");
    ASSERT_EQ(s.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) {
        const Vec ref = central([&](double e) { return column_sums(along(A, d, e)); });
        expect_close(s.tangents[d], ref, "tangent");
        expect_bits_equal(s.tangents[d], column_sums(A.tangents[d]), "tangent bits");
    }
}
