// Exported Hessian-vector product (the algorithm: products/hessian_vector.h); this file checks
// the arguments and runs the caller's directions in blocks through the thread's workspace.
#include <algorithm>

#include "api/directions.h"
#include "api/workspace.h"
#include "products/hessian_vector.h"
#include "veltn.h"

using namespace veltn;

extern "C" VELTN_API int velt_Hv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k,
                                 const double* X, const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* J,
                                 double* g, double* Hv) {
    return call_guarded("velt_Hv", [&] {
        VELTN::VELTNInfo& info = checked_product(handle, nw, n, nin, nout);
        count_product(nw, k, "V");
        require_array(J, 1, "J");
        require_array(g, 1, "g");
        require_array(Hv, k, "Hv");
        const InputRows Xr = caller_rows(X, n, nin, "X"), Yr = caller_rows(Y, n, nout, "Y");
        TangentWorkspace& ws = tangent_workspace(info);

        // Every block gives the same objective and gradient (the values do not depend on the
        // directions); the first one's are written.
        double t0 = wall_seconds(), t1 = t0;
        for_direction_blocks(info, ws, w, nw, V, k, block_size(info.model, n, k), [&](uint32_t d0, uint32_t c) {
            if (d0 == 0) t0 = wall_seconds();
            const auto objective = hessian_vector(ws.nn, Xr, Yr, ws.grads, ws.adj, &ws.objv);
            if (d0 == 0) {
                t1 = wall_seconds();
                *J = objective.value;
                copy_parameters_out(ws.grads.value, g, nw);
            }
            write_directions(ws.grads.tangents, d0, c, k, ws.grads.size(), nw, Hv);
        });
        trace_objective(*J, t1 - t0);
    });
}
