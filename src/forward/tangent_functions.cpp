#include "forward/tangent_functions.h"

#include "functions/vector_math.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

using namespace norm_constants;

std::valarray<bool> below(Vec const& v, double c) {
    std::valarray<bool> m(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) m[i] = v[i] < c;
    return m;
}

// Value and every tangent set to 0.0 where mask is true.
void zero_masked(fad1<Vec>& x, std::valarray<bool> const& mask) {
    for (std::size_t i = 0; i < mask.size(); ++i)
        if (mask[i]) x.value[i] = 0.0;
    for (std::size_t d = 0; d < x.tangents.size(); ++d) {
        double* t = x.tangents.at(d);
        for (std::size_t i = 0; i < mask.size(); ++i)
            if (mask[i]) t[i] = 0.0;
    }
}

// Sum in index order from the first entry, matching the plain norms.
double sum_of(Vec const& v) { return sum_in_order(ptr(v), v.size()); }

// A scalar from 0.0 whose value and tangent d are the sums of x's value and tangent d. It
// grows beyond NDIR directions only when x carries more.
ActiveScalar sum_to_scalar(fad1<Vec> const& x) {
    ActiveScalar s(0.0);
    s.value = sum_of(x.value);
    if (s.tangents.size() < x.tangents.size()) {
        s.tangents.grow(x.tangents.size());
        s.ndir = s.tangents.size();
    }
    for (std::size_t d = 0; d < x.tangents.size(); ++d) s.tangents[d] = sum_in_order(x.tangents.at(d), x.tangents.count());
    return s;
}

// exp((x x) / d) with its tangents.
fad1<Vec> exp_quad(fad1<Vec> const& x, double d) {
    const MulNode sq(x, x);
    const ExpResult2<MulNode, double, DivideScalar> q(sq, d);
    const ExpQuadNode node(q);
    fad1<Vec> out;
    node.fetch(out);
    return out;
}

// The core/tail split of the fat-tailed density: |x| < sigma * 6.0 (NaN is outside).
std::valarray<bool> core_mask(fad1<Vec> const& x, double sigma) { return below(abs(x).value, sigma * 6.0); }

// The adjoint seed -s (value and tangents) repeated over n entries with ndir directions.
fad1<Vec> repeated_negated(ActiveScalar const& s, std::size_t n, std::size_t ndir) {
    fad1<Vec> g(Vec(-s.value, n), static_cast<unsigned>(ndir));
    for (std::size_t d = 0; d < std::min(ndir, s.tangents.size()); ++d) g.tangents[d] = -s.tangents[d];
    return g;
}

// Gives out the value shape rows x cols and k tangents of that shape, keeping storage whose
// element count already matches.
void shape_like(fad1<Mat>& out, std::size_t k, std::size_t rows, std::size_t cols) { out.shape(k, rows, cols); }

// Whether every value entry is below the softplus cut-off (NaN is not).
bool all_below_cutoff(const double* z, std::size_t n) {
    bool all = true;
    for (std::size_t i = 0; i < n; ++i) all &= z[i] < kSoftplusCutoff;
    return all;
}

// Whether every tangent has the value's element count n.
bool tangents_of_size(fad1<Mat> const& x, std::size_t n) { return x.tangents.size() == 0 || x.tangents.count() == n; }

bool vec_tangents_of_size(fad1<Vec> const& x, std::size_t n) {
    return x.tangents.size() == 0 || x.tangents.count() == n;
}

// Masked forms, for inputs with entries at or above the cut-off (or NaN).
fad1<Mat> softplus_masked(fad1<Mat> const& Z) {
    fad1<Vec> r = asVector(Z);
    const std::valarray<bool> mask = below(r.value, kSoftplusCutoff);
    const fad1<Vec> x = r[mask];
    const ExpNode e(x);
    const ExpResult2<ExpNode, double, AddScalar> e_plus_1(e, 1.0);
    const Log1pExpNode node(e_plus_1);
    fad1<Vec> y;
    node.fetch(y);
    scatter(r, mask, y);
    return asMatrix(r, Z.value.rows, Z.value.cols);
}

void adj_softplus_masked(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    const std::valarray<bool> mask = below(Z.value.data, kSoftplusCutoff);
    fad1<Vec> z = asVector(Z)[mask];
    fad1<Vec> e;
    do_exp(e, z);
    fad1<Vec> e_plus_1 = e;
    e_plus_1 += 1.0;
    fad1<Vec> s = e;
    s /= e_plus_1;
    fad1<Vec> a = asVector(dA);
    const fad1<Vec> sa = MulNode(s, a[mask]);
    scatter(a, mask, sa);
    dZ = asMatrix(a, dA.value.rows, dA.value.cols);
}

// Per-entry pieces of the fat-tailed density f of x (sigma = kSigma), shared by the norm
// functions: inside[i] whether x_i is in the normal core, e[i] = exp(x_i^2 / d) there (1
// elsewhere), fv[i] = f(x_i). Values match the plain density bit for bit.
struct Density {
    static constexpr double sigma = kSigma;
    const CoreConstants core{sigma};
    const double d = core.d;
    const double k = core.k;
    const double gamma2 = kGamma * kGamma;
    std::size_t n;
    const double* x;
    unsigned char* inside;
    double* e;
    double* fv;

    // Scratch slots 4, 5 and 6 hold e, fv and the core flags.
    Density(const double* xs, std::size_t count) : n(count), x(xs) {
        e = scratch(4, n);
        fv = scratch(5, n);
        inside = reinterpret_cast<unsigned char*>(scratch(6, (n + sizeof(double) - 1) / sizeof(double)));
        for (std::size_t i = 0; i < n; ++i) {
            inside[i] = std::fabs(x[i]) < sigma * 6.0;
            e[i] = inside[i] ? (x[i] * x[i]) / d : 0.0;
        }
        vec_exp(e, e, n);
        for (std::size_t i = 0; i < n; ++i) {
            if (inside[i]) {
                fv[i] = e[i] * k;
            } else {
                const double D = (x[i] * x[i] + gamma2) * kPi;
                fv[i] = (1.0 / D) * kGamma;
            }
        }
    }

    // Tangent of f at entry i along a direction with tangent t of x.
    double tangent(std::size_t i, double t) const {
        const double q = x[i] * t + t * x[i];
        if (inside[i]) return (e[i] * (q / d)) * k;
        const double D = (x[i] * x[i] + gamma2) * kPi;
        return ((q * kPi) / (-D * D)) * kGamma;
    }

    // Tangent of g * f'(x) at entry i (the adjoint of the density with weight g, value gv and
    // tangent gt) along a direction with tangent t of x.
    double adjoint_tangent(std::size_t i, double t, double gv, double gt) const {
        const double xi = x[i];
        const double q = xi * t + t * xi;
        double o;
        if (inside[i]) {
            const double gkv = gv * k, gkt = gt * k;
            const double et = e[i] * (q / d);
            const double cv = (gkv * e[i]) / d;
            const double ct = (e[i] * gkt + et * gkv) / d;
            o = xi * ct + t * cv;
        } else {
            const double Dv = (xi * xi + gamma2) * kPi;
            const double Dt = q * kPi;
            const double DDv = Dv * Dv;
            const double DDt = Dv * Dt + Dt * Dv;
            const double c = kGamma * (-kPi);
            double tt = gt * DDv;
            tt -= gv * DDt;
            tt /= DDv * DDv;
            tt *= c;
            const double tv = (gv / DDv) * c;
            o = xi * tt + t * tv;
        }
        return o + o;
    }

    // Value of g * f'(x) at entry i for the weight value gv.
    double adjoint_value(std::size_t i, double gv) const {
        const double xi = x[i];
        double o;
        if (inside[i]) {
            o = (((gv * k) * e[i]) / d) * xi;
        } else {
            const double Dv = (xi * xi + gamma2) * kPi;
            o = ((gv / (Dv * Dv)) * (kGamma * (-kPi))) * xi;
        }
        return o + o;
    }
};

// The summed -log density of the n entries xv with k directions (tangent d at tan(d)) as a
// scalar (directions as sum_to_scalar), or, when terms is given, the terms themselves into it.
template <class Tangent>
ActiveScalar neg_log_density(const double* xv, std::size_t n, std::size_t k, Tangent tan, fad1<Vec>* terms) {
    const Density f(xv, n);
    double* L = scratch(7, n);
    vec_log(f.fv, L, n);
    for (std::size_t i = 0; i < n; ++i) L[i] = -L[i] + kBias;
    ActiveScalar s(0.0);
    if (terms) {
        terms->shape(k, n);
        std::copy_n(L, n, ptr(terms->value));
    } else {
        s.value = sum_in_order(L, n);
        if (s.tangents.size() < k) {
            s.tangents.grow(k);
            s.ndir = k;
        }
    }
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = tan(d);
        double* o = terms ? terms->tangents.at(d) : L;
        for (std::size_t i = 0; i < n; ++i) o[i] = -(f.tangent(i, t[i]) / f.fv[i]);
        if (!terms) s.tangents[d] = sum_in_order(o, n);
    }
    return s;
}

}  // namespace

// ---- activations -------------------------------------------------------------------------


template <>
void id_into<fad1<Mat>>(fad1<Mat> const& Z, fad1<Mat>& A) {
    if (&A != &Z) A = Z;
}

template <>
void adj_id<fad1<Mat>>(fad1<Mat> const& /*Z*/, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    dZ = dA;
}

template <>
void act_relu_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A) {
    if (&A != &Z) A = Z;
    const std::size_t n = A.value.size();
    double* v = ptr(A.value.data);
    for (std::size_t d = 0; d < A.tangents.size(); ++d) {
        double* t = ptr(A.tangents[d].data);
        for (std::size_t i = 0; i < std::min(n, A.tangents[d].size()); ++i)
            if (v[i] < 0.0) t[i] = 0.0;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (v[i] < 0.0) v[i] = 0.0;
}

template <>
void adj_act_relu<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    fad1<Vec> v = asVector(dA);
    zero_masked(v, below(Z.value.data, 0.0));
    dZ = asMatrix(v, Z.value.rows, Z.value.cols);
}

template <>
void act_atan_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A) {
    const std::size_t n = Z.value.size();
    // 1 / (z z + 1) per entry, before A (which may be Z) is written.
    double* denom = scratch(4, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double z = Z.value.data[i];
        denom[i] = z * z + 1.0;
    }
    if (&A != &Z) A = Z;
    vec_atan(ptr(A.value.data), ptr(A.value.data), n);
    for (std::size_t d = 0; d < A.tangents.size(); ++d) {
        double* t = ptr(A.tangents[d].data);
        for (std::size_t i = 0; i < std::min(n, A.tangents[d].size()); ++i) t[i] /= denom[i];
    }
}

template <>
void adj_act_atan<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    const std::size_t n = Z.value.size(), k = dA.tangents.size(), kz = std::min(k, Z.tangents.size());
    if (&dZ != &Z && &dZ != &dA && dA.value.size() == n && dA.tangents.count() == n && Z.tangents.count() == n) {
        // q = z z + 1 with tangent z t + t z; dZ = dA / q by the quotient rule, direction by
        // direction over the block (the same operations as the general form below).
        const double* z = ptr(Z.value.data);
        const double* a = ptr(dA.value.data);
        double* q = scratch(4, n);
        for (std::size_t i = 0; i < n; ++i) q[i] = z[i] * z[i] + 1.0;
        dZ.shape(k, Z.value.rows, Z.value.cols);
        for (std::size_t d = 0; d < k; ++d) {
            const double* at = dA.tangents.at(d);
            double* o = dZ.tangents.at(d);
            if (d < kz) {
                const double* zt = Z.tangents.at(d);
                for (std::size_t i = 0; i < n; ++i) {
                    const double qt = z[i] * zt[i] + zt[i] * z[i];
                    double t = at[i];
                    t *= q[i];
                    t -= a[i] * qt;
                    o[i] = t / (q[i] * q[i]);
                }
            } else {
                for (std::size_t i = 0; i < n; ++i) o[i] = (at[i] * q[i]) / (q[i] * q[i]);
            }
        }
        double* v = ptr(dZ.value.data);
        for (std::size_t i = 0; i < n; ++i) v[i] = a[i] / q[i];
        return;
    }
    const fad1<Vec> z = asVector(Z);
    fad1<Vec> q = MulNode(z, z);
    q += 1.0;
    fad1<Vec> g = asVector(dA);
    g /= q;
    dZ = asMatrix(g, Z.value.rows, Z.value.cols);
}

template <>
void softplus_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A) {
    const std::size_t n = Z.value.size(), k = Z.tangents.size();
    const double* z = ptr(Z.value.data);
    if (!all_below_cutoff(z, n) || !tangents_of_size(Z, n)) {
        A = softplus_masked(Z);
        return;
    }
    // A may be Z: z is read before A's value is written, and each tangent entry in place.
    shape_like(A, k, Z.value.rows, Z.value.cols);
    // Value log(e + 1) with e = exp(z); tangent d = t_d e / (e + 1), the factor formed once per
    // entry.
    double* e1 = scratch(4, n);
    double* slope = scratch(5, n);
    vec_exp(z, e1, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double e = e1[i];
        e1[i] = e + 1.0;
        slope[i] = e / e1[i];
    }
    vec_log(e1, ptr(A.value.data), n);
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = ptr(Z.tangents[d].data);
        double* o = ptr(A.tangents[d].data);
        for (std::size_t i = 0; i < n; ++i) o[i] = t[i] * slope[i];
    }
}

template <>
void softplus_shifted_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A) {
    softplus_into<fad1<Mat>, fad1<Vec>>(Z, A);
    A.value.data -= 1.0;
}

template <>
void adj_softplus<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    const std::size_t n = Z.value.size(), k = dA.tangents.size();
    const double* z = ptr(Z.value.data);
    if (!all_below_cutoff(z, n) || Z.tangents.size() != k || dA.value.size() != n || !tangents_of_size(Z, n) ||
        !tangents_of_size(dA, n) || &dZ == &Z) {
        adj_softplus_masked(Z, dA, dZ);
        return;
    }
    // s = e / (e + 1) with e = exp(z); dZ = s dA, tangent d = a s_d + a_d s with
    // s_d = z_d e / (e + 1)^2, the factor e / (e + 1)^2 formed once per entry.
    double* sv = scratch(4, n);
    double* curv = scratch(5, n);
    vec_exp(z, sv, n);
    for (std::size_t i = 0; i < n; ++i) {
        const double e = sv[i], e1 = e + 1.0;
        sv[i] = e / e1;
        curv[i] = e / (e1 * e1);
    }
    // dZ may be dA: tangents before the value, each read before it is written.
    const std::size_t rows = dA.value.rows, cols = dA.value.cols;
    if (&dZ != &dA) shape_like(dZ, k, rows, cols);
    const double* a = ptr(dA.value.data);
    for (std::size_t d = 0; d < k; ++d) {
        const double* zt = ptr(Z.tangents[d].data);
        const double* at = ptr(dA.tangents[d].data);
        double* o = ptr(dZ.tangents[d].data);
        for (std::size_t i = 0; i < n; ++i) o[i] = a[i] * (zt[i] * curv[i]) + at[i] * sv[i];
    }
    double* v = ptr(dZ.value.data);
    for (std::size_t i = 0; i < n; ++i) v[i] = sv[i] * a[i];
}

// ---- "sum" -------------------------------------------------------------------------------

template <>
ActiveScalar normfun_sum<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R) {
    const std::size_t n = R.value.size(), k = R.tangents.size();
    ActiveScalar s(0.0);
    s.value = sum_in_order(ptr(R.value.data), n);
    s.tangents.grow(k);
    s.ndir = s.tangents.size();
    for (std::size_t d = 0; d < k; ++d) s.tangents[d] = sum_in_order(R.tangents.at(d), R.tangents.count());
    return s;
}

template <>
void adj_normfun_sum<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR) {
    const std::size_t k = R.tangents.size();
    if (&adjR == &R) {
        const fad1<Mat> copy = R;
        adj_normfun_sum<fad1<Mat>, ActiveScalar>(copy, s, adjR);
        return;
    }
    shape_like(adjR, k, R.value.rows, R.value.cols);
    adjR.value.data = s.value;
    for (std::size_t d = 0; d < k; ++d) adjR.tangents[d].data = d < s.tangents.size() ? s.tangents[d] : 0.0;
}

template <>
fad1<Vec> normfun<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R) {
    return asVector(R);
}

template <>
void adj_normfun<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& /*R*/, fad1<Vec> const& w, fad1<Mat>& adjR) {
    adjR = w;
}

// ---- "sum_log_dnorm_fat" -------------------------------------------------------------------

template <>
fad1<Vec> dnorm_fat<fad1<Vec>>(fad1<Vec> const& x, double sigma) {
    const std::valarray<bool> inside = core_mask(x, sigma);
    const std::valarray<bool> outside = !inside;
    const auto [d, k] = CoreConstants(sigma);

    fad1<Vec> core = exp_quad(x[inside], d);
    core *= k;
    const fad1<Vec> tail = dcauchy(x[outside], kGamma);

    fad1<Vec> p = x;
    scatter(p, inside, core);
    scatter(p, outside, tail);
    return p;
}

fad1<Vec> dcauchy(fad1<Vec> const& x, double gamma) {
    fad1<Vec> D = MulNode(x, x);
    D += gamma * gamma;
    D *= kPi;
    fad1<Vec> p = invert(D);
    p *= gamma;
    return p;
}

template <>
void adj_dcauchy<fad1<Vec>>(fad1<Vec> const& x, double gamma, fad1<Vec> const& w, fad1<Vec>& out) {
    fad1<Vec> D = MulNode(x, x);
    D += gamma * gamma;
    D *= kPi;
    const fad1<Vec> DD = MulNode(D, D);
    fad1<Vec> t = w;
    t /= DD;
    t *= gamma * (-kPi);
    out = MulNode(t, x);
    double_inplace(out);
}

template <>
void adj_dnorm_fat<fad1<Vec>>(fad1<Vec> const& x, fad1<Vec> const& g, fad1<Vec>& out, double sigma) {
    const std::valarray<bool> inside = core_mask(x, sigma);
    const std::valarray<bool> outside = !inside;
    const auto [d, k] = CoreConstants(sigma);

    const fad1<Vec> xi = x[inside];
    fad1<Vec> gk = g[inside];
    gk *= k;
    const fad1<Vec> e = exp_quad(xi, d);
    fad1<Vec> core = MulNode(gk, e);
    core /= d;
    core = MulNode(core, xi);
    double_inplace(core);

    fad1<Vec> tail;
    adj_dcauchy<fad1<Vec>>(x[outside], kGamma, g[outside], tail);

    // Every position is overwritten by one of the two parts.
    out = g;
    scatter(out, inside, core);
    scatter(out, outside, tail);
}

template <>
fad1<Vec> log_dnorm_vec<fad1<Vec>>(fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    fad1<Vec> out;
    if (!vec_tangents_of_size(x, n)) {
        out = dnorm_fat<fad1<Vec>>(x, kSigma);
        do_log(out, out);
        negate_inplace(out);
        out += kBias;
        return out;
    }
    neg_log_density(ptr(x.value), n, x.tangents.size(), [&](std::size_t d) { return ptr(x.tangents[d]); }, &out);
    return out;
}

ActiveScalar sum_log_dnorm_vec(fad1<Vec> const& x) {
    const std::size_t n = x.value.size();
    if (!vec_tangents_of_size(x, n)) return sum_to_scalar(log_dnorm_vec<fad1<Vec>>(x));
    return neg_log_density(ptr(x.value), n, x.tangents.size(), [&](std::size_t d) { return ptr(x.tangents[d]); },
                           nullptr);
}

template <>
void adj_log_dnorm_vec<fad1<Vec>>(fad1<Vec> const& x, fad1<Vec> const& w, fad1<Vec>& out) {
    const fad1<Vec> f = dnorm_fat<fad1<Vec>>(x, kSigma);
    fad1<Vec> g = w;
    negate_inplace(g);
    g /= f;
    adj_dnorm_fat<fad1<Vec>>(x, g, out, kSigma);
}

void adj_sum_log_dnorm_vec(fad1<Vec> const& x, ActiveScalar const& s, fad1<Vec>& out) {
    const fad1<Vec> f = dnorm_fat<fad1<Vec>>(x, kSigma);
    fad1<Vec> g = repeated_negated(s, x.value.size(), x.tangents.size());
    g /= f;
    adj_dnorm_fat<fad1<Vec>>(x, g, out, kSigma);
}

template <>
fad1<Vec> log_dnorm<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R) {
    const std::size_t n = R.value.size();
    if (!tangents_of_size(R, n)) return log_dnorm_vec<fad1<Vec>>(asVector(R));
    fad1<Vec> out;
    neg_log_density(ptr(R.value.data), n, R.tangents.size(), [&](std::size_t d) { return ptr(R.tangents[d].data); },
                    &out);
    return out;
}

template <>
ActiveScalar sum_log_dnorm<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R) {
    const std::size_t n = R.value.size();
    if (!tangents_of_size(R, n)) return sum_log_dnorm_vec(asVector(R));
    return neg_log_density(ptr(R.value.data), n, R.tangents.size(),
                           [&](std::size_t d) { return ptr(R.tangents[d].data); }, nullptr);
}

template <>
void adj_log_dnorm<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR) {
    fad1<Vec> t;
    adj_log_dnorm_vec<fad1<Vec>>(asVector(R), w, t);
    adjR = asMatrix(t, R.value.rows, R.value.cols);
}

template <>
void adj_sum_log_dnorm<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR) {
    const std::size_t n = R.value.size(), k = R.tangents.size();
    if (!tangents_of_size(R, n) || &adjR == &R) {
        fad1<Vec> t;
        adj_sum_log_dnorm_vec(asVector(R), s, t);
        adjR = asMatrix(t, R.value.rows, R.value.cols);
        return;
    }
    // g = -s / f by the quotient rule, then adjR = g f'(x) with its tangents.
    const Density f(ptr(R.value.data), n);
    const double gv = -s.value;
    const double gzero = gv * 0.0;  // the tangent of g along a direction s lacks
    shape_like(adjR, k, R.value.rows, R.value.cols);
    double* q = ptr(adjR.value.data);
    for (std::size_t i = 0; i < n; ++i) q[i] = gv / f.fv[i];
    for (std::size_t d = 0; d < k; ++d) {
        const double* xt = ptr(R.tangents[d].data);
        const double gt = d < s.tangents.size() ? -s.tangents[d] : gzero;
        double* o = ptr(adjR.tangents[d].data);
        for (std::size_t i = 0; i < n; ++i) {
            const double fv = f.fv[i];
            double qt = gt * fv;
            qt -= gv * f.tangent(i, xt[i]);
            qt /= fv * fv;
            o[i] = f.adjoint_tangent(i, xt[i], q[i], qt);
        }
    }
    for (std::size_t i = 0; i < n; ++i) q[i] = f.adjoint_value(i, q[i]);
}

// ---- "sum_sq" and "sum_pseudo_huber" ------------------------------------------------------

namespace {

// Tangent d of x when it has n entries, else nullptr (a zero tangent).
const double* tangent_or_null(fad1<Mat> const& x, std::size_t d, std::size_t n) {
    return x.tangents[d].size() == n ? ptr(x.tangents[d].data) : nullptr;
}
const double* tangent_or_null(fad1<Vec> const& x, std::size_t d, std::size_t n) {
    return d < x.tangents.size() && x.tangents[d].size() == n ? ptr(x.tangents[d]) : nullptr;
}

// Scratch slots 4 to 6 hold phi, phi' and the per-direction products.
template <class T>
ActiveScalar elementwise_sum(fad1<Mat> const& R) {
    const std::size_t n = R.value.size(), k = R.tangents.size();
    const double* r = ptr(R.value.data);
    double* phi = scratch(4, n);
    T::values(r, phi, n);
    ActiveScalar s(0.0);
    s.value = sum_in_order(phi, n);
    if (s.tangents.size() < k) {
        s.tangents.grow(k);
        s.ndir = k;
    }
    double* slope = scratch(5, n);
    T::slopes(r, slope, n);
    double* prod = scratch(6, n);
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = tangent_or_null(R, d, n);
        if (!t) {
            s.tangents[d] = 0.0;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) prod[i] = slope[i] * t[i];
        s.tangents[d] = sum_in_order(prod, n);
    }
    return s;
}

template <class T>
fad1<Vec> elementwise_terms(fad1<Mat> const& R) {
    const std::size_t n = R.value.size(), k = R.tangents.size();
    const double* r = ptr(R.value.data);
    fad1<Vec> out;
    out.shape(k, n);
    T::values(r, ptr(out.value), n);
    out.tangents.fill(0.0);
    double* slope = scratch(4, n);
    T::slopes(r, slope, n);
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = tangent_or_null(R, d, n);
        if (!t) continue;
        double* o = ptr(out.tangents[d]);
        for (std::size_t i = 0; i < n; ++i) o[i] = slope[i] * t[i];
    }
    return out;
}

// adjR = g phi'(R) with g the seed s (weights w when w is given): value g phi', tangent d
// g_d phi' + g phi'' t_d. phi' and phi'' are formed from R before adjR is written.
template <class T>
void adj_elementwise(fad1<Mat> const& R, ActiveScalar const* s, fad1<Vec> const* w, fad1<Mat>& adjR) {
    if (&adjR == &R) {
        const fad1<Mat> copy = R;
        adj_elementwise<T>(copy, s, w, adjR);
        return;
    }
    const std::size_t n = R.value.size();
    const std::size_t k = w ? std::max(R.tangents.size(), w->tangents.size()) : R.tangents.size();
    const double* r = ptr(R.value.data);
    double* slope = scratch(4, n);
    double* curv = scratch(5, n);
    T::slopes(r, slope, n);
    T::curvatures(r, curv, n);
    shape_like(adjR, k, R.value.rows, R.value.cols);
    const double* wv = w ? ptr(w->value) : nullptr;
    const double sv = s ? s->value : 0.0;
    for (std::size_t d = 0; d < k; ++d) {
        const double* t = d < R.tangents.size() ? tangent_or_null(R, d, n) : nullptr;
        double* o = ptr(adjR.tangents[d].data);
        if (w) {
            const double* wt = tangent_or_null(*w, d, n);
            for (std::size_t i = 0; i < n; ++i) {
                const double a = wt ? wt[i] * slope[i] : 0.0;
                o[i] = t ? a + wv[i] * (curv[i] * t[i]) : a;
            }
        } else {
            const double sd = d < s->tangents.size() ? s->tangents[d] : 0.0;
            for (std::size_t i = 0; i < n; ++i) o[i] = t ? sd * slope[i] + sv * (curv[i] * t[i]) : sd * slope[i];
        }
    }
    double* v = ptr(adjR.value.data);
    if (w)
        for (std::size_t i = 0; i < n; ++i) v[i] = wv[i] * slope[i];
    else
        for (std::size_t i = 0; i < n; ++i) v[i] = sv * slope[i];
}

}  // namespace

template <>
ActiveScalar sum_sq<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R) {
    return elementwise_sum<SqTerms>(R);
}
template <>
void adj_sum_sq<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR) {
    adj_elementwise<SqTerms>(R, &s, nullptr, adjR);
}
template <>
fad1<Vec> sq_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R) {
    return elementwise_terms<SqTerms>(R);
}
template <>
void adj_sq_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR) {
    adj_elementwise<SqTerms>(R, nullptr, &w, adjR);
}

template <>
ActiveScalar sum_pseudo_huber<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R) {
    return elementwise_sum<PseudoHuberTerms>(R);
}
template <>
void adj_sum_pseudo_huber<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR) {
    adj_elementwise<PseudoHuberTerms>(R, &s, nullptr, adjR);
}
template <>
fad1<Vec> pseudo_huber_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R) {
    return elementwise_terms<PseudoHuberTerms>(R);
}
template <>
void adj_pseudo_huber_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR) {
    adj_elementwise<PseudoHuberTerms>(R, nullptr, &w, adjR);
}

// ---- terms in place ----------------------------------------------------------------------

namespace {

// R := its -log density terms (value and tangents), the operations of log_dnorm: every tangent
// is formed while R's value still holds x, the value written last.
void neg_log_density_in_place(fad1<Mat>& R) {
    const std::size_t n = R.value.size(), k = R.tangents.size();
    double* x = ptr(R.value.data);
    const Density f(x, n);
    double* L = scratch(7, n);
    vec_log(f.fv, L, n);
    for (std::size_t i = 0; i < n; ++i) L[i] = -L[i] + kBias;
    for (std::size_t d = 0; d < k; ++d) {
        double* t = R.tangents.at(d);
        for (std::size_t i = 0; i < n; ++i) t[i] = -(f.tangent(i, t[i]) / f.fv[i]);
    }
    std::copy_n(L, n, x);
}

// R := phi(R), tangent d phi'(R) t_d, the operations of elementwise_terms.
template <class T>
void elementwise_terms_in_place(fad1<Mat>& R) {
    const std::size_t n = R.value.size(), k = R.tangents.size();
    double* r = ptr(R.value.data);
    double* slope = scratch(4, n);
    T::slopes(r, slope, n);
    double* phi = scratch(5, n);
    T::values(r, phi, n);
    double* t = R.tangents.data();
    for (std::size_t d = 0; d < k; ++d, t += n)
        for (std::size_t i = 0; i < n; ++i) t[i] = slope[i] * t[i];
    std::copy_n(phi, n, r);
}

}  // namespace

void nn_terms(TangentNN const& nn, fad1<Mat>& F) {
    using M = fad1<Mat>;
    using V = fad1<Vec>;
    if (F.tangents.size() != 0 && F.tangents.count() != F.value.size()) {
        nn_assign_values(F, nn.norm_vec(F));
    } else if (nn.norm_vec == &normfun<M, V>) {
        // The terms of "sum" are the residuals themselves.
    } else if (nn.norm_vec == &log_dnorm<M, V>) {
        neg_log_density_in_place(F);
    } else if (nn.norm_vec == &sq_terms<M, V>) {
        elementwise_terms_in_place<SqTerms>(F);
    } else if (nn.norm_vec == &pseudo_huber_terms<M, V>) {
        elementwise_terms_in_place<PseudoHuberTerms>(F);
    } else {
        nn_assign_values(F, nn.norm_vec(F));
    }
}
