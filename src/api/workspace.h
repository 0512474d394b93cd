// The calling thread's storage for the tangent products of one handle: the seeded tangent model,
// its adjoints and the passes' buffers, sized by the first call and reused by the next ones, so
// that a steady call (same handle, rows and directions on the same thread) allocates nothing.
// Concurrent calls on one handle each use their own thread's workspace, never a shared one.
// A thread's workspaces are freed when it ends; a handle's are freed on release on the
// releasing thread, and on any other thread at that thread's next product call.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "api/directions.h"
#include "api/handle.h"
#include "forward/tangent_functions.h"
#include "products/gauss_newton.h"
#include "reverse/reverse_pass.h"

namespace veltn {

struct TangentWorkspace {
    TangentNN nn, adj;
    fad1<Vec> params, grads;
    ObjvStorage<TangentNN> objv;
    std::vector<ForwardScratch<TangentNN>> rows;
    // The Gauss-Newton products: the plain model, the gradient, a block's products and the
    // passes' storage.
    PlainNN plain, grad;
    std::vector<PlainNN> products;
    GaussNewtonStore gauss_newton;
};

// The calling thread's workspace for the handle, made on its first use on this thread.
TangentWorkspace& tangent_workspace(VELTN::VELTNInfo const& info);

// Runs body(d0, c) over the k directions of V in blocks of at most `block`: for each, ws.nn is
// the handle's tangent model loaded with w and directions d0 .. d0+c-1 of V (ws.params the
// seeded parameters), under a DirectionScope of c. With k = 0, once with c = 0.
template <class Body>
void for_direction_blocks(VELTN::VELTNInfo const& info, TangentWorkspace& ws, const double* w, uint32_t nw,
                          const double* V, uint32_t k, uint32_t block, Body&& body) {
    const uint32_t used = static_cast<uint32_t>(numel(info.model));
    for (uint32_t d0 = 0; d0 < k || d0 == 0; d0 += block) {
        const uint32_t c = std::min(block, k - d0);
        const DirectionScope directions(c);
        seeded_parameters_into(w, nw, V, k, d0, c, used, ws.params);
        ws.nn = info.admodel;
        setweights(ws.nn, ws.params);
        body(d0, c);
        if (c == 0) break;
    }
}

// A serial for a new handle, which counts as live until handle_released.
uint64_t handle_made();
// Frees the calling thread's workspace of the handle and marks it released for the others.
void handle_released(uint64_t serial);

}  // namespace veltn
