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
        Vec& t = x.tangents[d];
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
        std::valarray<double> grown(0.0, x.tangents.size());
        for (std::size_t d = 0; d < s.tangents.size(); ++d) grown[d] = s.tangents[d];
        s.tangents = std::move(grown);
        s.ndir = s.tangents.size();
    }
    for (std::size_t d = 0; d < x.tangents.size(); ++d) s.tangents[d] = sum_of(x.tangents[d]);
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

}  // namespace

// ---- activations -------------------------------------------------------------------------

template <>
fad1<Mat> id<fad1<Mat>>(fad1<Mat> const& Z) {
    return Z;
}

template <>
void adj_id<fad1<Mat>>(fad1<Mat> const& /*Z*/, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    dZ = dA;
}

template <>
fad1<Mat> act_relu<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z) {
    fad1<Vec> v = asVector(Z);
    zero_masked(v, below(v.value, 0.0));
    return asMatrix(v, Z.value.rows, Z.value.cols);
}

template <>
void adj_act_relu<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    fad1<Vec> v = asVector(dA);
    zero_masked(v, below(Z.value.data, 0.0));
    dZ = asMatrix(v, Z.value.rows, Z.value.cols);
}

template <>
fad1<Mat> act_atan<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z) {
    fad1<Mat> out = Z;
    const std::size_t n = Z.value.size();
    Vec denom(n);
    vec_atan(std::begin(Z.value.data), std::begin(out.value.data), n);
    for (std::size_t i = 0; i < n; ++i) {
        const double z = Z.value.data[i];
        denom[i] = z * z + 1.0;
    }
    for (std::size_t d = 0; d < out.tangents.size(); ++d) out.tangents[d].data /= denom;
    return out;
}

template <>
void adj_act_atan<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ) {
    const fad1<Vec> z = asVector(Z);
    fad1<Vec> q = MulNode(z, z);
    q += 1.0;
    fad1<Vec> g = asVector(dA);
    g /= q;
    dZ = asMatrix(g, Z.value.rows, Z.value.cols);
}

template <>
fad1<Mat> softplus<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z) {
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

template <>
fad1<Mat> softplus_shifted<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z) {
    fad1<Mat> out = softplus<fad1<Mat>, fad1<Vec>>(Z);
    out.value.data -= 1.0;
    return out;
}

template <>
void adj_softplus<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ) {
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

// ---- "sum" -------------------------------------------------------------------------------

template <>
ActiveScalar normfun_sum<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R) {
    return sum_to_scalar(asVector(R));
}

template <>
void adj_normfun_sum<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR) {
    adjR.value = Mat(R.value.rows, R.value.cols);
    adjR.value.data = s.value;
    const std::size_t k = R.tangents.size();
    adjR.tangents = std::valarray<Mat>(Mat(R.value.rows, R.value.cols), k);
    for (std::size_t d = 0; d < std::min(k, s.tangents.size()); ++d) adjR.tangents[d].data = s.tangents[d];
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
    const double d = (-2.0 * sigma) * sigma;
    const double k = 1.0 / std::sqrt((kTwoPi * sigma) * sigma);

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
    const double d = (sigma * (-2.0)) * sigma;
    const double k = 1.0 / std::sqrt((sigma * kTwoPi) * sigma);

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
    fad1<Vec> f = dnorm_fat<fad1<Vec>>(x, kSigma);
    do_log(f, f);
    negate_inplace(f);
    f += kBias;
    return f;
}

ActiveScalar sum_log_dnorm_vec(fad1<Vec> const& x) { return sum_to_scalar(log_dnorm_vec<fad1<Vec>>(x)); }

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
    return log_dnorm_vec<fad1<Vec>>(asVector(R));
}

template <>
ActiveScalar sum_log_dnorm<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R) {
    return sum_log_dnorm_vec(asVector(R));
}

template <>
void adj_log_dnorm<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR) {
    fad1<Vec> t;
    adj_log_dnorm_vec<fad1<Vec>>(asVector(R), w, t);
    adjR = asMatrix(t, R.value.rows, R.value.cols);
}

template <>
void adj_sum_log_dnorm<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR) {
    fad1<Vec> t;
    adj_sum_log_dnorm_vec(asVector(R), s, t);
    adjR = asMatrix(t, R.value.rows, R.value.cols);
}
