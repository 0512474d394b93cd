// grad_driver: objective and gradient for the data directory (g.mat, J.mat, t.mat).
#include <iostream>

#include "driver_common.h"
#include "driver_mpi.h"
#include "veltn.h"

using namespace driver;

int main(int argc, char** argv) {
    const Ranks ranks(&argc, &argv);
    Problem pb;
    int input = setup(pb, ranks.writer());
    if (!input && !check_common(pb)) input = kBadInput;
    if (const int st = ranks.agree(input)) return st;

    Matrix g;
    if (!allocate(g, 1, pb.npar, "g")) return kBadInput;
    double J = 0.0;
    const double t0 = clock_seconds();
    const int st = ranks.g(pb.handle, ptr(pb.P.data), uint32_t(pb.P.size()), ptr(pb.X.data), ptr(pb.Y.data),
                          uint32_t(pb.X.rows), uint32_t(pb.X.cols), uint32_t(pb.Y.cols), &J, ptr(g.data));
    const double t1 = clock_seconds();
    if (st != 0) return kLibraryError;
    if (!ranks.writer()) return kOk;

    std::cout << "J = " << J << ", " << t1 - t0 << " s\n" << std::flush;
    bool failed = false;
    write_result(g, "g", &failed);
    write_result(scalar(J), "J", &failed);
    write_result(scalar(t1 - t0), "t", &failed);
    return failed ? kWriteError : kOk;
}
