// Exported Hessian-vector product: forward mode over the reverse pass. The reverse pass runs
// over the tangent model whose parameters carry the caller's directions, so the values of the
// parameter adjoints form the gradient and their tangents the products H v_d.
#include "forward/tangent_functions.h"
#include "api/directions.h"
#include "reverse/reverse_pass.h"
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
        TangentNN adj = nn;
        zero_parameters(adj);
        const tanad::FO::Dynamic::Active<1> seed(1.0);
        const auto objective = adj_objv(nn, Xr, Yr, seed, adj);
        const double t1 = wall_seconds();
        trace_objective(objective.value, t1 - t0);

        const fad1<Vec> G = getweights(adj);
        *J = objective.value;
        copy_parameters_out(G.value, g, nw);
        write_directions(G.tangents, k, G.size(), nw, Hv);
    });
}
