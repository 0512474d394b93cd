// Exported Hessian-vector product (the algorithm: products/hessian_vector.h).
#include "api/directions.h"
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

        const DirectionScope directions(k);
        const TangentNN nn = seeded_model(info, w, nw, V, k);
        const double t0 = wall_seconds();
        fad1<Vec> G;
        const auto objective = hessian_vector(nn, Xr, Yr, G);
        const double t1 = wall_seconds();
        trace_objective(objective.value, t1 - t0);

        *J = objective.value;
        copy_parameters_out(G.value, g, nw);
        write_directions(G.tangents, k, G.size(), nw, Hv);
    });
}
