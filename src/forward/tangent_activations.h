// The activations over tangent types: explicit specialisations of the plain templates of
// functions/activations.h for M = fad1<Mat>, V = fad1<Vec>. Values match the plain forms bit
// for bit; tangents follow the first-order rules of forward/ops.h.
//
// Include this header wherever these templates may be instantiated with the tangent types: a
// specialisation must be declared before its first use.
#pragma once

#include "forward/fad1.h"
#include "forward/ops.h"
#include "functions/activations.h"

namespace veltn {

// The into forms write value and tangents into A's storage where the shapes already match.
template <>
void id_into<fad1<Mat>>(fad1<Mat> const& Z, fad1<Mat>& A);
template <>
void adj_id<fad1<Mat>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ);

// Entries with value < 0 get value and tangents 0; 0.0 (either sign) and NaN keep theirs.
template <>
void act_relu_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A);
template <>
void adj_act_relu<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ);

template <>
void act_atan_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A);
// dA / (Z Z + 1) by the product and quotient rules, so Z's tangents enter as well.
template <>
void adj_act_atan<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ);

// log(exp(z) + 1) below 300 with tangent e t / (e + 1); identity (value and tangents) above.
template <>
void softplus_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A);
template <>
void softplus_shifted_into<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat>& A);
template <>
void adj_softplus<fad1<Mat>, fad1<Vec>>(fad1<Mat> const& Z, fad1<Mat> const& dA, fad1<Mat>& dZ);

}  // namespace veltn
