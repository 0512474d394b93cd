// The function table: every row is complete and named once, and a row's vector kernel computes
// what its matrix form computes, bit for bit. (Each row over the tangent types is checked against
// central differences of the plain row in test_tangent_network.cpp.)
#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <string>

#include "forward/tangent_test_util.h"
#include "functions/registry.h"

using namespace veltn;
using namespace tangent_test;

namespace {

// Residuals and pre-activations across every branch: the normal core and the Cauchy tail, the
// pseudo-Huber cut-over, both signs, zero and the softplus cut-off.
const Mat kPoints = make_mat(2, 6, Vec{-3.5, -1.9999, -0.25, 0.0, 0.75, 2.0, 1e9, 299.0, 300.0, 301.5, -40.0, 5.0});

}  // namespace

TEST(FunctionTable, RowsAreCompleteAndNamedOnce) {
    std::set<std::string> names;
    for (auto const& row : activation_rows<Mat, Vec>) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        EXPECT_TRUE(row.into && row.adjoint) << row.name;
        EXPECT_NE(std::string(row.doc), "") << row.name;
    }
    EXPECT_NE((find_activation<Mat, Vec>("softplus")), nullptr);  // what unknown names select
    names.clear();
    for (auto const& row : norm_rows<Mat, Vec, double>) {
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        EXPECT_TRUE(row.sum && row.adj_sum && row.terms && row.adj_terms && row.second) << row.name;
        EXPECT_NE(std::string(row.doc), "") << row.name;
    }
}

TEST(FunctionTable, VectorKernelsMatchTheMatrixForms) {
    const std::size_t n = kPoints.size();
    for (auto const& row : activation_rows<Mat, Vec>) {
        if (!row.kernel) continue;
        SCOPED_TRACE(row.name);
        Mat A;
        row.into(kPoints, A);
        Vec y(n);
        row.kernel(ptr(kPoints.data), ptr(y), n);
        expect_bits_equal(y, A.data, "kernel");
    }
    for (auto const& row : norm_rows<Mat, Vec, double>) {
        if (!row.kernel) continue;
        SCOPED_TRACE(row.name);
        Vec y(n);
        row.kernel(ptr(kPoints.data), ptr(y), n);
        expect_bits_equal(y, row.terms(kPoints), "kernel");
    }
}

// Across the chunk edges of the plain norm forms and the softplus slopes (700 elements): every
// element gets the value it gets alone, and the sum is the terms added in index order.
TEST(FunctionTable, LongArraysGiveEveryElementItsOwnValue) {
    const std::size_t n = 700;
    const Mat R = random_mat(n, 1, 5, 4.0), W = random_mat(n, 1, 6);  // core, tails and both signs
    Mat by_sum(n, 1), by_terms(n, 1), one(1, 1), S, dZ;                 // "sum" keeps the shape given
    for (auto const& row : norm_rows<Mat, Vec, double>) {
        SCOPED_TRACE(row.name);
        const Vec terms = row.terms(R);
        const double sum = std::accumulate(std::begin(terms) + 1, std::end(terms), terms[0]);
        double seed = 0.75;
        EXPECT_TRUE(same_bits(row.sum(R), sum)) << row.sum(R) << " vs " << sum;
        row.adj_sum(R, seed, by_sum);
        row.adj_terms(R, W.data, by_terms);
        for (std::size_t i = 0; i < n; ++i) {
            const Mat alone = make_mat(1, 1, Vec{R.data[i]});
            row.adj_sum(alone, seed, one);
            ASSERT_TRUE(same_bits(by_sum.data[i], one.data[0])) << "adj_sum " << i;
            row.adj_terms(alone, Vec{W.data[i]}, one);
            ASSERT_TRUE(same_bits(by_terms.data[i], one.data[0])) << "adj_terms " << i;
        }
    }
    softplus_slope_into(R, S);  // S * dA is the softplus adjoint of dA, bit for bit
    adj_softplus<Mat, Vec>(R, W, dZ);
    expect_bits_equal(Vec(S.data * W.data), dZ.data, "softplus slope");
}
