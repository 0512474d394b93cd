// Exported whole Jacobian of the per-element terms, and the Gauss-Newton products.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/directions.h"
#include "model/description.h"
#include "products/gauss_newton.h"
#include "products/jacobian.h"
#include "veltn.h"

using namespace veltn;

namespace {

// Refuses an output of rows x cols doubles that does not fit in the machine's memory (it may
// hold more than 2^32 values).
void require_fits_in_memory(uint64_t rows, uint64_t cols, const char* name) {
    const uint64_t limit = description_memory_limit();
    const bool overflow = rows != 0 && cols > UINT64_MAX / 8 / rows;
    const uint64_t bytes = overflow ? UINT64_MAX : rows * cols * 8;
    if (overflow || bytes > limit || bytes > SIZE_MAX)
        fail(std::string(name) + " needs " + std::to_string(bytes) + " bytes, more than the " + std::to_string(limit) +
             " bytes of memory");
}

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
        if (std::getenv("NN_TRACE")) {
            Mat R;
            R.data = std::valarray<double>(res, terms);
            R.rows = n;
            R.cols = nout;
            trace_objective(nn.norm_sum(R) / static_cast<double>(terms), t1 - t0);
        }
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

        const DirectionScope directions(k);
        const TangentNN tnn = seeded_model(info, w, nw, V, k);
        const PlainNN nn = loaded_model(info.model, w, nw);
        const double t0 = wall_seconds();
        PlainNN grad = nn;
        zero_parameters(grad);
        std::vector<PlainNN> products(k, grad);
        const double objective = gauss_newton_rows(tnn, nn, Xr, Yr, k, grad, products);
        trace_objective(objective, wall_seconds() - t0);

        *J = objective;
        copy_parameters_out(getweights(grad), g, nw);
        std::valarray<Vec> directions_out(k);
        for (uint32_t d = 0; d < k; ++d) directions_out[d] = getweights(products[d]);
        write_directions(directions_out, k, numel(nn), nw, GNv);
    });
}
