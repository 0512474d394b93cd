/* Builds the network "3 1 3 1 16 3 8 8 softplus sum", sets its 113 parameters and prints the
 * objective for a few rows. Build: cc objective.c $(pkg-config --cflags --libs veltn) */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "veltn.h"

int main(void) {
    const char* description = "3 1 3 1 16 3 8 8 softplus sum";
    void* net = initVELTNet(description, (int)strlen(description));
    if (!net) return 1;

    double par[113];
    unsigned npar = (unsigned)velt_numel(net); /* 113 */
    for (unsigned i = 0; i < npar; ++i) par[i] = 0.1 * sin(1.0 + i); /* any parameter values */

    enum { R = 4, C = 3 };
    const double X[R * C] = {0.0, 0.5, 1.0, 1.0, -1.0, 0.25, -0.5, 0.0, 2.0, 0.3, 0.3, 0.3}; /* row-major */
    const double Y[R] = {0.5, 1.0, 0.0, 0.25};

    double out[R];
    if (velt_compute(net, par, npar, X, R, C, 0, out) != 0) return 1;
    for (int i = 0; i < R; ++i) printf("row %d: output %.6f target %.6f\n", i, out[i], Y[i]);

    double J;
    if (velt_obj(net, par, npar, X, Y, R, C, 1, &J) != 0) return 1;
    printf("objective (mean residual, norm \"sum\") over %d rows: %.17g\n", R, J);

    releaseVELTNet(net);
    return 0;
}
