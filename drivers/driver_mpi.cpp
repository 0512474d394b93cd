#include "driver_mpi.h"

#include <cstdlib>
#include <initializer_list>

#ifdef VELTN_DRIVER_MPI
#include "veltn_mpi.h"
#else
#include "veltn.h"
#endif

namespace driver {

#ifdef VELTN_DRIVER_MPI

namespace {

// mpirun (Open MPI, or a PMI/PMIx launcher) tells its processes so in the environment; a
// program started by hand stays a plain process.
bool under_mpirun() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK", "PMI_SIZE"})
        if (std::getenv(name)) return true;
    return false;
}

// The rows [begin, end) of rank r out of size.
struct Block {
    uint32_t begin, rows;
    Block(uint32_t R, int r, int size)
        : begin(uint32_t(uint64_t(R) * r / size)), rows(uint32_t(uint64_t(R) * (r + 1) / size) - begin) {}
};

}  // namespace

Ranks::Ranks(int* argc, char*** argv) {
    if (!under_mpirun()) return;
    MPI_Init(argc, argv);
    active_ = true;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
}

Ranks::~Ranks() {
    if (active_) MPI_Finalize();
}

int Ranks::agree(int status) const {
    if (!active_) return status;
    // The smallest non-zero status wins; 0 only when every rank has 0.
    int key = status ? status : 1 << 30;
    MPI_Allreduce(MPI_IN_PLACE, &key, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
    return key == 1 << 30 ? 0 : key;
}

int Ranks::g(void* h, const double* par, uint32_t npar, const double* X, const double* Y, uint32_t R, uint32_t C,
             uint32_t Cy, double* J, double* grad) const {
    if (!active_) return velt_g(h, par, npar, X, Y, R, C, Cy, J, grad);
    const Block b(R, rank_, size_);
    return velt_mpi_g(h, MPI_COMM_WORLD, par, npar, X ? X + uint64_t(b.begin) * C : X,
                      Y ? Y + uint64_t(b.begin) * Cy : Y, b.rows, C, Cy, J, grad);
}

int Ranks::Hv(void* h, const double* w, uint32_t nw, const double* V, uint32_t k, const double* X, const double* Y,
              uint32_t n, uint32_t nin, uint32_t nout, double* J, double* g, double* Hv) const {
    if (!active_) return velt_Hv(h, w, nw, V, k, X, Y, n, nin, nout, J, g, Hv);
    const Block b(n, rank_, size_);
    return velt_mpi_Hv(h, MPI_COMM_WORLD, w, nw, V, k, X ? X + uint64_t(b.begin) * nin : X,
                       Y ? Y + uint64_t(b.begin) * nout : Y, b.rows, nin, nout, J, g, Hv);
}

#else

Ranks::Ranks(int*, char***) {}
Ranks::~Ranks() {}
int Ranks::agree(int status) const { return status; }

int Ranks::g(void* h, const double* par, uint32_t npar, const double* X, const double* Y, uint32_t R, uint32_t C,
             uint32_t Cy, double* J, double* grad) const {
    return velt_g(h, par, npar, X, Y, R, C, Cy, J, grad);
}

int Ranks::Hv(void* h, const double* w, uint32_t nw, const double* V, uint32_t k, const double* X, const double* Y,
              uint32_t n, uint32_t nin, uint32_t nout, double* J, double* g, double* Hv) const {
    return velt_Hv(h, w, nw, V, k, X, Y, n, nin, nout, J, g, Hv);
}

#endif

}  // namespace driver
