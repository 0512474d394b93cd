// Vector-Jacobian products of the per-element objective terms: the reverse pass seeded with
// caller weights over the terms instead of the objective's adjoint.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "reverse/reverse_pass.h"

namespace veltn {

// m weight arrays U_j of n x numout values each, one after the other (U has m * n rows): res
// (n x numout, row-major) receives the per-element terms and B[j] (zero on entry) the adjoints
// of sum_e U_je term_e. Rows run in batches on nn.nthreads threads; a batch makes one forward
// sweep and the m reverse sweeps from it, so that a thread keeps one batch's sweep and m
// accumulators whatever the row count; the sweeps share the activation's slopes. The slots'
// accumulators are added in slot order.
inline void adj_computev_vec(PlainNN const& nn, InputRows const& X, InputRows const& Y, InputRows const& U, uint32_t m,
                             double* res, std::vector<PlainNN>& B) {
    const uint32_t n = X.rows;
    const uint32_t nout = Y.cols;
    const uint32_t batch = std::min<uint32_t>(nn.batch, n);
    // The m reverse sweeps are m sets of small BLAS calls, not larger ones: a second thread pays
    // only where a single sweep's work does (BLAS calls from two threads at once contend for
    // the BLAS's buffer lock, which costs more than it saves on small layers).
    const unsigned nslots = region_slots(nn.nthreads, n, batch, 3.0 * forward_row_work(nn));
    const BatchPlan plan(n, batch, nslots);
    // With one slot the batches add straight into B.
    std::vector<PlainNN> acc(nslots > 1 && m ? std::size_t(nslots) * m : 0, m ? B[0] : nn);
    parallel_region(nslots, [&](unsigned slot, unsigned count) {
        Workspace<PlainNN> w;
        Vec weights;
        Slopes slopes;
        plan.for_thread(slot, count, [&](uint32_t b) {
            const uint32_t row0 = plan.first_row(b), rows = plan.rows_of(b);
            X.read(row0, rows, w.Xb);
            Y.read(row0, rows, w.Yb);
            forward_sweep(nn, w.Xb, w.Yb, w.sweep);
            const bool shared = m > 1 && sweep_slopes(nn, w.sweep, slopes);
            for (uint32_t j = 0; j < m; ++j) {
                U.read(j * n + row0, rows, w.adjR);
                weights = w.adjR.data;
                nn.adj_norm_vec(w.sweep.residual, weights, w.adjR);
                PlainNN& into = nslots > 1 ? acc[std::size_t(slot) * m + j] : B[j];
                reverse_sweep(nn, w.sweep, w.adjR, into, w.scratch, shared ? &slopes : nullptr);
            }
            const Vec terms = nn.norm_vec(w.sweep.residual);
            std::copy_n(ptr(terms), terms.size(), res + std::size_t(row0) * nout);
        });
    });
    if (nslots > 1)
        for (unsigned slot = 0; slot < nslots; ++slot)
            for (uint32_t j = 0; j < m; ++j) do_add(B[j], acc[std::size_t(slot) * m + j]);
}

// The products of velt_vJ and velt_vJ_vec: res receives the per-element terms of nn over the rows
// X with targets Y, and the result holds, for each of the m weight arrays of U, the adjoint model
// whose parameters (getweights) are that array's vector-Jacobian product.
std::vector<PlainNN> vector_jacobian(PlainNN const& nn, InputRows const& X, InputRows const& Y, InputRows const& U,
                                     uint32_t m, double* res);

}  // namespace veltn
