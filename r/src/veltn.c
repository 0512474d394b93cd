/* R interface to libveltn through .Call.
 *
 * Conventions between this file and R/veltn.R:
 * - X and Y arrive already row-major (R passes t(X) and t(Y)) with their row and column counts;
 *   every other array (V, U and all results) is in R's own column-major layout, and this file
 *   converts it to and from the layout the library and the storage-order flag ask for.
 * - Every result array and scratch buffer is allocated before the library is called, so nothing
 *   here can raise an R error (a longjmp) while a library call is on the stack or between the
 *   call and the moment its status is returned.
 * - A call returns list(status, error, ...): R turns a non-zero status into a condition.
 * - Lines the library writes during a call are kept in a C buffer by the message handler (which
 *   must not call R) and taken by R with C_take_messages once the call has returned. */
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <R.h>
#include <Rinternals.h>
#include <R_ext/Rdynload.h>

#include "veltn.h"

/* ---- Messages --------------------------------------------------------------------------- */

/* Lines as "<stream digit><text>\0", back to back. A full buffer drops lines and counts them. */
static struct {
    char* text;
    size_t len, cap;
    int nlines, dropped;
} messages;

enum { MESSAGE_BUFFER_MAX = 1 << 20 };

static void collect_message(void* user, int stream, const char* line) {
    (void)user;
    size_t n = strlen(line) + 2;
    if (messages.len + n > messages.cap) {
        size_t cap = messages.cap ? messages.cap : 256;
        while (cap < messages.len + n) cap *= 2;
        char* grown = cap <= MESSAGE_BUFFER_MAX ? realloc(messages.text, cap) : NULL;
        if (!grown) {
            messages.dropped++;
            return;
        }
        messages.text = grown;
        messages.cap = cap;
    }
    messages.text[messages.len] = stream == 1 ? '1' : '2';
    memcpy(messages.text + messages.len + 1, line, n - 1);
    messages.len += n;
    messages.nlines++;
}

/* The buffered lines as a character vector with an integer attribute "stream" (1 or 2); empties
 * the buffer. A last line reports dropped lines, if any. */
static SEXP C_take_messages(void) {
    int n = messages.nlines + (messages.dropped > 0);
    SEXP lines = PROTECT(allocVector(STRSXP, n));
    SEXP streams = PROTECT(allocVector(INTSXP, n));
    const char* p = messages.text;
    for (int i = 0; i < messages.nlines; ++i) {
        INTEGER(streams)[i] = p[0] == '1' ? 1 : 2;
        SET_STRING_ELT(lines, i, mkCharCE(p + 1, CE_UTF8));
        p += strlen(p) + 1;
    }
    if (messages.dropped > 0) {
        char note[96];
        snprintf(note, sizeof note, "veltn: %d library message line(s) dropped (buffer full)", messages.dropped);
        INTEGER(streams)[n - 1] = 2;
        SET_STRING_ELT(lines, n - 1, mkChar(note));
    }
    setAttrib(lines, install("stream"), streams);
    messages.len = 0;
    messages.nlines = 0;
    messages.dropped = 0;
    UNPROTECT(2);
    return lines;
}

/* ---- Handles ---------------------------------------------------------------------------- */

static void finalize_network(SEXP ptr) {
    void* handle = R_ExternalPtrAddr(ptr);
    if (handle) {
        releaseVELTNet(handle);
        R_ClearExternalPtr(ptr);
    }
}

static void* get_handle(SEXP ptr) {
    if (TYPEOF(ptr) != EXTPTRSXP || !R_ExternalPtrAddr(ptr))
        error("the network handle is not valid (a network does not survive saving and loading: "
              "build it again with veltn_network())");
    return R_ExternalPtrAddr(ptr);
}

/* list(status, error, <names[i] = values[i]>...) */
static SEXP make_result(int status, int n, const char** names, SEXP* values) {
    SEXP out = PROTECT(allocVector(VECSXP, n + 2));
    SEXP nm = PROTECT(allocVector(STRSXP, n + 2));
    SET_VECTOR_ELT(out, 0, ScalarInteger(status));
    SET_STRING_ELT(nm, 0, mkChar("status"));
    SET_VECTOR_ELT(out, 1, mkString(status == 0 ? "" : velt_last_error()));
    SET_STRING_ELT(nm, 1, mkChar("error"));
    for (int i = 0; i < n; ++i) {
        SET_VECTOR_ELT(out, i + 2, values[i]);
        SET_STRING_ELT(nm, i + 2, mkChar(names[i]));
    }
    setAttrib(out, R_NamesSymbol, nm);
    UNPROTECT(2);
    return out;
}


/* The most input columns a call takes: min(numin, s_0), as the first layer reads s_0; R counts
 * columns in int. */
static int input_columns(void* handle) {
    uint32_t n = velt_numin(handle), s0 = 0, cols = 0;
    if (velt_weights(handle, 0, NULL, &s0, &cols) == 0 && s0 < n) n = s0;
    return n > INT_MAX ? INT_MAX : (int)n;
}

static SEXP C_new(SEXP description, SEXP threads, SEXP batch) {
    SEXP ptr = PROTECT(R_MakeExternalPtr(NULL, install("veltn_network"), R_NilValue));
    R_RegisterCFinalizerEx(ptr, finalize_network, TRUE);
    const char* text = CHAR(STRING_ELT(description, 0));
    void* handle = initVELTNet(text, (int)strlen(text));
    int status = handle ? 0 : -1;
    if (handle) {
        R_SetExternalPtrAddr(ptr, handle);
        status = velt_setpar(handle, (uint32_t)asInteger(threads), asInteger(batch));
    }
    SEXP values[4];
    values[0] = ptr;
    values[1] = PROTECT(ScalarReal(handle ? (double)velt_numel(handle) : 0.0));
    values[2] = PROTECT(ScalarInteger(handle ? input_columns(handle) : 0));
    values[3] = PROTECT(ScalarInteger(handle ? (int)velt_numout(handle) : 0));
    const char* names[4] = {"ptr", "n_params", "n_inputs", "n_outputs"};
    SEXP out = make_result(status, 4, names, values);
    UNPROTECT(4);
    return out;
}

/* ---- Layouts ---------------------------------------------------------------------------- */

/* dst (rows x cols, row-major) := src (rows x cols, column-major) */
static void to_rowmajor(double* dst, const double* src, size_t rows, size_t cols) {
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j) dst[i * cols + j] = src[i + j * rows];
}

/* dst (rows x cols, column-major) := src (rows x cols, row-major) */
static void to_colmajor(double* dst, const double* src, size_t rows, size_t cols) {
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j) dst[i + j * rows] = src[i * cols + j];
}

static double* scratch(size_t n) { return (double*)R_alloc(n ? n : 1, sizeof(double)); }

typedef struct {
    void* handle;
    const double* par;
    uint32_t npar;
    const double* X;
    const double* Y;
    uint32_t rows, cols, nout;
} call_args;

/* Unpacks the arguments every evaluation shares; counts were checked in R to fit 32 bits. */
static call_args unpack(SEXP ptr, SEXP par, SEXP xt, SEXP yt, SEXP dims) {
    call_args a;
    a.handle = get_handle(ptr);
    a.par = REAL(par);
    a.npar = (uint32_t)XLENGTH(par);
    a.X = REAL(xt);
    a.Y = isNull(yt) ? NULL : REAL(yt);
    a.rows = (uint32_t)INTEGER(dims)[0];
    a.cols = (uint32_t)INTEGER(dims)[1];
    a.nout = velt_numout(a.handle);
    return a;
}

/* ---- Evaluation ------------------------------------------------------------------------- */

enum { EVAL_OUTPUTS, EVAL_RESIDUALS, EVAL_TERMS };

/* One R x numout matrix from velt_compute, velt_residual or velt_objv. */
static SEXP C_eval(SEXP what, SEXP ptr, SEXP par, SEXP xt, SEXP yt, SEXP dims) {
    call_args a = unpack(ptr, par, xt, yt, dims);
    SEXP value = PROTECT(allocMatrix(REALSXP, (int)a.rows, (int)a.nout));
    double* buf = a.nout == 1 ? REAL(value) : scratch((size_t)a.rows * a.nout);
    int status;
    switch (asInteger(what)) {
    case EVAL_OUTPUTS:
        status = velt_compute(a.handle, a.par, a.npar, a.X, a.rows, a.cols, 0, buf);
        break;
    case EVAL_RESIDUALS:
        status = velt_residual(a.handle, a.par, a.npar, a.X, a.Y, a.rows, a.cols, a.nout, buf);
        break;
    default:
        status = velt_objv(a.handle, a.par, a.npar, a.X, a.Y, a.rows, a.cols, a.nout, buf);
        break;
    }
    if (buf != REAL(value)) to_colmajor(REAL(value), buf, a.rows, a.nout);
    const char* names[1] = {"value"};
    SEXP out = make_result(status, 1, names, &value);
    UNPROTECT(1);
    return out;
}

static SEXP C_objective(SEXP ptr, SEXP par, SEXP xt, SEXP yt, SEXP dims) {
    call_args a = unpack(ptr, par, xt, yt, dims);
    SEXP value = PROTECT(allocVector(REALSXP, 1));
    int status = velt_obj(a.handle, a.par, a.npar, a.X, a.Y, a.rows, a.cols, a.nout, REAL(value));
    const char* names[1] = {"value"};
    SEXP out = make_result(status, 1, names, &value);
    UNPROTECT(1);
    return out;
}

static SEXP C_gradient(SEXP ptr, SEXP par, SEXP xt, SEXP yt, SEXP dims) {
    call_args a = unpack(ptr, par, xt, yt, dims);
    SEXP values[2];
    values[0] = PROTECT(allocVector(REALSXP, 1));
    values[1] = PROTECT(allocVector(REALSXP, a.npar));
    int status = velt_g(a.handle, a.par, a.npar, a.X, a.Y, a.rows, a.cols, a.nout, REAL(values[0]),
                        REAL(values[1]));
    const char* names[2] = {"value", "gradient"};
    SEXP out = make_result(status, 2, names, values);
    UNPROTECT(2);
    return out;
}

/* ---- Derivative products ---------------------------------------------------------------- */

typedef int (*curvature_product)(void*, const double*, uint32_t, const double*, uint32_t, const double*,
                                 const double*, uint32_t, uint32_t, uint32_t, double*, double*, double*);

/* Hessian-vector (velt_Hv) or Gauss-Newton (velt_GNv) products for the k columns of V (npar x k,
 * column-major), or for the identity when V is NULL (the full matrix). The result hv is npar x k,
 * column-major: with the storage-order flag set that is the library's own layout; clear, V and
 * Hv are transposed around the call. The flag is only read, never changed: other code in the
 * process may rely on it. */
static SEXP curvature(curvature_product product, SEXP ptr, SEXP par, SEXP V, SEXP xt, SEXP yt, SEXP dims) {
    call_args a = unpack(ptr, par, xt, yt, dims);
    size_t n = a.npar;
    uint32_t k = isNull(V) ? a.npar : (uint32_t)(XLENGTH(V) / (n ? n : 1));
    int directions_as_rows = veltn_rowmajor != 0;
    SEXP values[3];
    values[0] = PROTECT(allocVector(REALSXP, 1));
    values[1] = PROTECT(allocVector(REALSXP, n));
    values[2] = PROTECT(allocMatrix(REALSXP, (int)n, (int)k));
    const double* v;
    if (isNull(V)) {
        double* id = scratch(n * k);
        memset(id, 0, n * k * sizeof(double));
        for (size_t i = 0; i < n; ++i) id[i * k + i] = 1.0;
        v = id;
    } else if (directions_as_rows || k == 1) {
        v = REAL(V);
    } else {
        double* t = scratch(n * k);
        to_rowmajor(t, REAL(V), n, k);
        v = t;
    }
    int same = directions_as_rows || k == 1;
    double* hv = same ? REAL(values[2]) : scratch(n * k);
    int status = product(a.handle, a.par, a.npar, v, k, a.X, a.Y, a.rows, a.cols, a.nout, REAL(values[0]),
                         REAL(values[1]), hv);
    if (!same) to_colmajor(REAL(values[2]), hv, n, k);
    const char* names[3] = {"value", "gradient", "hv"};
    SEXP out = make_result(status, 3, names, values);
    UNPROTECT(3);
    return out;
}

static SEXP C_hvp(SEXP ptr, SEXP par, SEXP V, SEXP xt, SEXP yt, SEXP dims) {
    return curvature(velt_Hv, ptr, par, V, xt, yt, dims);
}

static SEXP C_gnvp(SEXP ptr, SEXP par, SEXP V, SEXP xt, SEXP yt, SEXP dims) {
    return curvature(velt_GNv, ptr, par, V, xt, yt, dims);
}

/* The Jacobian of the per-element terms, (R * numout) x npar in R's order: term (i, j) is row
 * i + j * R, as in as.vector(terms). The library writes it row-major with term (i, j) in row
 * i * numout + j, so it goes through a scratch copy. R checked both extents to fit an int; the
 * matrix itself may be a long vector. */
static SEXP C_jacobian(SEXP ptr, SEXP par, SEXP xt, SEXP yt, SEXP dims) {
    call_args a = unpack(ptr, par, xt, yt, dims);
    size_t n = a.npar, rows = a.rows, nout = a.nout, e = rows * nout;
    SEXP values[2];
    values[0] = PROTECT(allocMatrix(REALSXP, (int)rows, (int)nout));
    values[1] = PROTECT(allocVector(REALSXP, (R_xlen_t)(e * n)));
    SEXP jdim = PROTECT(allocVector(INTSXP, 2));
    INTEGER(jdim)[0] = (int)e;
    INTEGER(jdim)[1] = (int)n;
    setAttrib(values[1], R_DimSymbol, jdim);
    double* res = scratch(e);
    double* jac = scratch(e * n);
    int status = velt_jacobian(a.handle, a.par, a.npar, a.X, a.Y, a.rows, a.cols, a.nout, res, jac);
    if (status == 0) {
        to_colmajor(REAL(values[0]), res, rows, nout);
        double* out = REAL(values[1]);
        for (size_t i = 0; i < rows; ++i)
            for (size_t j = 0; j < nout; ++j) {
                const double* row = jac + (i * nout + j) * n;
                size_t r = i + j * rows;
                for (size_t c = 0; c < n; ++c) out[r + c * e] = row[c];
            }
    }
    const char* names[2] = {"terms", "jacobian"};
    SEXP out = make_result(status, 2, names, values);
    UNPROTECT(3);
    return out;
}

/* Jacobian-vector products of the per-element terms for the k columns of V (npar x k). jv is an
 * R x numout x k array (column-major); terms is the R x numout matrix of terms. */
static SEXP C_jvp(SEXP ptr, SEXP par, SEXP V, SEXP xt, SEXP yt, SEXP dims) {
    call_args a = unpack(ptr, par, xt, yt, dims);
    size_t n = a.npar, rows = a.rows, nout = a.nout, e = rows * nout;
    uint32_t k = (uint32_t)(XLENGTH(V) / (n ? n : 1));
    int directions_as_rows = veltn_rowmajor != 0;
    SEXP values[2];
    values[0] = PROTECT(allocMatrix(REALSXP, (int)rows, (int)nout));
    values[1] = PROTECT(allocVector(REALSXP, e * k));
    SEXP jdim = PROTECT(allocVector(INTSXP, 3));
    INTEGER(jdim)[0] = (int)rows;
    INTEGER(jdim)[1] = (int)nout;
    INTEGER(jdim)[2] = (int)k;
    setAttrib(values[1], R_DimSymbol, jdim);
    const double* v = REAL(V);
    if (!directions_as_rows && k > 1) {
        double* t = scratch(n * k);
        to_rowmajor(t, REAL(V), n, k);
        v = t;
    }
    double* res = scratch(e);
    double* jv = scratch(e * k);
    int status = velt_Jv(a.handle, a.par, a.npar, v, k, a.X, a.Y, a.rows, a.cols, a.nout, res, jv);
    to_colmajor(REAL(values[0]), res, rows, nout);
    /* term t = i * nout + j of direction d goes to [i + j * rows + d * e] */
    double* out = REAL(values[1]);
    for (size_t d = 0; d < k; ++d)
        for (size_t i = 0; i < rows; ++i)
            for (size_t j = 0; j < nout; ++j) {
                size_t t = i * nout + j;
                out[i + j * rows + d * e] = directions_as_rows ? jv[d * e + t] : jv[t * k + d];
            }
    const char* names[2] = {"terms", "jv"};
    SEXP result = make_result(status, 2, names, values);
    UNPROTECT(3);
    return result;
}

/* Vector-Jacobian products U_b^T J of the per-element terms for the m weight matrices in U
 * (R x numout x m, column-major). vj is npar x m: the library's m x npar row-major block is
 * that matrix in column-major order already. */
static SEXP C_vjp(SEXP ptr, SEXP par, SEXP U, SEXP xt, SEXP yt, SEXP dims) {
    call_args a = unpack(ptr, par, xt, yt, dims);
    size_t n = a.npar, rows = a.rows, nout = a.nout, e = rows * nout;
    uint32_t m = (uint32_t)(XLENGTH(U) / (e ? e : 1));
    SEXP values[2];
    values[0] = PROTECT(allocMatrix(REALSXP, (int)rows, (int)nout));
    values[1] = PROTECT(allocMatrix(REALSXP, (int)n, (int)m));
    double* u = scratch(e * m);
    for (size_t b = 0; b < m; ++b) to_rowmajor(u + b * e, REAL(U) + b * e, rows, nout);
    double* res = scratch(e);
    int status = m == 1 ? velt_vJ(a.handle, a.par, a.npar, u, 1, a.X, a.Y, a.rows, a.cols, a.nout, res,
                                  REAL(values[1]))
                        : velt_vJ_vec(a.handle, a.par, a.npar, u, m, a.X, a.Y, a.rows, a.cols, a.nout, res,
                                      REAL(values[1]));
    to_colmajor(REAL(values[0]), res, rows, nout);
    const char* names[2] = {"terms", "vj"};
    SEXP out = make_result(status, 2, names, values);
    UNPROTECT(2);
    return out;
}

/* ---- Library ---------------------------------------------------------------------------- */

/* c(loaded library version number, header version number the package was built with) */
static SEXP C_version(void) {
    SEXP out = PROTECT(allocVector(INTSXP, 2));
    INTEGER(out)[0] = (int)velt_version_number();
    INTEGER(out)[1] = VELTN_VERSION_NUMBER;
    UNPROTECT(1);
    return out;
}

/* veltn_rowmajor as it is now (read only; the package never sets it). */
static SEXP C_storage_flag(void) { return ScalarInteger(veltn_rowmajor); }

static const R_CallMethodDef call_methods[] = {
    {"C_new", (DL_FUNC)&C_new, 3},
    {"C_eval", (DL_FUNC)&C_eval, 6},
    {"C_objective", (DL_FUNC)&C_objective, 5},
    {"C_gradient", (DL_FUNC)&C_gradient, 5},
    {"C_hvp", (DL_FUNC)&C_hvp, 6},
    {"C_gnvp", (DL_FUNC)&C_gnvp, 6},
    {"C_jacobian", (DL_FUNC)&C_jacobian, 5},
    {"C_jvp", (DL_FUNC)&C_jvp, 6},
    {"C_vjp", (DL_FUNC)&C_vjp, 6},
    {"C_take_messages", (DL_FUNC)&C_take_messages, 0},
    {"C_version", (DL_FUNC)&C_version, 0},
    {"C_storage_flag", (DL_FUNC)&C_storage_flag, 0},
    {NULL, NULL, 0}};

void R_init_veltn(DllInfo* dll) {
    R_registerRoutines(dll, NULL, call_methods, NULL, NULL);
    R_useDynamicSymbols(dll, FALSE);
    R_forceSymbols(dll, TRUE);
    velt_set_message_handler(collect_message, NULL);
}

void R_unload_veltn(DllInfo* dll) {
    (void)dll;
    velt_set_message_handler(NULL, NULL);
    free(messages.text);
    memset(&messages, 0, sizeof messages);
}
