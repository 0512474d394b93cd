// The one table of the library's activations and norm functions: one row each, holding its
// name, its forms (value and adjoint), its vector kernel where it has one and its documentation
// line. The description parser's name lists, its unknown-name messages and the model's binding
// (model/mknn.h) all read these rows.
//
// The rows are templates over the model's types: M (matrix), V (vector), S (scalar). Over the
// plain types (Mat, Vec, double) a row's forms are the templates of activations.h and norms.h.
// Over the tangent types (fad1<Mat>, fad1<Vec>, Active<1>) the very same entries name the
// forward layer's explicit specialisations of those templates (forward/tangent_activations.h and
// forward/tangent_norms.h), so this layer lists the tangent forms without including the layer
// above it. The forward layer declares its specialisations with forms_declared<fad1<Mat>>, and
// a table read over a matrix type whose forms are not declared does not compile
// (activation_rows_for, norm_rows_for).
//
// A new norm: its functions beside their adjoints in norms.h (and its tangent forms in
// forward/tangent_norms.*), one row in norm_rows, one line in include/veltn.h.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "core/matrix.h"
#include "functions/activations.h"
#include "functions/norms.h"
#include "functions/vector_math.h"

namespace veltn {

// Elementwise values over an array: y[i] = f(x[i]) for i < n.
using VectorKernel = void (*)(const double* x, double* y, std::size_t n);

// Second derivatives of a per-element norm term over an array: out[i] = phi''(r[i]).
using SecondDerivativeKernel = void (*)(const double* r, double* out, std::size_t n);

// Whether the activation and norm forms over matrix type M are declared where the table is read.
// The plain forms always are; the forward layer sets this for its tangent types.
template <class M>
struct forms_declared : std::is_same<M, Mat> {};

template <class M, class V>
struct ActivationRow {
    const char* name;
    void (*into)(M const& Z, M& A);                  // A := f(Z)
    void (*adjoint)(M const& Z, M const& dA, M& dZ);  // dZ := dA * f'(Z)
    VectorKernel kernel;                              // f over an array, or nullptr
    const char* doc;
};

template <class M, class V, class S>
struct NormRow {
    const char* name;
    S (*sum)(M const& R);                                  // the summed terms
    void (*adj_sum)(M const& R, S& s, M& adjR);            // adjR := s * d(sum)/dR
    V (*terms)(M const& R);                                // the per-element terms phi(R_i)
    void (*adj_terms)(M const& R, V const& w, M& adjR);    // adjR_i := w_i phi'(R_i)
    VectorKernel kernel;                                   // phi over an array, or nullptr
    // phi'' over an array: the curvature of velt_GNv's Gauss-Newton products. Every row has one
    // (a norm without it has no Gauss-Newton product).
    SecondDerivativeKernel second;
    const char* doc;
};

namespace registry_kernels {
inline void softplus(const double* z, double* y, std::size_t n) { vec_softplus(z, y, n, kSoftplusCutoff); }
}  // namespace registry_kernels

// Activation rows, in the order the parser lists their names. "softmax" is an older name of
// softplus. The parser selects the "softplus" row for any name not listed.
template <class M, class V>
inline const ActivationRow<M, V> activation_rows[] = {
    {"id", &id_into<M>, &adj_id<M>, nullptr, "f(z) = z"},
    {"relu", &act_relu_into<M, V>, &adj_act_relu<M, V>, nullptr, "f(z) = max(z, 0)"},
    {"atan", &act_atan_into<M, V>, &adj_act_atan<M, V>, &vec_atan, "f(z) = atan(z)"},
    {"softplus", &softplus_into<M, V>, &adj_softplus<M, V>, &registry_kernels::softplus,
     "f(z) = log(1 + exp(z)), z itself from 300 on"},
    {"softplus_shifted", &softplus_shifted_into<M, V>, &adj_softplus<M, V>, nullptr, "f(z) = softplus(z) - 1"},
    {"softmax", &softplus_into<M, V>, &adj_softplus<M, V>, &registry_kernels::softplus, "softplus, by an older name"},
};

// Norm rows, in the order the parser lists their names.
template <class M, class V, class S>
inline const NormRow<M, V, S> norm_rows[] = {
    {"sum", &normfun_sum<M, S>, &adj_normfun_sum<M, S>, &normfun<M, V>, &adj_normfun<M, V>, nullptr,
     &curvatures_sum, "phi(r) = r: the signed mean residual; no minimum"},
    {"sum_log_dnorm_fat", &sum_log_dnorm<M, S>, &adj_sum_log_dnorm<M, S>, &log_dnorm<M, V>, &adj_log_dnorm<M, V>,
     &log_dnorm_values, &curvatures_log_dnorm,
     "phi(r) = -log density of a normal core (sigma 1/3) with Cauchy tails from |r| = 2, 0 at r = 0; jumps at "
     "|r| = 2"},
    {"sum_sq", &sum_sq<M, S>, &adj_sum_sq<M, S>, &sq_terms<M, V>, &adj_sq_terms<M, V>, &SqTerms::values,
     &curvatures_sq, "phi(r) = r^2 / 2: least squares"},
    {"sum_pseudo_huber", &sum_pseudo_huber<M, S>, &adj_sum_pseudo_huber<M, S>, &pseudo_huber_terms<M, V>,
     &adj_pseudo_huber_terms<M, V>, &PseudoHuberTerms::values, &curvatures_pseudo_huber,
     "phi(r) = sqrt(1 + r^2) - 1: robust, smooth and convex"},
};

// The rows over a model's types, checked to name declared forms.
template <class M, class V>
auto const& activation_rows_for() {
    static_assert(forms_declared<M>::value, "the activation forms over this matrix type are not declared here");
    return activation_rows<M, V>;
}
template <class M, class V, class S>
auto const& norm_rows_for() {
    static_assert(forms_declared<M>::value, "the norm forms over this matrix type are not declared here");
    return norm_rows<M, V, S>;
}

// The row named `name`, or nullptr.
template <class M, class V>
ActivationRow<M, V> const* find_activation(std::string const& name) {
    for (auto const& row : activation_rows_for<M, V>())
        if (name == row.name) return &row;
    return nullptr;
}
template <class M, class V, class S>
NormRow<M, V, S> const* find_norm(std::string const& name) {
    for (auto const& row : norm_rows_for<M, V, S>())
        if (name == row.name) return &row;
    return nullptr;
}

// The names of the rows, in table order, separated by ", " (as the parser's messages list them).
template <class Rows>
std::string joined_names(Rows const& rows) {
    std::string out;
    for (auto const& row : rows) {
        if (!out.empty()) out += ", ";
        out += row.name;
    }
    return out;
}
inline std::string activation_names() { return joined_names(activation_rows<Mat, Vec>); }
inline std::string norm_names() { return joined_names(norm_rows<Mat, Vec, double>); }

}  // namespace veltn
