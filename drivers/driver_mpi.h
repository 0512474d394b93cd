// Drivers over the ranks of mpirun: every rank reads the data directory, takes its block of
// rows and joins one collective call; rank 0 prints and writes the results. Without mpirun, or
// in a build without libveltn_mpi, every call is the plain libveltn one over all rows.
#pragma once

#include <cstdint>

namespace driver {

class Ranks {
public:
    // Starts MPI when the program runs under mpirun (and the build has libveltn_mpi).
    Ranks(int* argc, char*** argv);
    ~Ranks();
    Ranks(Ranks const&) = delete;
    Ranks& operator=(Ranks const&) = delete;

    // True on the rank that prints and writes: rank 0, or the only process.
    bool writer() const { return rank_ == 0; }
    // The first non-zero status of all ranks (0 when all are 0), so that a rank that could not
    // load its inputs stops every rank before the collective call.
    int agree(int status) const;

    // velt_g and velt_Hv (the arguments of veltn.h, R and n counting all rows) over this
    // rank's block of rows, with the result of all rows on every rank.
    int g(void* h, const double* par, uint32_t npar, const double* X, const double* Y, uint32_t R, uint32_t C,
          uint32_t Cy, double* J, double* grad) const;
    int Hv(void* h, const double* w, uint32_t nw, const double* V, uint32_t k, const double* X, const double* Y,
           uint32_t n, uint32_t nin, uint32_t nout, double* J, double* g, double* Hv) const;

private:
    bool active_ = false;
    int rank_ = 0, size_ = 1;
};

}  // namespace driver
