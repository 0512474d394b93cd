/*
 * veltn.h - libveltn: small dense feed-forward networks with exact derivatives, in float64.
 *
 * A network is built from a one-line description and held behind an opaque handle. Every
 * evaluation and derivative function takes the handle, a flat parameter vector and plain arrays
 * of doubles, and writes its results into arrays the caller owns.
 *
 * ---------------------------------------------------------------------------------------------
 * Description
 *   "numin numout nlayers niter batch  s_0 s_1 ... s_{nlayers-1}  activation  norm"
 *   whitespace-separated (spaces, tabs, line breaks); anything after the norm name is ignored.
 *   Every number is a plain decimal integer from 1 to 4294967295: digits only (no sign,
 *   fraction, exponent or trailing characters). Anything else refuses the description.
 *   numin    input columns the network is declared for. A call takes at most min(numin, s_0)
 *            columns (the first layer reads s_0); a description with numin > s_0 is accepted
 *            with a warning (see initVELTNet)
 *   numout   number of outputs (target columns)
 *   nlayers  number of layers (at least 2): layers 0 .. nlayers-2 form the hidden stack,
 *            layer nlayers-1 is the output layer
 *   niter    runs of the hidden stack; run p+1 is fed the output of run p (so with niter > 1,
 *            s_{nlayers-1} must equal s_0). The output layer reads all niter hidden outputs
 *            side by side.
 *   batch    read but not used: every handle starts with 32 rows per batch (velt_setbatch)
 *   s_l      layer widths; layer l < nlayers-1 maps s_l inputs to s_{l+1} outputs, the output
 *            layer maps niter * s_{nlayers-1} inputs to numout outputs
 *   activation  "id", "relu", "atan", "softplus", "softplus_shifted" (softplus - 1);
 *            "softmax" selects softplus; an unknown name also selects softplus, after a warning
 *   norm     the term phi(r) of each residual r; the objective is the mean of the terms:
 *            "sum"               phi(r) = r: the signed mean residual. It has no minimum
 *                                (an optimiser lowers it without bound); use it for
 *                                products of the outputs, not as an objective to minimise.
 *            "sum_log_dnorm_fat" negative log-likelihood: normal core with sigma 1/3 for
 *                                |r| < 2 (phi = 4.5 r^2), Cauchy tail with scale
 *                                0.0004785973257525766 from |r| = 2 on, shifted so that
 *                                r = 0 costs 0. It JUMPS at |r| = 2: phi falls from about 18
 *                                to about 10.355 and its slope from about 18 to about 1, so it
 *                                is neither continuous nor differentiable there, and a
 *                                Newton-type or trust-region optimiser may stop at a residual
 *                                of exactly +-2. Kept as it is for existing results.
 *            "sum_sq"            phi(r) = r^2 / 2: half the mean squared error, the
 *                                least-squares norm. phi' = r, phi'' = 1.
 *            "sum_pseudo_huber"  phi(r) = sqrt(1 + r^2) - 1 (computed as r^2 / (1 + sqrt(1 +
 *                                r^2)), exact for small r): smooth and convex, like r^2 / 2
 *                                near 0 and like |r| - 1 in the tails, a robust norm without
 *                                a jump. phi' = r / sqrt(1 + r^2), phi'' = (1 + r^2)^(-3/2).
 *            The smooth pair suits Newton-type optimisers (velt_g with velt_Hv). An unknown
 *            norm name gives a handle without a norm (see initVELTNet).
 *   Every layer, the output layer included, applies the activation.
 *
 * Parameter vector (length velt_numel)
 *   For each layer l = 0 .. nlayers-1 in order: its bias (one entry per output unit), then its
 *   weight matrix row-major (row = input unit, column = output unit). Every gradient and
 *   derivative product uses this layout.
 *   Example "3 1 3 1 16 3 8 8 softplus sum": 113 parameters; 0-7 bias 0, 8-31 weights 0 (3x8),
 *   32-39 bias 1, 40-103 weights 1 (8x8), 104 bias 2, 105-112 weights 2 (8x1).
 *
 * Arrays
 *   X is R x C (R rows = samples, C <= min(numin, s_0) input columns; missing columns read as
 *   zeros), Y is R x numout, both row-major: element (i, j) at [i*C + j]. Counts are 32-bit
 *   unsigned; every array must hold the number of values stated. A function refuses (-1) an array it
 *   reads or writes whose element count reaches 2^32, and no other: velt_Hv, which keeps k * nw
 *   values, accepts any n * nout * k; velt_Jv, which writes k * n * nout, does not. The one
 *   exception is Jac of velt_jacobian, (n * nout) x nw values, which may legitimately hold 2^32
 *   values or more (only n * nout must stay below 2^32); it is refused (-1) only when its bytes
 *   exceed the memory the process may use (the limit initVELTNet applies, see there).
 *   The caller owns every array. The library never writes to an input; it copies X, Y and U a
 *   batch of rows at a time into the storage of the thread that runs the batch (so its memory
 *   does not grow with R), and keeps no pointer after a call returns. An input must therefore
 *   not change while a call reads it.
 *   velt_Hv, velt_Jv and velt_GNv keep their working storage in the calling thread, one
 *   workspace per handle, and reuse it: a call on the same thread with the same handle, rows and
 *   number of directions as the one before allocates no memory. Each carries at most 64
 *   directions at a time (more run in blocks of equal size), so beyond its output its memory
 *   does not grow with k. A thread's workspaces are freed when it ends; releaseVELTNet frees the
 *   releasing thread's workspace of that handle at once and the other threads' at their next
 *   velt_Hv, velt_Jv or velt_GNv call.
 *
 * Objective
 *   J = mean over all R * numout residual elements (prediction minus target) of the norm.
 *
 * Return values
 *   0   success
 *   -1  bad argument or unusable handle (null handle, a handle whose norm name was unknown for
 *       a function that needs the norm, a count that does not match the network, a null array
 *       where the count says there are values, too many input columns, out of memory). One line
 *       goes out through the message path (standard error unless the host set a handler, see
 *       velt_set_message_handler) and nothing is written to the outputs.
 *   -2  a floating-point event (invalid operation, division by zero or overflow) was raised
 *       during the call, in the calling thread or in a worker thread: one line, naming the
 *       function and the event, through the message path. Outputs may have been partly written.
 *   Every call computes in round-to-nearest with all traps off, whatever the caller's mode, so
 *   results do not depend on it. In every case the caller's floating-point environment (trap
 *   mask, sticky flags, rounding mode) is as it was before the call, and no C++ exception,
 *   exit or signal leaves the library. The BLAS thread count (process-wide in OpenBLAS) is 1
 *   while any call runs: the first of overlapping calls saves it and the last to return puts
 *   it back, so once no call runs it is as it was before them. velt_last_error() returns
 *   the message of the last failure on the calling thread.
 *
 * Threads
 *   No process-wide state steers a call's arithmetic: the number of directions of velt_Hv,
 *   velt_Jv and velt_GNv belongs to the call. Guaranteed, from any number of threads:
 *   - any calls on distinct handles at once, with any number of directions each;
 *   - initVELTNet and releaseVELTNet of one handle while other handles are in use;
 *   - concurrent calls on one handle that only read it (every evaluation and product);
 *   - any call from inside a caller's OpenMP region, nested or not, whatever the handle's thread
 *     count, with the same results as outside it.
 *   One handle must not be changed (velt_setweights, velt_setbatch, velt_setpar) or released
 *   while a call uses it. Rows are cut into batches that run on the handle's OpenMP threads
 *   (velt_setpar); the BLAS runs single-threaded during a call. The batches are divided into
 *   as many parts as the handle has threads and the parts are summed in a fixed order, so a
 *   call returns the same bits every time, whatever team the OpenMP runtime grants (inside a
 *   caller's region the library's own region usually gets one thread). Results with different
 *   thread counts or batch sizes agree up to rounding. The BLAS thread count and the
 *   storage-order flag are process-wide: change them only while no call runs. The message
 *   handler may be changed at any time (see velt_set_message_handler).
 * ---------------------------------------------------------------------------------------------
 */
#ifndef VELTN_H
#define VELTN_H

#include <stddef.h>
#include <stdint.h>

#if defined(VELTN_BUILDING_LIBRARY)
#define VELTN_API __attribute__((visibility("default")))
#else
#define VELTN_API
#endif

#include "veltn_version.h" /* VELTN_VERSION_MAJOR, _MINOR, _PATCH, _NUMBER, _STRING */

#define VELTN_OK 0
#define VELTN_EBADARG (-1)
#define VELTN_EFPE (-2)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Library ---------------------------------------------------------------------------- */

/* VELTN_VERSION_NUMBER of the loaded library; compare with the macro to detect a mismatched
 * shared library. Thread-safe. */
VELTN_API unsigned velt_version_number(void);
/* VELTN_VERSION_STRING of the loaded library; a static string. Thread-safe. */
VELTN_API const char* velt_version_string(void);
/* Message of the last failed call made on the calling thread (the same text as the line on
 * standard error, without the line break), or "" if none failed yet. The string belongs to
 * the library and stays valid until the next failing call on the same thread. */
VELTN_API const char* velt_last_error(void);

/* Messages. Every line the library writes (failure lines, warnings of the description
 * parser, the INFO build line, NN_TRACE lines, the forward-mode layer's default error output)
 * goes through one function. With no handler set, it is written to standard output (stream 1)
 * or standard error (stream 2), one line per write.
 * fn receives `user`, the stream (1 for a line that would go to standard output, 2 for standard
 * error) and the line without its trailing newline; the line is valid only during the call.
 * fn == NULL restores the default. The handler is process-wide.
 * The library calls fn only on the thread that made the call (lines raised on its worker
 * threads are passed on by the calling thread before the call returns), so fn need not be
 * thread-safe unless the host makes calls from several threads at once. fn must not throw or
 * longjmp.
 * Changing the handler (to another or to NULL) may happen while calls run, and is a barrier:
 * when velt_set_message_handler returns, no call of an earlier handler is still running or
 * will start, so the host may then free the old `user`; later lines go to the new handler.
 * It waits for those calls without holding any lock, so fn may call library functions (their
 * lines reach fn again, on the same thread) and may change the handler itself: a change made
 * from inside fn takes effect at once but does not wait (it would wait for itself). The host
 * must not change the handler while holding a lock that fn takes. */
typedef void (*velt_message_fn)(void* user, int stream, const char* line);
VELTN_API void velt_set_message_handler(velt_message_fn fn, void* user);

/* Writes `line` (no trailing newline; NULL is ignored) to `stream` (1 or 2) through the same
 * path: for layers built on this library, such as the MPI layer, so that one handler captures
 * their lines too. Thread-safe; on the calling thread. */
VELTN_API void velt_message(int stream, const char* line);

/* ---- Lifecycle -------------------------------------------------------------------------- */

/* Parses the description (exactly `length` bytes of `text`, which need not end in a NUL) and
 * returns a new handle with batch size 32 and 1 thread, weights and biases all zero.
 * Returns NULL, after one line on standard error, when text is NULL or length is negative
 * ("initVELTNet: ..."), or when the description is refused. A refused description's line starts
 * with "Error: invalid network data: " and says which field is wrong and what it holds, e.g.
 *   Error: invalid network data: field 1 (numin): "-3" is not a non-negative integer
 * Fields are numbered from 1: numin numout nlayers niter batch, then s_0 ... as fields 6 ...
 * It is refused when a number is not a plain decimal integer, is 0 or exceeds 4294967295, a
 * field before the activation is missing, nlayers is below 2, niter > 1 while the last width
 * differs from the first, a layer's extents, entries or the parameter count reach 2^32, or the
 * handle would need more memory than the process may use.
 * Memory limit: before anything is allocated, the bytes the handle will hold are added up, 24
 * per parameter (8 for the plain model, 16 for the tangent model's value and one direction) plus
 * 512 per layer, and compared with the smallest of the physical memory
 * (sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGE_SIZE)), the soft RLIMIT_AS and RLIMIT_DATA
 * (ulimit -v, ulimit -d) and the memory cgroup's limit (memory.max, or memory.limit_in_bytes
 * under cgroup v1, of the process's cgroup and its parents), where readable. Above it the
 * description is refused with a line naming both sizes and which limit it was, e.g. "... more
 * than the 4.1 GB (4096000000 bytes) of the address-space limit (RLIMIT_AS, ulimit -v)".
 * Products with k directions copy the tangent model with k tangents per parameter, so they need
 * more.
 * Warnings (the handle is still returned): numin larger than s_0, an unknown activation
 * (softplus is used) or a description that ends before its activation or norm writes one line
 * on standard error starting "Warning: ", e.g.
 *   Warning: field 1 (numin) is 5, larger than field 6 (s_0), 3: calls take at most 3 input columns
 * An unknown norm name writes "invalid norm function name: NAME (known: ...)" on standard
 * output. A handle without a norm (unknown or missing name) serves
 * velt_compute, velt_residual and the parameter functions; the others return -1 on it.
 * Each line is written once per call (with the environment variable INFO set, the build line
 * too), through the message path (velt_set_message_handler). The handle belongs to the caller
 * until releaseVELTNet. May run concurrently with any call on other handles. */
VELTN_API void* initVELTNet(const char* text, int length);

/* Frees the handle; NULL is ignored. Must not run while another call uses the handle. */
VELTN_API void releaseVELTNet(void* handle);

/* ---- Storage order of the multi-direction arrays ---------------------------------------- */

/* Process-wide flag, 0 at load: the layout of V, Hv, Jv and GNv in velt_Hv, velt_Jv and velt_GNv.
 * Non-zero: one direction per row (direction d of nw entries at [d*nw + i]).
 * 0: one direction per column of an nw x k row-major array (entry i of direction d at [i*k + d]).
 * No other function reads it. */
VELTN_API extern int veltn_rowmajor;

/* Stores flag in veltn_rowmajor for every handle (handle is not used and may be NULL).
 * Returns 0. Not synchronised: do not change it while velt_Hv, velt_Jv or velt_GNv runs. */
VELTN_API int velt_major(void* handle, int flag);

/* ---- Evaluation ------------------------------------------------------------------------- */

/* out (R x numout, row-major) := network outputs F for the R x C inputs X with the parameters
 * par (npar >= velt_numel entries; the first velt_numel are used). `unused` is not read.
 * R = 0 writes nothing and returns 0. Returns 0, -1 or -2 as above. */
VELTN_API int velt_compute(void* handle, const double* par, uint32_t npar, const double* X, uint32_t R,
                           uint32_t C, uint32_t unused, double* out);

/* out (R x numout) := F - Y. Cy must equal numout. Returns 0, -1 or -2. */
VELTN_API int velt_residual(void* handle, const double* par, uint32_t npar, const double* X, const double* Y,
                            uint32_t R, uint32_t C, uint32_t Cy, double* out);

/* *out := the objective J (needs R > 0 and a known norm). Rows are split into batches over the
 * handle's threads. Returns 0, -1 or -2. */
VELTN_API int velt_obj(void* handle, const double* par, uint32_t npar, const double* X, const double* Y, uint32_t R,
                       uint32_t C, uint32_t Cy, double* out);

/* out (R x numout) := the norm's per-element terms of F - Y (the residuals themselves for
 * "sum"). R = 0 writes nothing. Returns 0, -1 or -2. */
VELTN_API int velt_objv(void* handle, const double* par, uint32_t npar, const double* X, const double* Y, uint32_t R,
                        uint32_t C, uint32_t Cy, double* out);

/* *out := (sum of the norm over the rows x cols values r) / (rows * cols); rows * cols must be
 * positive. Returns 0, -1 or -2. */
VELTN_API int velt_norm(void* handle, const double* r, uint32_t rows, uint32_t cols, double* out);

/* out (n values) := the norm's per-element terms of the n values r. n = 0 writes nothing.
 * Returns 0, -1 or -2. */
VELTN_API int velt_logp(void* handle, const double* r, uint32_t n, double* out);

/* ---- Parameters and settings ------------------------------------------------------------ */

/* Number of parameters of the network; 0 for a NULL handle. Thread-safe. */
VELTN_API uint64_t velt_numel(void* handle);
/* numin and numout of the description; 0 for a NULL handle. Thread-safe. */
VELTN_API uint32_t velt_numin(void* handle);
VELTN_API uint32_t velt_numout(void* handle);
/* The constants of "sum_log_dnorm_fat": b = -log(sigma * sqrt(2 pi)) = 0.17967375546343706 and
 * sigma = 1/3 (returned for any handle, NULL included). Thread-safe. */
VELTN_API double velt_logp_bias(void* handle);
VELTN_API double velt_logp_sigma(void* handle);

/* Weights of layer l stored in the handle (set by velt_setweights). With buf NULL: writes the
 * matrix extents to *rows and *cols. Otherwise copies the first *rows x *cols values of the
 * row-major matrix to buf; asking for more values than the layer holds returns -1 and copies
 * nothing. Returns -1 when l >= nlayers or a pointer is NULL. */
VELTN_API int velt_weights(void* handle, uint32_t l, double* buf, uint32_t* rows, uint32_t* cols);

/* Bias of layer l: with buf NULL writes its length to *n, otherwise copies *n values to buf
 * (more than stored: -1). Returns -1 when l >= nlayers or a pointer is NULL. */
VELTN_API int velt_bias(void* handle, uint32_t l, double* buf, uint32_t* n);

/* Stores the first velt_numel of the n values par in the handle (n below velt_numel: -1).
 * Evaluations do not read these values; velt_weights, velt_bias and velt_getweights do.
 * Must not run while the handle is in use. */
VELTN_API int velt_setweights(void* handle, const double* par, uint32_t n);

/* Copies the first n stored parameters (n <= velt_numel, else -1) to buf. */
VELTN_API int velt_getweights(void* handle, double* buf, uint32_t n);

/* Rows per batch (n >= 1, else -1 and nothing changes). Must not run while the handle is in use. */
VELTN_API int velt_setbatch(void* handle, int n);

/* Threads used for the batches (1 .. 99999, else -1 and nothing changes), then the batch size
 * as velt_setbatch (a batch size below 1 is ignored and 0 is still returned). A team never has
 * more threads than there are batches or work items, nor more than 1024. Must not run while the
 * handle is in use. */
VELTN_API int velt_setpar(void* handle, uint32_t nthreads, int n);

/* ---- Derivatives ------------------------------------------------------------------------ */

/* *J := the objective and grad (nparams values, parameter layout) := its gradient, for the
 * nparams (>= velt_numel) parameters, the R x C inputs X and the R x nout targets Y (nout must
 * equal numout, R > 0). X and Y are always row-major. Entries beyond velt_numel (when nparams
 * is larger) are not read from params and are 0 in grad; the same holds for g, Hv and vJ of
 * the products below. Returns 0, -1 or -2. */
VELTN_API int velt_g(void* handle, const double* params, uint32_t nparams, const double* X, const double* Y,
                     uint32_t R, uint32_t C, uint32_t nout, double* J, double* grad);

/* Hessian-vector products. *J := objective, g (nw) := gradient, Hv (k * nw) := H v_d for the k
 * directions in V (k * nw values), V and Hv laid out by veltn_rowmajor (see above). With V the
 * nw x nw identity, Hv is the full Hessian. k = 0 still writes J and g. A NULL X, Y, w or V
 * is read as zeros; NULL outputs are refused. Returns 0, -1 or -2. */
VELTN_API int velt_Hv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k, const double* X,
                      const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* J, double* g, double* Hv);

/* Jacobian-vector products of the per-element objective terms. res (n x nout) := the terms as
 * velt_objv gives them; Jv (k * n * nout) := J v_d for the k directions in V (k * nw values),
 * V and Jv laid out by veltn_rowmajor (flag set: Jv[d*(n*nout) + e]; clear: Jv[e*k + d]).
 * k = 0 still writes res. NULL inputs read as zeros, NULL outputs refused. With NN_TRACE set,
 * prints "J = <objective>, <seconds> s". Returns 0, -1 or -2. */
VELTN_API int velt_Jv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k, const double* X,
                      const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res, double* Jv);

/* Vector-Jacobian product of the per-element objective terms: res (n x nout) := the terms,
 * vJ (nw) := U^T J for the weight vector U (n x nout row-major). `k` is not read. NULL inputs
 * read as zeros, NULL outputs refused. With NN_TRACE set, prints "J = ..., ... s".
 * Returns 0, -1 or -2. */
VELTN_API int velt_vJ(void* handle, const double* w, uint32_t nw, const double* U, uint32_t k, const double* X,
                      const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res, double* vJ);

/* As velt_vJ for m weight vectors at once: U holds m blocks of n x nout values; vJ (m x nw,
 * row-major) receives U_j^T J in row j. One forward pass over all rows; the m reverse sweeps
 * run on the handle's threads. m = 0 writes only res. Returns 0, -1 or -2. */
VELTN_API int velt_vJ_vec(void* handle, const double* w, uint32_t nw, const double* U, uint32_t m, const double* X,
                          const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* res, double* vJ);

/* The whole Jacobian of the per-element objective terms. res (n x nout) := the terms as
 * velt_objv gives them; Jac ((n * nout) x nw, row-major) := their Jacobian: row e = i*nout + o
 * holds the gradient of term e (row i, output o) with respect to the parameters, in the
 * parameter layout (entries beyond velt_numel are 0). Jac v is velt_Jv's product and u^T Jac
 * velt_vJ's. With the norm "sum" the terms are the residuals F - Y and Jac their Jacobian (what
 * least-squares solvers take); with any norm the nout rows of one sample add up to that
 * sample's gradient, and the mean of all rows is velt_g's gradient.
 * Each batch of rows makes one forward sweep and nout reverse sweeps whose weight adjoints stay
 * per row, written straight into the caller's rows of Jac; memory beyond the arrays does not
 * grow with n. A row's values are the same bits whatever the handle's thread count; with a
 * different batch size they agree up to rounding. Jac may hold 2^32 values or more (see Arrays);
 * one whose bytes exceed the memory the process may use is refused (-1) with a line naming both
 * sizes and the limit.
 * NULL X, Y or w read as zeros; NULL outputs are refused. With NN_TRACE set, prints
 * "J = ..., ... s". Returns 0, -1 or -2 (-2: res and Jac may have been partly written). */
VELTN_API int velt_jacobian(void* handle, const double* w, uint32_t nw, const double* X, const double* Y,
                            uint32_t n, uint32_t nin, uint32_t nout, double* res, double* Jac);

/* Generalised Gauss-Newton products. *J := objective, g (nw) := gradient, GNv (k * nw) := G v_d
 * for the k directions in V (k * nw values), V and GNv laid out by veltn_rowmajor as in
 * velt_Hv, where
 *     G = J_F^T diag(phi''(r)) J_F / (n * nout),
 * J_F is the Jacobian of the n * nout network outputs and phi'' the norm's second derivative
 * at each residual r: "sum" 0 (so G = 0), "sum_sq" 1, "sum_pseudo_huber" (1 + r^2)^(-3/2),
 * "sum_log_dnorm_fat" its exact second derivative: 1 / sigma^2 (about 9) in the normal core and
 * 2 (gamma^2 - r^2) / (r^2 + gamma^2)^2 in the Cauchy tail (|r| >= 2), which is NEGATIVE there,
 * so with residuals in the tail G is not positive semi-definite. For the other norms G is
 * positive semi-definite, unlike the Hessian away from a minimum: the curvature of
 * Hessian-free, trust-region and conjugate-gradient Newton methods.
 * G equals the Hessian H when every element has phi'(r) = 0, as at zero residuals with
 * "sum_sq", "sum_pseudo_huber" and "sum_log_dnorm_fat" (H = G + the terms phi'(r) times the
 * outputs' second derivatives).
 * One forward sweep over the parameters and their directions gives J_F v_d; the products
 * scaled by phi''(r) seed one reverse sweep each, which share that forward sweep with the
 * gradient's. Directions run in blocks of at most 64 per forward sweep, so memory beyond the
 * arrays grows with neither n nor k (V = the nw x nw identity gives the whole matrix G).
 * k = 0 still writes J and g. nw = 1 and k = 1: direction 1.0, V not read. NULL X, Y, w or V
 * read as zeros; NULL outputs are refused. Returns 0, -1 or -2. */
VELTN_API int velt_GNv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k, const double* X,
                       const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* J, double* g, double* GNv);

#ifdef __cplusplus
}
#endif

#endif /* VELTN_H */
