/* veltn_mex: the MEX gateway between the M-files in +veltn and libveltn.
 *
 * Written against the documented C MEX API only, so that the same file builds with Octave
 * (`mkoctfile --mex`) and MATLAB (`mex`). Called as veltn_mex(COMMAND, ...) by veltn.Network;
 * not meant to be called directly.
 *
 * - Handles. A network is named on the M side by a veltn.Network object whose hidden property
 *   Handle holds a random 64-bit token. The gateway keeps a registry of live tokens and accepts
 *   only an object of class veltn.Network whose token is registered, so a released, stale or
 *   forged value (a number, a struct loaded from a MAT-file, an object from before `clear mex`)
 *   is refused with veltn:badHandle and never dereferenced. mexAtExit releases every handle and
 *   restores the library's default message handler, so no callback points into an unloaded file.
 * - Arrays. Arguments are checked (class, complexity, sparsity, shape) before the library is
 *   called; errors name the argument. X and Y are transposed to the row-major layout the library
 *   reads; V, U and every result are in MATLAB's column-major layout and converted according to
 *   the storage-order flag, which is read per call and never changed.
 * - Errors. Every result and scratch array is allocated before the library call, and nothing
 *   between the call and the check of its status raises an error. A status of -1 becomes
 *   veltn:error, -2 veltn:fpe, both with the library's message.
 * - Messages. The library's lines are kept by a handler that only copies them (it runs during the
 *   call and must not call back into the host) and are printed after the call: standard-output
 *   lines with mexPrintf, standard-error lines as warnings veltn:message. A failing call's own
 *   line becomes its error instead. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "mex.h"
#include "veltn.h"

#define CLASS_NAME "veltn.Network"

/* ---- Messages --------------------------------------------------------------------------- */

/* Lines as "<stream digit><text>\0", back to back; a full buffer drops lines and counts them. */
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

/* Prints the kept lines and empties the buffer, leaving out the line equal to `skip` (a failing
 * call's message, which becomes its error). The buffer is emptied before anything is printed:
 * a warning turned into an error (warning('error', 'veltn:message')) leaves no stale lines. */
static void flush_messages(const char* skip) {
    if (messages.nlines == 0 && messages.dropped == 0) return;
    size_t len = messages.len;
    int nlines = messages.nlines, dropped = messages.dropped;
    char* copy = mxMalloc(len ? len : 1);
    if (len) memcpy(copy, messages.text, len);
    messages.len = 0;
    messages.nlines = 0;
    messages.dropped = 0;
    const char* p = copy;
    int skipped = 0;
    for (int i = 0; i < nlines; ++i) {
        const char* line = p + 1;
        p += strlen(p) + 1;
        if (skip && !skipped && strcmp(line, skip) == 0) {
            skipped = 1;
            continue;
        }
        if (line[-1] == '1')
            mexPrintf("%s\n", line);
        else
            mexWarnMsgIdAndTxt("veltn:message", "%s", line);
    }
    if (dropped > 0)
        mexWarnMsgIdAndTxt("veltn:message", "veltn: %d library message line(s) dropped (buffer full)", dropped);
    mxFree(copy);
}

/* ---- Handle registry -------------------------------------------------------------------- */

typedef struct {
    uint64_t token;
    void* handle;
    uint32_t batch; /* rows per batch, set once at creation */
    uint32_t nin;   /* input columns a call takes: min(numin, s_0), as the first layer reads s_0 */
} entry;

static entry* registry;
static size_t nregistry, capregistry;
static uint64_t token_state;
static int initialised;

/* splitmix64: tokens are unpredictable enough that no number typed in names a live handle by
 * accident, and a registry lookup decides, never the value itself. */
static uint64_t next_token(void) {
    for (;;) {
        uint64_t z = (token_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        int used = z == 0;
        for (size_t i = 0; i < nregistry && !used; ++i) used = registry[i].token == z;
        if (!used) return z;
    }
}

static entry* lookup(uint64_t token) {
    for (size_t i = 0; i < nregistry; ++i)
        if (registry[i].token == token) return &registry[i];
    return NULL;
}

/* Removes the token from the registry and returns its handle (NULL if it was not there). */
static void* unregister(uint64_t token) {
    for (size_t i = 0; i < nregistry; ++i)
        if (registry[i].token == token) {
            void* h = registry[i].handle;
            registry[i] = registry[--nregistry];
            return h;
        }
    return NULL;
}

static void at_exit(void) {
    velt_set_message_handler(NULL, NULL);
    for (size_t i = 0; i < nregistry; ++i) releaseVELTNet(registry[i].handle);
    free(registry);
    registry = NULL;
    nregistry = capregistry = 0;
    free(messages.text);
    memset(&messages, 0, sizeof messages);
    initialised = 0;
}

static void initialise(void) {
    if (initialised) return;
    token_state = (uint64_t)time(NULL) * 0x2545F4914F6CDD1Dull ^ (uint64_t)(uintptr_t)&token_state ^
                  ((uint64_t)clock() << 32);
    velt_set_message_handler(collect_message, NULL);
    mexAtExit(at_exit);
    initialised = 1;
}

static const char* const bad_handle_text =
    "the network handle is not valid: it was released (delete, clear mex, clear all) or does not come "
    "from veltn.Network. A network does not survive saving and loading: build it again with "
    "veltn.Network(description)";

/* The registry entry of a veltn.Network object; anything else raises veltn:badHandle. */
static entry* get_entry(const mxArray* obj) {
    entry* h = NULL;
    uint64_t token = 0;
    if (obj && mxIsClass(obj, CLASS_NAME) && mxGetNumberOfElements(obj) == 1) {
        mxArray* t = mxGetProperty(obj, 0, "Handle");
        if (t && mxIsUint64(t) && !mxIsComplex(t) && mxGetNumberOfElements(t) == 1) {
            token = *(const uint64_t*)mxGetData(t);
            h = token ? lookup(token) : NULL;
        }
        if (t) mxDestroyArray(t);
    }
    if (!h) mexErrMsgIdAndTxt("veltn:badHandle", "%s", bad_handle_text);
    return h;
}

/* ---- Argument checks -------------------------------------------------------------------- */

static const char* size_text(const mxArray* a) {
    static char buf[64];
    snprintf(buf, sizeof buf, "%llu x %llu", (unsigned long long)mxGetM(a), (unsigned long long)mxGetN(a));
    return buf;
}

/* The data of an array; for an empty one (whose data pointer MATLAB may give as NULL) a valid
 * address that the library, told of zero values, neither reads nor writes. */
static double empty_slot[1];
static double* data_of(const mxArray* a) {
    double* p = mxGetPr(a);
    return p ? p : empty_slot;
}

/* A real, full, two-dimensional double array, or veltn:badType naming `name`. */
static const double* doubles(const mxArray* a, const char* name) {
    if (!mxIsDouble(a))
        mexErrMsgIdAndTxt("veltn:badType", "%s: expected a real double matrix, got class %s", name,
                          mxGetClassName(a));
    if (mxIsComplex(a)) mexErrMsgIdAndTxt("veltn:badType", "%s: expected a real double matrix, got complex values", name);
    if (mxIsSparse(a)) mexErrMsgIdAndTxt("veltn:badType", "%s: expected a full double matrix, got a sparse one", name);
    if (mxGetNumberOfDimensions(a) != 2)
        mexErrMsgIdAndTxt("veltn:badType", "%s: expected a matrix, got an array of %d dimensions", name,
                          (int)mxGetNumberOfDimensions(a));
    return data_of(a);
}

static void check_count(const char* name, double values, const char* what) {
    if (values >= 4294967296.0)
        mexErrMsgIdAndTxt("veltn:badShape", "%s: %s means %.0f values, the library takes fewer than 2^32", name, what,
                          values);
}

/* dst (rows x cols, row-major) := src (rows x cols, column-major); src itself when they agree. */
static const double* to_rowmajor(const double* src, size_t rows, size_t cols) {
    if (rows <= 1 || cols <= 1) return src;
    double* dst = mxMalloc(rows * cols * sizeof(double));
    for (size_t j = 0; j < cols; ++j)
        for (size_t i = 0; i < rows; ++i) dst[i * cols + j] = src[i + j * rows];
    return dst;
}

/* dst (rows x cols, column-major) := src (rows x cols, row-major) */
static void to_colmajor(double* dst, const double* src, size_t rows, size_t cols) {
    for (size_t i = 0; i < rows; ++i)
        for (size_t j = 0; j < cols; ++j) dst[i + j * rows] = src[i * cols + j];
}

static double* scratch(size_t n) { return mxMalloc((n ? n : 1) * sizeof(double)); }

/* What every evaluation shares: the handle, the parameters and the data, checked and row-major. */
typedef struct {
    void* h;
    uint32_t batch;
    uint32_t nw, nin, nout;
    const double* p;
    const double* X;
    const double* Y;
    uint32_t R, C;
} call_args;

/* prhs: [command, net, p, (extra), X, Y]: `extra` is the index of V or U (0 when absent), `y` the
 * index of Y (0 when absent). */
static call_args unpack(int nrhs, const mxArray* prhs[], int extra, int y, int min_rows) {
    int want = 3 + (extra > 0) + 1 + (y > 0);
    if (nrhs != want) mexErrMsgIdAndTxt("veltn:badArgument", "veltn_mex: expected %d arguments, got %d", want, nrhs);
    call_args a;
    entry* e = get_entry(prhs[1]);
    a.h = e->handle;
    a.batch = e->batch;
    uint64_t nw = velt_numel(a.h);
    a.nw = (uint32_t)nw;
    a.nin = e->nin;
    a.nout = velt_numout(a.h);

    const mxArray* p = prhs[2];
    a.p = doubles(p, "p");
    if (mxGetNumberOfElements(p) != nw || (mxGetM(p) != 1 && mxGetN(p) != 1))
        mexErrMsgIdAndTxt("veltn:badShape", "p: got %s, expected a vector of %llu values (NParams)", size_text(p),
                          (unsigned long long)nw);

    int xi = extra > 0 ? 4 : 3;
    const mxArray* X = prhs[xi];
    const double* x = doubles(X, "X");
    size_t R = mxGetM(X), C = mxGetN(X);
    if (C < 1 || C > a.nin || R < (size_t)min_rows)
        mexErrMsgIdAndTxt("veltn:badShape",
                          "X: got %s, expected R x C with R >= %d and 1 <= C <= %u (row i = sample i, columns = the "
                          "network's inputs)",
                          size_text(X), min_rows, a.nin);
    check_count("X", (double)R * (double)C, "R x C");
    check_count("X", (double)R * (double)a.nout, "R x NOutputs");
    a.R = (uint32_t)R;
    a.C = (uint32_t)C;
    a.Y = NULL;
    if (y > 0) {
        const mxArray* Y = prhs[y];
        const double* yy = doubles(Y, "Y");
        if (mxGetM(Y) != R || mxGetN(Y) != a.nout)
            mexErrMsgIdAndTxt("veltn:badShape", "Y: got %s, expected %llu x %u (one row per row of X, one column per output)",
                              size_text(Y), (unsigned long long)R, a.nout);
        a.Y = to_rowmajor(yy, R, a.nout);
    }
    a.X = to_rowmajor(x, R, C);
    return a;
}

/* V: nw x k, one direction per column. */
static uint32_t directions(const mxArray* V, const call_args* a, int per_term) {
    doubles(V, "V");
    if (mxGetM(V) != a->nw)
        mexErrMsgIdAndTxt("veltn:badShape", "V: got %s, expected %u x k (one direction of NParams values per column)",
                          size_text(V), a->nw);
    size_t k = mxGetN(V);
    check_count("V", (double)a->nw * (double)k, "NParams x k");
    if (per_term) check_count("V", (double)a->R * a->nout * (double)k, "R x NOutputs x k results");
    return (uint32_t)k;
}

/* ---- Library calls ---------------------------------------------------------------------- */

/* Prints the call's lines; a failure becomes veltn:error or veltn:fpe with the library's message. */
static void finish(int status) {
    if (status == 0) {
        flush_messages(NULL);
        return;
    }
    const char* last = velt_last_error();
    size_t n = strlen(last) + 1;
    char* msg = mxMalloc(n);
    memcpy(msg, last, n);
    flush_messages(msg);
    mexErrMsgIdAndTxt(status == VELTN_EFPE ? "veltn:fpe" : "veltn:error", "%s", msg);
}

static int option_count(const mxArray* a, const char* name, double lo, double hi) {
    if (!mxIsDouble(a) || mxIsComplex(a) || mxGetNumberOfElements(a) != 1)
        mexErrMsgIdAndTxt("veltn:badArgument", "%s: expected one whole number from %.0f to %.0f", name, lo, hi);
    double v = mxGetScalar(a);
    if (!(v >= lo && v <= hi) || v != (double)(long long)v)
        mexErrMsgIdAndTxt("veltn:badArgument", "%s: expected one whole number from %.0f to %.0f, got %g", name, lo, hi, v);
    return (int)v;
}

/* [token, nparams, ninputs, noutputs] = veltn_mex('new', description, threads, batch) */
static void cmd_new(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    (void)nlhs;
    if (nrhs != 4) mexErrMsgIdAndTxt("veltn:badArgument", "veltn_mex: expected 4 arguments, got %d", nrhs);
    if (velt_version_number() / 100 != VELTN_VERSION_NUMBER / 100)
        mexErrMsgIdAndTxt("veltn:version", "veltn_mex was built against libveltn %s but loaded libveltn %s: build it again",
                          VELTN_VERSION_STRING, velt_version_string());
    const mxArray* d = prhs[1];
    if (!mxIsChar(d) || mxGetM(d) > 1)
        mexErrMsgIdAndTxt("veltn:badType", "description: expected a character row vector, got class %s", mxGetClassName(d));
    int threads = option_count(prhs[2], "Threads", 1, 99999);
    int batch = option_count(prhs[3], "Batch", 1, 2147483647.0);
    char* text = mxArrayToString(d);
    if (!text) mexErrMsgIdAndTxt("veltn:badType", "description: cannot be read as text");
    /* Room in the registry first, so that a created handle always has a place. */
    if (nregistry == capregistry) {
        size_t cap = capregistry ? 2 * capregistry : 16;
        entry* grown = realloc(registry, cap * sizeof(entry));
        if (!grown) mexErrMsgIdAndTxt("veltn:error", "veltn_mex: out of memory for the handle registry");
        registry = grown;
        capregistry = cap;
    }
    plhs[0] = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
    plhs[1] = mxCreateDoubleScalar(0);
    plhs[2] = mxCreateDoubleScalar(0);
    plhs[3] = mxCreateDoubleScalar(0);
    void* h = initVELTNet(text, (int)strlen(text));
    mxFree(text); /* Octave does not free mxArrayToString's copy on return */
    if (!h) finish(VELTN_EBADARG);
    int status = velt_setpar(h, (uint32_t)threads, batch);
    if (status != 0) {
        releaseVELTNet(h);
        finish(status);
    }
    uint64_t token = next_token();
    registry[nregistry].token = token;
    registry[nregistry].handle = h;
    registry[nregistry].batch = (uint32_t)batch;
    uint32_t s0 = 0, s1 = 0, nin = velt_numin(h);
    if (velt_weights(h, 0, NULL, &s0, &s1) == 0 && s0 < nin) nin = s0;
    registry[nregistry].nin = nin;
    nregistry++;
    *(uint64_t*)mxGetData(plhs[0]) = token;
    *data_of(plhs[1]) = (double)velt_numel(h);
    *data_of(plhs[2]) = (double)nin;
    *data_of(plhs[3]) = (double)velt_numout(h);
    /* The lines of a successful creation are kept for veltn_mex('flush'), which the constructor
     * calls once it holds the token: a warning turned into an error there can still release. */
}

/* veltn_mex('release', net): frees the handle; an unknown one is ignored (delete runs once per
 * copy of the object, and after `clear mex` the registry is empty). */
static void cmd_release(int nrhs, const mxArray* prhs[]) {
    if (nrhs != 2 || !mxIsClass(prhs[1], CLASS_NAME) || mxGetNumberOfElements(prhs[1]) != 1) return;
    mxArray* t = mxGetProperty(prhs[1], 0, "Handle");
    if (t && mxIsUint64(t) && mxGetNumberOfElements(t) == 1) {
        void* h = unregister(*(const uint64_t*)mxGetData(t));
        if (h) releaseVELTNet(h);
    }
    if (t) mxDestroyArray(t);
}

enum { EVAL_OUTPUTS, EVAL_RESIDUALS, EVAL_TERMS };

/* R x nout from velt_compute (p, X), velt_residual or velt_objv (p, X, Y). */
static void cmd_eval(int what, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    call_args a = unpack(nrhs, prhs, 0, what == EVAL_OUTPUTS ? 0 : 4, 0);
    plhs[0] = mxCreateDoubleMatrix(a.R, a.nout, mxREAL);
    double* buf = a.nout == 1 ? data_of(plhs[0]) : scratch((size_t)a.R * a.nout);
    int status;
    if (what == EVAL_OUTPUTS)
        status = velt_compute(a.h, a.p, a.nw, a.X, a.R, a.C, 0, buf);
    else if (what == EVAL_RESIDUALS)
        status = velt_residual(a.h, a.p, a.nw, a.X, a.Y, a.R, a.C, a.nout, buf);
    else
        status = velt_objv(a.h, a.p, a.nw, a.X, a.Y, a.R, a.C, a.nout, buf);
    finish(status);
    if (buf != data_of(plhs[0])) to_colmajor(data_of(plhs[0]), buf, a.R, a.nout);
}

/* J = veltn_mex('objective', net, p, X, Y) */
static void cmd_objective(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    call_args a = unpack(nrhs, prhs, 0, 4, 1);
    plhs[0] = mxCreateDoubleScalar(0);
    finish(velt_obj(a.h, a.p, a.nw, a.X, a.Y, a.R, a.C, a.nout, data_of(plhs[0])));
}

/* [J, g] = veltn_mex('gradient', net, p, X, Y) */
static void cmd_gradient(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    call_args a = unpack(nrhs, prhs, 0, 4, 1);
    plhs[0] = mxCreateDoubleScalar(0);
    plhs[1] = mxCreateDoubleMatrix(a.nw, 1, mxREAL);
    finish(velt_g(a.h, a.p, a.nw, a.X, a.Y, a.R, a.C, a.nout, data_of(plhs[0]), data_of(plhs[1])));
}

enum { PRODUCT_HVP, PRODUCT_HESSIAN, PRODUCT_GNVP };

/* [HV, J, g] = veltn_mex('hvp', net, p, V, X, Y); the full Hessian for 'hessian' (no V);
 * Gauss-Newton products for 'gnvp', in the same layouts. */
static void cmd_hvp(int what, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    int full = what == PRODUCT_HESSIAN;
    call_args a = full ? unpack(nrhs, prhs, 0, 4, 1) : unpack(nrhs, prhs, 3, 5, 1);
    size_t n = a.nw;
    uint32_t k;
    if (full) {
        check_count("the Hessian", (double)n * (double)n, "NParams x NParams");
        k = a.nw;
    } else {
        k = directions(prhs[3], &a, 0);
    }
    int rows = veltn_rowmajor != 0; /* read, never set: the flag is the process's */
    plhs[0] = mxCreateDoubleMatrix(n, k, mxREAL);
    plhs[1] = mxCreateDoubleScalar(0);
    plhs[2] = mxCreateDoubleMatrix(n, 1, mxREAL);
    const double* v;
    if (full) {
        double* id = scratch(n * k);
        memset(id, 0, n * k * sizeof(double));
        for (size_t i = 0; i < n; ++i) id[i * k + i] = 1.0; /* the identity in either layout */
        v = id;
    } else {
        v = rows ? data_of(prhs[3]) : to_rowmajor(data_of(prhs[3]), n, k);
    }
    int same = rows || k <= 1;
    double* hv = same ? data_of(plhs[0]) : scratch(n * k);
    if (what == PRODUCT_GNVP)
        finish(velt_GNv(a.h, a.p, a.nw, v, k, a.X, a.Y, a.R, a.C, a.nout, data_of(plhs[1]), data_of(plhs[2]), hv));
    else
        finish(velt_Hv(a.h, a.p, a.nw, v, k, a.X, a.Y, a.R, a.C, a.nout, data_of(plhs[1]), data_of(plhs[2]), hv));
    if (!same) to_colmajor(data_of(plhs[0]), hv, n, k);
}

/* Copies per-term results of one direction d into column d of an (R*nout) x k column-major
 * matrix, row i + o*R: from the library's term e = i*nout + o, at src[e*stride + d*dstride]. */
static void terms_to_columns(double* dst, const double* src, size_t R, size_t nout, size_t k, size_t stride,
                             size_t dstride) {
    size_t E = R * nout;
    for (size_t d = 0; d < k; ++d)
        for (size_t i = 0; i < R; ++i)
            for (size_t o = 0; o < nout; ++o) dst[i + o * R + d * E] = src[(i * nout + o) * stride + d * dstride];
}

/* [JV, terms] = veltn_mex('jvp', net, p, V, X, Y) */
static void cmd_jvp(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    call_args a = unpack(nrhs, prhs, 3, 5, 1);
    uint32_t k = directions(prhs[3], &a, 1);
    size_t n = a.nw, E = (size_t)a.R * a.nout;
    int rows = veltn_rowmajor != 0;
    plhs[0] = mxCreateDoubleMatrix(E, k, mxREAL);
    plhs[1] = mxCreateDoubleMatrix(a.R, a.nout, mxREAL);
    const double* v = rows ? data_of(prhs[3]) : to_rowmajor(data_of(prhs[3]), n, k);
    int same = a.nout == 1 && (rows || k <= 1);
    double* jv = same ? data_of(plhs[0]) : scratch(E * k);
    double* res = a.nout == 1 ? data_of(plhs[1]) : scratch(E);
    finish(velt_Jv(a.h, a.p, a.nw, v, k, a.X, a.Y, a.R, a.C, a.nout, res, jv));
    if (!same) {
        if (rows)
            terms_to_columns(data_of(plhs[0]), jv, a.R, a.nout, k, 1, E);
        else
            terms_to_columns(data_of(plhs[0]), jv, a.R, a.nout, k, k, 1);
    }
    if (res != data_of(plhs[1])) to_colmajor(data_of(plhs[1]), res, a.R, a.nout);
}

/* [VJ, terms] = veltn_mex('vjp', net, p, U, X, Y): U is R x nout (one weight vector) or
 * (R*nout) x m, rows in the order of terms(:); VJ is nw x m. */
static void cmd_vjp(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    call_args a = unpack(nrhs, prhs, 3, 5, 1);
    const mxArray* U = prhs[3];
    const double* u = doubles(U, "U");
    size_t R = a.R, nout = a.nout, E = R * nout, m = 0;
    if (mxGetM(U) == R && mxGetN(U) == nout)
        m = 1;
    else if (mxGetM(U) == E)
        m = mxGetN(U);
    else
        mexErrMsgIdAndTxt("veltn:badShape",
                          "U: got %s, expected %llu x %u (one weight per term) or %llu x m (rows in the order of "
                          "terms(:))",
                          size_text(U), (unsigned long long)R, a.nout, (unsigned long long)E);
    check_count("U", (double)E * (double)m, "R x NOutputs x m");
    check_count("U", (double)a.nw * (double)m, "NParams x m results");
    plhs[0] = mxCreateDoubleMatrix(a.nw, m, mxREAL);
    plhs[1] = mxCreateDoubleMatrix(R, nout, mxREAL);
    /* Each column of U is an R x nout column-major block; the library reads row-major blocks. */
    const double* ur = u;
    if (nout > 1 && R > 1) {
        double* t = scratch(E * m);
        for (size_t j = 0; j < m; ++j) to_colmajor(t + j * E, u + j * E, nout, R);
        ur = t;
    }
    double* res = nout == 1 ? data_of(plhs[1]) : scratch(E);
    int status;
    if (m == 1)
        status = velt_vJ(a.h, a.p, a.nw, ur, 1, a.X, a.Y, a.R, a.C, a.nout, res, data_of(plhs[0]));
    else
        status = velt_vJ_vec(a.h, a.p, a.nw, ur, (uint32_t)m, a.X, a.Y, a.R, a.C, a.nout, res, data_of(plhs[0]));
    finish(status);
    if (res != data_of(plhs[1])) to_colmajor(data_of(plhs[1]), res, R, nout);
}

/* Rows of X per velt_jacobian call in cmd_jacobian: the library's row-major block is turned
 * into MATLAB's layout through a scratch array of about this many values (at least one batch). */
enum { JACOBIAN_BLOCK_VALUES = 1 << 20 };

/* [JAC, terms] = veltn_mex('jacobian', net, p, X, Y): JAC is (R*nout) x nw, rows in the order of
 * terms(:). Rows are independent, so the rows of X go to the library a block at a time and the
 * scratch does not grow with R; a block is a whole number of the handle's batches, so the
 * library cuts the same batches as in one call over all rows and gives the same bits. */
static void cmd_jacobian(mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    call_args a = unpack(nrhs, prhs, 0, 4, 1);
    size_t R = a.R, nout = a.nout, nw = a.nw, E = R * nout;
    plhs[0] = mxCreateDoubleMatrix(E, nw, mxREAL);
    plhs[1] = mxCreateDoubleMatrix(R, nout, mxREAL);
    size_t per_row = nout * (nw ? nw : 1);
    size_t batch = a.batch ? a.batch : 1;
    size_t block = JACOBIAN_BLOCK_VALUES / per_row / batch * batch;
    if (block < batch) block = batch;
    if (block > R) block = R;
    double* jac = scratch(block * nout * nw);
    double* res = scratch(block * nout);
    double* out = data_of(plhs[0]);
    double* terms = data_of(plhs[1]);
    for (size_t first = 0; first < R; first += block) {
        size_t rows = R - first < block ? R - first : block;
        int status = velt_jacobian(a.h, a.p, a.nw, a.X + first * a.C, a.Y + first * nout, (uint32_t)rows, a.C,
                                   a.nout, res, jac);
        finish(status);
        for (size_t i = 0; i < rows; ++i)
            for (size_t o = 0; o < nout; ++o) {
                size_t row = first + i + o * R; /* row of terms(:) */
                const double* src = jac + (i * nout + o) * nw;
                for (size_t c = 0; c < nw; ++c) out[row + c * E] = src[c];
                terms[first + i + o * R] = res[i * nout + o];
            }
    }
}

/* ---- Entry point ------------------------------------------------------------------------ */

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    initialise();
    char cmd[32];
    if (nrhs < 1 || !mxIsChar(prhs[0]) || mxGetString(prhs[0], cmd, sizeof cmd) != 0)
        mexErrMsgIdAndTxt("veltn:badArgument", "veltn_mex: the first argument must be a command name");
    if (strcmp(cmd, "new") == 0)
        cmd_new(nlhs, plhs, nrhs, prhs);
    else if (strcmp(cmd, "release") == 0)
        cmd_release(nrhs, prhs);
    else if (strcmp(cmd, "outputs") == 0)
        cmd_eval(EVAL_OUTPUTS, plhs, nrhs, prhs);
    else if (strcmp(cmd, "residuals") == 0)
        cmd_eval(EVAL_RESIDUALS, plhs, nrhs, prhs);
    else if (strcmp(cmd, "terms") == 0)
        cmd_eval(EVAL_TERMS, plhs, nrhs, prhs);
    else if (strcmp(cmd, "objective") == 0)
        cmd_objective(plhs, nrhs, prhs);
    else if (strcmp(cmd, "gradient") == 0)
        cmd_gradient(plhs, nrhs, prhs);
    else if (strcmp(cmd, "hvp") == 0)
        cmd_hvp(PRODUCT_HVP, plhs, nrhs, prhs);
    else if (strcmp(cmd, "hessian") == 0)
        cmd_hvp(PRODUCT_HESSIAN, plhs, nrhs, prhs);
    else if (strcmp(cmd, "gnvp") == 0)
        cmd_hvp(PRODUCT_GNVP, plhs, nrhs, prhs);
    else if (strcmp(cmd, "jacobian") == 0)
        cmd_jacobian(plhs, nrhs, prhs);
    else if (strcmp(cmd, "jvp") == 0)
        cmd_jvp(plhs, nrhs, prhs);
    else if (strcmp(cmd, "vjp") == 0)
        cmd_vjp(plhs, nrhs, prhs);
    else if (strcmp(cmd, "flush") == 0)
        flush_messages(NULL);
    else if (strcmp(cmd, "live") == 0)
        plhs[0] = mxCreateDoubleScalar((double)nregistry); /* for the tests: handles held */
    else
        mexErrMsgIdAndTxt("veltn:badArgument", "veltn_mex: unknown command '%s'", cmd);
}
