// The calling thread's storage for the tangent products of one handle: the seeded tangent model,
// its adjoints and the passes' buffers, sized by the first call and reused by the next ones, so
// that a steady call (same handle, rows and directions on the same thread) allocates nothing.
// Concurrent calls on one handle each use their own thread's workspace, never a shared one.
// A thread's workspaces are freed when it ends; a handle's are freed on release on the
// releasing thread, and on any other thread at that thread's next product call.
#pragma once

#include <cstdint>
#include <vector>

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

// A serial for a new handle, which counts as live until handle_released.
uint64_t handle_made();
// Frees the calling thread's workspace of the handle and marks it released for the others.
void handle_released(uint64_t serial);

}  // namespace veltn
