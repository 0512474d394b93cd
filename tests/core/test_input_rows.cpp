// Reading the caller's rows batch by batch.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/input_rows.h"

using namespace veltn;

namespace {

std::vector<double> iota(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = double(i) + 0.5;
    return v;
}

std::string message_of(InputRows const& in, uint32_t row0, uint32_t n) {
    Mat out;
    try {
        in.read(row0, n, out);
    } catch (veltn::FloatingPointFailure const& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(InputRows, ReadsTheRowsAskedForAndNullAsZeros) {
    const std::vector<double> x = iota(7 * 3);
    const InputRows in{x.data(), 7, 3, "X"};
    Mat out(10, 10);  // wrong shape on entry: the read reshapes it
    for (uint32_t row0 : {0u, 2u, 6u}) {
        const uint32_t n = 7 - row0 < 3 ? 7 - row0 : 3;
        in.read(row0, n, out);
        ASSERT_EQ(out.rows, n);
        ASSERT_EQ(out.cols, 3u);
        for (uint32_t i = 0; i < n; ++i)
            for (uint32_t j = 0; j < 3; ++j) EXPECT_EQ(out(i, j), x[(row0 + i) * 3 + j]) << row0 << " " << i;
    }
    const InputRows none{nullptr, 7, 3, "Y"};
    out = Mat(2, 3);
    out.data = 9.0;
    none.read(4, 2, out);
    for (double v : out.data) EXPECT_EQ(v, 0.0);
}

TEST(InputRows, RefusesANonFiniteValueOnlyInTheRowsRead) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        std::vector<double> u = iota(6 * 2);
        u[4 * 2 + 1] = bad;  // row 4
        const InputRows in{u.data(), 6, 2, "U"};
        EXPECT_EQ(message_of(in, 0, 4), "");
        EXPECT_EQ(message_of(in, 5, 1), "");
        EXPECT_EQ(message_of(in, 3, 2), "U holds NaN or infinity");
        EXPECT_EQ(message_of(in, 4, 1), "U holds NaN or infinity");
        EXPECT_TRUE(std::isnan(u[9]) || std::isinf(u[9])) << "the caller's array was changed";
    }
}
