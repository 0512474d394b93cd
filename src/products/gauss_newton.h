// Generalised Gauss-Newton products G v = J^T diag(phi''(r)) J v / (n nout), with J the
// Jacobian of the network outputs: one forward sweep over the tangent model gives the
// residuals and their tangents J v_d; the tangents scaled by phi''(r) seed k reverse sweeps over
// the plain model, which share that forward sweep's values with the gradient's reverse sweep.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "forward/tangent_functions.h"
#include "forward/tangent_ops.h"
#include "reverse/reverse_pass.h"

namespace veltn {

// The tangent layer's containers are read here only, through these two.
inline void value_part(fad1<Mat> const& m, Mat& out) { out = m.value; }
// Direction d of m (zeros of the value's shape when m carries fewer directions).
inline const double* tangent_part(fad1<Mat> const& m, std::size_t d) {
    return d < m.ndir() && m.tangents[d].size() == m.value.size() ? ptr(m.tangents[d].data) : nullptr;
}

// The plain sweep held in the values of a tangent sweep.
inline void plain_sweep(Sweep<TangentNN> const& t, Sweep<PlainNN>& p) {
    if (p.tape.size() != t.tape.size()) p.tape.resize(t.tape.size());
    for (std::size_t i = 0; i < t.tape.size(); ++i) value_part(t.tape[i], p.tape[i]);
    value_part(t.T, p.T);
    value_part(t.Zo, p.Zo);
    value_part(t.residual, p.residual);
    value_part(t.last, p.last);
}

// What one slot keeps from batch to batch (two per slot in GaussNewtonStore: one for full
// batches, one for the short last batch, so that neither changes shape).
struct GaussNewtonScratch {
    Sweep<TangentNN> tsw;
    Workspace<PlainNN> w;
    Slopes slopes;
    Vec weights, curvature;
};

// The storage of gauss_newton_rows, kept by a caller for its next call.
struct GaussNewtonStore {
    std::vector<GaussNewtonScratch> slots;
    std::vector<PlainNN> acc;
    std::vector<double> sums;
};

// Over all rows of X and Y: returns the objective; grad (zero on entry) receives its gradient
// (unless with_gradient is false) and products[d] (zero on entry) G v_d, where tnn carries the k
// directions v_d and nn the same parameters without them. Rows run in batches on nn.nthreads
// threads; each slot's accumulators are added in slot order, so the result does not depend on
// the team. A direction's product does not depend on the other directions. With store, the
// storage comes from it and stays there for the next call.
inline double gauss_newton_rows(TangentNN const& tnn, PlainNN const& nn, InputRows const& X, InputRows const& Y,
                                uint32_t k, PlainNN& grad, std::vector<PlainNN>& products,
                                bool with_gradient = true, GaussNewtonStore* store = nullptr) {
    const uint32_t n = X.rows, nout = Y.cols;
    const double N = double(n) * double(nout);
    const uint32_t batch = std::min<uint32_t>(nn.batch, n);
    const double work = forward_row_work(tnn) + 2.0 * (k + 1.0) * forward_row_work(nn);
    const unsigned nslots = region_slots(nn.nthreads, n, batch, work);
    const BatchPlan plan(n, batch, nslots);
    const std::size_t per = std::size_t(k) + 1;
    GaussNewtonStore own;
    GaussNewtonStore& st = store ? *store : own;
    // With one slot the batches add straight into the results.
    std::vector<PlainNN>& acc = st.acc;
    if (nslots > 1) {
        if (acc.size() < nslots * per) acc.resize(nslots * per, grad);
        for (std::size_t j = 0; j < nslots * per; ++j) acc[j] = grad;
    }
    std::vector<double>& sums = st.sums;
    sums.assign(nslots, 0.0);
    if (st.slots.size() < 2 * std::size_t(nslots)) st.slots.resize(2 * std::size_t(nslots));
    parallel_region(nslots, [&](unsigned slot, unsigned count) {
        auto into = [&](std::size_t j) -> PlainNN& {
            if (nslots > 1) return acc[slot * per + j];
            return j == 0 ? grad : products[j - 1];
        };
        plan.for_thread(slot, count, [&](uint32_t b) {
            const uint32_t row0 = plan.first_row(b), rows = plan.rows_of(b);
            GaussNewtonScratch& gs = st.slots[2 * std::size_t(slot) + (rows != plan.size ? 1 : 0)];
            Sweep<TangentNN>& tsw = gs.tsw;
            Workspace<PlainNN>& w = gs.w;
            Slopes& slopes = gs.slopes;
            Vec &weights = gs.weights, &curvature = gs.curvature;
            X.read(row0, rows, w.Xb);
            Y.read(row0, rows, w.Yb);
            forward_sweep(tnn, w.Xb, w.Yb, tsw);
            Sweep<PlainNN>& sw = w.sweep;
            plain_sweep(tsw, sw);
            const std::size_t count_e = sw.residual.size();
            sums[slot] += nn.norm_sum(sw.residual);
            const bool shared = k > 0 && sweep_slopes(nn, sw, slopes);
            w.adjR.resize(rows, nout);
            if (with_gradient) {
                // The terms' adjoints weighted by 1 / N, the adjoint of the mean.
                weights.resize(count_e);
                weights = 1.0 / N;
                nn.adj_norm_vec(sw.residual, weights, w.adjR);
                reverse_sweep(nn, sw, w.adjR, into(0), w.scratch, shared ? &slopes : nullptr);
            }
            if (k == 0) return;
            curvature.resize(count_e);
            nn.norm_curvature(ptr(sw.residual.data), ptr(curvature), count_e);
            curvature /= N;
            for (uint32_t d = 0; d < k; ++d) {
                const double* t = tangent_part(tsw.residual, d);
                double* a = ptr(w.adjR.data);
                for (std::size_t e = 0; e < count_e; ++e) a[e] = t ? curvature[e] * t[e] : 0.0;
                reverse_sweep(nn, sw, w.adjR, into(d + 1), w.scratch, shared ? &slopes : nullptr);
            }
        });
    });
    double total = sums[0];
    for (unsigned slot = 1; slot < nslots; ++slot) total += sums[slot];
    if (nslots > 1)
        for (unsigned slot = 0; slot < nslots; ++slot)
            for (std::size_t j = 0; j < per; ++j) do_add(j == 0 ? grad : products[j - 1], acc[slot * per + j]);
    return total / N;
}

}  // namespace veltn
