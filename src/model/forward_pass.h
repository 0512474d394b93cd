// The forward pass and the objective, generic over the model's types.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/parallel.h"
#include "model/net_ops.h"
#include "model/nn.h"

// Refuses more input columns than the network accepts.
template <class NN>
void check_predicates(NN const& nn, std::size_t C) {
    const std::size_t limits[2] = {nn.numin, nn.sizes[0]};
    for (std::size_t limit : limits)
        if (C > limit)
            throw veltn::PlainFailure("too many predicates: " + std::to_string(C) + " > " + std::to_string(limit));
}

// Storage one thread reuses from batch to batch in the forward pass: allocated by the first
// batch, kept for the rest of the call. One entry per layer, since the widths differ: A[l] is
// layer l's input, Z[l] its pre-activation (the output layer's last).
template <class NN>
struct ForwardScratch {
    std::vector<typename NN::Matrix> A, Z;
    typename NN::Matrix T, F;
    Mat Xb, Yb;
};

// Network outputs (R x numout) for the inputs X (R x C, C <= sizes[0]; missing columns are 0)
// into F, with the intermediates in s.
template <class NN>
void computev_into(NN const& nn, Mat const& X, ForwardScratch<NN>& s, typename NN::Matrix& F) {
    check_predicates(nn, X.cols);
    const uint32_t L = nn.nlayers;
    const uint32_t last = L - 1;
    const std::size_t S = nn.hidden_width();
    auto &A = s.A, &Z = s.Z;
    if (A.size() != L) A.resize(L);
    if (Z.size() != L) Z.resize(L);
    nn_input(A[0], X, nn.sizes[0]);
    nn_zeros(s.T, X.rows, nn.niter * S);
    for (uint32_t p = 0; p < nn.niter; ++p) {
        // Run p starts from the output of run p - 1 (of the input's width).
        if (p > 0) std::swap(A[0], A[last]);
        for (uint32_t l = 0; l < last; ++l) {
            nn_mult(A[l], nn.weights[l], Z[l]);
            nn_add_bias(Z[l], nn.biases[l]);
            nn.act_into(Z[l], A[l + 1]);
        }
        nn_place_columns(s.T, A[last], p * S);
    }
    nn_mult(s.T, nn.weights[last], Z[last]);
    nn_add_bias(Z[last], nn.biases[last]);
    nn.act_into(Z[last], F);
}

template <class NN>
typename NN::Matrix computev(NN const& nn, Mat const& X) {
    ForwardScratch<NN> s;
    typename NN::Matrix F;
    computev_into(nn, X, s, F);
    return F;
}

// Mean of the norm over the residual elements of one block of rows; s.F keeps the residual.
template <class NN>
typename NN::SValue block_objective(NN const& nn, Mat const& X, Mat const& Y, ForwardScratch<NN>& s) {
    using SV = typename NN::SValue;
    computev_into(nn, X, s, s.F);
    nn_sub_target(s.F, Y);
    SV J = nn.norm_sum(s.F);
    J /= static_cast<double>(nn_count(s.F));
    return J;
}

// Mean of the norm over all residual elements. More rows than `batch` are cut into batches
// that run on nn.nthreads threads; each batch's mean is weighted by its element count.
template <class NN>
typename NN::SValue objv(NN const& nn, Mat const& X, Mat const& Y) {
    using SV = typename NN::SValue;
    const uint32_t R = static_cast<uint32_t>(X.rows);
    if (nn.batch >= R) {
        ForwardScratch<NN> s;
        return block_objective(nn, X, Y, s);
    }
    const uint32_t Cy = static_cast<uint32_t>(Y.cols);
    const BatchPlan plan(R, nn.batch, nn.nthreads);
    // One partial sum per slot, added in slot order: the same result whatever team runs it.
    std::vector<SV> sums(team_size(nn.nthreads, plan.count), SV(0.0));
    parallel_region(static_cast<unsigned>(sums.size()), [&](unsigned slot, unsigned nslots) {
        ForwardScratch<NN> s;
        plan.for_thread(slot, nslots, [&](uint32_t b) {
            const uint32_t rows = plan.rows_of(b);
            copy_rows_into(X, plan.first_row(b), rows, s.Xb);
            copy_rows_into(Y, plan.first_row(b), rows, s.Yb);
            sums[slot] += block_objective(nn, s.Xb, s.Yb, s) * static_cast<double>(Cy * rows);
        });
    });
    SV total = sums[0];
    for (std::size_t i = 1; i < sums.size(); ++i) total += sums[i];
    total /= static_cast<double>(Cy * R);
    return total;
}

// The per-element objective terms of one block of rows into s.F.
template <class NN>
void block_terms(NN const& nn, Mat const& X, Mat const& Y, ForwardScratch<NN>& s) {
    computev_into(nn, X, s, s.F);
    nn_sub_target(s.F, Y);
    nn_assign_values(s.F, nn.norm_vec(s.F));
}

// Per-element objective terms (R x Cy) into out, batched like objv; batches write disjoint rows.
template <class NN>
void objv_vec(NN const& nn, Mat const& X, Mat const& Y, typename NN::Matrix& out) {
    const uint32_t R = static_cast<uint32_t>(X.rows);
    if (nn.batch >= R) {
        ForwardScratch<NN> s;
        block_terms(nn, X, Y, s);
        out = std::move(s.F);
        return;
    }
    const std::size_t Cy = Y.cols;
    nn_zeros(out, R, Cy);
    const BatchPlan plan(R, nn.batch, nn.nthreads);
    parallel_region(team_size(nn.nthreads, plan.count), [&](unsigned slot, unsigned nslots) {
        ForwardScratch<NN> s;
        plan.for_thread(slot, nslots, [&](uint32_t b) {
            const uint32_t rows = plan.rows_of(b);
            copy_rows_into(X, plan.first_row(b), rows, s.Xb);
            copy_rows_into(Y, plan.first_row(b), rows, s.Yb);
            block_terms(nn, s.Xb, s.Yb, s);
            nn_place_rows(out, s.F, plan.first_row(b));
        });
    });
}
