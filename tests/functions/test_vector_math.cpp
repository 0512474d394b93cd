// The elementwise exp, log and atan stay within a few ulp of the C library's, give the same
// value for an element wherever it sits in an array, and raise no floating-point flag for
// finite input in range.
#include <gtest/gtest.h>

#include <fenv.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "functions/vector_math.h"

namespace {

int64_t ordered(double x) {
    int64_t i;
    std::memcpy(&i, &x, sizeof i);
    return i < 0 ? INT64_MIN - i : i;
}
int64_t ulps(double a, double b) { return std::llabs(ordered(a) - ordered(b)); }

std::vector<double> grid(double lo, double hi, std::size_t n) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = lo + (hi - lo) * double(i) / double(n - 1);
    return x;
}

void expect_within_ulps(void (*f)(const double*, double*, std::size_t), double (*ref)(double),
                        std::vector<double> const& x, int64_t limit, const char* name) {
    std::vector<double> y(x.size());
    feclearexcept(FE_ALL_EXCEPT);
    f(x.data(), y.data(), x.size());
    EXPECT_FALSE(fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW)) << name;
    int64_t worst = 0;
    for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, ulps(y[i], ref(x[i])));
    EXPECT_LE(worst, limit) << name;
}

}  // namespace

TEST(VectorMath, WithinFourUlpOfTheScalarForms) {
    expect_within_ulps(vec_exp, [](double v) { return std::exp(v); }, grid(-700.0, 300.0, 100003), 4, "exp");
    expect_within_ulps(vec_log, [](double v) { return std::log(v); }, grid(1e-300, 1e6, 100003), 4, "log");
    expect_within_ulps(vec_log, [](double v) { return std::log(v); }, grid(1.0, 2.0, 10007), 4, "log near 1");
    expect_within_ulps(vec_atan, [](double v) { return std::atan(v); }, grid(-1e4, 1e4, 100003), 4, "atan");
    expect_within_ulps(vec_atan, [](double v) { return std::atan(v); }, grid(-3.0, 3.0, 10007), 4, "atan near 0");
}

TEST(VectorMath, AnElementsValueDoesNotDependOnItsPosition) {
    const std::vector<double> x = grid(-5.0, 5.0, 23);  // not a multiple of four
    std::vector<double> whole(x.size());
    vec_exp(x.data(), whole.data(), x.size());
    for (std::size_t start = 0; start < x.size(); ++start) {
        for (std::size_t len : {1u, 2u, 3u, 5u}) {
            if (start + len > x.size()) continue;
            std::vector<double> part(len);
            vec_exp(x.data() + start, part.data(), len);
            for (std::size_t i = 0; i < len; ++i) EXPECT_EQ(part[i], whole[start + i]) << start << "+" << i;
        }
    }
}

TEST(VectorMath, SpecialValues) {
    const double in[5] = {0.0, -800.0, 1.0, std::nan(""), 1.0};
    double out[5];
    vec_exp(in, out, 2);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], 0.0);  // underflows to zero
    vec_log(in + 2, out, 2);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_TRUE(std::isnan(out[1]));
    vec_atan(in, out, 1);
    EXPECT_EQ(out[0], 0.0);
}
