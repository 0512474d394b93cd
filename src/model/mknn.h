// Builds a model from its text description.
#pragma once

#include <cblas.h>

#include <cstdlib>
#include <string>
#include <valarray>
#include <vector>

#include "core/messages.h"
#include "functions/registry.h"
#include "model/description.h"
#include "model/nn.h"

namespace veltn {

// Binds the activation pair named by nn.actname; unknown names select softplus (the parser
// warns about them).
template <class NN>
void bind_activation(NN& nn) {
    using M = typename NN::Matrix;
    using V = typename NN::Vector;
    auto const* row = find_activation<M, V>(nn.actname);
    if (!row) row = find_activation<M, V>("softplus");
    nn.act_into = row->into;
    nn.adj_act = row->adjoint;
}

// Binds the four norm functions named by nn.normname; returns false for an unknown name.
template <class NN>
bool bind_norm(NN& nn) {
    using M = typename NN::Matrix;
    using V = typename NN::Vector;
    using S = typename NN::SValue;
    auto const* row = find_norm<M, V, S>(nn.normname);
    if (!row) return false;
    nn.norm_sum = row->sum;
    nn.adj_norm_sum = row->adj_sum;
    nn.norm_vec = row->terms;
    nn.adj_norm_vec = row->adj_terms;
    nn.norm_curvature = row->second;
    return true;
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
    bind_norm(nn);  // an unknown name was reported by the parser; the norm stays unbound
    bind_activation(nn);
}

// The model of a description that parse_description accepted: header, widths and names set,
// zero weights and biases, functions bound. Writes nothing.
template <class NN>
NN model_from(Description const& d) {
    NN nn;
    nn.numin = d.numin;
    nn.numout = d.numout;
    nn.nlayers = d.nlayers;
    nn.niter = d.niter;
    nn.batch = d.batch;
    nn.sizes = std::valarray<unsigned>(d.sizes.data(), d.sizes.size());
    nn.actname = d.actname;
    nn.normname = d.normname;
    build_layers(nn);
    return nn;
}

// One model from a description, with the messages of read_description; a refused description
// writes its line to standard error and gives an empty model. (A handle reads the description
// once and builds both its models with model_from.)
template <class NN>
NN mknn(std::string const& text) {
    const Description d = read_description(text);
    if (!d.problem.empty()) {
        veltn::emit(veltn::kStderr, d.problem);
        return NN();
    }
    return model_from<NN>(d);
}

}  // namespace veltn
