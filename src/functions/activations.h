// Elementwise activations and their adjoints. The primary templates are the plain-double
// forms; the tangent types specialise them. An adjoint writes dZ = dA * f'(Z) elementwise.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "functions/vector_math.h"
#include "core/matrix.h"

namespace veltn {

// softplus and its adjoint switch to the identity at and above this input, so exp never
// overflows.
constexpr double kSoftplusCutoff = 300.0;

// Each activation writes A := f(Z) into A's storage (kept when its element count matches; A may
// be Z), so that a thread's tape is not reallocated from batch to batch.

// f(z) = z; f'(z) = 1.
template <class M>
void id_into(M const& Z, M& A) {
    if (&A != &Z) A = Z;
}
template <class M>
void adj_id(M const& /*Z*/, M const& dA, M& dZ) {
    dZ = dA;
}

// f(z) = max(z, 0) with -0.0 and NaN kept; f'(z) = 0 for z < 0, else 1 (1 at the kink).
template <class M, class V>
void act_relu_into(M const& Z, M& A) {
    if (&A != &Z) A = Z;
    for (auto& z : A.data)
        if (z < 0.0) z = 0.0;
}
template <class M, class V>
void adj_act_relu(M const& Z, M const& dA, M& dZ) {
    M out = dA;
    out.rows = Z.rows;
    out.cols = Z.cols;
    const std::size_t n = Z.size();
    for (std::size_t i = 0; i < n; ++i)
        if (Z.data[i] < 0.0) out.data[i] = 0.0;
    dZ = std::move(out);
}

// f(z) = atan(z); f'(z) = 1 / (z^2 + 1).
template <class M, class V>
void act_atan_into(M const& Z, M& A) {
    A.resize(Z.rows, Z.cols);
    vec_atan(ptr(Z.data), ptr(A.data), Z.size());
}
template <class M, class V>
void adj_act_atan(M const& Z, M const& dA, M& dZ) {
    dZ.resize(Z.rows, Z.cols);
    dZ.data.resize(dA.size());
    const std::size_t n = dA.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double z = Z.data[i];
        dZ.data[i] = dA.data[i] / (z * z + 1.0);
    }
}

// f(z) = log(exp(z) + 1) below the cut-off, z at and above it (and for NaN).
// Written as log(exp(z) + 1.0), not log1p, so that values match the tangent form bit for bit.
template <class M, class V>
void softplus_into(M const& Z, M& A) {
    A.resize(Z.rows, Z.cols);
    vec_softplus(ptr(Z.data), ptr(A.data), Z.size(), kSoftplusCutoff);
}

// f'(z) = e / (1 + e) with e = exp(z) below the cut-off, 1 above (and for NaN).
template <class M, class V>
void adj_softplus(M const& Z, M const& dA, M& dZ) {
    if (&dZ == &dA) {
        const M a = dA;
        adj_softplus<M, V>(Z, a, dZ);
        return;
    }
    dZ.resize(dA.rows, dA.cols);  // keeps dZ's storage when the element count matches
    vec_softplus_adjoint(ptr(Z.data), ptr(dA.data), ptr(dZ.data), Z.size(), kSoftplusCutoff);
}

// S := f'(Z) of softplus, so that S * dA gives adj_softplus(Z, dA) bit for bit (the adjoint
// multiplies the slope e / (1 + e) by dA, and a slope of 1 above the cut-off keeps dA as it is).
// The ones come from a stack block, a chunk at a time (an element's value does not depend on
// the chunk it sits in), so that a steady caller allocates nothing here.
inline void softplus_slope_into(Mat const& Z, Mat& S) {
    S.resize(Z.rows, Z.cols);
    constexpr std::size_t kChunk = 256;
    double ones[kChunk];
    std::fill_n(ones, kChunk, 1.0);
    const double* z = ptr(Z.data);
    double* s = ptr(S.data);
    for (std::size_t i = 0, n = Z.size(); i < n; i += kChunk)
        vec_softplus_adjoint(z + i, ones, s + i, std::min(kChunk, n - i), kSoftplusCutoff);
}

// softplus(z) - 1; its adjoint is adj_softplus.
template <class M, class V>
void softplus_shifted_into(M const& Z, M& A) {
    softplus_into<M, V>(Z, A);
    A.data -= 1.0;
}

}  // namespace veltn
