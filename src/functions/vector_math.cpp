#include "functions/vector_math.h"

#include <atomic>
#include <cmath>

#include "functions/vector_math_avx2.h"
#include "functions/vector_math_avx512.h"

namespace veltn {

namespace {

bool supported(VectorTier tier) {
    __builtin_cpu_init();
    switch (tier) {
        case VectorTier::Avx512:
            // GCC's check includes whether the operating system saves the AVX-512 state.
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        case VectorTier::Avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case VectorTier::Scalar:
            return true;
    }
    return false;
}

// `tier` if this CPU supports it, else the best tier below it that it does.
VectorTier clamp(VectorTier tier) {
    if (tier == VectorTier::Avx512 && !supported(tier)) tier = VectorTier::Avx2;
    if (tier == VectorTier::Avx2 && !supported(tier)) tier = VectorTier::Scalar;
    return tier;
}

template <class F>
void scalar_loop(F f, const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = f(x[i]);
}

void scalar_exp(const double* x, double* y, std::size_t n) {
    scalar_loop([](double v) { return std::exp(v); }, x, y, n);
}
void scalar_log(const double* x, double* y, std::size_t n) {
    scalar_loop([](double v) { return std::log(v); }, x, y, n);
}
void scalar_atan(const double* x, double* y, std::size_t n) {
    scalar_loop([](double v) { return std::atan(v); }, x, y, n);
}
void scalar_sqrt(const double* x, double* y, std::size_t n) {
    scalar_loop([](double v) { return std::sqrt(v); }, x, y, n);
}
void scalar_softplus(const double* z, double* y, std::size_t n, double cutoff) {
    for (std::size_t i = 0; i < n; ++i) y[i] = z[i] < cutoff ? std::log(std::exp(z[i]) + 1.0) : z[i];
}
void scalar_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff) {
    for (std::size_t i = 0; i < n; ++i) {
        const double e = std::exp(z[i] < cutoff ? z[i] : 0.0);
        y[i] = z[i] < cutoff ? (e / (1.0 + e)) * a[i] : a[i];
    }
}

void scalar_softplus_slope(const double* e, double* e1, double* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = e[i], x1 = x + 1.0;
        e1[i] = x1;
        s[i] = x / x1;
    }
}
void scalar_softplus_slope_curvature(const double* e, double* s, double* c, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = e[i], x1 = x + 1.0;
        s[i] = x / x1;
        c[i] = x / (x1 * x1);
    }
}
void scalar_scale_directions(const double* t, const double* s, double* o, std::size_t n, std::size_t k) {
    for (std::size_t d = 0; d < k; ++d, t += n, o += n)
        for (std::size_t i = 0; i < n; ++i) o[i] = t[i] * s[i];
}
void scalar_product_rule_directions(const double* a, const double* c, const double* s, const double* z,
                                    const double* t, double* o, std::size_t n, std::size_t k) {
    for (std::size_t d = 0; d < k; ++d, z += n, t += n, o += n)
        for (std::size_t i = 0; i < n; ++i) o[i] = a[i] * (z[i] * c[i]) + t[i] * s[i];
}

struct Routines {
    void (*exp)(const double*, double*, std::size_t);
    void (*log)(const double*, double*, std::size_t);
    void (*atan)(const double*, double*, std::size_t);
    void (*sqrt)(const double*, double*, std::size_t);
    void (*softplus)(const double*, double*, std::size_t, double);
    void (*softplus_adjoint)(const double*, const double*, double*, std::size_t, double);
    void (*softplus_slope)(const double*, double*, double*, std::size_t);
    void (*softplus_slope_curvature)(const double*, double*, double*, std::size_t);
    void (*scale_directions)(const double*, const double*, double*, std::size_t, std::size_t);
    void (*product_rule_directions)(const double*, const double*, const double*, const double*, const double*,
                                    double*, std::size_t, std::size_t);
};

// Indexed by VectorTier.
constexpr Routines kRoutines[] = {
    {scalar_exp, scalar_log, scalar_atan, scalar_sqrt, scalar_softplus, scalar_softplus_adjoint,
     scalar_softplus_slope, scalar_softplus_slope_curvature, scalar_scale_directions, scalar_product_rule_directions},
    {avx2_exp, avx2_log, avx2_atan, avx2_sqrt, avx2_softplus, avx2_softplus_adjoint,
     avx2_softplus_slope, avx2_softplus_slope_curvature, avx2_scale_directions, avx2_product_rule_directions},
    {avx512_exp, avx512_log, avx512_atan, avx512_sqrt, avx512_softplus, avx512_softplus_adjoint,
     avx512_softplus_slope, avx512_softplus_slope_curvature, avx512_scale_directions, avx512_product_rule_directions},
};

// Initialised on first use, so that it is set whatever the order of static initialisation.
std::atomic<VectorTier>& current() {
    static std::atomic<VectorTier> tier{clamp(VectorTier::Avx512)};
    return tier;
}

Routines const& routines() { return kRoutines[static_cast<int>(current().load(std::memory_order_relaxed))]; }

}  // namespace

VectorTier vector_tier() { return current().load(std::memory_order_relaxed); }

VectorTier select_vector_tier(VectorTier tier) {
    tier = clamp(tier);
    current().store(tier, std::memory_order_relaxed);
    return tier;
}


void vec_exp(const double* x, double* y, std::size_t n) { routines().exp(x, y, n); }
void vec_log(const double* x, double* y, std::size_t n) { routines().log(x, y, n); }
void vec_atan(const double* x, double* y, std::size_t n) { routines().atan(x, y, n); }
void vec_sqrt(const double* x, double* y, std::size_t n) { routines().sqrt(x, y, n); }

void vec_softplus(const double* z, double* y, std::size_t n, double cutoff) {
    routines().softplus(z, y, n, cutoff);
}

void vec_softplus_adjoint(const double* z, const double* a, double* y, std::size_t n, double cutoff) {
    routines().softplus_adjoint(z, a, y, n, cutoff);
}

void vec_softplus_slope(const double* e, double* e1, double* s, std::size_t n) {
    routines().softplus_slope(e, e1, s, n);
}

void vec_softplus_slope_curvature(const double* e, double* s, double* c, std::size_t n) {
    routines().softplus_slope_curvature(e, s, c, n);
}

void vec_scale_directions(const double* t, const double* s, double* o, std::size_t n, std::size_t k) {
    routines().scale_directions(t, s, o, n, k);
}

void vec_product_rule_directions(const double* a, const double* c, const double* s, const double* z,
                                 const double* t, double* o, std::size_t n, std::size_t k) {
    routines().product_rule_directions(a, c, s, z, t, o, n, k);
}

}  // namespace veltn
