// The flat parameter vector: per layer its bias, then its weights row-major.
#pragma once

#include <cstdint>

#include "model/net_ops.h"
#include "model/nn.h"

namespace veltn {

template <class NN>
uint64_t numel(NN const& nn) {
    uint64_t n = 0;
    for (uint32_t l = 0; l < nn.nlayers && l < nn.weights.size(); ++l)
        n += nn_count(nn.biases[l]) + nn_count(nn.weights[l]);
    return n;
}

// Loads consecutive values of v (at least numel of them) into the model; shapes are kept.
inline void setweights(PlainNN& nn, Vec const& v) {
    std::size_t k = 0;
    for (uint32_t l = 0; l < nn.nlayers; ++l) {
        Vec& b = nn.biases[l];
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = v[k++];
        Vec& w = nn.weights[l].data;
        for (std::size_t i = 0; i < w.size(); ++i) w[i] = v[k++];
    }
}

inline Vec getweights(PlainNN const& nn) {
    Vec v(0.0, numel(nn));
    std::size_t k = 0;
    for (uint32_t l = 0; l < nn.nlayers; ++l) {
        for (double x : nn.biases[l]) v[k++] = x;
        for (double x : nn.weights[l].data) v[k++] = x;
    }
    return v;
}

// Adds b's weights and biases into a's, over a's element counts.
template <class NN>
void do_add(NN& a, NN const& b) {
    for (uint32_t l = 0; l < b.nlayers; ++l) {
        nn_add_into(a.weights[l], b.weights[l]);
        nn_add_into(a.biases[l], b.biases[l]);
    }
}

// Sets every weight and bias to zero (value and, for tangent types, every tangent).
template <class NN>
void zero_parameters(NN& nn) {
    for (uint32_t l = 0; l < nn.nlayers; ++l) {
        nn_set_zero(nn.weights[l]);
        nn_set_zero(nn.biases[l]);
    }
}

}  // namespace veltn
