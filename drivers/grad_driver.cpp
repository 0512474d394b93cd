// grad_driver: objective and gradient for the data directory (g.mat, J.mat, t.mat).
#include <iostream>

#include "driver_common.h"
#include "veltn.h"

using namespace driver;

int main() {
    Problem pb;
    if (const int st = setup(pb, true)) return st;
    if (!check_common(pb)) return kBadInput;

    Matrix g;
    if (!allocate(g, 1, pb.npar, "g")) return kBadInput;
    double J = 0.0;
    const double t0 = clock_seconds();
    const int st = velt_g(pb.handle, ptr(pb.P.data), uint32_t(pb.P.size()), ptr(pb.X.data), ptr(pb.Y.data),
                          uint32_t(pb.X.rows), uint32_t(pb.X.cols), uint32_t(pb.Y.cols), &J, ptr(g.data));
    const double t1 = clock_seconds();
    if (st != 0) return kLibraryError;

    std::cout << "J = " << J << ", " << t1 - t0 << " s\n" << std::flush;
    bool failed = false;
    write_result(g, "g", &failed);
    write_result(scalar(J), "J", &failed);
    write_result(scalar(t1 - t0), "t", &failed);
    return failed ? kWriteError : kOk;
}
