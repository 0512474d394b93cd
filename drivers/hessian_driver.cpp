// hessian_driver: objective, gradient and full Hessian for the data directory (g.mat, H.mat,
// t.mat, J.mat). d_v0.mat must exist but is not used.
#include <iostream>

#include "driver_common.h"
#include "driver_mpi.h"
#include "veltn.h"

using namespace driver;

int main(int argc, char** argv) {
    const Ranks ranks(&argc, &argv);
    Problem pb;
    int input = setup(pb, false);
    if (!input && !check_common(pb)) input = kBadInput;
    if (const int st = ranks.agree(input)) return st;

    const uint64_t n = pb.npar;
    Matrix H, g, I;
    if (!allocate(H, n, n, "H") || !allocate(g, 1, n, "g")) return kBadInput;
    double J = 0.0;
    // With the storage-order flag clear, column d of the result is H e_d: the Hessian itself.
    if (!allocate(I, n, n, "identity")) return kBadInput;
    for (uint64_t i = 0; i < n; ++i) I.data[i * (n + 1)] = 1.0;
    // The clock times the library's work only, not the building of the identity.
    const double t0 = clock_seconds();
    const int st = ranks.Hv(pb.handle, ptr(pb.P.data), uint32_t(n), ptr(I.data), uint32_t(n), ptr(pb.X.data),
                           ptr(pb.Y.data), uint32_t(pb.X.rows), uint32_t(pb.X.cols), uint32_t(pb.Y.cols), &J,
                           ptr(g.data), ptr(H.data));
    const double t1 = clock_seconds();
    if (st != 0) return kLibraryError;
    if (!ranks.writer()) return kOk;

    bool failed = false;
    write_result(g, "g", &failed);
    write_result(H, "H", &failed);
    std::cout << "J = " << J << ", " << t1 - t0 << " s\n" << std::flush;
    write_result(scalar(t1 - t0), "t", &failed);
    write_result(scalar(J), "J", &failed);
    return failed ? kWriteError : kOk;
}
