#include "functions/vector_math.h"

#include <cmath>

#include "functions/vector_math_avx2.h"

namespace {

bool detect() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

const bool kVector = detect();

template <class F>
void scalar_loop(F f, const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = f(x[i]);
}

}  // namespace

bool vector_math_active() { return kVector; }

void vec_exp(const double* x, double* y, std::size_t n) {
    if (kVector) return avx2_exp(x, y, n);
    scalar_loop([](double v) { return std::exp(v); }, x, y, n);
}

void vec_log(const double* x, double* y, std::size_t n) {
    if (kVector) return avx2_log(x, y, n);
    scalar_loop([](double v) { return std::log(v); }, x, y, n);
}

void vec_atan(const double* x, double* y, std::size_t n) {
    if (kVector) return avx2_atan(x, y, n);
    scalar_loop([](double v) { return std::atan(v); }, x, y, n);
}

void vec_softplus(const double* z, double* y, std::size_t n, double cutoff) {
    if (kVector) return avx2_softplus(z, y, n, cutoff);
    for (std::size_t i = 0; i < n; ++i) y[i] = z[i] < cutoff ? std::log(std::exp(z[i]) + 1.0) : z[i];
}

void vec_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff) {
    if (kVector) return avx2_softplus_adjoint(z, a, y, n, cutoff);
    for (std::size_t i = 0; i < n; ++i) {
        const double e = std::exp(z[i] < cutoff ? z[i] : 0.0);
        y[i] = z[i] < cutoff ? (e / (1.0 + e)) * a[i] : a[i];
    }
}
