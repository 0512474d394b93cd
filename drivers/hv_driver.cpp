// hv_driver: objective, gradient and Hessian-vector products along the columns of d_v0.mat
// (g.mat, Hv.mat, t.mat, J.mat).
#include <iostream>

#include "driver_common.h"
#include "driver_mpi.h"
#include "veltn.h"

using namespace driver;

int main(int argc, char** argv) {
    const Ranks ranks(&argc, &argv);
    Problem pb;
    int input = setup(pb, false);
    if (!input) {
        const bool common_ok = check_common(pb);
        if (!check_shape(pb.D, "d_v0.mat", pb.npar, pb.D.cols, "one direction per column, one row per parameter") ||
            !common_ok)
            input = kBadInput;
    }
    if (const int st = ranks.agree(input)) return st;

    const uint64_t n = pb.npar, k = pb.D.cols;
    Matrix g, Hv;
    if (!allocate(g, 1, n, "g") || !allocate(Hv, n, k, "Hv")) return kBadInput;
    double J = 0.0;
    const double t0 = clock_seconds();
    // Storage-order flag clear: D and Hv are n x k row-major, one direction per column.
    const int st = ranks.Hv(pb.handle, ptr(pb.P.data), uint32_t(n), ptr(pb.D.data), uint32_t(k), ptr(pb.X.data),
                           ptr(pb.Y.data), uint32_t(pb.X.rows), uint32_t(pb.X.cols), uint32_t(pb.Y.cols), &J,
                           ptr(g.data), ptr(Hv.data));
    const double t1 = clock_seconds();
    if (st != 0) return kLibraryError;
    if (!ranks.writer()) return kOk;

    bool failed = false;
    write_result(g, "g", &failed);
    write_result(Hv, "Hv", &failed);
    std::cout << "J = " << J << ", " << t1 - t0 << " s\n" << std::flush;
    write_result(scalar(t1 - t0), "t", &failed);
    write_result(scalar(J), "J", &failed);
    return failed ? kWriteError : kOk;
}
