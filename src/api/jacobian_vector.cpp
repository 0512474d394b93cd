// Exported Jacobian-vector product.
#include <cstdlib>

#include "api/directions.h"
#include "products/jacobian_vector.h"
#include "veltn.h"

using namespace veltn;

extern "C" VELTN_API int velt_Jv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k,
                                 const double* X, const double* Y, uint32_t n, uint32_t nin, uint32_t nout,
                                 double* res, double* Jv) {
    return call_guarded("velt_Jv", [&] {
        VELTN::VELTNInfo& info = checked_product(handle, nw, n, nin, nout);
        count_product(nw, k, "V");
        count_product(count_product(n, nout, "Jv"), k, "Jv");
        require_array(res, 1, "res");
        require_array(Jv, k, "Jv");
        const Mat Xm = matrix_from(X, n, nin, "X"), Ym = matrix_from(Y, n, nout, "Y");

        const DirectionScope directions(k);
        const TangentNN nn = seeded_model(info, w, nw, V, k);
        const double t0 = wall_seconds();
        fad1<Mat> O;
        resv(nn, Xm, Ym, O);
        const double t1 = wall_seconds();
        if (std::getenv("NN_TRACE")) {
            auto J = nn.norm_sum(O);
            J /= static_cast<double>(O.size());
            trace_objective(J.value, t1 - t0);
        }
        copy_out(O.value.data, res);
        std::valarray<Vec> tangents(k);
        for (uint32_t d = 0; d < k; ++d) tangents[d] = O.tangents[d].data;
        write_directions(tangents, k, O.size(), O.size(), Jv);
    });
}
