/* A program built against the installed libveltn_mpi: each rank holds one row of the same
 * problem; the collective objective must equal the one-process objective over all rows. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "veltn_mpi.h"

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int rank, size;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const char* d = "3 1 3 1 16 3 8 8 softplus sum";
    void* h = initVELTNet(d, (int)strlen(d));
    double par[113], X[3 * 8], Y[8];
    for (int i = 0; i < 113; ++i) par[i] = 0.1 * sin(1.0 + i);
    for (int i = 0; i < 24; ++i) X[i] = 0.1 * i - 1.0;
    for (int i = 0; i < 8; ++i) Y[i] = 0.05 * i;
    double J1 = 0, J = 0;
    int ok = size <= 8 && velt_obj(h, par, 113, X, Y, (uint32_t)size, 3, 1, &J1) == 0 &&
             velt_mpi_obj(h, MPI_COMM_WORLD, par, 113, X + 3 * rank, Y + rank, 1, 3, 1, &J) == 0 &&
             fabs(J - J1) <= 1e-12 * fabs(J1);
    releaseVELTNet(h);
    MPI_Allreduce(MPI_IN_PLACE, &ok, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    if (rank == 0) printf("J %.17g %s\n", J, ok ? "ok" : "FAILED");
    MPI_Finalize();
    return ok ? 0 : 1;
}
