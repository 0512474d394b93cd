// vj_driver: per-element objective terms and the vector-Jacobian product with the weights in
// d_v0.mat (res.mat, vJ.mat, t.mat). Prints "vJ = 1 x <npar>, <seconds> s".
#include <iostream>

#include "driver_common.h"
#include "veltn.h"

using namespace driver;

int main() {
    Problem pb;
    if (const int st = setup(pb, false)) return st;
    const bool common_ok = check_common(pb);
    // One weight per objective term: D has the shape of Y.
    if (!check_shape(pb.D, "d_v0.mat", pb.X.rows, pb.numout, "one weight per objective term: rows of data.mat x "
                                                             "network outputs") ||
        !common_ok)
        return kBadInput;

    const uint64_t R = pb.X.rows, Dc = pb.D.cols;
    Matrix res, vJ;
    if (!allocate(res, R, Dc, "res") || !allocate(vJ, 1, pb.npar, "vJ")) return kBadInput;
    const double t0 = clock_seconds();
    const int st = velt_vJ(pb.handle, ptr(pb.P.data), uint32_t(pb.npar), ptr(pb.D.data), uint32_t(Dc),
                           ptr(pb.X.data), ptr(pb.Y.data), uint32_t(R), uint32_t(pb.X.cols), uint32_t(Dc),
                           ptr(res.data), ptr(vJ.data));
    const double t1 = clock_seconds();
    if (st != 0) return kLibraryError;

    std::cout << "vJ = " << vJ.rows << " x " << vJ.cols << ", " << t1 - t0 << " s\n" << std::flush;
    bool failed = false;
    write_result(res, "res", &failed);
    write_result(vJ, "vJ", &failed);
    write_result(scalar(t1 - t0), "t", &failed);
    return failed ? kWriteError : kOk;
}
