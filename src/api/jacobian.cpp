// Exported whole Jacobian of the per-element terms, and the Gauss-Newton products.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <valarray>
#include <vector>

#include "api/directions.h"
#include "model/description.h"
#include "products/gauss_newton.h"
#include "products/jacobian.h"
#include "veltn.h"

using namespace veltn;

namespace {

// Refuses an output of rows x cols doubles that does not fit in the memory this process may use
// (it may hold more than 2^32 values).
void require_fits_in_memory(uint64_t rows, uint64_t cols, const char* name) {
    const MemoryLimit limit = description_memory_cap();
    const bool overflow = rows != 0 && cols > UINT64_MAX / 8 / rows;
    const uint64_t bytes = overflow ? UINT64_MAX : rows * cols * 8;
    if (overflow || bytes > limit.bytes || bytes > SIZE_MAX)
        fail(std::string(name) + " needs " + std::to_string(bytes) + " bytes, more than the " +
             std::to_string(limit.bytes) + " bytes of " + limit.name);
}

// Directions per tangent sweep of velt_GNv: the sweep's tangents take k times the memory of its
// values, so a large k (the identity, for the whole matrix G) runs in blocks of this many.
constexpr uint32_t kDirectionBlock = 64;

// The parameters w with directions d0 .. d0 + kb - 1 of V (k directions in the veltn_rowmajor
// layout; null reads as zeros) as tangents; as seeded_parameters for a block of directions.
fad1<Vec> block_parameters(const double* w, uint32_t nw, const double* V, uint32_t k, uint32_t d0, uint32_t kb,
                           uint32_t used) {
    if (nw == 1 && k == 1) return seeded_parameters(w, nw, V, k, used);
    const uint32_t n = std::min(nw, used);
    Vec value(0.0, nw);
    value[std::slice(0, n, 1)] = vector_from(w, n, "the parameter vector");
    fad1<Vec> P(value, kb);
    if (!V) return P;
    for (uint32_t d = 0; d < kb; ++d) {
        bool finite = true;
        for (uint32_t i = 0; i < n; ++i) {
            const double v = veltn_rowmajor ? V[std::size_t(d0 + d) * nw + i] : V[std::size_t(i) * k + d0 + d];
            finite &= std::isfinite(v);
            P.tangents[d][i] = v;
        }
        if (!finite) throw FloatingPointFailure("V holds NaN or infinity");
    }
    return P;
}

}  // namespace

extern "C" VELTN_API int velt_jacobian(void* handle, const double* w, uint32_t nw, const double* X, const double* Y,
                                       uint32_t n, uint32_t nin, uint32_t nout, double* res, double* Jac) {
    return call_guarded("velt_jacobian", [&] {
        VELTN::VELTNInfo& info = checked_product(handle, nw, n, nin, nout);
        const uint32_t terms = count_product(n, nout, "res");
        require_array(res, terms, "res");
        require_array(Jac, terms, "Jac");
        require_fits_in_memory(terms, nw, "Jac");
        const PlainNN nn = loaded_model(info.model, w, nw);
        const double t0 = wall_seconds();
        jacobian_rows(nn, caller_rows(X, n, nin, "X"), caller_rows(Y, n, nout, "Y"), res, Jac, nw);
        const double t1 = wall_seconds();
        trace_terms_objective(nn, res, n, nout, t1 - t0);
    });
}

extern "C" VELTN_API int velt_GNv(void* handle, const double* w, uint32_t nw, const double* V, uint32_t k,
                                  const double* X, const double* Y, uint32_t n, uint32_t nin, uint32_t nout, double* J,
                                  double* g, double* GNv) {
    return call_guarded("velt_GNv", [&] {
        VELTN::VELTNInfo& info = checked_product(handle, nw, n, nin, nout);
        count_product(nw, k, "V");
        require_array(J, 1, "J");
        require_array(g, 1, "g");
        require_array(GNv, k, "GNv");
        const InputRows Xr = caller_rows(X, n, nin, "X"), Yr = caller_rows(Y, n, nout, "Y");

        const PlainNN nn = loaded_model(info.model, w, nw);
        const uint32_t used = static_cast<uint32_t>(numel(nn));
        const double t0 = wall_seconds();
        PlainNN zero = nn;
        zero_parameters(zero);
        PlainNN grad = zero;
        std::valarray<Vec> directions_out(k);
        double objective = 0;
        // Blocks of directions, each from one tangent sweep; the first also gives the gradient.
        for (uint32_t d0 = 0; d0 < k || d0 == 0; d0 += kDirectionBlock) {
            const uint32_t kb = std::min(kDirectionBlock, k - d0);
            const DirectionScope directions(kb);
            TangentNN tnn = info.admodel;
            setweights(tnn, block_parameters(w, nw, V, k, d0, kb, used));
            std::vector<PlainNN> products(kb, zero);
            const double J_block = gauss_newton_rows(tnn, nn, Xr, Yr, kb, grad, products, d0 == 0);
            if (d0 == 0) objective = J_block;
            for (uint32_t d = 0; d < kb; ++d) directions_out[d0 + d] = getweights(products[d]);
            if (k == 0) break;
        }
        trace_objective(objective, wall_seconds() - t0);

        *J = objective;
        copy_parameters_out(getweights(grad), g, nw);
        write_directions(directions_out, k, used, nw, GNv);
    });
}
