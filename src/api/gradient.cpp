// Exported gradient: the objective and its gradient in the parameter layout.
#include "api/arguments.h"
#include "products/gradient.h"
#include "veltn.h"

using namespace veltn;

extern "C" VELTN_API int velt_g(void* handle, const double* params, uint32_t nparams, const double* X,
                                const double* Y, uint32_t R, uint32_t C, uint32_t nout, double* J, double* grad) {
    return call_guarded("velt_g", [&] {
        PlainNN const& model = handle_of(handle).model;
        require_norm(model);
        require_params(model, params, nparams, "the parameter vector");
        check_predicates(model, C);
        require_targets(model, nout);
        if (R == 0) fail("no rows: the mean of an empty objective is undefined");
        require_array(X, count_product(R, C, "X"), "X");
        require_array(Y, count_product(R, nout, "Y"), "Y");
        require_array(J, 1, "J");
        require_array(grad, 1, "grad");

        const PlainNN nn = loaded_model(model, params, nparams);
        Vec gradient;
        *J = objective_gradient(nn, caller_rows(X, R, C, "X"), caller_rows(Y, R, nout, "Y"), gradient);
        copy_parameters_out(gradient, grad, nparams);
    });
}
