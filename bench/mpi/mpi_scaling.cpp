// Strong and weak scaling of velt_mpi_g (and velt_mpi_Hv, k = 1) on the reference networks,
// run under mpirun. Each rank uses one thread. For each product it prints, on rank 0, one line:
//   net product mode ranks rows_per_rank call_ms local_ms allreduce_ms bytes cpu_ms
// call_ms: the collective call (slowest rank, fastest of the repetitions); local_ms: the same
// libveltn call on the rank's rows alone (slowest rank); allreduce_ms: one MPI_Allreduce of the
// call's reduction buffer (2 + npar doubles, times 1 + k for Hv) plus the small agreement.
// cpu_ms: the processor time of that local call (slowest rank): what the rank computes,
// whatever share of a core the machine gave it.
// Usage: mpi_scaling NET strong|weak REPS [hv]
#include <mpi.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../bench_problem.h"
#include "veltn_mpi.h"

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Fastest over reps of the slowest rank's time of f (ranks start together); the same for its
// processor time into *cpu_ms when given.
double slowest_ms(int reps, std::function<void()> const& f, double* cpu_ms = nullptr) {
    double best = 1e300, best_cpu = 1e300;
    for (int r = 0; r < reps; ++r) {
        MPI_Barrier(MPI_COMM_WORLD);
        const double t0 = MPI_Wtime(), c0 = cpu_seconds();
        f();
        double t[2] = {MPI_Wtime() - t0, cpu_seconds() - c0};
        MPI_Allreduce(MPI_IN_PLACE, t, 2, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
        best = std::min(best, t[0]);
        best_cpu = std::min(best_cpu, t[1]);
    }
    if (cpu_ms) *cpu_ms = 1e3 * best_cpu;
    return 1e3 * best;
}

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    int rank = 0, size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    if (argc < 4) {
        if (rank == 0) std::fprintf(stderr, "usage: mpi_scaling NET strong|weak REPS [hv]\n");
        MPI_Finalize();
        return 2;
    }
    const std::string name = argv[1], mode = argv[2];
    const int reps = std::max(1, std::atoi(argv[3]));
    const bool hv = argc > 4 && std::strcmp(argv[4], "hv") == 0;
    const NetSpec* spec = nullptr;
    for (NetSpec const& n : reference_nets())
        if (name == n.name) spec = &n;
    if (!spec || (mode != "strong" && mode != "weak")) {
        if (rank == 0) std::fprintf(stderr, "unknown net or mode\n");
        MPI_Finalize();
        return 2;
    }

    // Strong: the net's rows cut among the ranks. Weak: every rank holds the net's row count,
    // its own block of a problem size times as large.
    NetSpec global = *spec;
    if (mode == "weak") global.rows = spec->rows * unsigned(size);
    Problem p = Problem::make(global, 1);
    const unsigned begin = unsigned(uint64_t(global.rows) * rank / size);
    const unsigned rows = unsigned(uint64_t(global.rows) * (rank + 1) / size) - begin;
    const double* X = p.X.data() + std::size_t(begin) * p.nin;
    const double* Y = p.Y.data() + std::size_t(begin) * p.nout;
    const unsigned npar = p.npar(), k = 1;
    const std::vector<double> V = directions(npar, k);
    std::vector<double> g(npar), Hv(npar);
    double J = 0;

    double call_ms, local_ms, cpu_ms = 0;
    if (hv) {
        call_ms = slowest_ms(reps, [&] {
            velt_mpi_Hv(p.handle, MPI_COMM_WORLD, p.par.data(), npar, V.data(), k, X, Y, rows, p.nin, p.nout, &J,
                        g.data(), Hv.data());
        });
        local_ms = slowest_ms(reps, [&] {
            velt_Hv(p.handle, p.par.data(), npar, V.data(), k, X, Y, rows, p.nin, p.nout, &J, g.data(), Hv.data());
        }, &cpu_ms);
    } else {
        call_ms = slowest_ms(reps, [&] {
            velt_mpi_g(p.handle, MPI_COMM_WORLD, p.par.data(), npar, X, Y, rows, p.nin, p.nout, &J, g.data());
        });
        local_ms = slowest_ms(reps, [&] {
            velt_g(p.handle, p.par.data(), npar, X, Y, rows, p.nin, p.nout, &J, g.data());
        }, &cpu_ms);
    }
    // The two reductions of one call on their own, repeated for a steadier figure.
    std::vector<double> buf(2 + std::size_t(npar) * (hv ? 1 + k : 1), 1.0);
    long long agree[8] = {};
    const int inner = 50;
    const double allreduce_ms = slowest_ms(reps, [&] {
        for (int i = 0; i < inner; ++i) {
            MPI_Allreduce(MPI_IN_PLACE, agree, 8, MPI_LONG_LONG, MPI_MIN, MPI_COMM_WORLD);
            MPI_Allreduce(MPI_IN_PLACE, buf.data(), int(buf.size()), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
        }
    }) / inner;
    if (rank == 0)
        std::printf("%s %s %s %d %u %.4f %.4f %.4f %zu %.4f\n", spec->name, hv ? "Hv1" : "g", mode.c_str(), size,
                    global.rows / unsigned(size), call_ms, local_ms, allreduce_ms, buf.size() * sizeof(double), cpu_ms);
    MPI_Finalize();
    return 0;
}
