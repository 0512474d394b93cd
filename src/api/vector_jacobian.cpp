// Exported vector-Jacobian products.
#include <cstdlib>

#include "api/arguments.h"
#include "api/directions.h"
#include "products/vector_jacobian.h"
#include "veltn.h"

using namespace veltn;

namespace {

void trace(PlainNN const& nn, Mat const& terms, double seconds) {
    if (!std::getenv("NN_TRACE")) return;
    trace_objective(nn.norm_sum(terms) / static_cast<double>(terms.size()), seconds);
}

}  // namespace

extern "C" {

VELTN_API int velt_vJ(void* handle, const double* w, uint32_t nw, const double* U, uint32_t /*k*/, const double* X,
                      const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res, double* vJ) {
    return call_guarded("velt_vJ", [&] {
        PlainNN const& model = checked_product(handle, nw, n, nin, nout).model;
        require_array(res, 1, "res");
        require_array(vJ, 1, "vJ");
        const PlainNN nn = loaded_model(model, w, nw);
        const Mat Xm = matrix_from(X, n, nin, "X"), Ym = matrix_from(Y, n, nout, "Y"), Um = matrix_from(U, n, nout, "U");
        Mat R(n, nout);
        const double t0 = wall_seconds();
        PlainNN adj = nn;
        zero_parameters(adj);
        adj_computev_u(nn, Xm, Ym, R, Um, adj);
        const double t1 = wall_seconds();
        trace(nn, R, t1 - t0);
        copy_out(R.data, res);
        copy_parameters_out(getweights(adj), vJ, nw);
    });
}

VELTN_API int velt_vJ_vec(void* handle, const double* w, uint32_t nw, const double* U, uint32_t m, const double* X,
                          const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res, double* vJ) {
    return call_guarded("velt_vJ_vec", [&] {
        PlainNN const& model = checked_product(handle, nw, n, nin, nout).model;
        const uint32_t block = count_product(n, nout, "U");
        count_product(m, block, "U");
        require_array(res, 1, "res");
        require_array(vJ, m, "vJ");
        count_product(m, nw, "vJ");
        const PlainNN nn = loaded_model(model, w, nw);
        std::vector<Mat> weights;
        weights.reserve(m);
        for (uint32_t j = 0; j < m; ++j) weights.push_back(matrix_from(U ? U + std::size_t(j) * block : nullptr, n, nout, "U"));
        Mat R;
        const double t0 = wall_seconds();
        PlainNN zero = nn;
        zero_parameters(zero);
        std::vector<PlainNN> adj(m, zero);
        adj_computev_vec(nn, matrix_from(X, n, nin, "X"), matrix_from(Y, n, nout, "Y"), R, weights, adj);
        const double t1 = wall_seconds();
        trace(nn, R, t1 - t0);
        copy_out(R.data, res);
        for (uint32_t j = 0; j < m; ++j) copy_parameters_out(getweights(adj[j]), vJ + std::size_t(j) * nw, nw);
    });
}

}  // extern "C"
