// Shared helpers for derivative tests: central finite differences and one place for tolerances.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

namespace fd {

// Relative step: h = kStep * max(1, |x|).
constexpr double kStep = 1e-6;
// A central difference of a smooth function agrees to about h^2 * f''' plus rounding / h.
constexpr double kRelTol = 2e-5;
constexpr double kAbsTol = 2e-7;

inline double step_for(double x) { return kStep * std::fmax(1.0, std::fabs(x)); }

// d/dt f(x + t v) at t = 0 by a central difference.
inline double directional(std::function<double(std::vector<double> const&)> const& f, std::vector<double> x,
                          std::vector<double> const& v, double h = 1e-6) {
    std::vector<double> xp = x, xm = x;
    for (std::size_t i = 0; i < x.size(); ++i) {
        xp[i] += h * v[i];
        xm[i] -= h * v[i];
    }
    return (f(xp) - f(xm)) / (2.0 * h);
}

// Gradient of a scalar function by central differences, entry by entry.
inline std::vector<double> gradient(std::function<double(std::vector<double> const&)> const& f,
                                    std::vector<double> const& x) {
    std::vector<double> g(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        std::vector<double> xp = x, xm = x;
        const double h = step_for(x[i]);
        xp[i] += h;
        xm[i] -= h;
        g[i] = (f(xp) - f(xm)) / (2.0 * h);
    }
    return g;
}

// Jacobian-times-direction of a vector function by a central difference.
inline std::vector<double> jvp(std::function<std::vector<double>(std::vector<double> const&)> const& f,
                               std::vector<double> const& x, std::vector<double> const& v, double h = 1e-6) {
    std::vector<double> xp = x, xm = x;
    for (std::size_t i = 0; i < x.size(); ++i) {
        xp[i] += h * v[i];
        xm[i] -= h * v[i];
    }
    std::vector<double> a = f(xp), b = f(xm), out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = (a[i] - b[i]) / (2.0 * h);
    return out;
}

inline bool close(double got, double want, double rel = kRelTol, double abs = kAbsTol) {
    return std::fabs(got - want) <= abs + rel * std::fabs(want);
}

}  // namespace fd

// gtest assertion: every entry of `got` matches `want` within the finite-difference tolerance.
#define EXPECT_FD_NEAR(got, want)                                                                  \
    do {                                                                                           \
        const auto& got_ = (got);                                                                  \
        const auto& want_ = (want);                                                                \
        ASSERT_EQ(got_.size(), want_.size());                                                      \
        for (std::size_t i_ = 0; i_ < got_.size(); ++i_)                                           \
            EXPECT_PRED2([](double a, double b) { return fd::close(a, b); }, got_[i_], want_[i_])  \
                << "entry " << i_;                                                                 \
    } while (0)
