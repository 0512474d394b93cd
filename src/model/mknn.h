// Builds a model from its text description.
#pragma once

#include <cblas.h>

#include <cstdlib>
#include "core/messages.h"
#include <sstream>
#include <string>
#include <vector>

#include "functions/activations.h"
#include "functions/norms.h"
#include "model/nn.h"

// Writes the build line when the environment variable INFO is set.
void print_build_line();

// Binds the activation pair named by nn.actname; unknown names select softplus.
template <class NN>
void bind_activation(NN& nn) {
    using M = typename NN::Matrix;
    using V = typename NN::Vector;
    const std::string& a = nn.actname;
    if (a == "id") {
        nn.act = &id<M>;
        nn.act_into = &id_into<M>;
        nn.adj_act = &adj_id<M>;
    } else if (a == "relu") {
        nn.act = &act_relu<M, V>;
        nn.act_into = &act_relu_into<M, V>;
        nn.adj_act = &adj_act_relu<M, V>;
    } else if (a == "atan") {
        nn.act = &act_atan<M, V>;
        nn.act_into = &act_atan_into<M, V>;
        nn.adj_act = &adj_act_atan<M, V>;
    } else if (a == "softplus_shifted") {
        nn.act = &softplus_shifted<M, V>;
        nn.act_into = &softplus_shifted_into<M, V>;
        nn.adj_act = &adj_softplus<M, V>;
    } else {  // "softplus", "softmax" and any other name
        nn.act = &softplus<M, V>;
        nn.act_into = &softplus_into<M, V>;
        nn.adj_act = &adj_softplus<M, V>;
    }
}

// Binds the four norm functions named by nn.normname; returns false for an unknown name.
template <class NN>
bool bind_norm(NN& nn) {
    using M = typename NN::Matrix;
    using V = typename NN::Vector;
    using S = typename NN::SValue;
    if (nn.normname == "sum") {
        nn.norm_sum = &normfun_sum<M, S>;
        nn.adj_norm_sum = &adj_normfun_sum<M, S>;
        nn.norm_vec = &normfun<M, V>;
        nn.adj_norm_vec = &adj_normfun<M, V>;
        return true;
    }
    if (nn.normname == "sum_log_dnorm_fat") {
        nn.norm_sum = &sum_log_dnorm<M, S>;
        nn.adj_norm_sum = &adj_sum_log_dnorm<M, S>;
        nn.norm_vec = &log_dnorm<M, V>;
        nn.adj_norm_vec = &adj_log_dnorm<M, V>;
        return true;
    }
    return false;
}

// Parses "numin numout nlayers niter batch sizes... activation norm". A zero or unreadable
// header number gives "Error: invalid network data" and a model with only its header set.
// Weights and biases start at zero. The caller checks the remaining consistency rules
// (see network_problem) before the model's shapes are allocated.
template <class NN>
NN mknn(std::string const& text) {
    print_build_line();
    NN nn;
    std::istringstream in(text);
    in >> nn.numin >> nn.numout >> nn.nlayers >> nn.niter >> nn.batch;
    if (nn.numin == 0 || nn.numout == 0 || nn.nlayers == 0 || nn.niter == 0 || nn.batch == 0) {
        veltn::emit(veltn::kStderr, "Error: invalid network data");
        return nn;
    }
    // Widths are read while the text has them; a missing width is 0, so the list stops at the
    // first one (a huge layer count with few widths must not allocate a huge list).
    std::vector<unsigned> widths;
    unsigned w = 0;
    while (widths.size() < nn.nlayers && in >> w) widths.push_back(w);
    if (widths.size() < nn.nlayers) widths.push_back(0u);
    nn.sizes = std::valarray<unsigned>(widths.data(), widths.size());
    in >> nn.actname >> nn.normname;
    return nn;
}

// The consistency problem of a parsed header and width list, or "" when it can be built.
template <class NN>
std::string network_problem(NN const& nn) {
    if (nn.numin == 0 || nn.numout == 0 || nn.nlayers == 0 || nn.niter == 0 || nn.batch == 0)
        return "invalid network data";
    if (nn.nlayers < 2) return "a network needs at least 2 layers, got " + std::to_string(nn.nlayers);
    for (uint32_t l = 0; l < nn.sizes.size(); ++l)
        if (nn.sizes[l] == 0) return "layer width " + std::to_string(l) + " is 0 or missing";
    const uint32_t S = nn.sizes[nn.nlayers - 1];
    if (nn.niter > 1 && S != nn.sizes[0])
        return "niter " + std::to_string(nn.niter) + " needs the last width (" + std::to_string(S) +
               ") equal to the first (" + std::to_string(nn.sizes[0]) + ")";
    // Every extent, element count and the parameter count are 32-bit quantities.
    uint64_t total = 0;
    for (uint32_t l = 0; l < nn.nlayers; ++l) {
        const bool out = l + 1 == nn.nlayers;
        const uint64_t rows = out ? uint64_t(nn.niter) * S : nn.sizes[l];
        const uint64_t cols = out ? nn.numout : nn.sizes[l + 1];
        total += rows * cols + cols;
        if (rows > UINT32_MAX || rows * cols > UINT32_MAX || total > UINT32_MAX)
            return "layer " + std::to_string(l) + " is too large (" + std::to_string(rows) + " x " +
                   std::to_string(cols) + ")";
    }
    return "";
}

// Allocates the zero weights and biases and binds the functions of a parsed model.
template <class NN>
void build_layers(NN& nn) {
    using M = typename NN::Matrix;
    using V = typename NN::Vector;
    const uint32_t L = nn.nlayers;
    const uint32_t S = nn.sizes[L - 1];
    nn.weights.resize(L);
    nn.biases.resize(L);
    for (uint32_t l = 0; l + 1 < L; ++l) {
        nn.weights[l] = M(Mat(nn.sizes[l], nn.sizes[l + 1]));
        nn.biases[l] = V(0.0, nn.sizes[l + 1]);
    }
    nn.weights[L - 1] = M(Mat(size_t(nn.niter) * S, nn.numout));
    nn.biases[L - 1] = V(0.0, nn.numout);
    if (!bind_norm(nn)) veltn::emit(veltn::kStdout, "invalid norm function name: " + nn.normname);
    nn.logp_bias = norm_constants::kBias;
    nn.logp_sigma = norm_constants::kSigma;
    bind_activation(nn);
}
