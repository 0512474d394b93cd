// The network model, generic over its matrix, vector and scalar types.
#pragma once

#include <cstdint>
#include <string>
#include <valarray>
#include <vector>

#include "core/matrix.h"

namespace veltn {

template <class M, class V, class S>
struct NNTemplate {
    using Matrix = M;
    using Vector = V;
    using SValue = S;

    using ActIntoFn = void (*)(M const&, M&);
    using AdjActFn = void (*)(M const&, M const&, M&);
    using NormSumFn = S (*)(M const&);
    using AdjNormSumFn = void (*)(M const&, S&, M&);
    using NormVecFn = V (*)(M const&);
    using AdjNormVecFn = void (*)(M const&, V const&, M&);
    // out[i] := phi''(r[i]), the norm's second derivative at n plain residuals.
    using CurvatureFn = void (*)(const double*, double*, std::size_t);

    uint32_t numin = 0;
    uint32_t numout = 0;
    uint32_t nlayers = 0;
    uint32_t niter = 0;
    uint32_t batch = 0;
    uint32_t nthreads = 1;
    std::valarray<unsigned> sizes;
    std::vector<M> weights;
    std::vector<V> biases;
    std::string normname;
    NormSumFn norm_sum = nullptr;
    AdjNormSumFn adj_norm_sum = nullptr;
    NormVecFn norm_vec = nullptr;
    AdjNormVecFn adj_norm_vec = nullptr;
    CurvatureFn norm_curvature = nullptr;
    std::string actname;
    ActIntoFn act_into = nullptr;
    AdjActFn adj_act = nullptr;

    bool has_norm() const { return norm_sum && adj_norm_sum && norm_vec && adj_norm_vec && norm_curvature; }
    // Width of the hidden stack's output (S).
    uint32_t hidden_width() const { return sizes[nlayers - 1]; }
};

using PlainNN = NNTemplate<Mat, Vec, double>;

}  // namespace veltn
