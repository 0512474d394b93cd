/*
 * veltn_mpi.h - libveltn_mpi: the objective, its gradient and the derivative products of
 * libveltn over the rows held by the ranks of an MPI communicator.
 *
 * Each rank holds its own block of rows (its own X and Y, R_local rows, which may be 0) and the
 * same handle description, parameters and directions as every other rank. Every function is
 * collective over `comm`: all ranks of comm must call it, in the same order as their other
 * collective calls on comm, with the same npar / nw, C / nin, Cy / nout and direction count.
 *
 * ---------------------------------------------------------------------------------------------
 * Results
 *   Gathered (identical on every rank; "equal to the one-process result over all rows up to
 *   rounding"): the objective J, the gradient, the Hessian-vector and Gauss-Newton products and
 *   the vector-Jacobian products. J, the gradient and Hv are means over all sum(R_local) * numout
 *   elements, weighted by each rank's count (not a mean of the ranks' means); vJ = U^T J is a
 *   sum over all rows, so it is the sum of the ranks' vJ.
 *   Kept local (each rank receives the values of its own rows only): the per-element terms
 *   (velt_mpi_objv, and `res` of velt_mpi_vJ, velt_mpi_vJ_vec, velt_mpi_Jv and
 *   velt_mpi_jacobian), the Jacobian-vector products velt_mpi_Jv and the Jacobian rows of
 *   velt_mpi_jacobian.
 *   Layouts are those of the matching functions of veltn.h, with R_local (n_local) in place of
 *   R (n); V, Hv and Jv follow the process-wide storage-order flag veltn_rowmajor, which must be
 *   the same on every rank. The parameters and directions must be equal on every rank (they are
 *   not compared). The caller owns every array; no pointer is kept after a call returns.
 *
 * Cost
 *   Each rank runs the libveltn function on its rows, with its handle's threads (velt_setpar),
 *   then the ranks make one small MPI_Allreduce that agrees on the status and the sizes, and
 *   (for gathered results, when all succeeded) one MPI_Allreduce of the results, in place
 *   (several, of at most 2^30 values each, for results larger than that).
 *   A rank with R_local = 0 contributes zeros and does not call libveltn.
 *
 * Return values (the same on every rank)
 *   0   success on every rank.
 *   -1  a rank refused its arguments (as the matching libveltn function would), the ranks
 *       passed different sizes or storage-order flags, every rank had R_local = 0 where the
 *       one-process function needs rows, the communicator is MPI_COMM_NULL or an
 *       intercommunicator, or MPI is not initialised (or already finalised). Outputs are not
 *       written.
 *   -2  a floating-point event on some rank (as in libveltn), or a non-finite sum over the
 *       ranks. Outputs are not written.
 *   When several ranks fail, the lowest failing rank's status and message win.
 *
 * Messages
 *   On failure, velt_mpi_last_error() returns, on every rank, the same line:
 *   "<function>: rank <r> of <size>: <the failing rank's message>" (for example
 *   "velt_mpi_g: rank 1 of 3: velt_g: X holds NaN or infinity"), or
 *   "<function>: <message>" for a failure that belongs to no single rank (sizes that differ,
 *   no rows anywhere). The failing rank's libveltn has already written its own line through
 *   the libveltn message path; every other rank writes the line above through the same path
 *   (velt_set_message_handler captures both), so each rank reports the failure once. velt_last_error() of libveltn is not changed by this layer on
 *   ranks that did not fail locally.
 *
 * Threads and MPI
 *   The functions are collective over comm. A process that calls them from several threads at
 *   once needs MPI_THREAD_MULTIPLE and a different communicator for each concurrent call; the
 *   concurrency rules of veltn.h apply to the handle (one handle may be read by several calls
 *   at once, each with its own number of directions). Floating-point
 *   environment and BLAS thread count are left as they were, as in libveltn. MPI errors follow
 *   comm's error handler (by default they abort the job).
 * ---------------------------------------------------------------------------------------------
 */
#ifndef VELTN_MPI_H
#define VELTN_MPI_H

#include <mpi.h>

#include "veltn.h"

#if defined(VELTN_MPI_BUILDING_LIBRARY)
#define VELTN_MPI_API __attribute__((visibility("default")))
#else
#define VELTN_MPI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Gathered results ------------------------------------------------------------------- */

/* *J := the objective over the rows of all ranks. Each rank passes its R_local x C inputs X
 * and R_local x Cy targets Y (row-major; NULL allowed when R_local = 0) and the same npar
 * (>= velt_numel) parameters par. C and Cy must agree across ranks and Cy must equal numout.
 * At least one rank must have rows. Returns 0, -1 or -2 on every rank (see above). */
VELTN_MPI_API int velt_mpi_obj(void* h, MPI_Comm comm, const double* par, uint32_t npar, const double* X,
                               const double* Y, uint32_t R_local, uint32_t C, uint32_t Cy, double* J);

/* *J := the objective and grad (npar values, parameter layout of veltn.h) := its gradient over
 * the rows of all ranks; arguments as velt_mpi_obj. Entries of grad beyond velt_numel are 0.
 * Returns 0, -1 or -2 on every rank. */
VELTN_MPI_API int velt_mpi_g(void* h, MPI_Comm comm, const double* par, uint32_t npar, const double* X,
                             const double* Y, uint32_t R_local, uint32_t C, uint32_t Cy, double* J, double* grad);

/* *J := objective, g (nw) := gradient, Hv (k * nw, laid out by veltn_rowmajor) := the k
 * Hessian-vector products H v_d, all over the rows of all ranks. w (nw >= velt_numel) and the
 * directions V (k * nw) must be the same on every rank; X (n_local x nin) and Y
 * (n_local x nout) are the rank's rows. nw, k, nin, nout and veltn_rowmajor must agree across
 * ranks. NULL inputs read as zeros, as in velt_Hv; NULL outputs are refused (Hv may be NULL
 * when k = 0). With V the nw x nw identity, Hv is the full Hessian (nw * nw values travel in
 * the reduction, in pieces of at most 2^30 values). Returns 0, -1 or -2 on every rank. */
VELTN_MPI_API int velt_mpi_Hv(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* V, uint32_t k,
                              const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                              double* J, double* g, double* Hv);

/* *J := objective, g (nw) := gradient, GNv (k * nw, laid out by veltn_rowmajor) := the k
 * generalised Gauss-Newton products G v_d of velt_GNv, all over the rows of all ranks (means
 * weighted by each rank's element count, like velt_mpi_Hv). Arguments, agreement and NULL
 * rules as velt_mpi_Hv. Returns 0, -1 or -2 on every rank. */
VELTN_MPI_API int velt_mpi_GNv(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* V, uint32_t k,
                               const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                               double* J, double* g, double* GNv);

/* res (n_local x nout, local) := the per-element terms of the rank's rows; vJ (nw, gathered)
 * := U^T J summed over all ranks, where U (n_local x nout, row-major) holds the rank's weights
 * for its own terms. `k` is not read. Sizes as velt_mpi_Hv (nw, nin, nout must agree); at
 * least one rank must have rows; res may be NULL on a rank with n_local = 0. Returns 0, -1 or
 * -2 on every rank. */
VELTN_MPI_API int velt_mpi_vJ(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* U, uint32_t k,
                              const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                              double* res, double* vJ);

/* As velt_mpi_vJ for m weight vectors: U holds m blocks of n_local x nout values (the rank's
 * rows of each weight vector); vJ (m x nw row-major, gathered) receives the sums over the ranks
 * of U_j^T J in row j; res (n_local x nout) is local. m must agree across ranks. Returns 0, -1
 * or -2 on every rank. */
VELTN_MPI_API int velt_mpi_vJ_vec(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* U,
                                  uint32_t m, const double* X, const double* Y, uint32_t n_local, uint32_t nin,
                                  uint32_t nout, double* res, double* vJ);

/* ---- Local results ---------------------------------------------------------------------- */

/* out (R_local x Cy, local) := the per-element terms of the rank's rows, as velt_objv. Nothing
 * is reduced, but the call is collective so that all ranks agree on the status; every rank may
 * have R_local = 0. Returns 0, -1 or -2 on every rank. */
VELTN_MPI_API int velt_mpi_objv(void* h, MPI_Comm comm, const double* par, uint32_t npar, const double* X,
                                const double* Y, uint32_t R_local, uint32_t C, uint32_t Cy, double* out);

/* res (n_local x nout) and Jv (k * n_local * nout), both local: the per-element terms of the
 * rank's rows and their k Jacobian-vector products, as velt_Jv on those rows (Jv laid out by
 * veltn_rowmajor with n_local rows). Collective for the status only; nw, k, nin, nout and
 * veltn_rowmajor must agree; at least one rank must have rows. Returns 0, -1 or -2 on every
 * rank. */
VELTN_MPI_API int velt_mpi_Jv(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* V, uint32_t k,
                              const double* X, const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout,
                              double* res, double* Jv);

/* res (n_local x nout) and Jac ((n_local * nout) x nw), both local: the per-element terms of
 * the rank's rows and their Jacobian, as velt_jacobian on those rows (each rank its own rows,
 * like velt_mpi_Jv). Collective for the status only; nw, nin and nout must agree; at least one
 * rank must have rows; res and Jac may be NULL on a rank with n_local = 0. Jac is written
 * straight by velt_jacobian (it may be too large to hold twice), so unlike the other outputs it
 * may have been written on a rank that succeeded when another rank failed. Returns 0, -1 or -2
 * on every rank. */
VELTN_MPI_API int velt_mpi_jacobian(void* h, MPI_Comm comm, const double* w, uint32_t nw, const double* X,
                                    const double* Y, uint32_t n_local, uint32_t nin, uint32_t nout, double* res,
                                    double* Jac);

/* ---- Messages --------------------------------------------------------------------------- */

/* The line of the last failed velt_mpi_ call made on the calling thread (the same on every
 * rank, without a line break), or "" if none failed. The string belongs to the library and
 * stays valid until the next failing velt_mpi_ call on the same thread. */
VELTN_MPI_API const char* velt_mpi_last_error(void);

#ifdef __cplusplus
}
#endif

#endif /* VELTN_MPI_H */
