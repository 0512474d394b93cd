// The activations over tangent types (forward/tangent_activations.h).
#include "forward/tangent_activations.h"

#include "forward/tangent_support.h"
#include "functions/vector_math.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace veltn {

namespace {

using namespace tangent_support;

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

// Whether every value entry is below the softplus cut-off (NaN is not).
bool all_below_cutoff(const double* z, std::size_t n) {
    bool all = true;
    for (std::size_t i = 0; i < n; ++i) all &= z[i] < kSoftplusCutoff;
    return all;
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

}  // namespace

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
    vec_softplus_slope(e1, e1, slope, n);
    vec_log(e1, ptr(A.value.data), n);
    vec_scale_directions(std::as_const(Z.tangents).data(), slope, A.tangents.data(), n, k);
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
    vec_softplus_slope_curvature(sv, sv, curv, n);
    // dZ may be dA: tangents before the value, each read before it is written.
    const std::size_t rows = dA.value.rows, cols = dA.value.cols;
    if (&dZ != &dA) shape_like(dZ, k, rows, cols);
    const double* a = ptr(dA.value.data);
    vec_product_rule_directions(a, curv, sv, Z.tangents.data(), std::as_const(dA.tangents).data(), dZ.tangents.data(),
                                n, k);
    double* v = ptr(dZ.value.data);
    for (std::size_t i = 0; i < n; ++i) v[i] = sv[i] * a[i];
}

}  // namespace veltn
