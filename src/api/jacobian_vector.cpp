// Exported Jacobian-vector product (the algorithm: products/jacobian_vector.h); this file
// checks the arguments and lays the terms and their tangents out in the caller's arrays.
#include <algorithm>
#include <cstdlib>

#include "api/directions.h"
#include "api/workspace.h"
#include "products/jacobian_vector.h"
#include "veltn.h"

using namespace veltn;

extern "C" VELTN_API int velt_Jv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k,
                                 const double* X, const double* Y, uint32_t n, uint32_t nin, uint32_t nout,
                                 double* res, double* Jv) {
    return call_guarded("velt_Jv", [&] {
        VELTN::VELTNInfo& info = checked_product(handle, nw, n, nin, nout);
        count_product(nw, k, "V");
        count_product(count_product(n, nout, "Jv"), k, "Jv");
        require_array(res, 1, "res");
        require_array(Jv, k, "Jv");
        const std::size_t terms = std::size_t(n) * nout;
        const bool rowmajor = veltn_rowmajor != 0;

        TangentWorkspace& ws = tangent_workspace(info);
        const InputRows Xr = caller_rows(X, n, nin, "X"), Yr = caller_rows(Y, n, nout, "Y");
        // The directions run in blocks, one sweep over the rows each, so that the tangents' memory
        // does not grow with k; the terms do not depend on the directions and are written once.
        double t0 = wall_seconds();
        for_direction_blocks(info, ws, w, nw, V, k, block_size(info.model, n, k), [&](uint32_t d0, uint32_t c) {
            if (d0 == 0) t0 = wall_seconds();
            // Each batch writes its terms and the block's tangents straight into res and Jv.
            auto put = [&](uint32_t row0, fad1<Mat> const& O) {
                const std::size_t e0 = std::size_t(row0) * nout, count = O.size();
                if (d0 == 0) std::copy_n(ptr(O.value.data), count, res + e0);
                for (uint32_t j = 0; j < c; ++j) {
                    const std::size_t d = std::size_t(d0) + j;
                    const double* t = j < O.ndir() ? O.tangents.at(j) : nullptr;
                    for (std::size_t e = 0; e < count; ++e) {
                        const double v = t ? t[e] : 0.0;
                        if (rowmajor)
                            Jv[d * terms + e0 + e] = v;
                        else
                            Jv[(e0 + e) * k + d] = v;
                    }
                }
            };
            jacobian_vector_rows(ws.nn, Xr, Yr, put, &ws.rows);
        });
        const double t1 = wall_seconds();
        trace_terms_objective(info.model, res, n, nout, t1 - t0);
    });
}
