// Exported whole Jacobian of the per-element terms, and the Gauss-Newton products.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/directions.h"
#include "api/workspace.h"
#include "model/description.h"
#include "products/gauss_newton.h"
#include "products/jacobian.h"
#include "veltn.h"

using namespace veltn;

namespace {

// Refuses an output of rows x cols doubles that does not fit in the memory this process may use
// (it may hold more than 2^32 values).
void require_fits_in_memory(uint64_t rows, uint64_t cols, const char* name) {
    const MemoryLimit limit = description_memory_cap();
    const bool overflow = rows != 0 && cols > UINT64_MAX / 8 / rows;
    const uint64_t bytes = overflow ? UINT64_MAX : rows * cols * 8;
    if (overflow || bytes > limit.bytes || bytes > SIZE_MAX)
        fail(std::string(name) + " needs " + std::to_string(bytes) + " bytes, more than the " +
             std::to_string(limit.bytes) + " bytes of " + limit.name);
}

// Directions per tangent sweep of velt_GNv: the sweep's tangents take k times the memory of its
// values, so a large k (the identity, for the whole matrix G) runs in blocks of this many.
constexpr uint32_t kDirectionBlock = 64;

}  // namespace

extern "C" VELTN_API int velt_jacobian(void* handle, const double* w, uint32_t nw, const double* X, const double* Y,
                                       uint32_t n, uint32_t nin, uint32_t nout, double* res, double* Jac) {
    return call_guarded("velt_jacobian", [&] {
        VELTN::VELTNInfo& info = checked_product(handle, nw, n, nin, nout);
        const uint32_t terms = count_product(n, nout, "res");
        require_array(res, terms, "res");
        require_array(Jac, terms, "Jac");
        require_fits_in_memory(terms, nw, "Jac");
        const PlainNN nn = loaded_model(info.model, w, nw);
        const double t0 = wall_seconds();
        jacobian_rows(nn, caller_rows(X, n, nin, "X"), caller_rows(Y, n, nout, "Y"), res, Jac, nw);
        const double t1 = wall_seconds();
        trace_terms_objective(nn, res, n, nout, t1 - t0);
    });
}

extern "C" VELTN_API int velt_GNv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k,
                                  const double* X, const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* J,
                                  double* g, double* GNv) {
    return call_guarded("velt_GNv", [&] {
        VELTN::VELTNInfo& info = checked_product(handle, nw, n, nin, nout);
        count_product(nw, k, "V");
        require_array(J, 1, "J");
        require_array(g, 1, "g");
        require_array(GNv, k, "GNv");
        const InputRows Xr = caller_rows(X, n, nin, "X"), Yr = caller_rows(Y, n, nout, "Y");

        TangentWorkspace& ws = tangent_workspace(info);
        const double t0 = wall_seconds();
        ws.grad = info.model;
        zero_parameters(ws.grad);
        double objective = 0;
        // Blocks of directions, each from one tangent sweep; the first also gives the gradient.
        for_direction_blocks(info, ws, w, nw, V, k, kDirectionBlock, [&](uint32_t d0, uint32_t kb) {
            if (d0 == 0) {
                // The plain model holds the same parameters, without the directions.
                ws.plain = info.model;
                setweights(ws.plain, ws.params.value);
            }
            // The products keep the model's shape from call to call (ws.grad is a zero of it).
            if (ws.products.size() < kb) ws.products.resize(kb, ws.grad);
            for (uint32_t d = 0; d < kb; ++d) zero_parameters(ws.products[d]);
            const double J_block =
                gauss_newton_rows(ws.nn, ws.plain, Xr, Yr, kb, ws.grad, ws.products, d0 == 0, &ws.gauss_newton);
            if (d0 == 0) objective = J_block;
            for (uint32_t d = 0; d < kb; ++d) write_direction(ws.products[d], d0 + d, k, nw, GNv);
        });
        trace_objective(objective, wall_seconds() - t0);

        *J = objective;
        write_direction(ws.grad, 0, 1, nw, g);
    });
}
