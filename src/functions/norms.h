// Norm functions: they turn the residual matrix into objective terms. "sum" is the plain sum;
// "sum_log_dnorm_fat" is the negative log density of a normal core (sigma 1/3, |r| < 2) with
// Cauchy tails, shifted so that r = 0 costs 0 (it jumps from about 18 to about 10.355 at
// |r| = 2; both are kept bit for bit). "sum_sq" (r^2 / 2) and "sum_pseudo_huber"
// (sqrt(1 + r^2) - 1) are smooth and convex. The primary templates are the plain-double forms;
// the tangent types specialise them. Sums run in index order from the first element.
#pragma once

#include <cmath>
#include <cstddef>

#include <vector>

#include "functions/vector_math.h"
#include "core/matrix.h"

namespace veltn {

namespace norm_constants {
constexpr double kSigma = 0.3333333333333333;          // scale of the normal core
constexpr double kGamma = 0.0004785973257525766;       // scale of the Cauchy tail
constexpr double kGamma2 = 2.290554002175179e-07;      // kGamma * kGamma
constexpr double kBias = 0.17967375546343706;          // -log(sigma sqrt(2 pi)): log density 0 at r = 0
constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;
}  // namespace norm_constants

// The normal core's constants for a scale sigma, computed in one place and one order so that
// every form of the density (plain and tangent, value and adjoint) agrees bit for bit:
// d = -2 sigma^2 (the core is exp(x^2 / d)) and k = 1 / sqrt(2 pi sigma^2).
struct CoreConstants {
    double d, k;
    explicit CoreConstants(double sigma)
        : d((-2.0 * sigma) * sigma), k(1.0 / std::sqrt((norm_constants::kTwoPi * sigma) * sigma)) {}
};

inline double sum_in_order(const double* x, std::size_t n) {
    if (n == 0) return 0.0;
    double s = x[0];
    for (std::size_t i = 1; i < n; ++i) s += x[i];
    return s;
}

// The forms below that need a temporary per element keep it on the stack and run over the
// elements in chunks of this many, so that they allocate nothing; an element's value does not
// depend on the chunk it falls in, and sums carry on from chunk to chunk in index order.
constexpr std::size_t kNormChunk = 256;

// f(first, count) over consecutive chunks of [0, n).
template <class F>
void in_norm_chunks(std::size_t n, F&& f) {
    for (std::size_t i = 0; i < n; i += kNormChunk) f(i, n - i < kNormChunk ? n - i : kNormChunk);
}

// sum_in_order of the values values(x, out, n) gives for x[0 .. n).
template <class Values>
double sum_of_values(const double* x, std::size_t n, Values&& values) {
    double t[kNormChunk];
    double s = 0.0;
    in_norm_chunks(n, [&](std::size_t i, std::size_t c) {
        values(x + i, t, c);
        std::size_t j = 0;
        if (i == 0) s = t[j++];
        for (; j < c; ++j) s += t[j];
    });
    return s;
}

// ---- "sum" -----------------------------------------------------------------------------

// f(R) = sum of R; df/dR_i = 1, so the adjoint is the seed everywhere.
template <class M, class S>
S normfun_sum(M const& R) {
    return sum_in_order(ptr(R.data), R.size());
}
template <class M, class S>
void adj_normfun_sum(M const& /*R*/, S& s, M& adjR) {
    adjR.data = s;
}

// f_i(R) = R_i; the adjoint passes the weights through.
template <class M, class V>
V normfun(M const& R) {
    return R.data;
}
template <class M, class V>
void adj_normfun(M const& /*R*/, V const& w, M& adjR) {
    adjR.data = w;
}
// phi''(r) = 0: the terms are linear in the residuals.
inline void curvatures_sum(const double* /*r*/, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = 0.0;
}

// ---- "sum_log_dnorm_fat" -----------------------------------------------------------------

inline bool dnorm_inside(double x, double sigma) { return std::fabs(x) < sigma * 6.0; }

// Cauchy density gamma / (pi (x^2 + gamma^2)), used outside the core.
inline double dcauchy_value(double x) {
    using namespace norm_constants;
    return kGamma * (1.0 / ((x * x + kGamma2) * kPi));
}

// e[i] = exp(x_i^2 / d) with d = -2 sigma^2 for the elements inside the core; the others get
// exp(0), never used. One vector call over all elements instead of a gather.
inline void dnorm_core_exp(const double* x, double* e, std::size_t n, double sigma, double d) {
    for (std::size_t i = 0; i < n; ++i) e[i] = dnorm_inside(x[i], sigma) ? (x[i] * x[i]) / d : 0.0;
    vec_exp(e, e, n);
}

// Density: normal core exp(x^2 / (-2 sigma^2)) / sqrt(2 pi sigma^2) for |x| < 6 sigma,
// Cauchy outside (NaN counts as outside).
inline void dnorm_fat_values(const double* x, double* p, std::size_t n, double sigma) {
    using namespace norm_constants;
    const auto [d, k] = CoreConstants(sigma);
    dnorm_core_exp(x, p, n, sigma, d);
    for (std::size_t i = 0; i < n; ++i) p[i] = dnorm_inside(x[i], sigma) ? p[i] * k : dcauchy_value(x[i]);
}

// w * d/dx [gamma / (pi (x^2 + gamma^2))] = w * (-2 pi gamma x) / D^2 with D = pi (x^2 + gamma^2).
inline double adj_dcauchy_value(double x, double gamma, double w) {
    using norm_constants::kPi;
    const double D = (x * x + gamma * gamma) * kPi;
    const double t = (w / (D * D)) * (gamma * (-kPi));
    const double o = t * x;
    return o + o;
}

// out = w * d/dx of the density; inside: w * p(x) * 2x / d with d = -2 sigma^2.
inline void adj_dnorm_fat_values(const double* x, const double* w, double* out, std::size_t n, double sigma) {
    using namespace norm_constants;
    const auto [d, k] = CoreConstants(sigma);
    double e[kNormChunk];
    in_norm_chunks(n, [&, d = d, k = k](std::size_t i0, std::size_t c) {
        dnorm_core_exp(x + i0, e, c, sigma, d);
        for (std::size_t j = 0; j < c; ++j) {
            const std::size_t i = i0 + j;
            if (dnorm_inside(x[i], sigma)) {
                const double v = (((w[i] * k) * e[j]) / d) * x[i];
                out[i] = v + v;
            } else {
                out[i] = adj_dcauchy_value(x[i], kGamma, w[i]);
            }
        }
    });
}

// out = -log(p(x)) + b: 0 at x = 0.
inline void log_dnorm_values(const double* x, double* out, std::size_t n) {
    dnorm_fat_values(x, out, n, norm_constants::kSigma);
    vec_log(out, out, n);
    for (std::size_t i = 0; i < n; ++i) out[i] = -out[i] + norm_constants::kBias;
}

// out = w * d/dx [-log p(x)] = (-w / p(x)) * p'(x).
inline void adj_log_dnorm_values(const double* x, const double* w, double* out, std::size_t n) {
    double u[kNormChunk];
    in_norm_chunks(n, [&](std::size_t i, std::size_t c) {
        dnorm_fat_values(x + i, u, c, norm_constants::kSigma);
        for (std::size_t j = 0; j < c; ++j) u[j] = (-w[i + j]) / u[j];
        adj_dnorm_fat_values(x + i, u, out + i, c, norm_constants::kSigma);
    });
}

template <class V>
V dnorm_fat(V const& x, double sigma) {
    V p(x.size());
    dnorm_fat_values(ptr(x), ptr(p), x.size(), sigma);
    return p;
}

template <class V>
void adj_dcauchy(V const& x, double gamma, V const& w, V& out) {
    if (out.size() != x.size()) out.resize(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = adj_dcauchy_value(x[i], gamma, w[i]);
}

template <class V>
void adj_dnorm_fat(V const& x, V const& w, V& out, double sigma) {
    adj_dnorm_fat_values(ptr(x), ptr(w), ptr(out), x.size(), sigma);
}

template <class V>
V log_dnorm_vec(V const& x) {
    V out(x.size());
    log_dnorm_values(ptr(x), ptr(out), x.size());
    return out;
}

template <class V>
void adj_log_dnorm_vec(V const& x, V const& w, V& out) {
    if (out.size() != x.size()) out.resize(x.size());
    adj_log_dnorm_values(ptr(x), ptr(w), ptr(out), x.size());
}

template <class M, class V>
V log_dnorm(M const& R) {
    return log_dnorm_vec(R.data);
}

template <class M, class S>
S sum_log_dnorm(M const& R) {
    return sum_of_values(ptr(R.data), R.size(), log_dnorm_values);
}

template <class M, class V>
void adj_log_dnorm(M const& R, V const& w, M& adjR) {
    adjR.resize(R.rows, R.cols);
    adj_log_dnorm_vec(R.data, w, adjR.data);
}

// Seed s for every element: s * d/dR_i [-log p(R_i)].
template <class M, class S>
void adj_sum_log_dnorm(M const& R, S& s, M& adjR) {
    adjR.resize(R.rows, R.cols);
    double seed[kNormChunk];
    for (double& v : seed) v = s;
    const double* r = ptr(R.data);
    double* out = ptr(adjR.data);
    in_norm_chunks(R.size(), [&](std::size_t i, std::size_t c) { adj_log_dnorm_values(r + i, seed, out + i, c); });
}

// phi''(r) of -log p(r) + b: 1 / sigma^2 in the normal core (phi' = r / sigma^2 there, taken as
// -2 / d with d = -2 sigma^2 as the adjoint does); in the Cauchy tail, where
// phi = log(pi (r^2 + gamma^2) / gamma), phi'' = 2 (gamma^2 - r^2) / (r^2 + gamma^2)^2, which is
// negative for every |r| > gamma, so the whole tail has negative curvature. Beyond 1e100 the
// square would overflow and phi'' is -2 / r^2 to the last bit.
inline void curvatures_log_dnorm(const double* r, double* out, std::size_t n) {
    using namespace norm_constants;
    const double core = -2.0 / CoreConstants(kSigma).d;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = r[i];
        if (dnorm_inside(x, kSigma)) {
            out[i] = core;
        } else if (std::fabs(x) > 1e100) {
            const double t = 1.0 / x;
            out[i] = (-2.0 * t) * t;
        } else {
            const double q = x * x + kGamma2;
            out[i] = ((2.0 * (kGamma2 - x * x)) / q) / q;
        }
    }
}

// ---- elementwise norms: "sum_sq" and "sum_pseudo_huber" ------------------------------------
//
// Both are sums of a smooth convex term phi(r_i). Each provides, over arrays, the term phi, the
// slope phi' (for the adjoints and the tangents) and the curvature phi'' (for the tangents of
// the adjoints, i.e. the Hessian-vector product).

// "sum_sq": phi(r) = r^2 / 2, phi'(r) = r, phi''(r) = 1. Half the mean squared error.
struct SqTerms {
    static void values(const double* r, double* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = (r[i] * r[i]) * 0.5;
    }
    static void slopes(const double* r, double* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = r[i];
    }
    static void curvatures(const double* /*r*/, double* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = 1.0;
    }
};

// "sum_pseudo_huber": phi(r) = sqrt(1 + r^2) - 1, phi'(r) = r / sqrt(1 + r^2),
// phi''(r) = (1 + r^2)^(-3/2). Like r^2 / 2 near 0 and like |r| - 1 in the tails.
struct PseudoHuberTerms {
    // From here on sqrt(1 + r^2) rounds to |r| and r^2 may overflow, so q is taken as |r|:
    // phi = |r| - 1, phi' = sign(r), phi'' = |r|^-3 (which underflows quietly to 0).
    static constexpr double kLarge = 1e8;

    static bool large(double r) { return std::fabs(r) > kLarge; }

    // q = sqrt(1 + r^2) (|r| beyond kLarge; NaN stays NaN).
    static void roots(const double* r, double* q, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) q[i] = large(r[i]) ? 1.0 : 1.0 + r[i] * r[i];
        vec_sqrt(q, q, n);
        for (std::size_t i = 0; i < n; ++i)
            if (large(r[i])) q[i] = std::fabs(r[i]);
    }
    // r^2 / (1 + q) rather than q - 1, which loses every digit of a small residual's term.
    static void values(const double* r, double* out, std::size_t n) {
        roots(r, out, n);
        for (std::size_t i = 0; i < n; ++i)
            out[i] = large(r[i]) ? std::fabs(r[i]) - 1.0 : (r[i] * r[i]) / (1.0 + out[i]);
    }
    // sign(r) rather than r / q in the tails, so that r = +-inf gives +-1, not NaN.
    static void slopes(const double* r, double* out, std::size_t n) {
        roots(r, out, n);
        for (std::size_t i = 0; i < n; ++i) out[i] = large(r[i]) ? std::copysign(1.0, r[i]) : r[i] / out[i];
    }
    // (1 / q)^3: no overflow however large q is.
    static void curvatures(const double* r, double* out, std::size_t n) {
        roots(r, out, n);
        for (std::size_t i = 0; i < n; ++i) {
            const double u = 1.0 / out[i];
            out[i] = (u * u) * u;
        }
    }
};

// The four norm forms of an elementwise term T, over plain matrices and vectors. The tangent
// types specialise them (forward/tangent_functions.h).

// f(R) = sum_i phi(R_i), in index order.
template <class T, class M, class S>
S elementwise_norm_sum(M const& R) {
    return sum_of_values(ptr(R.data), R.size(), T::values);
}
// adjR_i = s phi'(R_i); adjR takes R's shape.
template <class T, class M, class S>
void adj_elementwise_norm_sum(M const& R, S& s, M& adjR) {
    const double* r = ptr(R.data);
    adjR.resize(R.rows, R.cols);
    const double seed = s;
    double slope[kNormChunk];
    in_norm_chunks(R.size(), [&](std::size_t i, std::size_t c) {
        T::slopes(r + i, slope, c);
        for (std::size_t j = 0; j < c; ++j) adjR.data[i + j] = seed * slope[j];
    });
}
// f_i(R) = phi(R_i).
template <class T, class M, class V>
V elementwise_norm_terms(M const& R) {
    V out(R.size());
    T::values(ptr(R.data), ptr(out), out.size());
    return out;
}
// adjR_i = w_i phi'(R_i); adjR takes R's shape.
template <class T, class M, class V>
void adj_elementwise_norm_terms(M const& R, V const& w, M& adjR) {
    const double* r = ptr(R.data);
    adjR.resize(R.rows, R.cols);
    double slope[kNormChunk];
    in_norm_chunks(R.size(), [&](std::size_t i, std::size_t c) {
        T::slopes(r + i, slope, c);
        for (std::size_t j = 0; j < c; ++j) adjR.data[i + j] = w[i + j] * slope[j];
    });
}

inline void curvatures_sq(const double* r, double* out, std::size_t n) { SqTerms::curvatures(r, out, n); }
inline void curvatures_pseudo_huber(const double* r, double* out, std::size_t n) {
    PseudoHuberTerms::curvatures(r, out, n);
}

template <class M, class S>
S sum_sq(M const& R) {
    return elementwise_norm_sum<SqTerms, M, S>(R);
}
template <class M, class S>
void adj_sum_sq(M const& R, S& s, M& adjR) {
    adj_elementwise_norm_sum<SqTerms, M, S>(R, s, adjR);
}
template <class M, class V>
V sq_terms(M const& R) {
    return elementwise_norm_terms<SqTerms, M, V>(R);
}
template <class M, class V>
void adj_sq_terms(M const& R, V const& w, M& adjR) {
    adj_elementwise_norm_terms<SqTerms, M, V>(R, w, adjR);
}

template <class M, class S>
S sum_pseudo_huber(M const& R) {
    return elementwise_norm_sum<PseudoHuberTerms, M, S>(R);
}
template <class M, class S>
void adj_sum_pseudo_huber(M const& R, S& s, M& adjR) {
    adj_elementwise_norm_sum<PseudoHuberTerms, M, S>(R, s, adjR);
}
template <class M, class V>
V pseudo_huber_terms(M const& R) {
    return elementwise_norm_terms<PseudoHuberTerms, M, V>(R);
}
template <class M, class V>
void adj_pseudo_huber_terms(M const& R, V const& w, M& adjR) {
    adj_elementwise_norm_terms<PseudoHuberTerms, M, V>(R, w, adjR);
}

}  // namespace veltn
