// jv_driver: per-element objective terms and their Jacobian-vector products along the columns
// of d_v0.mat (res.mat, Jv.mat, t.mat). Prints "Jv = <rows> x <cols>, <seconds> s".
#include <iostream>

#include "driver_common.h"
#include "veltn.h"

using namespace driver;

int main() {
    Problem pb;
    if (const int st = setup(pb, false)) return st;
    const bool common_ok = check_common(pb);
    if (!check_shape(pb.D, "d_v0.mat", pb.npar, pb.D.cols, "one direction per column, one row per parameter") ||
        !common_ok)
        return kBadInput;

    const uint64_t R = pb.Y.rows, Cy = pb.Y.cols, k = pb.D.cols;
    Matrix res, Jv;
    if (!allocate(res, R, Cy, "res") || !allocate(Jv, R * Cy, k, "Jv")) return kBadInput;
    const double t0 = clock_seconds();
    // Storage-order flag clear: column d of the (R*Cy) x k result belongs to column d of D.
    const int st = velt_Jv(pb.handle, ptr(pb.P.data), uint32_t(pb.npar), ptr(pb.D.data), uint32_t(k),
                           ptr(pb.X.data), ptr(pb.Y.data), uint32_t(R), uint32_t(pb.X.cols), uint32_t(Cy),
                           ptr(res.data), ptr(Jv.data));
    const double t1 = clock_seconds();
    if (st != 0) return kLibraryError;

    std::cout << "Jv = " << Jv.rows << " x " << Jv.cols << ", " << t1 - t0 << " s\n" << std::flush;
    bool failed = false;
    write_result(res, "res", &failed);
    write_result(Jv, "Jv", &failed);
    write_result(scalar(t1 - t0), "t", &failed);
    return failed ? kWriteError : kOk;
}
