// The norm functions over tangent types (forward/tangent_norms.h).
#include "forward/tangent_norms.h"

#include "forward/tangent_support.h"
#include "functions/vector_math.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace veltn {

namespace {

using namespace norm_constants;
using namespace tangent_support;

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

bool vec_tangents_of_size(fad1<Vec> const& x, std::size_t n) {
    return x.tangents.size() == 0 || x.tangents.count() == n;
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

}  // namespace veltn
