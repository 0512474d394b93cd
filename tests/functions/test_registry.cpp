// The function table: every row is complete and named once, and a row's vector kernel computes
// what its matrix form computes, bit for bit. (Each row over the tangent types is checked against
// central differences of the plain row in test_tangent_network.cpp.)
#include <gtest/gtest.h>

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
