// Exported vector-Jacobian products (the algorithm: products/vector_jacobian.h).
#include <cstdlib>

#include "api/arguments.h"
#include "api/directions.h"
#include "products/vector_jacobian.h"
#include "veltn.h"

using namespace veltn;

namespace {

// The NN_TRACE line over the terms the call wrote to res (a copy, made only when tracing).
void trace(PlainNN const& nn, const double* res, uint32_t n, uint32_t nout, double seconds) {
    if (!std::getenv("NN_TRACE")) return;
    Mat terms;
    terms.data = std::valarray<double>(res, std::size_t(n) * nout);
    terms.rows = n;
    terms.cols = nout;
    trace_objective(nn.norm_sum(terms) / static_cast<double>(terms.size()), seconds);
}

// velt_vJ and velt_vJ_vec: m weight arrays in U, vJ m x nw.
void checked_vector_jacobian(void* handle, const double* w, uint32_t nw, const double* U, uint32_t m,
                             const double* X, const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res,
                             double* vJ) {
    PlainNN const& model = checked_product(handle, nw, n, nin, nout).model;
    const uint32_t block = count_product(n, nout, "U");
    count_product(m, block, "U");
    require_array(res, 1, "res");
    require_array(vJ, m, "vJ");
    count_product(m, nw, "vJ");
    const PlainNN nn = loaded_model(model, w, nw);
    const double t0 = wall_seconds();
    const std::vector<PlainNN> adj = vector_jacobian(nn, caller_rows(X, n, nin, "X"), caller_rows(Y, n, nout, "Y"),
                                                     caller_rows(U, m * n, nout, "U"), m, res);
    const double t1 = wall_seconds();
    trace(nn, res, n, nout, t1 - t0);
    for (uint32_t j = 0; j < m; ++j) copy_parameters_out(getweights(adj[j]), vJ + std::size_t(j) * nw, nw);
}

}  // namespace

extern "C" {

VELTN_API int velt_vJ(void* handle, const double* w, uint32_t nw, const double* U, uint32_t /*k*/, const double* X,
                      const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res, double* vJ) {
    return call_guarded("velt_vJ",
                        [&] { checked_vector_jacobian(handle, w, nw, U, 1, X, Y, n, nin, nout, res, vJ); });
}

VELTN_API int velt_vJ_vec(void* handle, const double* w, uint32_t nw, const double* U, uint32_t m, const double* X,
                          const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res, double* vJ) {
    return call_guarded("velt_vJ_vec",
                        [&] { checked_vector_jacobian(handle, w, nw, U, m, X, Y, n, nin, nout, res, vJ); });
}

}  // extern "C"
