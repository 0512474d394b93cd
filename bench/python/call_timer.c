/* Times libveltn calls from C, one clock reading on each side of every call, for
 * bench/python_overhead.py. Loaded into the Python process after the veltn package, it binds to
 * the libveltn.so.0 already loaded there, so it runs the very same code on the same handle. */
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include "veltn.h"

static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

/* which: 0 velt_obj, 1 velt_g, 2 velt_Hv with the k directions V. ns[i] := duration of call i.
 * Returns the first non-zero status, -3 when memory runs out, else 0. */
int vct_time_calls(void* h, int which, const double* par, uint32_t npar, const double* V, uint32_t k,
                   const double* X, const double* Y, uint32_t R, uint32_t C, uint32_t nout, int reps, double* ns) {
    double J = 0.0;
    double* g = malloc(sizeof(double) * npar);
    double* Hv = malloc(sizeof(double) * npar * (k ? k : 1));
    int status = (g && Hv) ? 0 : -3;
    for (int i = 0; i < reps && status == 0; ++i) {
        double t0 = now_ns();
        if (which == 0)
            status = velt_obj(h, par, npar, X, Y, R, C, nout, &J);
        else if (which == 1)
            status = velt_g(h, par, npar, X, Y, R, C, nout, &J, g);
        else
            status = velt_Hv(h, par, npar, V, k, X, Y, R, C, nout, &J, g, Hv);
        ns[i] = now_ns() - t0;
    }
    free(g);
    free(Hv);
    return status;
}

/* Cost of the two clock readings alone, to subtract from the times above. */
void vct_clock_cost(int reps, double* ns) {
    for (int i = 0; i < reps; ++i) {
        double t0 = now_ns();
        ns[i] = now_ns() - t0;
    }
}
