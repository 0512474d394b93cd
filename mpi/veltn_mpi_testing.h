/* A hook for libveltn_mpi's own tests; not installed and not part of the interface. */
#ifndef VELTN_MPI_TESTING_H
#define VELTN_MPI_TESTING_H

#include <stddef.h>

#include "veltn_mpi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sets how many values each MPI_Allreduce of a gathered result carries (0 or more than 2^30:
 * 2^30, the default) and returns the previous setting. Process-wide; every rank must set the
 * same value while no velt_mpi_ call runs. */
VELTN_MPI_API size_t velt_mpi_testing_reduction_chunk(size_t values);

#ifdef __cplusplus
}
#endif

#endif /* VELTN_MPI_TESTING_H */
