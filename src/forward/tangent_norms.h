// The norm functions over tangent types: explicit specialisations of the plain templates of
// functions/norms.h for M = fad1<Mat>, V = fad1<Vec>, S = Active<1>. Values match the plain
// forms bit for bit; tangents follow the first-order rules of forward/ops.h.
//
// Include this header wherever these templates may be instantiated with the tangent types: a
// specialisation must be declared before its first use.
#pragma once

#include "forward/ad.h"
#include "forward/fad1.h"
#include "forward/ops.h"
#include "forward/tangent_ops.h"
#include "functions/norms.h"

namespace veltn {

using ActiveScalar = tanad::FO::Dynamic::Active<1>;

template <>
ActiveScalar normfun_sum<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R);
// adjR takes R's shape and directions: value entries s.value, tangent d entries s.tangents[d].
template <>
void adj_normfun_sum<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR);
template <>
fad1<Vec> normfun<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R);
// adjR keeps its rows and cols.
template <>
void adj_normfun<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR);

template <>
fad1<Vec> dnorm_fat<fad1<Vec>>(fad1<Vec> const& x, double sigma);
// gamma / ((x x + gamma^2) pi), the density outside the cut-off.
fad1<Vec> dcauchy(fad1<Vec> const& x, double gamma);
template <>
void adj_dcauchy<fad1<Vec>>(fad1<Vec> const& x, double gamma, fad1<Vec> const& w, fad1<Vec>& out);
// out takes g's directions and x's length.
template <>
void adj_dnorm_fat<fad1<Vec>>(fad1<Vec> const& x, fad1<Vec> const& g, fad1<Vec>& out, double sigma);

template <>
fad1<Vec> log_dnorm_vec<fad1<Vec>>(fad1<Vec> const& x);
ActiveScalar sum_log_dnorm_vec(fad1<Vec> const& x);
template <>
void adj_log_dnorm_vec<fad1<Vec>>(fad1<Vec> const& x, fad1<Vec> const& w, fad1<Vec>& out);
// out := s * d/dx of the summed -log density; out takes x's directions.
void adj_sum_log_dnorm_vec(fad1<Vec> const& x, ActiveScalar const& s, fad1<Vec>& out);

template <>
fad1<Vec> log_dnorm<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R);
template <>
ActiveScalar sum_log_dnorm<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R);
// adjR takes R's rows and cols, as in the plain form.
template <>
void adj_log_dnorm<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR);
template <>
void adj_sum_log_dnorm<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR);

// "sum_sq" and "sum_pseudo_huber", the sums of an elementwise term phi (functions/norms.h).
// Values equal the plain forms bit for bit. Tangent d of a term is phi'(r) t_d; of an adjoint
// w phi'(r) it is w_d phi'(r) + w phi''(r) t_d. A tangent of R whose element count is not R's
// counts as zero; directions the seed or weights lack count as zero.
template <>
ActiveScalar sum_sq<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R);
// adjR takes R's shape and directions.
template <>
void adj_sum_sq<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR);
template <>
fad1<Vec> sq_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R);
// adjR takes R's shape and the larger of R's and w's direction counts.
template <>
void adj_sq_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR);

template <>
ActiveScalar sum_pseudo_huber<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R);
template <>
void adj_sum_pseudo_huber<fad1<Mat>, ActiveScalar>(fad1<Mat> const& R, ActiveScalar& s, fad1<Mat>& adjR);
template <>
fad1<Vec> pseudo_huber_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R);
template <>
void adj_pseudo_huber_terms<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& R, fad1<Vec> const& w, fad1<Mat>& adjR);

// F := the norm's per-element terms of F (value and tangents), as nn_assign_values(F,
// nn.norm_vec(F)) gives them, in F's own storage for the norms above.
void nn_terms(TangentNN const& nn, fad1<Mat>& F);

}  // namespace veltn
