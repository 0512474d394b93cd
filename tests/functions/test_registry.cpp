// The function table: every row is complete and named once, and a row's vector kernel computes
// what its matrix form computes, bit for bit. (Each row over the tangent types is checked against
// central differences of the plain row in test_tangent_network.cpp.)
#include <gtest/gtest.h>

#include <cmath>
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

// The plain norm forms and the softplus slopes run over long arrays in chunks: across the chunk
// edges (700 elements, two edges and a short tail) every element gets the value it gets alone,
// and the sum is the terms added in index order.
TEST(FunctionTable, LongArraysGiveEveryElementItsOwnValue) {
    const std::size_t n = 700;
    Vec r(n), w(n);
    for (std::size_t i = 0; i < n; ++i) {
        r[i] = kPoints.data[i % kPoints.size()] * (1.0 + 1e-3 * double(i));
        w[i] = std::sin(0.3 * double(i)) + 0.1;
    }
    const Mat R = make_mat(n, 1, r);
    auto alone = [&](std::size_t i) { return make_mat(1, 1, Vec{r[i]}); };
    for (auto const& row : norm_rows<Mat, Vec, double>) {
        SCOPED_TRACE(row.name);
        const Vec terms = row.terms(R);
        double sum = terms[0];
        for (std::size_t i = 1; i < n; ++i) sum += terms[i];
        EXPECT_TRUE(same_bits(row.sum(R), sum)) << row.sum(R) << " vs " << sum;
        double seed = 0.75;
        Mat by_sum(n, 1), by_terms(n, 1), one(1, 1);  // "sum" writes into the shape it is given
        row.adj_sum(R, seed, by_sum);
        row.adj_terms(R, w, by_terms);
        Vec want_sum(n), want_terms(n);
        for (std::size_t i = 0; i < n; ++i) {
            row.adj_sum(alone(i), seed, one);
            want_sum[i] = one.data[0];
            row.adj_terms(alone(i), Vec{w[i]}, one);
            want_terms[i] = one.data[0];
        }
        expect_bits_equal(by_sum.data, want_sum, "adj_sum");
        expect_bits_equal(by_terms.data, want_terms, "adj_terms");
    }
    // S * dA is the softplus adjoint of dA, bit for bit.
    Mat S, dZ;
    softplus_slope_into(R, S);
    adj_softplus<Mat, Vec>(R, make_mat(n, 1, w), dZ);
    expect_bits_equal(Vec(S.data * w), dZ.data, "softplus slope");
}
