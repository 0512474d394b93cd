// The whole Jacobian of the per-element objective terms: one forward sweep per batch of rows,
// then for every output o a reverse sweep seeded with phi'(r) in column o whose weight adjoints
// stay per row. A dense layer's gradient of row i's term is the outer product of row i's layer
// input and row i's adjoint, so each row of the Jacobian is written from the sweeps' per-row
// adjoints straight into the caller's array, never summed over the rows.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "reverse/reverse_pass.h"

namespace veltn {

// What one thread keeps from batch to batch.
struct JacobianScratch {
    Workspace<PlainNN> w;
    Mat slope;  // phi'(r), one per element of the batch
    Slopes act_slopes;
    // adjoints[j]: the adjoint of the pre-activation of hidden layer l in run p (j = p (L-1) + l)
    // for the current seed; the entry after the hidden ones is the output layer's.
    std::vector<Mat> adjoints;
    std::vector<const double*> a, d;
};

// The adjoints of every layer's pre-activation for one seed adjR (rows x numout), over the
// rows of the forward sweep sw, into dz (see JacobianScratch::adjoints). The products are the
// ones of reverse_sweep; only the sums over the rows are left out.
inline void row_adjoints(PlainNN const& nn, Sweep<PlainNN> const& sw, Mat const& adjR, Slopes const* slopes,
                         ReverseScratch<PlainNN>& s, std::vector<Mat>& dz) {
    const uint32_t L = nn.nlayers, last = L - 1;
    const std::size_t S = nn.hidden_width();
    const std::size_t R = sw.Zo.rows;
    const std::size_t hidden = std::size_t(nn.niter) * last;
    if (dz.size() != hidden + 1) dz.resize(hidden + 1);
    if (s.dA.size() != L) s.dA.resize(L);
    std::vector<Mat>& dA = s.dA;

    activation_adjoint(nn, sw.Zo, adjR, slopes ? &slopes->back() : nullptr, dz[hidden]);
    nn_mult_nt(dz[hidden], nn.weights[last], s.dT);
    nn_zeros(dA[last], R, S);
    std::size_t top = sw.tape.size();
    for (uint32_t p = nn.niter; p-- > 0;) {
        if (p + 1 < nn.niter) std::swap(dA[last], dA[0]);
        nn_add_columns(s.dT, p * S, dA[last]);
        for (uint32_t l = last; l-- > 0;) {
            Mat& dZ = dz[top / 2 - 1];
            activation_adjoint(nn, sw.tape[top - 1], dA[l + 1], slopes ? &(*slopes)[top - 1] : nullptr, dZ);
            if (p != 0 || l != 0) nn_mult_nt(dZ, nn.weights[l], dA[l]);
            top -= 2;
        }
    }
}

// out[a * cols + c] := sum over q < np of a_q[a] d_q[c], the terms added in order of q: the
// gradient of one row's term with respect to a layer's weights, summed over the runs that
// share them.
inline void outer_sum(const double* const* a, const double* const* d, std::size_t np, std::size_t rows,
                      std::size_t cols, double* out) {
    for (std::size_t r = 0; r < rows; ++r) {
        double* o = out + r * cols;
        const double a0 = a[0][r];
        const double* d0 = d[0];
        for (std::size_t c = 0; c < cols; ++c) o[c] = a0 * d0[c];
        for (std::size_t q = 1; q < np; ++q) {
            const double aq = a[q][r];
            const double* dq = d[q];
            for (std::size_t c = 0; c < cols; ++c) o[c] += aq * dq[c];
        }
    }
}

// out[c] := sum over q < np of d_q[c], in order of q: the gradient with respect to a bias.
inline void row_sum(const double* const* d, std::size_t np, std::size_t cols, double* out) {
    for (std::size_t c = 0; c < cols; ++c) out[c] = d[0][c];
    for (std::size_t q = 1; q < np; ++q)
        for (std::size_t c = 0; c < cols; ++c) out[c] += d[q][c];
}

// Row i of the batch's rows for one seed: its gradient in the parameter layout (numel values)
// into `row`.
inline void jacobian_row(PlainNN const& nn, Sweep<PlainNN> const& sw, std::vector<Mat> const& dz, std::size_t i,
                         JacobianScratch& js, double* row) {
    const uint32_t L = nn.nlayers, last = L - 1;
    const std::size_t hidden = std::size_t(nn.niter) * last;
    std::size_t k = 0;
    for (uint32_t l = 0; l < last; ++l) {
        const std::size_t in = nn.sizes[l], out = nn.sizes[l + 1];
        js.a.clear();
        js.d.clear();
        for (uint32_t p = 0; p < nn.niter; ++p) {
            const std::size_t j = std::size_t(p) * last + l;
            js.a.push_back(ptr(sw.tape[2 * j].data) + i * in);
            js.d.push_back(ptr(dz[j].data) + i * out);
        }
        row_sum(js.d.data(), nn.niter, out, row + k);
        k += out;
        outer_sum(js.a.data(), js.d.data(), nn.niter, in, out, row + k);
        k += in * out;
    }
    const std::size_t in = sw.T.cols, out = nn.numout;
    const double* a = ptr(sw.T.data) + i * in;
    const double* d = ptr(dz[hidden].data) + i * out;
    row_sum(&d, 1, out, row + k);
    k += out;
    outer_sum(&a, &d, 1, in, out, row + k);
}

// Multiply-adds and stores of one row of the Jacobian call: a forward sweep, nout reverse
// sweeps of two products each, and nout rows of numel values.
inline double jacobian_row_work(PlainNN const& nn) {
    return (1.0 + 2.0 * nn.numout) * forward_row_work(nn) + double(nn.numout) * double(numel(nn));
}

// res (n x numout) := the per-element terms; Jac row e = i numout + o (stride ldj >= numel,
// entries beyond numel zero) := the gradient of term e. Batches of rows run on nn.nthreads
// threads; each batch is computed on its own, so a row's values do not depend on the thread
// count.
// The rows go out with ordinary stores, straight from the per-row products. Streaming
// (non-temporal) stores were measured on M: staging a row and streaming it out was slower, and
// streaming the weight blocks as they are formed was no faster.
inline void jacobian_rows(PlainNN const& nn, InputRows const& X, InputRows const& Y, double* res, double* Jac,
                          std::size_t ldj) {
    const uint32_t n = X.rows, nout = Y.cols;
    const std::size_t np = numel(nn);
    const uint32_t batch = std::min<uint32_t>(nn.batch, n);
    const unsigned nslots = region_slots(nn.nthreads, n, batch, jacobian_row_work(nn));
    const BatchPlan plan(n, batch, nslots);
    parallel_region(nslots, [&](unsigned slot, unsigned count) {
        JacobianScratch js;
        Workspace<PlainNN>& w = js.w;
        plan.for_thread(slot, count, [&](uint32_t b) {
            const uint32_t row0 = plan.first_row(b), rows = plan.rows_of(b);
            X.read(row0, rows, w.Xb);
            Y.read(row0, rows, w.Yb);
            forward_sweep(nn, w.Xb, w.Yb, w.sweep);
            Sweep<PlainNN> const& sw = w.sweep;
            const bool shared = nout > 1 && sweep_slopes(nn, sw, js.act_slopes);
            // phi'(r) of every element: the adjoint of the terms weighted by ones.
            const Vec ones(1.0, sw.residual.size());
            js.slope.resize(rows, nout);
            nn.adj_norm_vec(sw.residual, ones, js.slope);
            // Seed by seed, so that one set of per-row adjoints is kept whatever nout is; each
            // Jacobian row is still one contiguous write.
            for (uint32_t o = 0; o < nout; ++o) {
                nn_zeros(w.adjR, rows, nout);
                for (uint32_t i = 0; i < rows; ++i) w.adjR(i, o) = js.slope(i, o);
                row_adjoints(nn, sw, w.adjR, shared ? &js.act_slopes : nullptr, w.scratch, js.adjoints);
                for (uint32_t i = 0; i < rows; ++i) {
                    double* dst = Jac + (std::size_t(row0 + i) * nout + o) * ldj;
                    jacobian_row(nn, sw, js.adjoints, i, js, dst);
                    std::fill(dst + np, dst + ldj, 0.0);
                }
            }
            const Vec terms = nn.norm_vec(sw.residual);
            std::copy_n(ptr(terms), terms.size(), res + std::size_t(row0) * nout);
        });
    });
}

}  // namespace veltn
