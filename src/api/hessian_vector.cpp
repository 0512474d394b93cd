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
        const uint32_t used = static_cast<uint32_t>(numel(info.model));
        TangentWorkspace& ws = tangent_workspace(info);

        // Every block gives the same objective and gradient (the values do not depend on the
        // directions); the first one's are written.
        const uint32_t block = block_size(info.model, n, k);
        double t0 = wall_seconds(), t1 = t0;
        for (uint32_t d0 = 0; d0 < k || d0 == 0; d0 += block) {
            const uint32_t c = std::min(block, k - d0);
            const DirectionScope directions(c);
            seeded_parameters_into(w, nw, V, k, d0, c, used, ws.params);
            ws.nn = info.admodel;
            setweights(ws.nn, ws.params);
            if (d0 == 0) t0 = wall_seconds();
            const auto objective = hessian_vector(ws.nn, Xr, Yr, ws.grads, ws.adj, &ws.objv);
            if (d0 == 0) {
                t1 = wall_seconds();
                *J = objective.value;
                copy_parameters_out(ws.grads.value, g, nw);
            }
            write_directions(ws.grads.tangents, d0, c, k, ws.grads.size(), nw, Hv);
            if (c == 0) break;
        }
        trace_objective(*J, t1 - t0);
    });
}
