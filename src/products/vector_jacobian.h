// Vector-Jacobian products of the per-element objective terms: the reverse pass seeded with
// caller weights over the terms instead of the objective's adjoint.
#pragma once

#include <cstdint>
#include <vector>

#include "reverse/reverse_pass.h"

// One weight matrix U (n x numout): R receives the terms, B (zero on entry) the adjoints of
// sum_e U_e term_e, added. Rows beyond one batch run in batches on nn.nthreads threads.
template <class NN>
void adj_computev_u(NN const& nn, Mat const& X, Mat const& Y, Mat& R, Mat const& U, NN& B) {
    const uint32_t n = static_cast<uint32_t>(X.rows);
    if (nn.batch >= n) {
        Mat adjR = U;
        adj_computev(nn, X, Y, 0.0, adjR, R, B);
        return;
    }
    const BatchPlan plan(n, nn.batch, nn.nthreads);
    R = Mat(n, Y.cols);
    with_slot_adjoints(
        team_size(nn.nthreads, plan.count), B,
        [&](unsigned slot, unsigned nslots, NN& acc) {
            plan.for_thread(slot, nslots, [&](uint32_t b) {
                const uint32_t row0 = plan.first_row(b), rows = plan.rows_of(b);
                Mat Rb;
                adj_computev_u(nn, copy_rows(X, row0, rows), copy_rows(Y, row0, rows), Rb, copy_rows(U, row0, rows),
                               acc);
                nn_place_rows(R, Rb, row0);
            });
        },
        [](unsigned) {});
}

// m weight matrices at once: one forward sweep over all rows, then the m reverse sweeps on
// nn.nthreads threads; B[j] (zero on entry) receives the adjoints for U[j].
template <class NN>
void adj_computev_vec(NN const& nn, Mat const& X, Mat const& Y, Mat& R, std::vector<Mat> const& U,
                      std::vector<NN>& B) {
    Sweep<NN> sw;
    forward_sweep(nn, X, Y, sw);
    const Mat residual = sw.residual;
    R = residual;
    nn_assign_values(R, nn.norm_vec(residual));
    const uint32_t m = static_cast<uint32_t>(U.size());
    if (m == 0) return;
    const BatchPlan plan(m, 1, nn.nthreads);
    parallel_region(team_size(nn.nthreads, m), [&](unsigned slot, unsigned nslots) {
        ReverseScratch<NN> scratch;
        Mat adjR;
        plan.for_thread(slot, nslots, [&](uint32_t j) {
            adjR = U[j];
            nn.adj_norm_vec(residual, nn_as_vector(U[j]), adjR);
            reverse_sweep(nn, sw, adjR, B[j], scratch);
        });
    });
}
