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

namespace {

// The tangents of one direction take, per row of a batch, the layer inputs, pre-activations and
// their adjoints; a block of directions should keep them within this many bytes.
constexpr double kCacheBytes = 1 << 20;
constexpr uint32_t kMinBlock = 8, kMaxBlock = 64;

}  // namespace

uint32_t block_size(PlainNN const& nn, uint32_t rows, uint32_t k) {
    double width = 0;  // columns of the tangents one row of a batch carries per direction
    for (uint32_t l = 0; l + 1 < nn.nlayers; ++l) width += double(nn.sizes[l] + nn.sizes[l + 1]) * nn.niter;
    width += double(nn.niter) * nn.hidden_width() + nn.numout;
    const double per_direction = 2.0 * width * double(std::min(nn.batch, rows)) * sizeof(double);
    const double fit = std::floor(kCacheBytes / std::max(per_direction, 1.0));
    const uint32_t most = uint32_t(std::clamp(fit, double(kMinBlock), double(kMaxBlock)));
    if (k <= most) return k;
    const uint32_t blocks = (k + most - 1) / most;
    return (k + blocks - 1) / blocks;
}

void seeded_parameters_into(const double* w, uint32_t nw, const double* V, uint32_t k, uint32_t d0, uint32_t c,
                            uint32_t used, fad1<Vec>& P) {
    const uint32_t n = std::min(nw, used);
    P.shape(c, nw);
    P.value = 0.0;
    copy_input(w, n, ptr(P.value), "the parameter vector");
    P.tangents.fill(0.0);
    if (nw == 1 && k == 1) {
        P.tangents.at(0)[0] = 1.0;
        return;
    }
    if (!V) return;
    for (uint32_t j = 0; j < c; ++j) {
        const std::size_t d = std::size_t(d0) + j;
        double* t = P.tangents.at(j);
        for (uint32_t i = 0; i < n; ++i) t[i] = veltn_rowmajor ? V[d * nw + i] : V[std::size_t(i) * k + d];
        for (uint32_t i = 0; i < nw; ++i)
            if (!std::isfinite(t[i])) throw FloatingPointFailure("V holds NaN or infinity");
    }
}

fad1<Vec> seeded_parameters(const double* w, uint32_t nw, const double* V, uint32_t k, uint32_t used) {
    fad1<Vec> P;
    seeded_parameters_into(w, nw, V, k, 0, k, used, P);
    return P;
}

TangentNN seeded_model(VELTN::VELTNInfo const& info, const double* w, uint32_t nw, const double* V, uint32_t k) {
    TangentNN nn = info.admodel;
    setweights(nn, seeded_parameters(w, nw, V, k, static_cast<uint32_t>(numel(info.model))));
    return nn;
}

void write_directions(VecTangents const& tangents, uint32_t d0, uint32_t c, uint32_t k, std::size_t len,
                      std::size_t len_out, double* out) {
    for (uint32_t j = 0; j < c; ++j) {
        const std::size_t d = std::size_t(d0) + j;
        const double* t = tangents.at(j);
        for (std::size_t i = 0; i < len_out; ++i) {
            const double v = i < len ? t[i] : 0.0;
            if (veltn_rowmajor)
                out[d * len_out + i] = v;
            else
                out[i * k + d] = v;
        }
    }
}

void write_directions(VecTangents const& tangents, uint32_t k, std::size_t len, std::size_t len_out,
                      double* out) {
    write_directions(tangents, 0, k, k, len, len_out, out);
}

void write_direction(PlainNN const& nn, uint32_t d, uint32_t k, std::size_t len_out, double* out) {
    auto at = [&](std::size_t i) -> double& {
        return veltn_rowmajor ? out[std::size_t(d) * len_out + i] : out[i * k + d];
    };
    std::size_t i = 0;
    for (uint32_t l = 0; l < nn.nlayers; ++l) {
        for (double x : nn.biases[l]) at(i++) = x;
        for (double x : nn.weights[l].data) at(i++) = x;
    }
    for (; i < len_out; ++i) at(i) = 0.0;
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

void trace_terms_objective(PlainNN const& norm, const double* terms, uint32_t n, uint32_t nout, double seconds) {
    if (!std::getenv("NN_TRACE")) return;
    const std::size_t count = std::size_t(n) * nout;
    Mat R;
    R.data = std::valarray<double>(terms, count);
    R.rows = n;
    R.cols = nout;
    trace_objective(norm.norm_sum(R) / static_cast<double>(count), seconds);
}

}  // namespace veltn
