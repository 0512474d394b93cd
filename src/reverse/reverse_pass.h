// The reverse pass: the objective with its exact adjoints for every weight and bias, generic
// over the model's types so that the tangent model runs the very same code (forward over
// reverse gives Hessian-vector products).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "functions/activations.h"
#include "model/forward_pass.h"
#include "model/net_ops.h"
#include "core/parallel.h"
#include "model/parameters.h"

namespace veltn {

// What the forward sweep keeps for the reverse sweep: per run p and hidden layer l the layer's
// input A and pre-activation Z (tape[2 (p (L-1) + l)] and the entry after it), the hidden
// outputs side by side (T), the output layer's pre-activation (Zo) and the residual.
template <class NN>
struct Sweep {
    using M = typename NN::Matrix;
    std::vector<M> tape;
    M T, Zo, residual;
    M last;  // the final hidden output, which no later layer takes as input
};

// Forward sweep over all rows of X: as computev, keeping the intermediates; residual = F - Y.
// A sweep object that is reused keeps its tape's storage from one call to the next.
template <class NN>
void forward_sweep(NN const& nn, Mat const& X, Mat const& Y, Sweep<NN>& sw) {
    using M = typename NN::Matrix;
    check_predicates(nn, X.cols);
    const uint32_t L = nn.nlayers;
    const std::size_t S = nn.hidden_width();
    const std::size_t entries = 2 * std::size_t(nn.niter) * (L - 1);
    if (sw.tape.size() != entries) sw.tape.resize(entries);
    nn_input(sw.tape[0], X, nn.sizes[0]);
    nn_zeros(sw.T, X.rows, nn.niter * S);
    M& last = sw.last;
    std::size_t i = 0;
    for (uint32_t p = 0; p < nn.niter; ++p) {
        for (uint32_t l = 0; l + 1 < L; ++l, i += 2) {
            M& Z = sw.tape[i + 1];
            nn_mult_bias(sw.tape[i], nn.weights[l], nn.biases[l], Z);
            M& A = i + 2 < entries ? sw.tape[i + 2] : last;
            nn.act_into(Z, A);
        }
        nn_place_columns(sw.T, i < entries ? sw.tape[i] : last, p * S);
    }
    nn_mult_bias(sw.T, nn.weights[L - 1], nn.biases[L - 1], sw.Zo);
    nn.act_into(sw.Zo, sw.residual);
    nn_sub_target(sw.residual, Y);
}

// The reverse sweep's temporaries; a thread that runs several sweeps reuses one, so that their
// storage is allocated once rather than per sweep. The per-layer adjoints have one entry per
// layer, since their widths differ: dA[l] is the adjoint of hidden layer l's input, dZ[l] of its
// pre-activation, colsums[l] the column sums of dZ[l] (of dZo for the output layer).
template <class NN>
struct ReverseScratch {
    typename NN::Matrix dZo, dT;
    std::vector<typename NN::Matrix> dA, dZ;
    std::vector<typename NN::Vector> colsums;
};

// Reverse sweep from adjR, the adjoint of the network output: adds the adjoints of every weight
// and bias into adjnn (the niter runs share the hidden weights), so that one adjnn can gather
// the batches of a thread. The sweep is only read, so several reverse sweeps may share one
// forward sweep.
// The slopes f'(Z) of a plain sweep's pre-activations, for reverse sweeps that share one
// forward sweep: entry i belongs to tape entry i (odd entries only), the last one to Zo.
using Slopes = std::vector<Mat>;

// dZ := the activation's adjoint at Z applied to dA, or slope * dA when the slope is known.
template <class NN, class M>
void activation_adjoint(NN const& nn, M const& Z, M const& dA, Mat const* slope, M& dZ) {
    if constexpr (std::is_same_v<M, Mat>) {
        if (slope) {
            dZ.resize(dA.rows, dA.cols);
            const double* s = ptr(slope->data);
            const double* a = ptr(dA.data);
            double* z = ptr(dZ.data);
            for (std::size_t i = 0, n = dA.size(); i < n; ++i) z[i] = s[i] * a[i];
            return;
        }
    }
    nn.adj_act(Z, dA, dZ);
}

// The slopes of sw for the plain model's activation when it has a cheaper product form than
// its adjoint (softplus: an exp per element saved on every further sweep); false otherwise.
inline bool sweep_slopes(PlainNN const& nn, Sweep<PlainNN> const& sw, Slopes& slopes) {
    if (nn.adj_act != &adj_softplus<Mat, Vec>) return false;
    if (slopes.size() != sw.tape.size() + 1) slopes.resize(sw.tape.size() + 1);
    for (std::size_t i = 1; i < sw.tape.size(); i += 2) softplus_slope_into(sw.tape[i], slopes[i]);
    softplus_slope_into(sw.Zo, slopes.back());
    return true;
}

template <class NN>
void reverse_sweep(NN const& nn, Sweep<NN> const& sw, typename NN::Matrix const& adjR, NN& adjnn,
                   ReverseScratch<NN>& scratch, Slopes const* slopes = nullptr) {
    using M = typename NN::Matrix;
    const uint32_t L = nn.nlayers;
    const uint32_t last = L - 1;
    const std::size_t S = nn.hidden_width();
    const std::size_t R = nn_rows(sw.Zo);

    std::vector<M>& dA = scratch.dA;
    std::vector<M>& dZ = scratch.dZ;
    if (dA.size() != L) dA.resize(L);
    if (dZ.size() != last) dZ.resize(last);
    if (scratch.colsums.size() != L) scratch.colsums.resize(L);

    M& dZo = scratch.dZo;
    activation_adjoint(nn, sw.Zo, adjR, slopes ? &slopes->back() : nullptr, dZo);
    nn_colsum(dZo, scratch.colsums[last]);
    nn_add_into(adjnn.biases[last], scratch.colsums[last]);
    M& dT = scratch.dT;
    nn_mult_nt(dZo, nn.weights[last], dT);
    nn_mult_tn(sw.T, dZo, adjnn.weights[last], true);

    nn_zeros(dA[last], R, S);
    std::size_t top = sw.tape.size();
    for (uint32_t p = nn.niter; p-- > 0;) {
        // The adjoint of run p's output: its band of dT plus what flows back from run p + 1 (the
        // adjoint of that run's input, which has the same width).
        if (p + 1 < nn.niter) std::swap(dA[last], dA[0]);
        nn_add_columns(dT, p * S, dA[last]);
        for (uint32_t l = last; l-- > 0;) {
            M const& Z = sw.tape[top - 1];
            M const& A = sw.tape[top - 2];
            activation_adjoint(nn, Z, dA[l + 1], slopes ? &(*slopes)[top - 1] : nullptr, dZ[l]);
            nn_colsum(dZ[l], scratch.colsums[l]);
            nn_add_into(adjnn.biases[l], scratch.colsums[l]);
            // The adjoint of the network's input is not wanted: skip its product.
            if (p != 0 || l != 0) nn_mult_nt(dZ[l], nn.weights[l], dA[l]);
            nn_mult_tn(A, dZ[l], adjnn.weights[l], true);
            top -= 2;
        }
    }
}

// Storage one thread reuses from batch to batch: allocated by the first batch, it stays with
// the thread for the call instead of being freed and faulted in again per batch.
template <class NN>
struct Workspace {
    Sweep<NN> sweep;
    ReverseScratch<NN> scratch;
    typename NN::Matrix adjR, out;
    Mat Xb, Yb;
};

// Objective of one block of rows with its adjoints, scaled by the seed adjJ, added into adjnn.
// adjR must be R x numout; with adjJ == 0 it holds per-element weights w, and adjnn receives the
// adjoints of sum_i w_i norm_vec_i while out receives the per-element terms; otherwise out
// receives the residual.
template <class NN>
typename NN::SValue adj_computev(NN const& nn, Mat const& X, Mat const& Y, typename NN::SValue const& adjJ,
                                 typename NN::Matrix& adjR, typename NN::Matrix& out, NN& adjnn,
                                 Workspace<NN>* ws = nullptr) {
    using SV = typename NN::SValue;
    std::unique_ptr<Workspace<NN>> own;
    Workspace<NN>& w = ws ? *ws : *(own = std::make_unique<Workspace<NN>>());
    Sweep<NN>& sw = w.sweep;
    forward_sweep(nn, X, Y, sw);
    const double count = static_cast<double>(nn_count(sw.residual));
    SV J = nn.norm_sum(sw.residual);
    J /= count;
    if (scalar_value(adjJ) == 0.0) {
        const auto weights = nn_as_vector(adjR);
        const auto terms = nn.norm_vec(sw.residual);
        nn.adj_norm_vec(sw.residual, weights, adjR);
        nn_assign_values(sw.residual, terms);
    } else {
        SV s = adjJ;
        s /= count;  // the adjoint of the mean
        nn.adj_norm_sum(sw.residual, s, adjR);
    }
    reverse_sweep(nn, sw, adjR, adjnn, w.scratch);
    // A plain residual is handed over; a tangent one is copied, so that the workspace's storage
    // stays where it is and the next call finds it (the copy keeps out's storage).
    if constexpr (std::is_same_v<typename NN::Matrix, Mat>)
        std::swap(out, sw.residual);
    else
        out = sw.residual;
    return J;
}

// What adj_objv keeps from call to call when its caller holds it: per slot an accumulator and a
// workspace, and the slot sums. Reused with the same sizes, a steady call allocates nothing.
template <class NN>
struct ObjvStorage {
    std::vector<NN> acc;
    std::vector<Workspace<NN>> ws;
    std::vector<typename NN::SValue> sums;
};

// Runs body(slot, nslots, accumulator) over nslots slots, each with a private copy of adjnn
// (zero on entry) to add its batches' adjoints into, then adds the accumulators into adjnn in
// slot order, calling finish(slot) after each (for slot sums): the same result whatever team
// runs the slots. The accumulators are acc's first nslots entries.
template <class NN, class Body, class Finish>
void with_slot_adjoints(unsigned nslots, NN& adjnn, std::vector<NN>& acc, Body&& body, Finish&& finish) {
    if (acc.size() < nslots) acc.resize(nslots);
    for (unsigned slot = 0; slot < nslots; ++slot) acc[slot] = adjnn;
    parallel_region(nslots, [&](unsigned slot, unsigned n) { body(slot, n, acc[slot]); });
    for (unsigned slot = 0; slot < nslots; ++slot) {
        do_add(adjnn, acc[slot]);
        finish(slot);
    }
}

// The objective over all rows of X with its adjoints scaled by adjJ, added into adjnn (zero on
// entry when rows run in batches). Rows beyond one batch run in batches on nn.nthreads threads,
// each reading its rows of X and Y into its own workspace; batch b is seeded with
// adjJ * rows_b / R so that every row weighs the same whatever the batch size.
// With store, its storage is used and kept for the next call.
template <class NN>
typename NN::SValue adj_objv(NN const& nn, InputRows const& X, InputRows const& Y, typename NN::SValue adjJ,
                            NN& adjnn, ObjvStorage<NN>* store = nullptr) {
    using SV = typename NN::SValue;
    const uint32_t R = X.rows;
    const uint32_t n = Y.cols;
    std::unique_ptr<ObjvStorage<NN>> own;
    ObjvStorage<NN>& st = store ? *store : *(own = std::make_unique<ObjvStorage<NN>>());
    if (nn.batch >= R) {
        if (st.ws.empty()) st.ws.resize(1);
        Workspace<NN>& w = st.ws[0];
        X.read(0, R, w.Xb);
        Y.read(0, R, w.Yb);
        nn_zeros(w.adjR, R, n);
        return adj_computev(nn, w.Xb, w.Yb, adjJ, w.adjR, w.out, adjnn, &w);
    }
    // The reverse sweep makes two products for each of the forward sweep's.
    const unsigned nslots = region_slots(nn.nthreads, R, nn.batch, 3.0 * forward_row_work(nn));
    const BatchPlan plan(R, nn.batch, nslots);
    const double N = static_cast<double>(R * n);
    SV scaled = adjJ;
    scaled /= N;
    SV total(0.0);
    std::vector<SV>& sums = st.sums;
    if (sums.size() < nslots) sums.resize(nslots);
    for (unsigned slot = 0; slot < nslots; ++slot) sums[slot] = total;
    // Each slot has a second workspace for the short last batch, so that neither changes shape
    // from call to call.
    if (st.ws.size() < 2 * std::size_t(nslots)) st.ws.resize(2 * std::size_t(nslots));
    with_slot_adjoints(
        nslots, adjnn, st.acc,
        [&](unsigned slot, unsigned count, NN& acc) {
            plan.for_thread(slot, count, [&](uint32_t b) {
                const uint32_t rows = plan.rows_of(b);
                Workspace<NN>& w = st.ws[2 * std::size_t(slot) + (rows != plan.size ? 1 : 0)];
                X.read(plan.first_row(b), rows, w.Xb);
                Y.read(plan.first_row(b), rows, w.Yb);
                const SV seed = (scaled * static_cast<double>(rows)) * static_cast<double>(n);
                nn_zeros(w.adjR, rows, n);
                const SV J = adj_computev(nn, w.Xb, w.Yb, seed, w.adjR, w.out, acc, &w);
                sums[slot] += J * static_cast<double>(rows * n);
            });
        },
        [&](unsigned slot) { total += sums[slot]; });
    total /= N;
    return total;
}

template <class NN>
typename NN::SValue adj_objv(NN const& nn, Mat const& X, Mat const& Y, typename NN::SValue adjJ, NN& adjnn) {
    return adj_objv(nn, input_rows(X, "X"), input_rows(Y, "Y"), adjJ, adjnn);
}

}  // namespace veltn
