#include "api/directions.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "core/messages.h"
#include "veltn.h"

namespace veltn {

VELTN::VELTNInfo& checked_product(void* handle, uint32_t nw, uint32_t n, uint32_t nin, uint32_t nout) {
    VELTN::VELTNInfo& info = handle_of(handle);
    require_norm(info.model);
    require_param_count(info.model, nw, "the parameter vector");
    check_predicates(info.model, nin);
    require_targets(info.model, nout);
    if (n == 0) fail("no rows");
    count_product(n, nin, "X");
    count_product(n, nout, "Y");
    return info;
}

fad1<Vec> seeded_parameters(const double* w, uint32_t nw, const double* V, uint32_t k, uint32_t used) {
    Vec value(0.0, nw);
    const Vec read = vector_from(w, std::min(nw, used), "the parameter vector");
    value[std::slice(0, read.size(), 1)] = read;
    fad1<Vec> P(value, k);
    if (nw == 1 && k == 1) {
        P.tangents[0][0] = 1.0;
        return P;
    }
    if (!V) return P;
    for (uint32_t d = 0; d < k; ++d) {
        double* t = P.tangents.at(d);
        for (uint32_t i = 0; i < std::min(nw, used); ++i)
            t[i] = veltn_rowmajor ? V[std::size_t(d) * nw + i] : V[std::size_t(i) * k + d];
        for (uint32_t i = 0; i < nw; ++i)
            if (!std::isfinite(t[i])) throw FloatingPointFailure("V holds NaN or infinity");
    }
    return P;
}

TangentNN seeded_model(VELTN::VELTNInfo const& info, const double* w, uint32_t nw, const double* V, uint32_t k) {
    TangentNN nn = info.admodel;
    setweights(nn, seeded_parameters(w, nw, V, k, static_cast<uint32_t>(numel(info.model))));
    return nn;
}

void write_directions(VecTangents const& tangents, uint32_t k, std::size_t len, std::size_t len_out,
                      double* out) {
    for (uint32_t d = 0; d < k; ++d) {
        const double* t = tangents.at(d);
        for (std::size_t i = 0; i < len_out; ++i) {
            const double v = i < len ? t[i] : 0.0;
            if (veltn_rowmajor)
                out[std::size_t(d) * len_out + i] = v;
            else
                out[i * k + d] = v;
        }
    }
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void trace_objective(double J, double seconds) {
    if (!std::getenv("NN_TRACE")) return;
    std::ostringstream line;
    line << "J = " << J << ", " << seconds << " s";
    emit(kStdout, line.str());
}

}  // namespace veltn
