// The forward pass and the objective, generic over the model's types.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/input_rows.h"
#include "core/parallel.h"
#include "model/net_ops.h"
#include "model/nn.h"

namespace veltn {

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

// Multiply-adds of one row's forward pass: the weights' count (the hidden stack once per run),
// times 1 + 2k for a model whose parameters carry k directions (a product then also makes
// A_d W and A W_d for every direction).
template <class NN>
double forward_row_work(NN const& nn) {
    double w = 0;
    for (uint32_t l = 0; l < nn.nlayers; ++l)
        w += double(nn_count(nn.weights[l])) * (l + 1 < nn.nlayers ? nn.niter : 1u);
    return w * (1.0 + 2.0 * double(nn.nlayers ? nn_ndir(nn.weights[0]) : 0));
}

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
            nn_mult_bias(A[l], nn.weights[l], nn.biases[l], Z[l]);
            nn.act_into(Z[l], A[l + 1]);
        }
        nn_place_columns(s.T, A[last], p * S);
    }
    nn_mult_bias(s.T, nn.weights[last], nn.biases[last], Z[last]);
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
// that run on nn.nthreads threads, each reading its rows of X and Y into its own storage; each
// batch's mean is weighted by its element count.
template <class NN>
typename NN::SValue objv(NN const& nn, InputRows const& X, InputRows const& Y) {
    using SV = typename NN::SValue;
    const uint32_t R = X.rows;
    if (nn.batch >= R) {
        ForwardScratch<NN> s;
        X.read(0, R, s.Xb);
        Y.read(0, R, s.Yb);
        return block_objective(nn, s.Xb, s.Yb, s);
    }
    const uint32_t Cy = Y.cols;
    const unsigned nslots = region_slots(nn.nthreads, R, nn.batch, forward_row_work(nn));
    const BatchPlan plan(R, nn.batch, nslots);
    // One partial sum per slot, added in slot order: the same result whatever team runs it.
    std::vector<SV> sums(nslots, SV(0.0));
    parallel_region(nslots, [&](unsigned slot, unsigned count) {
        ForwardScratch<NN> s;
        plan.for_thread(slot, count, [&](uint32_t b) {
            const uint32_t rows = plan.rows_of(b);
            X.read(plan.first_row(b), rows, s.Xb);
            Y.read(plan.first_row(b), rows, s.Yb);
            sums[slot] += block_objective(nn, s.Xb, s.Yb, s) * static_cast<double>(Cy * rows);
        });
    });
    SV total = sums[0];
    for (std::size_t i = 1; i < sums.size(); ++i) total += sums[i];
    total /= static_cast<double>(Cy * R);
    return total;
}

template <class NN>
typename NN::SValue objv(NN const& nn, Mat const& X, Mat const& Y) {
    return objv(nn, input_rows(X, "X"), input_rows(Y, "Y"));
}

// F := the norm's per-element terms of F. The tangent model overloads it to work in place.
template <class NN>
void nn_terms(NN const& nn, typename NN::Matrix& F) {
    nn_assign_values(F, nn.norm_vec(F));
}

// What a row pass gives for each row: the network outputs, the residuals (outputs minus
// targets) or the norm's per-element terms of the residuals.
enum class RowResult { outputs, residuals, terms };

// Runs the network over the rows of X (and Y, unless outputs are asked for) in batches on
// nn.nthreads threads and hands each batch's result to put(row0, block) on the thread that
// computed it; block holds rows row0 .. row0 + rows - 1 and is valid only during the call.
// Batches cover disjoint rows, so put may write them straight into the caller's array.
// With store, the slots' storage comes from it and stays there for the next call (two entries
// per slot: one for full batches, one for the short last batch, so that neither changes shape).
template <class NN, class Put>
void row_pass(NN const& nn, InputRows const& X, InputRows const& Y, RowResult what, Put&& put,
              std::vector<ForwardScratch<NN>>* store = nullptr) {
    const uint32_t R = X.rows;
    const uint32_t batch = std::min<uint32_t>(nn.batch, std::max<uint32_t>(R, 1));
    const unsigned nslots = region_slots(nn.nthreads, R, batch, forward_row_work(nn));
    const BatchPlan plan(R, batch, nslots);
    std::vector<ForwardScratch<NN>> own;
    std::vector<ForwardScratch<NN>>& scratch = store ? *store : own;
    if (scratch.size() < 2 * std::size_t(nslots)) scratch.resize(2 * std::size_t(nslots));
    parallel_region(nslots, [&](unsigned slot, unsigned count) {
        plan.for_thread(slot, count, [&](uint32_t b) {
            const uint32_t row0 = plan.first_row(b), rows = plan.rows_of(b);
            ForwardScratch<NN>& s = scratch[2 * std::size_t(slot) + (rows != plan.size ? 1 : 0)];
            X.read(row0, rows, s.Xb);
            computev_into(nn, s.Xb, s, s.F);
            if (what != RowResult::outputs) {
                Y.read(row0, rows, s.Yb);
                nn_sub_target(s.F, s.Yb);
            }
            if (what == RowResult::terms) nn_terms(nn, s.F);
            put(row0, static_cast<typename NN::Matrix const&>(s.F));
        });
    });
}

// Writes the rows of a plain block into a row-major array of the block's width.
inline void put_rows(double* out, std::size_t row0, Mat const& block) {
    std::copy_n(ptr(block.data), block.size(), out + row0 * block.cols);
}

}  // namespace veltn
