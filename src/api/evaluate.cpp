// Exported evaluation functions.
#include "api/arguments.h"
#include "model/forward_pass.h"
#include "veltn.h"

using namespace veltn;

namespace {

// The checks every evaluation with a parameter vector makes on it and on the inputs X.
PlainNN const& checked_model(void* handle, const double* par, uint32_t npar, const double* X, uint32_t R, uint32_t C) {
    PlainNN const& nn = handle_of(handle).model;
    require_params(nn, par, npar, "the parameter vector");
    check_predicates(nn, C);
    require_array(X, count_product(R, C, "X"), "X");
    return nn;
}

// The checks of the targets Y, for the evaluations that take them.
void check_targets(PlainNN const& nn, const double* Y, uint32_t R, uint32_t Cy) {
    require_targets(nn, Cy);
    require_array(Y, count_product(R, Cy, "Y"), "Y");
}

}  // namespace

extern "C" {

VELTN_API int velt_compute(void* handle, const double* par, uint32_t npar, const double* X, uint32_t R, uint32_t C,
                           uint32_t /*unused*/, double* out) {
    return call_guarded("velt_compute", [&] {
        PlainNN const& model = checked_model(handle, par, npar, X, R, C);
        require_array(out, count_product(R, model.numout, "out"), "out");
        if (R == 0) return;
        const PlainNN nn = loaded_model(model, par, npar);
        row_pass(nn, caller_rows(X, R, C, "X"), InputRows{}, RowResult::outputs,
                 [&](uint32_t row0, Mat const& F) { put_rows(out, row0, F); });
    });
}

VELTN_API int velt_residual(void* handle, const double* par, uint32_t npar, const double* X, const double* Y,
                            uint32_t R, uint32_t C, uint32_t Cy, double* out) {
    return call_guarded("velt_residual", [&] {
        PlainNN const& model = checked_model(handle, par, npar, X, R, C);
        check_targets(model, Y, R, Cy);
        require_array(out, count_product(R, Cy, "out"), "out");
        if (R == 0) return;
        const PlainNN nn = loaded_model(model, par, npar);
        row_pass(nn, caller_rows(X, R, C, "X"), caller_rows(Y, R, Cy, "Y"), RowResult::residuals,
                 [&](uint32_t row0, Mat const& F) { put_rows(out, row0, F); });
    });
}

VELTN_API int velt_obj(void* handle, const double* par, uint32_t npar, const double* X, const double* Y, uint32_t R,
                       uint32_t C, uint32_t Cy, double* out) {
    return call_guarded("velt_obj", [&] {
        PlainNN const& model = checked_model(handle, par, npar, X, R, C);
        require_norm(model);
        check_targets(model, Y, R, Cy);
        if (R == 0) fail("no rows: the mean of an empty objective is undefined");
        require_array(out, 1, "out");
        const PlainNN nn = loaded_model(model, par, npar);
        *out = objv(nn, caller_rows(X, R, C, "X"), caller_rows(Y, R, Cy, "Y"));
    });
}

VELTN_API int velt_objv(void* handle, const double* par, uint32_t npar, const double* X, const double* Y, uint32_t R,
                        uint32_t C, uint32_t Cy, double* out) {
    return call_guarded("velt_objv", [&] {
        PlainNN const& model = checked_model(handle, par, npar, X, R, C);
        require_norm(model);
        check_targets(model, Y, R, Cy);
        require_array(out, count_product(R, Cy, "out"), "out");
        if (R == 0) return;
        const PlainNN nn = loaded_model(model, par, npar);
        row_pass(nn, caller_rows(X, R, C, "X"), caller_rows(Y, R, Cy, "Y"), RowResult::terms,
                 [&](uint32_t row0, Mat const& F) { put_rows(out, row0, F); });
    });
}

VELTN_API int velt_norm(void* handle, const double* r, uint32_t rows, uint32_t cols, double* out) {
    return call_guarded("velt_norm", [&] {
        PlainNN const& nn = handle_of(handle).model;
        require_norm(nn);
        const uint32_t n = count_product(rows, cols, "r");
        if (n == 0) fail("no elements: the mean of an empty norm is undefined");
        require_array(r, n, "r");
        require_array(out, 1, "out");
        *out = nn.norm_sum(matrix_from(r, rows, cols, "r")) / static_cast<double>(n);
    });
}

VELTN_API int velt_logp(void* handle, const double* r, uint32_t n, double* out) {
    return call_guarded("velt_logp", [&] {
        PlainNN const& nn = handle_of(handle).model;
        require_norm(nn);
        require_array(r, n, "r");
        require_array(out, n, "out");
        if (n == 0) return;
        copy_out(nn.norm_vec(matrix_from(r, n, 1, "r")), out);
    });
}

}  // extern "C"
