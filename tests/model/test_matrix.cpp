// Dense matrix layout, colsum, the three product paths against a plain triple loop and against
// each other, bias addition with broadcasting and "invalid dims", and the storage-order flag.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/matrix.h"
#include "support/net.h"
#include "veltn.h"

using namespace veltn;

namespace {
Vec column_sums(Mat const& m) {
    Vec s;
    colsum_into(m, s);
    return s;
}


Mat mat(std::size_t r, std::size_t c, std::vector<double> const& v) {
    Mat m(r, c);
    for (std::size_t i = 0; i < v.size(); ++i) m.data[i] = v[i];
    return m;
}

Mat random_mat(std::size_t r, std::size_t c, unsigned seed) { return mat(r, c, random_vector(r * c, seed)); }

// The product by its definition, summed in long double.
Mat naive_product(Mat const& A, Mat const& W) {
    Mat Z(A.rows, W.cols);
    for (std::size_t i = 0; i < A.rows; ++i)
        for (std::size_t j = 0; j < W.cols; ++j) {
            long double s = 0;
            for (std::size_t k = 0; k < A.cols; ++k) s += (long double)A(i, k) * W(k, j);
            Z(i, j) = double(s);
        }
    return Z;
}

void expect_close(Mat const& got, Mat const& want, double tol = 1e-13) {
    ASSERT_EQ(got.rows, want.rows);
    ASSERT_EQ(got.cols, want.cols);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got.data[i], want.data[i], tol * (1 + std::fabs(want.data[i]))) << "element " << i;
}

}  // namespace

TEST(Matrix, RowMajorLayoutAndZeroFill) {
    Mat m(2, 3);
    ASSERT_EQ(m.size(), 6u);
    for (double x : m.data) EXPECT_EQ(x, 0.0);
    m(1, 2) = 7.0;
    m(0, 1) = 3.0;
    EXPECT_EQ(m.data[5], 7.0);
    EXPECT_EQ(m.data[1], 3.0);
}

TEST(Matrix, AssignmentWithTheSameCountKeepsStorageAndTakesExtents) {
    Mat a = mat(2, 3, {1, 2, 3, 4, 5, 6});
    Mat b(3, 2);
    const double* storage = &b.data[0];
    b = a;
    EXPECT_EQ(&b.data[0], storage);
    EXPECT_EQ(b.rows, 2u);
    EXPECT_EQ(b.cols, 3u);
    EXPECT_EQ(b(1, 2), 6.0);
    // A different count replaces the storage with the source's values.
    Mat c(1, 1);
    c = a;
    EXPECT_EQ(c.size(), 6u);
    EXPECT_EQ(c(1, 0), 4.0);
    // Copies are deep.
    a(0, 0) = 100.0;
    EXPECT_EQ(b(0, 0), 1.0);
    EXPECT_EQ(c(0, 0), 1.0);
}

TEST(Colsum, SumsColumnsAndGivesZerosForNoRows) {
    const Vec s = column_sums(mat(3, 2, {1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], 9.0);
    EXPECT_EQ(s[1], 12.0);
    const Vec z = column_sums(Mat(0, 2));
    ASSERT_EQ(z.size(), 2u);
    EXPECT_EQ(z[0], 0.0);
    EXPECT_EQ(z[1], 0.0);
}

TEST(Colsum, AddsFromTheLastRowUpward) {
    // Bottom-up: (-1e16 + 1e16) + 1 = 1. Top-down would give (1 + 1e16) - 1e16 = 0 (1e16 + 1
    // rounds to 1e16). Column 1 is the mirror case: bottom-up gives 0, top-down 1.
    const Vec s = column_sums(mat(3, 2, {1.0, -1e16, 1e16, 1e16, -1e16, 1.0}));
    EXPECT_EQ(s[0], 1.0);
    EXPECT_EQ(s[1], 0.0);
}

// Every width (the sums run in register blocks of 8, 4, 2 and 1 columns) and a few heights:
// bit for bit the sums of each column from the last row up.
TEST(Colsum, EveryWidthMatchesTheBottomUpSumBitForBit) {
    for (std::size_t cols = 1; cols <= 19; ++cols)
        for (std::size_t rows : {1u, 2u, 7u, 33u}) {
            const Mat m = random_mat(rows, cols, unsigned(31 * cols + rows));
            const Vec s = column_sums(m);
            ASSERT_EQ(s.size(), cols);
            for (std::size_t j = 0; j < cols; ++j) {
                double want = m(rows - 1, j);
                for (std::size_t i = rows - 1; i-- > 0;) want += m(i, j);
                EXPECT_EQ(s[j], want) << rows << " x " << cols << ", column " << j;
            }
        }
}

TEST(Matmul, EachPathMatchesTheDefinition) {
    struct Case {
        std::size_t r, k, n;
        const char* path;
    } cases[] = {{1, 5, 4, "dgemv transposed (one row)"},
                 {6, 5, 1, "dgemv (one column)"},
                 {1, 5, 1, "one row and one column"},
                 {6, 5, 4, "dgemm"},
                 {33, 17, 9, "dgemm, larger"}};
    unsigned seed = 11;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.path);
        const Mat A = random_mat(c.r, c.k, seed++);
        const Mat W = random_mat(c.k, c.n, seed++);
        Mat Z = mat(2, 2, {NAN, NAN, NAN, NAN});  // stale content of another shape is replaced
        matmul(A, W, Z);
        expect_close(Z, naive_product(A, W));
    }
}

TEST(Matmul, SingleRowAndSingleColumnPathsAgreeWithTheGeneralProduct) {
    const Mat A = random_mat(7, 6, 101);
    const Mat W = random_mat(6, 5, 102);
    Mat full;
    matmul(A, W, full);
    for (std::size_t i = 0; i < A.rows; ++i) {
        Mat row(1, A.cols), z;
        for (std::size_t k = 0; k < A.cols; ++k) row(0, k) = A(i, k);
        matmul(row, W, z);
        ASSERT_EQ(z.rows, 1u);
        ASSERT_EQ(z.cols, W.cols);
        for (std::size_t j = 0; j < W.cols; ++j) EXPECT_NEAR(z(0, j), full(i, j), 1e-13) << i << "," << j;
    }
    for (std::size_t j = 0; j < W.cols; ++j) {
        Mat col(W.rows, 1), z;
        for (std::size_t k = 0; k < W.rows; ++k) col(k, 0) = W(k, j);
        matmul(A, col, z);
        ASSERT_EQ(z.rows, A.rows);
        ASSERT_EQ(z.cols, 1u);
        for (std::size_t i = 0; i < A.rows; ++i) EXPECT_NEAR(z(i, 0), full(i, j), 1e-13) << i << "," << j;
    }
}

TEST(AddBias, ElementwiseWhenTheCountsMatch) {
    Mat Z = mat(2, 2, {1, 2, 3, 4});
    EXPECT_TRUE(add_bias(Z, Vec{10.0, 20.0, 30.0, 40.0}));
    EXPECT_EQ(Z(0, 0), 11.0);
    EXPECT_EQ(Z(0, 1), 22.0);
    EXPECT_EQ(Z(1, 0), 33.0);
    EXPECT_EQ(Z(1, 1), 44.0);
}

TEST(AddBias, BroadcastsOverRows) {
    Mat Z = mat(3, 2, {1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(add_bias(Z, Vec{0.5, -1.0}));
    EXPECT_EQ(std::vector<double>(std::begin(Z.data), std::end(Z.data)),
              (std::vector<double>{1.5, 1, 3.5, 3, 5.5, 5}));
}

TEST(AddBias, WrongLengthReportsInvalidDimsAndLeavesZUnchanged) {
    Mat Z = mat(2, 3, {1, 2, 3, 4, 5, 6});
    std::string err, out;
    bool ok;
    {
        CaptureFd e(2), o(1);
        ok = add_bias(Z, Vec{1.0, 2.0});
        err = e.text();
        out = o.text();
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, "invalid dims\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(std::vector<double>(std::begin(Z.data), std::end(Z.data)), (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

TEST(StorageOrderFlag, VeltMajorSetsTheProcessWideFlagForAnyHandle) {
    const int saved = veltn_rowmajor;
    Net a("3 1 3 1 16 3 8 8 softplus sum");
    EXPECT_EQ(velt_major(nullptr, 1), 0);
    EXPECT_EQ(veltn_rowmajor, 1);
    EXPECT_EQ(velt_major(a.h, 0), 0);
    EXPECT_EQ(veltn_rowmajor, 0);
    EXPECT_EQ(velt_major(a.h, 7), 0);
    EXPECT_EQ(veltn_rowmajor, 7);
    velt_major(nullptr, saved);
}
